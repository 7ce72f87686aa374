// The disk-cache writer's worker: takes write tasks from the "todo" channel,
// writes each into its component's disk cache, and reports one "done" record
// per task. A task cancelled before it is written is not written. A failing
// task never stops the worker; it ends when its queue closes or its parent
// process is gone.
#include "tessel_core/_native/module.h"

namespace {

const double kPollSeconds = 0.5; // how often an idle worker looks at its parent

nb::object done(nb::handle task, bool successful, bool cancelled, nb::handle message) {
    return G("TesselDiskCacheDoneModel")(
        "task_id"_a = task.attr("task_id"), "component_id"_a = task.attr("component_id"),
        "cache_dir"_a = task.attr("cache_dir"), "successful"_a = successful,
        "cancelled"_a = cancelled, "message"_a = message);
}

// Value files this failed write left behind (written since `started`, named
// by no entry), so that a full disk gets its space back and the cache stays
// readable.
void remove_partial_files(nb::handle disk, nb::handle started) {
    try {
        disk.attr("_sweep_orphans")("min_age"_a = 0.0, "since"_a = started);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
    }
}

// ---- entries that came as transfer files ---------------------------------------

nb::list spilled_entries(nb::handle task) {
    nb::list spilled;
    nb::object result = nb::getattr(task, "result", nb::none());
    if (result.is_none())
        return spilled;
    for (nb::handle pair : result) {
        auto [name, value] = pyclass::unpack_pair(pair, "result field");
        if (pyclass::is_instance(value, G("TesselSpilledEntry")))
            spilled.append(value);
    }
    return spilled;
}

// A task that is not written leaves no transfer file behind.
void discard_spilled(nb::handle task) {
    for (nb::handle entry : spilled_entries(task)) {
        try {
            G("os").attr("remove")(entry.attr("path"));
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_OSError))
                throw;
        }
    }
}

// diskcache's store(), except that an entry already in a transfer file is
// renamed into place under the name diskcache would have given it. Its
// mtime is set to now, so that a failed write removes it like any value file
// it wrote.
nb::object adopt_or_store(nb::handle cls, nb::handle self, nb::handle value, nb::handle read,
                          nb::handle key) {
    if (!pyclass::is_instance(value, G("TesselSpilledEntry")))
        return pyclass::super_(cls, self).attr("store")(value, read, "key"_a = key);
    nb::object os = G("os"), path = os.attr("path");
    nb::object names = self.attr("filename")(key, value);
    nb::object filename = names[0], full = names[1];
    os.attr("makedirs")(path.attr("dirname")(full), "exist_ok"_a = true);
    os.attr("rename")(value.attr("path"), full);
    os.attr("utime")(full);
    return nb::make_tuple(path.attr("getsize")(full), value.attr("mode"), filename, nb::none());
}

// The cache of a task; one with transfer files is opened with the disk that
// adopts them (the files are what plain diskcache reads back).
nb::object open_cache(nb::handle task) {
    nb::object dir = task.attr("cache_dir");
    if (nb::len(spilled_entries(task)) > 0)
        return G("opened_with")(dir, G("TesselAdoptingDisk"));
    return G("TesselDiskCache")("cache_dir"_a = dir);
}

// All six entries in one transaction: a reader of the cache sees the result
// set whole or not at all, and a value that cannot be stored leaves the
// cache as it was.
void write_task(nb::handle task) {
    nb::object disk = open_cache(task);
    // mtime granularity: a file written in the same second as `started` counts
    nb::object started = G("time").attr("time")() - nb::float_(1.0);
    try {
        nb::object transaction = disk.attr("_cache").attr("transact")();
        transaction.attr("__enter__")();
        try {
            for (nb::handle pair : task.attr("result")) {
                auto [name, value] = pyclass::unpack_pair(pair, "result field");
                disk.attr(name) = value;
            }
        } catch (nb::python_error &e) {
            transaction.attr("__exit__")(e.type(), e.value(), e.traceback()); // rolls back
            throw;
        }
        transaction.attr("__exit__")(nb::none(), nb::none(), nb::none());
    } catch (...) {
        remove_partial_files(disk, started);
        disk.attr("close")();
        discard_spilled(task);
        throw;
    }
    disk.attr("close")();
}

nb::object run_task(nb::handle task) {
    try {
        write_task(task);
        return done(task, true, false, nb::str(""));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        nb::handle exc = e.value();
        nb::object msg = nb::str("{}: {}").attr("format")(pyclass::type_of(exc).attr("__name__"),
                                                          pyclass::safe_str(exc));
        return done(task, false, false, msg);
    }
}

