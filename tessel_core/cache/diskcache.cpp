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

void init(nb::handle cls, nb::handle self, nb::handle cache_dir) {
    pyclass::super_(cls, self).attr(S("__init__"))();
    nb::object dir = self.attr(S("setup_cache_dir"))("directory"_a = cache_dir);
    self.attr(S("_cache_dir")) = dir;
    self.attr(S("_cache")) = G("diskcache").attr("Cache")("directory"_a = dir);
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
    pyclass::Cell cell = cls.cell();
    cls.def(
           "__init__",
           [cell](nb::handle self, pyclass::obj cache_dir) { init(cell->get(), self, cache_dir); },
           "cache_dir"_a, "Open (or create) the disk cache in cache_dir.")
        .def(
            "_get_from_cache",
            [](nb::handle self, pyclass::obj key, pyclass::obj dflt) -> nb::object {
                pyclass::require_str(key, "key");
                return store_of(self).attr("get")("key"_a = key, "default"_a = dflt);
            },
            "key"_a, "default"_a = nb::none(), "Return the value under key, or default.")
        .def(
            "_set_to_cache",
            [](nb::handle self, pyclass::obj key, pyclass::obj value) {
                pyclass::require_str(key, "key");
                store_of(self).attr("set")("key"_a = key, "value"_a = value);
            },
            "key"_a, "value"_a, "Store value under key.")
        .def(
            "pop_from_cache",
            [](nb::handle self, pyclass::obj key) -> nb::object {
                pyclass::require_str(key, "key");
                return store_of(self).attr("pop")(key, nb::none());
            },
            "key"_a, "Remove the value under key and return it, or None.")
        .def(
            "clear_cache", [](nb::handle self) { clear(self); },
            "Empty the store, then write the default record.")
        .def(
            "close", [](nb::handle self) { store_of(self).attr("close")(); }, "Close the store.")
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
    m.attr("Path") = pyclass::import("pathlib").attr("Path");
    m.attr("diskcache") = pyclass::import("tessel_core.contrib").attr("diskcache");
    m.attr("TesselCacheModel") =
        pyclass::import("tessel_core.misc.models").attr("TesselCacheModel");
    m.attr("ITesselCache") = pyclass::import("tessel_core.cache.hoardbase").attr("ITesselCache");
    define_diskcache(m);
}
