// TesselDiskcacheWriter: the kernel-side handle of the process that writes
// disk caches, so that the kernel never waits on the disk.
#include "tessel_core/_native/module.h"

namespace {

[[noreturn]] void not_alive() {
    pyclass::raise(PyExc_RuntimeError, "TesselDiskcacheWriter is not alive.");
}

void open_writer(nb::handle self, nb::handle daemon) {
    G("_open_writers").attr("add")(self);
    if (!pyclass::truthy(self.attr(S("_queue")))) {
        self.attr(S("_queue")) = G("TesselDiskcacheWriterQueue")();
        self.attr(S("_queue")).attr("open")();
    }
    if (!pyclass::truthy(self.attr(S("_process")))) {
        nb::object name = nb::str("TesselDiskcacheWriter-{}").attr("format")(self.attr(S("_id")));
        self.attr(S("_process")) = G("Process")(
            "name"_a = name, "target"_a = G("write_diskcache"),
            "args"_a = nb::make_tuple(self.attr(S("_queue")), self.attr(S("_ipython_connection"))),
            "daemon"_a = daemon);
    }
}

const double kStopWait = 5.0; // seconds for the worker to end after SIGTERM, then SIGKILL

// Bounded: close() is reached from __del__ and at exit, where nothing may wait
// forever.
void stop_process(nb::handle process) {
    if (pyclass::truthy(process.attr("is_alive")())) {
        process.attr("terminate")();
        process.attr("join")(kStopWait);
        if (pyclass::truthy(process.attr("is_alive")())) {
            process.attr("kill")();
            process.attr("join")(kStopWait);
        }
    }
    if (!pyclass::truthy(process.attr("is_alive")()))
        process.attr("join")(0);
    if (!pyclass::truthy(process.attr("is_alive")()))
        process.attr("close")();
}

void close_writer(nb::handle self) {
    nb::object process = self.attr(S("_process"));
    if (pyclass::truthy(process)) {
        // A process that was opened but never started has nothing to stop or
        // join (joining it is refused): just drop it.
        if (!process.attr("pid").is_none())
            stop_process(process);
        self.attr(S("_process")) = nb::none();
    }
    nb::object queue = self.attr(S("_queue"));
    if (pyclass::truthy(queue)) {
        queue.attr("close")();
        self.attr(S("_queue")) = nb::none();
    }
}

bool is_alive(nb::handle self) {
    if (self.attr(S("_queue")).is_none() || self.attr(S("_process")).is_none())
        return false;
    return pyclass::truthy(self.attr(S("_process")).attr("is_alive")());
}

bool put(nb::handle self, const char *channel, nb::handle task) {
    if (!pyclass::truthy(self.attr("is_alive")()))
        not_alive();
    try {
        self.attr(S("_queue")).attr("put")("queue_type"_a = channel, "obj"_a = task);
        return true;
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        return false;
    }
}

nb::list get_messages(nb::handle self) {
    if (!pyclass::truthy(self.attr("is_alive")()))
        not_alive();
    nb::list messages;
    nb::object queue = self.attr(S("_queue"));
    while (!pyclass::truthy(queue.attr("empty")("queue_type"_a = "done")))
        messages.append(queue.attr("get")("queue_type"_a = "done"));
    nb::object failed = nb::getattr(queue, "_failed_transfers", nb::none());
    while (!failed.is_none() && nb::len(failed) > 0) {
        nb::object entry = failed.attr("pop")(0);
        nb::object task = entry[nb::int_(0)];
        messages.append(G("TesselDiskCacheDoneModel")(
            "task_id"_a = task.attr("task_id"), "component_id"_a = task.attr("component_id"),
            "cache_dir"_a = task.attr("cache_dir"), "successful"_a = false, "cancelled"_a = false,
            "message"_a = entry[nb::int_(1)]));
    }
    nb::object settle = nb::getattr(queue, "_settle", nb::none());
    for (nb::handle message : messages)
        if (!settle.is_none())
            settle(message.attr("task_id"));
    return messages;
}

const char *state_of(nb::handle self) {
    if (is_alive(self))
        return "running";
    nb::object process = self.attr(S("_process"));
    if (process.is_none())
        return "closed";
    return process.attr("pid").is_none() ? "open" : "stopped";
}

const double kExitWait = 60.0; // seconds a running worker gets to take what is in flight

// Whether everything put on the writer's queue has gone into the pipe, after
// waiting up to `seconds`.
bool flushed(nb::handle queue, double seconds) {
    try {
        queue.attr("flush")("timeout"_a = seconds);
        return true;
    } catch (nb::python_error &e) {
        if (e.matches(G("FuturesTimeout")))
            return false;
        throw;
    }
}

// At exit, before the interpreter waits for the queues' sender threads: let
// each open writer's worker take what is still being sent, but close a writer
// as soon as its worker is seen dead (closing the pipes ends a transfer that
// could never complete), or when it takes too long.
void close_dead_writers() {
    for (nb::handle writer : pyclass::list_copy(G("_open_writers"))) {
        nb::object queue = writer.attr(S("_queue"));
        nb::object process = writer.attr(S("_process"));
        if (queue.is_none() || process.is_none() || process.attr("pid").is_none())
            continue;
        bool done = false;
        for (double waited = 0; !done && waited < kExitWait; waited += 0.2) {
            if (!pyclass::truthy(process.attr("is_alive")()))
                break;
            done = flushed(queue, 0.2);
        }
        if (!done)
            writer.attr("close")();
    }
}

} // namespace