void drain_cancels(nb::handle queue, nb::handle cancelled) {
    while (!pyclass::truthy(queue.attr("empty")("queue_type"_a = "cancel")))
        cancelled.attr("add")(queue.attr("get")("queue_type"_a = "cancel").attr("task_id"));
}

// Everything already waiting on "todo", so that cancels sent for those tasks
// are seen before they are written.
nb::list take_pending(nb::handle queue, nb::handle first) {
    nb::list pending;
    pending.append(first);
    while (!pyclass::truthy(queue.attr("empty")("queue_type"_a = "todo")))
        pending.append(queue.attr("get")("queue_type"_a = "todo"));
    return pending;
}

// The parent's liveness as multiprocessing tracks it (through a pipe that
// closes when the parent dies): reading the parent's pid at start would be
// too late if the parent died while this process was still starting.
bool parent_gone(nb::handle parent) {
    return !parent.is_none() && !pyclass::truthy(parent.attr("is_alive")());
}

void write_diskcache(nb::handle queue, nb::handle) {
    // Interrupting the kernel signals its whole process group: the writer
    // must go on with what it was given. It stops when its queue closes or
    // its parent is gone.
    nb::object signal = G("signal");
    signal.attr("signal")(signal.attr("SIGINT"), signal.attr("SIG_IGN"));
    nb::object parent_pid = G("multiprocessing").attr("parent_process")();
    nb::object cancelled = pyclass::check(PySet_New(nullptr));
    nb::object empty = G("Empty");
    while (true) {
        if (parent_gone(parent_pid))
            return;
        nb::object first;
        try {
            first = queue.attr("get")("queue_type"_a = "todo", "timeout"_a = kPollSeconds);
        } catch (nb::python_error &e) {
            if (e.matches(empty))
                continue;
            if (e.matches(PyExc_EOFError) || e.matches(PyExc_OSError) ||
                e.matches(PyExc_ValueError) || e.matches(PyExc_RuntimeError))
                return; // the queue was closed
            throw;
        }
        if (first.is_none())
            return; // asked to stop
        for (nb::handle task : take_pending(queue, first)) {
            if (task.is_none())
                return;
            drain_cancels(queue, cancelled);
            nb::object id = task.attr("task_id");
            nb::object report;
            if (PySet_Contains(cancelled.ptr(), id.ptr()) == 1) {
                cancelled.attr("discard")(id);
                discard_spilled(task);
                report = done(task, false, true, nb::str("cancelled before it was written"));
            } else {
                report = run_task(task);
            }
            queue.attr("put")("queue_type"_a = "done", "obj"_a = report);
        }
    }
}

} // namespace

NB_MODULE(tasks, m) {
    globals.init(m);
    m.attr("multiprocessing") = pyclass::import("multiprocessing");
    m.attr("signal") = pyclass::import("signal");
    m.attr("time") = pyclass::import("time");
    m.attr("Empty") = pyclass::import("queue").attr("Empty");
    m.attr("os") = pyclass::import("os");
    m.attr("TesselDiskCache") = pyclass::import("tessel_core.cache").attr("TesselDiskCache");
    m.attr("opened_with") = pyclass::import("tessel_core.cache.diskcache").attr("opened_with");
    m.attr("TesselSpilledEntry") =
        pyclass::import("tessel_core.executors.diskcache_writer.queue").attr("TesselSpilledEntry");
    ClassDef disk(m, "TesselAdoptingDisk",
                  nb::make_tuple(pyclass::import("diskcache").attr("Disk")),
                  "diskcache's Disk, adopting entries that arrive as transfer files.");
    pyclass::Cell cell = disk.cell();
    disk.def(
            "store",
            [cell](nb::handle self, obj value, obj read, obj key) {
                return adopt_or_store(cell->get(), self, value, read, key);
            },
            "value"_a, "read"_a, "key"_a = pyclass::import("diskcache.core").attr("UNKNOWN"),
            "Fields (size, mode, filename, value) for the Cache table; a transfer file is renamed "
            "into place.")
        .finish();
    nb::module_ models = pyclass::import("tessel_core.misc.models");
    m.attr("TesselDiskCacheDoneModel") = models.attr("TesselDiskCacheDoneModel");
    pyclass::def_function(
        m, "write_diskcache",
        [](pyclass::obj queue, pyclass::obj conn) { write_diskcache(queue, conn); }, "queue"_a,
        "ipykernel_connection"_a = nb::none(),
        "Worker of the disk-cache writer: write the tasks of queue until it closes.");
}
