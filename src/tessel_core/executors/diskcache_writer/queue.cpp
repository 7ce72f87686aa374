// The disk-cache writer's message queue: three channels ("todo", "cancel",
// "done"), each a multiprocessing.SimpleQueue. put() pickles at once, so an
// object that cannot be sent fails there, in the caller, instead of being
// dropped later; the pickled write tasks then go down the pipe from one
// sender thread of the putting process, in order, so that the kernel does not
// wait while a large result crosses to the writer process.
//
// A large serialized value does not cross the pipe at all: the sender thread
// streams it into a transfer file in the component's cache directory, in the
// very form the disk cache keeps it, and the worker renames that file into
// place. One pass over the bytes instead of four copies (pickle, pipe,
// unpickle, pickle again).
#include "tessel_core/_native/module.h"

namespace {

const char *const kChannels[] = {"todo", "cancel", "done"};

nb::object channel(nb::handle self, nb::handle queue_type) {
    nb::object channels = self.attr(S("_channels"));
    if (channels.is_none())
        pyclass::raise(PyExc_RuntimeError, "TesselDiskcacheWriterQueue is not open.");
    PyObject *ch = PyDict_GetItemWithError(channels.ptr(), queue_type.ptr());
    if (!ch) {
        if (PyErr_Occurred())
            throw pyclass::error();
        nb::object msg = nb::str("unknown queue_type {!r}: expected 'todo', 'cancel' or 'done'")
                             .attr("format")(queue_type);
        PyErr_SetObject(PyExc_ValueError, msg.ptr());
        throw pyclass::error();
    }
    return nb::borrow(ch);
}

void open_queue(nb::handle self) {
    if (!self.attr(S("_channels")).is_none())
        return;
    nb::object ctx = G("multiprocessing").attr("get_context")("spawn");
    nb::dict channels;
    for (const char *name : kChannels)
        channels[name] = ctx.attr("SimpleQueue")();
    self.attr(S("_channels")) = channels;
    self.attr(S("_spills")) = nb::dict(); // task id -> transfer files not yet taken
}

// The sender of this process (made on first use; a forked or spawned child
// gets none from its parent).
nb::object sender(nb::handle self) {
    nb::object pid = G("os").attr("getpid")();
    nb::object current = nb::getattr(self, "_sender", nb::none());
    if (!current.is_none() && pyclass::equal(current[nb::int_(0)], pid))
        return current[nb::int_(1)];
    nb::object executor = G("ThreadPoolExecutor")("max_workers"_a = 1,
                                                  "thread_name_prefix"_a = "TesselDiskcacheSend");
    self.attr(S("_sender")) = nb::make_tuple(pid, executor);
    return executor;
}

// A transfer that fails in the sender thread (the worker died, the pipe
// broke) is kept as (task, reason), so that the writer reports it as a failed
// done record instead of leaving its caller waiting for one.
nb::object transfer_watch(nb::handle self, nb::handle item) {
    nb::object failed = nb::getattr(self, "_failed_transfers", nb::none());
    nb::object task = nb::borrow(item);
    return nb::cpp_function(
        [failed, task](nb::handle future) {
            if (failed.is_none() || pyclass::truthy(future.attr("cancelled")()))
                return;
            nb::object exc = future.attr("exception")();
            if (exc.is_none())
                return;
            nb::object why =
                nb::str("could not send the task to the writer process: {}: {}")
                    .attr("format")(pyclass::type_of(exc).attr("__name__"), pyclass::safe_str(exc));
            failed.attr("append")(nb::make_tuple(task, why));
        },
        nb::name("_transfer_done"));
}

// ---- transfer files ----------------------------------------------------------

const Py_ssize_t kSpillBytes = 1 << 20; // an entry this large goes by file

bool is_packed(nb::handle value) {
    return pyclass::is_instance(value, G("PackedValue"));
}

Py_ssize_t packed_size(nb::handle value) {
    nb::object size = G("packed").attr("size_of")(value);
    Py_ssize_t n = PyLong_AsSsize_t(size.ptr());
    if (n == -1 && PyErr_Occurred())
        throw pyclass::error();
    return n;
}

// The size of an entry that the disk cache would keep in a file of its own
// and that can be written without pickling anything but its container: a
// serialized value (bytes or packed), or a dict of str to serialized values
// (the outputs). -1 for any other shape.
Py_ssize_t spillable_size(nb::handle value) {
    if (PyBytes_CheckExact(value.ptr()))
        return PyBytes_GET_SIZE(value.ptr());
    if (is_packed(value))
        return packed_size(value);
    if (!PyDict_CheckExact(value.ptr()))
        return -1;
    Py_ssize_t pos = 0, total = 0;
    PyObject *key, *item;
    while (PyDict_Next(value.ptr(), &pos, &key, &item)) {
        if (!PyUnicode_CheckExact(key))
            return -1;
        if (PyBytes_CheckExact(item))
            total += PyBytes_GET_SIZE(item);
        else if (is_packed(item))
            total += packed_size(item);
        else
            return -1;
    }
    return total;
}

// Named after the host and process that write it, so that a sweep of the
// cache directory can tell a transfer in progress from one whose writer died.
nb::object transfer_path(nb::handle directory) {
    nb::object name =
        nb::str("{}{}-{}-{}")
            .attr("format")(G("_TRANSFER_PREFIX"), G("socket").attr("gethostname")(),
                            G("os").attr("getpid")(), G("os").attr("urandom")(12).attr("hex")());
    return G("os").attr("path").attr("join")(directory, name);
}

void remove_quietly(nb::handle path) {
    try {
        G("os").attr("remove")(path);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError))
            throw;
    }
}