NB_MODULE(writer, m) {
    globals.init(m);
    // Spawned, not forked: forking a kernel process with live threads can
    // leave the child holding locks that no thread will ever release.
    m.attr("Process") =
        pyclass::import("multiprocessing").attr("get_context")("spawn").attr("Process");
    nb::module_ typing = pyclass::import("typing");
    m.attr("List") = typing.attr("List");
    m.attr("Optional") = typing.attr("Optional");
    nb::module_ models = pyclass::import("tessel_core.misc.models");
    for (const char *name :
         {"TesselDiskCacheCancelModel", "TesselDiskCacheDoneModel", "TesselDiskCacheTodoModel"})
        m.attr(name) = models.attr(name);
    m.attr("TesselDiskcacheWriterQueue") =
        pyclass::import("tessel_core.executors.diskcache_writer.queue")
            .attr("TesselDiskcacheWriterQueue");
    m.attr("write_diskcache") =
        pyclass::import("tessel_core.executors.diskcache_writer.tasks").attr("write_diskcache");
    m.attr("_open_writers") = pyclass::import("weakref").attr("WeakSet")();
    m.attr("FuturesTimeout") = pyclass::import("concurrent.futures").attr("TimeoutError");
    // Registered after the queue module imported concurrent.futures, so it
    // runs before that package joins its threads (later hooks run first).
    nb::object hook =
        nb::cpp_function([]() { close_dead_writers(); }, nb::name("_close_dead_writers"));
    m.attr("_close_dead_writers") = hook;
    pyclass::import("threading").attr("_register_atexit")(hook);
    ClassDef(m, "TesselDiskcacheWriter", nb::make_tuple(pyclass::builtin(PyBaseObject_Type)),
             "Diskcache writer worker in another process.")
        .def(
            "__init__",
            [](nb::handle self, obj identifier, obj connection) {
                pyclass::require_str(identifier, "identifier");
                self.attr(S("_id")) = identifier;
                self.attr(S("_ipython_connection")) = connection;
                self.attr(S("_queue")) = nb::none();
                self.attr(S("_process")) = nb::none();
            },
            "identifier"_a, "ipykernel_connection"_a = nb::none(),
            "A writer that is not started yet: start() starts its worker process.")
        .def(
            "__del__",
            [](nb::handle self) {
                try {
                    if (pyclass::truthy(self.attr("__dict__").attr("__contains__")("_process")))
                        self.attr("close")();
                } catch (nb::python_error &) {
                    // a finalizer has nobody to report to
                }
            },
            "Close the writer if it was started.")
        .repr({{"id", [](nb::handle s) { return nb::object(s.attr(S("_id"))); }},
               {"state", [](nb::handle s) { return nb::object(nb::str(state_of(s))); }}})
        .prop_ro(
            "id", [](nb::handle self) { return self.attr(S("_id")); }, "Writer identifier.")
        .def(
            "open", [](nb::handle self, obj daemon) { open_writer(self, daemon); },
            "daemon"_a = true, "Create the queue and the (not yet started) worker process.")
        .def(
            "close", [](nb::handle self) { close_writer(self); },
            "Stop the worker and drop the queue; the writer can be opened again.")
        .def(
            "start",
            [](nb::handle self) {
                if (!pyclass::truthy(self.attr(S("_queue"))) ||
                    !pyclass::truthy(self.attr(S("_process"))))
                    pyclass::raise(PyExc_RuntimeError, "TesselDiskcacheWriter is not open.");
                self.attr(S("_process")).attr("start")();
            },
            "Start the worker process.")
        .def(
            "is_alive", [](nb::handle self) { return is_alive(self); },
            "Whether the worker process runs.")
        .def(
            "get_messages", [](nb::handle self) { return get_messages(self); },
            "The done records that have arrived, in order.")
        .def(
            "put_task", [](nb::handle self, obj task) { return put(self, "todo", task); }, "task"_a,
            "Queue a write task; False when it could not be sent.")
        .def(
            "cancel_task", [](nb::handle self, obj task) { return put(self, "cancel", task); },
            "task"_a, "Cancel a task not yet written; False when it could not be sent.")
        .finish();
}
