// TesselDiskCache: a component's six result entries in a diskcache.Cache, so
// the results outlive the kernel.
#include "tessel_core/_native/module.h"

namespace {

nb::object store_of(nb::handle self) {
    return self.attr(S("_cache"));
}

nb::object setup_cache_dir(nb::handle directory) {
    nb::object path = G("os").attr("path");
    nb::object expanded = path.attr("expanduser")("path"_a = directory);
    expanded = path.attr("expandvars")("path"_a = expanded);
    G("os").attr("makedirs")(expanded, "exist_ok"_a = true);
    return nb::str(expanded);
}

// ---- damage and orphans ---------------------------------------------------------
// diskcache writes a large value to its own file before it commits the row
// that names it: a write that fails (disk full) or is killed leaves the file
// behind, unreferenced, and a full disk stays full.

const double kOrphanAge = 60.0; // seconds: younger files may belong to a write in progress

// The value files the store's entries name, read from its database file
// (diskcache has no public listing of them) on a connection of our own.
nb::object referenced_files(nb::handle store) {
    nb::object db = G("os").attr("path").attr("join")(store.attr("directory"),
                                                      G("diskcache").attr("core").attr("DBNAME"));
    nb::object con = G("sqlite3").attr("connect")(db, "timeout"_a = 60);
    pyclass::Finally close{con, "close"};
    nb::object rows = con.attr("execute")("SELECT filename FROM Cache WHERE filename IS NOT NULL")
                          .attr("fetchall")();
    nb::object names = pyclass::check(PySet_New(nullptr));
    for (nb::handle row : rows)
        names.attr("add")(row[0]);
    return names;
}

// A transfer file (".tessel-transfer-<host>-<pid>-<random>") waits for the
// disk-cache writer to rename it into place. It is an orphan once the
// process that wrote it is gone; only this host can tell.
bool dead_transfer(nb::handle name) {
    nb::object prefix = G("TRANSFER_PREFIX");
    if (!pyclass::truthy(name.attr("startswith")(prefix)))
        return false;
    nb::object parts = name.attr("removeprefix")(prefix).attr("rsplit")("-", 2);
    if (nb::len(parts) != 3 || !pyclass::equal(parts[0], G("socket").attr("gethostname")()))
        return false;
    try {
        G("os").attr("kill")(pyclass::builtin(PyLong_Type)(parts[1]), 0);
        return false;
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_ProcessLookupError))
            return true;
        if (e.matches(PyExc_ValueError) || e.matches(PyExc_OSError) ||
            e.matches(PyExc_OverflowError))
            return false;
        throw;
    }
}

// Remove value files that no entry names, older than `min_age` seconds, and
// transfer files of dead writers; when `since` is given, only files written
// at or after that time. Returns how many.
long sweep_orphans(nb::handle self, double min_age, nb::handle since) {
    nb::object os = G("os"), path = os.attr("path");
    nb::object root = self.attr(S("_cache_dir"));
    nb::object known = referenced_files(store_of(self));
    double now = pyclass::as_double(G("time").attr("time")());
    long removed = 0;
    for (nb::handle entry : os.attr("walk")(root)) {
        nb::object dir = entry[0];
        for (nb::handle name : entry[2]) {
            nb::object full = path.attr("join")(dir, name);
            // A value file may belong to a write in progress until it is old
            // enough; a transfer file whose writer is dead can belong to none.
            bool value_file = pyclass::truthy(name.attr("endswith")(".val"));
            if (value_file) {
                if (PySet_Contains(known.ptr(), path.attr("relpath")(full, root).ptr()) == 1)
                    continue;
            } else if (!dead_transfer(name)) {
                continue;
            }
            try {
                double mtime = pyclass::as_double(path.attr("getmtime")(full));
                if (value_file && now - mtime < min_age)
                    continue;
                if (!since.is_none() && mtime < pyclass::as_double(since))
                    continue;
                os.attr("remove")(full);
                ++removed;
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_OSError))
                    throw;
            }
        }
    }
    return removed;
}

// The six entries read in one transaction, so that they come from one write
// even while another process writes. A missing entry (a value file deleted
// behind diskcache's back reads as missing) raises KeyError.
nb::dict read_record(nb::handle self) {
    nb::object store = store_of(self);
    nb::object transaction = store.attr("transact")();
    transaction.attr("__enter__")();
    pyclass::Finally exit{transaction, "__exit__"};
    nb::object missing = pyclass::check(PyObject_CallNoArgs((PyObject *)&PyBaseObject_Type));
    nb::dict record;
    for (nb::handle key : G("TesselCacheModel").attr("__fields__")) {
        nb::object value = store.attr("get")("key"_a = key, "default"_a = missing);
        if (value.is(missing)) {
            nb::object msg = nb::str("disk cache entry '{}' is missing").attr("format")(key);
            PyErr_SetObject(PyExc_KeyError, msg.ptr());
            throw pyclass::error();
        }
        record[key] = value;
    }
    return record;
}

// ---- a consistent record ----------------------------------------------------------
// The result fields are read together, in one transaction, the first time
// one of them is asked for, and served from that record afterwards: fields
// read one by one while another process writes would mix two writes. A write
// through this object drops the record. An incomplete record (fields set
// one by one) is read field by field, as stored.

void forget_record(nb::handle self) {
    self.attr(S("_record")) = nb::none();
}