// Runs in the sender thread. The file is created only while the queue is
// open, and looked at again after: close() marks the queue closed before it
// removes the registered files, so one of the two always removes it.
void write_transfer(nb::handle self, nb::handle path, nb::handle value) {
    if (self.attr(S("_spills")).is_none())
        pyclass::raise(PyExc_RuntimeError, "TesselDiskcacheWriterQueue was closed.");
    nb::object file = G("open")(path, "xb");
    pyclass::Finally close{file, "close"};
    if (self.attr(S("_spills")).is_none())
        pyclass::raise(PyExc_RuntimeError, "TesselDiskcacheWriterQueue was closed.");
    // A large bytes object, or the buffers of a packed value, go from their
    // own memory to the file, without an in-memory copy.
    if (PyBytes_CheckExact(value.ptr()))
        file.attr("write")(value);
    else
        G("packed").attr("write_inband")(file, value);
}

nb::object transfer_spilled(nb::handle self, nb::handle send, nb::handle data, nb::list spills) {
    try {
        for (nb::handle spill : spills)
            write_transfer(self, spill[0], spill[1]);
        return send(data);
    } catch (...) {
        for (nb::handle spill : spills)
            remove_quietly(spill[0]);
        throw;
    }
}

// The task as it crosses the pipe: each large entry replaced by a reference
// to the transfer file that will hold it, plus (path, value) of those files.
// The values are taken now (a dict is copied, bytes are immutable), so what
// is written is what was put even if the caller changes its dicts later.
std::pair<nb::object, nb::list> split_large_entries(nb::handle task) {
    nb::list spills;
    if (!pyclass::is_instance(task, G("TesselDiskCacheTodoModel")))
        return {nb::borrow(task), spills};
    nb::object result = task.attr("result");
    nb::dict replaced;
    nb::object directory;
    for (nb::handle name : G("TesselCacheModel").attr("__fields__")) {
        nb::object value = nb::getattr(result, name);
        if (spillable_size(value) < kSpillBytes) {
            // what the disk cache keeps is cloudpickle bytes, read back with it alone
            nb::object plain = G("packed").attr("as_plain")(value);
            if (!plain.is(value))
                replaced[name] = plain;
            continue;
        }
        if (!directory.is_valid())
            directory = G("TesselDiskCache").attr("setup_cache_dir")(task.attr("cache_dir"));
        bool raw = PyBytes_CheckExact(value.ptr()) || is_packed(value);
        nb::object path = transfer_path(directory);
        nb::object kept = raw ? value : pyclass::check(PyDict_Copy(value.ptr()));
        spills.append(nb::make_tuple(path, kept));
        nb::object mode = G("diskcache_core").attr(raw ? "MODE_BINARY" : "MODE_PICKLE");
        replaced[name] = G("TesselSpilledEntry")(path, mode);
    }
    if (nb::len(replaced) == 0)
        return {nb::borrow(task), spills};
    nb::object kept = result.attr("copy")("update"_a = replaced);
    nb::dict update;
    update["result"] = kept;
    return {task.attr("copy")("update"_a = update), spills};
}

