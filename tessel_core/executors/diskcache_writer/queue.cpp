// The disk-cache writer's message queue: three channels ("todo", "cancel",
// "done"), each a multiprocessing.SimpleQueue. put() pickles at once, so an
// object that cannot be sent fails there, in the caller, instead of being
// dropped later; the pickled write tasks then go down the pipe from one
// sender thread of the putting process, in order, so that the kernel does not
// wait while a large result crosses to the writer process.
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

// Write tasks (the large payloads) are transferred by the sender; cancels and
// done records are small and sent at once, so that nothing is left waiting in
// a thread when the worker process ends.
void put(nb::handle self, nb::handle queue_type, nb::handle item) {
    nb::object ch = channel(self, queue_type);
    if (!pyclass::equal(queue_type, S("todo"))) {
        ch.attr("put")(item);
        return;
    }
    nb::object data = G("ForkingPickler").attr("dumps")(item);
    nb::object future = sender(self).attr("submit")(ch.attr("_writer").attr("send_bytes"), data);
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
    ClassDef(m, "TesselDiskcacheWriterQueue", nb::make_tuple(pyclass::builtin(PyBaseObject_Type)),
             "Channels 'todo', 'cancel' and 'done' between the writer handle and its worker.")
        .def(
            "__init__",
            [](nb::handle self) {
                self.attr(S("_channels")) = nb::none();
                self.attr(S("_sender")) = nb::none();
                self.attr(S("_failed_transfers")) = nb::list();
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