nb::object get_entry(nb::handle self, nb::handle key, nb::handle dflt) {
    nb::object fields = G("TesselCacheModel").attr("__fields__");
    if (!pyclass::truthy(fields.attr("__contains__")(key)))
        return store_of(self).attr("get")("key"_a = key, "default"_a = dflt);
    nb::object record = nb::getattr(self, "_record", nb::none());
    if (record.is_none()) {
        try {
            record = read_record(self);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_KeyError))
                throw;
            return store_of(self).attr("get")("key"_a = key, "default"_a = dflt);
        }
        self.attr(S("_record")) = record;
    }
    return record[key];
}

void init(nb::handle cls, nb::handle self, nb::handle cache_dir, nb::handle disk = nb::none()) {
    pyclass::super_(cls, self).attr(S("__init__"))();
    nb::object dir = self.attr(S("setup_cache_dir"))("directory"_a = cache_dir);
    self.attr(S("_cache_dir")) = dir;
    nb::object open_store = G("diskcache").attr("Cache");
    self.attr(S("_cache")) = disk.is_none() ? open_store("directory"_a = dir)
                                            : open_store("directory"_a = dir, "disk"_a = disk);
    forget_record(self);
    try {
        sweep_orphans(self, kOrphanAge, nb::none());
    } catch (nb::python_error &e) {
        // a cache that cannot be swept is still usable
        e.discard_as_unraisable("sweeping orphaned value files of a disk cache");
    }
}

void clear(nb::handle self) {
    nb::object store = store_of(self);
    store.attr("clear")();
    // Defaults as they are: a nested model default stays a model instance.
    nb::object defaults = G("TesselCacheModel")();
    for (nb::handle pair : defaults) {
        nb::tuple item = nb::borrow<nb::tuple>(pair);
        store.attr("set")("key"_a = item[0], "value"_a = item[1]);
    }
}

void define_diskcache(nb::module_ m) {
    ClassDef cls(m, "TesselDiskCache", nb::make_tuple(G("ITesselCache")),
                 "Data structure to managing diskcache.");
    cls.repr({{"dir", [](nb::handle s) { return nb::object(s.attr(S("_cache_dir"))); }}});
    pyclass::Cell cell = cls.cell();
    cls.def(
           "__init__",
           [cell](nb::handle self, pyclass::obj cache_dir) { init(cell->get(), self, cache_dir); },
           "cache_dir"_a, "Open (or create) the disk cache in cache_dir.")
        .def(
            "_get_from_cache",
            [](nb::handle self, pyclass::obj key, pyclass::obj dflt) -> nb::object {
                pyclass::require_str(key, "key");
                return get_entry(self, key, dflt);
            },
            "key"_a, "default"_a = nb::none(), "Return the value under key, or default.")
        .def(
            "_set_to_cache",
            [](nb::handle self, pyclass::obj key, pyclass::obj value) {
                pyclass::require_str(key, "key");
                forget_record(self);
                store_of(self).attr("set")("key"_a = key, "value"_a = value);
            },
            "key"_a, "value"_a, "Store value under key.")
        .def(
            "pop_from_cache",
            [](nb::handle self, pyclass::obj key) -> nb::object {
                pyclass::require_str(key, "key");
                forget_record(self);
                return store_of(self).attr("pop")(key, nb::none());
            },
            "key"_a, "Remove the value under key and return it, or None.")
        .def(
            "clear_cache",
            [](nb::handle self) {
                forget_record(self);
                clear(self);
            },
            "Empty the store, then write the default record.")
        .def(
            "close", [](nb::handle self) { store_of(self).attr("close")(); }, "Close the store.")
        .def(
            "_sweep_orphans",
            [](nb::handle self, double min_age, pyclass::obj since) {
                return sweep_orphans(self, min_age, since);
            },
            "min_age"_a = kOrphanAge, "since"_a = nb::none(),
            "Remove value files that no entry names; the number removed.")
        .prop_ro(
            "cache_dir", [](nb::handle self) { return self.attr(S("_cache_dir")); },
            "The directory in use, after ~ and environment-variable expansion.")
        .def_static(
            "setup_cache_dir", [](pyclass::obj directory) { return setup_cache_dir(directory); },
            "directory"_a, "Expand ~ and environment variables, create the directory, return it.")
        .finish();
}

} // namespace

NB_MODULE(diskcache, m) {
    globals.init(m);
    m.attr("os") = pyclass::import("os");
    m.attr("time") = pyclass::import("time");
    m.attr("socket") = pyclass::import("socket");
    m.attr("sqlite3") = pyclass::import("sqlite3");
    m.attr("TRANSFER_PREFIX") = nb::str(".tessel-transfer-");
    m.attr("Path") = pyclass::import("pathlib").attr("Path");
    m.attr("diskcache") = pyclass::import("tessel_core.contrib").attr("diskcache");
    m.attr("TesselCacheModel") =
        pyclass::import("tessel_core.misc.models").attr("TesselCacheModel");
    m.attr("ITesselCache") = pyclass::import("tessel_core.cache.hoardbase").attr("ITesselCache");
    define_diskcache(m);
    pyclass::def_function(
        m, "opened_with",
        [](pyclass::obj cache_dir, pyclass::obj disk) {
            // one open of the store, where opening it and then again with
            // another disk would cost the disk-cache writer twice per entry
            nb::object cls = G("TesselDiskCache");
            nb::object self = cls.attr("__new__")(cls);
            init(cls, self, cache_dir, disk);
            return self;
        },
        "cache_dir"_a, "disk"_a,
        "A TesselDiskCache whose store reads and writes values through `disk` (a subclass of "
        "diskcache's Disk).");
    pyclass::def_function(
        m, "read_record", [](pyclass::obj cache) { return read_record(cache); }, "cache"_a,
        "The six entries of a TesselDiskCache as one consistent dict (read in one transaction); "
        "KeyError when one is missing.");
}