// Split off large entries unless the cache directory cannot even be made:
// then the task goes whole, and the worker reports why it could not write.
std::pair<nb::object, nb::list> split_or_whole(nb::handle task) {
    try {
        return split_large_entries(task);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError))
            throw;
        return {nb::borrow(task), nb::list()};
    }
}

void register_spills(nb::handle self, nb::handle task, nb::list spills) {
    nb::list paths;
    for (nb::handle spill : spills)
        paths.append(spill[0]);
    self.attr(S("_spills"))[task.attr("task_id")] = paths;
}

// The worker has taken (or given up) the task: its transfer files are no
// longer this side's to remove.
void settle(nb::handle self, nb::handle task_id) {
    nb::object spills = self.attr(S("_spills"));
    if (!spills.is_none())
        spills.attr("pop")(task_id, nb::none());
}

// Transfer files of tasks the worker never took (it died or was stopped).
void remove_unsettled(nb::handle self) {
    nb::object spills = self.attr(S("_spills"));
    self.attr(S("_spills")) = nb::none();
    if (spills.is_none())
        return;
    for (nb::handle paths : spills.attr("values")())
        for (nb::handle path : paths)
            remove_quietly(path);
}

// Write tasks (the large payloads) are transferred by the sender; cancels and
// done records are small and sent at once, so that nothing is left waiting in
// a thread when the worker process ends.
void put(nb::handle self, nb::handle queue_type, nb::handle item) {
    nb::object ch = channel(self, queue_type);
    if (!pyclass::equal(queue_type, S("todo"))) {
        ch.attr("put")(item);
        return;
    }
    auto [sent, spills] = split_or_whole(item);
    nb::object data = G("ForkingPickler").attr("dumps")(sent);
    nb::object send = ch.attr("_writer").attr("send_bytes");
    nb::object future;
    if (nb::len(spills) == 0) {
        future = sender(self).attr("submit")(send, data);
    } else {
        register_spills(self, item, spills);
        nb::object self_ref = nb::borrow(self);
        nb::object job =
            nb::cpp_function([self_ref, send, data,
                              spills]() { return transfer_spilled(self_ref, send, data, spills); },
                             nb::name("_transfer_spilled"));
        future = sender(self).attr("submit")(job);
    }
    future.attr("add_done_callback")(transfer_watch(self, item));
}

// Wait until everything put so far has been handed to the pipe.
void flush(nb::handle self, nb::handle timeout) {
    nb::object current = nb::getattr(self, "_sender", nb::none());
    if (current.is_none())
        return;
    nb::object done = sender(self).attr("submit")(pyclass::builtin(PyBool_Type));
    done.attr("result")("timeout"_a = timeout);
}

void close_queue(nb::handle self) {
    remove_unsettled(self);
    nb::object current = nb::getattr(self, "_sender", nb::none());
    if (!current.is_none()) {
        // Nothing waits for transfers that can no longer complete; closing
        // the pipes below ends one that is blocked.
        current[nb::int_(1)].attr("shutdown")("wait"_a = false, "cancel_futures"_a = true);
        self.attr(S("_sender")) = nb::none();
    }
    nb::object channels = self.attr(S("_channels"));
    if (channels.is_none())
        return;
    for (auto kv : pyclass::expect<nb::dict>(channels, "channels"))
        kv.second.attr("close")();
    self.attr(S("_channels")) = nb::none();
}

// The next item; with a timeout, raises queue.Empty when none came in time.
nb::object get(nb::handle self, nb::handle queue_type, nb::handle timeout) {
    nb::object ch = channel(self, queue_type);
    if (!timeout.is_none() && !pyclass::truthy(ch.attr("_reader").attr("poll")(timeout))) {
        PyErr_SetNone(G("Empty").ptr());
        throw pyclass::error();
    }
    return ch.attr("get")();
}

} // namespace

