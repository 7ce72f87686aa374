// The disk-cache writer's message queue: three channels ("todo", "cancel",
// "done"), each a multiprocessing.SimpleQueue. A SimpleQueue pickles in put()
// itself, so an object that cannot be sent fails there, in the caller, rather
// than in a background feeder thread that would drop it silently; and it has
// no feeder thread to wait for when it is closed.
#include "tessel_core/_native/pyclass.h"

using pyclass::ClassDef;
using pyclass::obj;
#define S PYCLASS_S

namespace {

pyclass::ModuleGlobals globals;
#define G(name) globals.get(S(name))

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

void close_queue(nb::handle self) {
    nb::object channels = self.attr(S("_channels"));
    if (channels.is_none())
        return;
    for (auto kv : nb::borrow<nb::dict>(channels))
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
    ClassDef(m, "TesselDiskcacheWriterQueue", nb::make_tuple(pyclass::builtin(PyBaseObject_Type)),
             "Channels 'todo', 'cancel' and 'done' between the writer handle and its worker.")
        .def("__init__", [](nb::handle self) { self.attr(S("_channels")) = nb::none(); })
        .def("open", [](nb::handle self) { open_queue(self); }, "Create the channels.")
        .def("close", [](nb::handle self) { close_queue(self); }, "Close the channels.")
        .def(
            "put",
            [](nb::handle self, obj queue_type, obj item) {
                channel(self, queue_type).attr("put")(item);
            },
            "queue_type"_a, "obj"_a, "Send obj on a channel (pickled here and now).")
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