NB_MODULE(queue, m) {
    globals.init(m);
    m.attr("multiprocessing") = pyclass::import("multiprocessing");
    m.attr("Empty") = pyclass::import("queue").attr("Empty");
    m.attr("os") = pyclass::import("os");
    m.attr("ForkingPickler") = pyclass::import("multiprocessing.reduction").attr("ForkingPickler");
    m.attr("ThreadPoolExecutor") = pyclass::import("concurrent.futures").attr("ThreadPoolExecutor");
    m.attr("pickle") = pyclass::import("pickle");
    m.attr("socket") = pyclass::import("socket");
    m.attr("open") = pyclass::import("builtins").attr("open");
    m.attr("diskcache_core") = pyclass::import("diskcache.core");
    m.attr("TesselDiskCache") = pyclass::import("tessel_core.cache").attr("TesselDiskCache");
    m.attr("_TRANSFER_PREFIX") =
        pyclass::import("tessel_core.cache.diskcache").attr("TRANSFER_PREFIX");
    nb::module_ models = pyclass::import("tessel_core.misc.models");
    m.attr("TesselCacheModel") = models.attr("TesselCacheModel");
    m.attr("TesselDiskCacheTodoModel") = models.attr("TesselDiskCacheTodoModel");
    m.attr("packed") = pyclass::import("tessel_core.common.packed");
    m.attr("PackedValue") = m.attr("packed").attr("PackedValue");
    ClassDef(m, "TesselSpilledEntry", nb::make_tuple(pyclass::builtin(PyBaseObject_Type)),
             "A result entry that waits in a transfer file, in the form the disk cache keeps.")
        .def(
            "__init__",
            [](nb::handle self, obj path, obj mode) {
                self.attr(S("path")) = path;
                self.attr(S("mode")) = mode;
            },
            "path"_a, "mode"_a, "The file at path holds the entry, stored in diskcache mode mode.")
        .repr({{"path", [](nb::handle s) { return nb::object(s.attr(S("path"))); }}})
        .finish();
    ClassDef(m, "TesselDiskcacheWriterQueue", nb::make_tuple(pyclass::builtin(PyBaseObject_Type)),
             "Channels 'todo', 'cancel' and 'done' between the writer handle and its worker.")
        .def(
            "__init__",
            [](nb::handle self) {
                self.attr(S("_channels")) = nb::none();
                self.attr(S("_sender")) = nb::none();
                self.attr(S("_failed_transfers")) = nb::list();
                self.attr(S("_spills")) = nb::none();
            },
            "A queue without channels yet: open() creates them.")
        .def(
            "open", [](nb::handle self) { open_queue(self); }, "Create the channels.")
        .def(
            "close", [](nb::handle self) { close_queue(self); }, "Close the channels.")
        .def(
            "put", [](nb::handle self, obj queue_type, obj item) { put(self, queue_type, item); },
            "queue_type"_a, "obj"_a,
            "Send obj on a channel: pickled here and now, transferred in the background.")
        .def(
            "_settle", [](nb::handle self, obj task_id) { settle(self, task_id); }, "task_id"_a,
            "The worker has taken or given up the task: forget its transfer files.")
        .def(
            "flush", [](nb::handle self, obj timeout) { flush(self, timeout); },
            "timeout"_a = nb::none(), "Wait until everything put has gone into the pipes.")
        .def(
            "__getstate__",
            [](nb::handle self) {
                nb::dict state;
                state["_channels"] = self.attr(S("_channels"));
                return state;
            },
            "The channels alone: the worker process receives them, not the sender thread.")
        .def(
            "empty",
            [](nb::handle self, obj queue_type) {
                return pyclass::truthy(channel(self, queue_type).attr("empty")());
            },
            "queue_type"_a, "Whether the channel holds no item.")
        .def(
            "get",
            [](nb::handle self, obj queue_type, obj timeout) {
                return get(self, queue_type, timeout);
            },
            "queue_type"_a, "timeout"_a = nb::none(),
            "The next item of a channel (queue.Empty after timeout seconds without one).")
        .finish();
}
