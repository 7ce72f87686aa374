// Display output of runs in worker processes, carried back to the kernel over
// ZeroMQ. The kernel side binds a SUB socket and re-publishes what arrives;
// the worker side connects and sends one two-frame message per write or
// display: the topic "display_data", then a Python literal of the keyword
// arguments of a display publish call.
#include "tessel_core/_native/module.h"
#include "tessel_core/_native/std_text.h"

namespace {

using pyclass::kStderrMime;
using pyclass::kStdoutMime;
const int kPollMs = 100; // how often the receive loop looks at the stop flag

// ---- subscriber ------------------------------------------------------------

// Close the socket and terminate the context; safe to call more than once.
void release_subscriber(nb::handle self) {
    nb::object socket = nb::getattr(self, "_display_sub_socket", nb::none());
    if (!socket.is_none())
        socket.attr("close")("linger"_a = 0);
    nb::object ctx = nb::getattr(self, "_context", nb::none());
    if (!ctx.is_none())
        ctx.attr("term")();
    self.attr(S("_context")) = nb::none();
}

void init_subscriber(nb::handle cls, nb::handle self, nb::handle shell) {
    pyclass::super_(cls, self).attr("__init__")();
    self.attr(S("_ipython_shell")) = shell;
    self.attr(S("_stop_event")) = G("threading").attr("Event")();
    nb::object zmq = G("zmq");
    // A context of its own, terminated when the subscriber ends (a shared
    // one would keep its I/O threads for the life of the kernel).
    nb::object ctx = zmq.attr("Context")();
    self.attr(S("_context")) = ctx;
    try {
        nb::object socket = ctx.attr("socket")(zmq.attr("SUB"));
        self.attr(S("_display_sub_socket")) = socket;
        // No high-water mark: under load ZeroMQ would drop printed lines.
        socket.attr("setsockopt")(zmq.attr("RCVHWM"), 0);
        self.attr(S("_display_sub_port")) = socket.attr("bind_to_random_port")("tcp://127.0.0.1");
        socket.attr("setsockopt_string")(zmq.attr("SUBSCRIBE"), "");
    } catch (...) {
        release_subscriber(self);
        throw;
    }
}

// Re-publish one message. A message that is not a well-formed display call
// is skipped: one bad sender must not end the channel for every other run.
void handle_message(nb::handle self, nb::handle frames) {
    size_t n = nb::len(frames);
    if (n < 2)
        return;
    nb::object topic = frames[0].attr("decode")("utf-8", "replace");
    if (!pyclass::equal(topic, S("display_data")))
        return;
    try {
        nb::object payload = G("ast").attr("literal_eval")(frames[n - 1].attr("decode")("utf-8"));
        if (!PyDict_Check(payload.ptr()))
            return;
        nb::object shell = self.attr(S("_ipython_shell"));
        if (!shell.is_none()) {
            nb::object publish = shell.attr("display_pub").attr("publish");
            pyclass::check(PyObject_Call(publish.ptr(), nb::tuple().ptr(), payload.ptr()));
        } else {
            pyclass::write_text_to_std(payload["data"]);
        }
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception) || e.matches(G("zmq").attr("ZMQError")))
            throw;
        G("logger").attr("debug")("skipped a malformed display message: %s",
                                  pyclass::safe_str(e.value()));
    }
}

// A running subscriber is a non-daemon thread (a daemon thread would be cut
// off inside C++ frames at exit, which aborts the process), so the
// interpreter waits for it at exit: stop them all first.
void stop_all_subscribers() {
    for (nb::handle sub : pyclass::list_copy(G("_live_subscribers")))
        sub.attr("stop")();
}

void run_subscriber(nb::handle self) {
    if (nb::getattr(self, "_context", nb::none()).is_none())
        return; // released already: a thread object runs once
    G("_live_subscribers").attr("add")(self);
    self.attr(S("_stop_event")).attr("clear")();
    nb::object zmq = G("zmq");
    nb::object socket = self.attr(S("_display_sub_socket"));
    nb::object pollin = zmq.attr("POLLIN");
    try {
        while (!pyclass::truthy(self.attr("stopped")())) {
            try {
                // Poll rather than block, so that stop() is seen within
                // kPollMs even when no message comes.
                if (!pyclass::truthy(socket.attr("poll")(kPollMs, pollin)))
                    continue;
                handle_message(self, socket.attr("recv_multipart")());
            } catch (nb::python_error &e) {
                if (!e.matches(zmq.attr("ZMQError")))
                    throw;
                if (pyclass::equal(e.value().attr("errno"), zmq.attr("ETERM")))
                    break;
            }
        }
    } catch (...) {
        release_subscriber(self);
        throw;
    }
    release_subscriber(self);
}

void define_subscriber(nb::module_ m) {
    ClassDef cls(m, "TesselZMQDisplaySubscriber", nb::make_tuple(G("threading").attr("Thread")),
                 "ZeroMQ subscriber.");
    pyclass::Cell cell = cls.cell();
    cls.def(
           "__init__",
           [cell](nb::handle self, obj shell) { init_subscriber(cell->get(), self, shell); },
           "ipython_shell"_a = nb::none(),
           "Bind a SUB socket to a free loopback port; start() starts receiving.")
        .prop_ro(
            "port", [](nb::handle self) { return self.attr(S("_display_sub_port")); },
            "Port of the loopback TCP address the subscriber is bound to.")
        .def(
            "stop", [](nb::handle self) { self.attr(S("_stop_event")).attr("set")(); },
            "Ask the thread to end; it does within about a tenth of a second.")
        .def(
            "stopped",
            [](nb::handle self) {
                return pyclass::truthy(self.attr(S("_stop_event")).attr("is_set")()) ||
                       self.attr(S("_display_sub_port")).is_none();
            },
            "True once stop() was called or the socket is closed.")
        .def(
            "run", [](nb::handle self) { run_subscriber(self); }, "Receive and re-publish.")
        .finish();
}

// ---- worker-side publisher ---------------------------------------------------

const double kReadyTimeout = 2.0; // seconds to wait for the subscriber's subscription

// Connect, then wait until the subscriber's subscription has arrived: ZeroMQ
// drops what a publisher sends before that, which would lose the first
// lines of a run. An XPUB socket receives the subscription as a message.
// The metadata every message carries, merged under the caller's own.
nb::dict message_metadata(nb::handle self, nb::handle metadata) {
    nb::dict merged;
    nb::object own = self.attr(S("_metadata"));
    if (!own.is_none())
        merged.update(own);
    if (!metadata.is_none())
        merged.update(metadata);
    return merged;
}

void init_publisher(nb::handle self, nb::handle port, nb::handle metadata) {
    nb::object zmq = G("zmq");
    self.attr(S("_metadata")) =
        metadata.is_none()
            ? nb::object(nb::none())
            : pyclass::check(PyObject_CallOneArg((PyObject *)&PyDict_Type, metadata.ptr()));
    nb::object ctx = zmq.attr("Context")();
    self.attr(S("_context")) = ctx;
    self.attr(S("_socket")) = nb::none();
    try {
        nb::object socket = ctx.attr("socket")(zmq.attr("XPUB"));
        self.attr(S("_socket")) = socket;
        socket.attr("setsockopt")(zmq.attr("LINGER"), 2000);
        // No high-water mark: a fast writer must not lose lines.
        socket.attr("setsockopt")(zmq.attr("SNDHWM"), 0);
        self.attr(S("port")) = port;
        socket.attr("connect")(nb::str("tcp://127.0.0.1:{}").attr("format")(port));
        nb::object ms = nb::int_((long)(kReadyTimeout * 1000));
        bool ready = pyclass::truthy(socket.attr("poll")(ms, zmq.attr("POLLIN")));
        if (ready)
            socket.attr("recv")(); // the subscription itself
        self.attr(S("ready")) = ready;
    } catch (...) {
        // Close what was opened: a half-made publisher holds a context.
        nb::object socket = self.attr(S("_socket"));
        if (!socket.is_none())
            socket.attr("close")("linger"_a = 0);
        self.attr(S("_socket")) = nb::none();
        ctx.attr("term")();
        throw;
    }
}

void send_display(nb::handle self, nb::handle payload) {
    nb::object socket = self.attr(S("_socket"));
    if (socket.is_none())
        return;
    nb::object text = nb::repr(payload);
    nb::list frames;
    frames.append(nb::bytes("display_data"));
    frames.append(text.attr("encode")("utf-8"));
    socket.attr("send_multipart")(frames);
}

void define_publisher(nb::module_ m) {
    ClassDef(m, "TesselDisplayPublisher", nb::make_tuple(pyclass::builtin(PyBaseObject_Type)),
             "Worker-side end of the display channel: sends display calls to a subscriber.")
        .def(
            "__init__",
            [](nb::handle self, obj port, obj metadata) { init_publisher(self, port, metadata); },
            "port"_a, "metadata"_a = nb::none(),
            "Connect a PUB socket to the subscriber on the loopback port; metadata (such as "
            "the component's id) is added to every message.")
        .def(
            "publish",
            [](nb::handle self, obj data, obj metadata, obj transient, obj update) {
                nb::dict payload;
                payload["data"] = data;
                payload["metadata"] = message_metadata(self, metadata);
                if (!transient.is_none())
                    payload["transient"] = transient;
                payload["update"] = update;
                send_display(self, payload);
            },
            "data"_a, "metadata"_a = nb::none(), "transient"_a = nb::none(), "update"_a = false,
            "Send one display call.")
        .def(
            "send_text",
            [](nb::handle self, obj name, obj text) {
                bool err = pyclass::truthy(name.attr("__contains__")("stderr"));
                nb::dict data;
                data[err ? kStderrMime : kStdoutMime] = text;
                nb::dict payload;
                payload["data"] = data;
                payload["metadata"] = message_metadata(self, nb::none());
                send_display(self, payload);
            },
            "name"_a, "text"_a, "Send text written to the stream called name.")
        .def(
            "close",
            [](nb::handle self) {
                nb::object socket = self.attr(S("_socket"));
                if (socket.is_none())
                    return;
                socket.attr("close")(); // lingers so that queued messages go out
                self.attr(S("_socket")) = nb::none();
                self.attr(S("_context")).attr("term")();
            },
            "Send what is queued, then close the socket and its context.")
        .finish();
}

} // namespace

NB_MODULE(pubtap, m) {
    globals.init(m);
    for (const char *name : {"ast", "sys", "threading", "zmq", "logging"})
        m.attr(name) = pyclass::import(name);
    m.attr("logger") = pyclass::import("logging").attr("getLogger")(m.attr("__name__"));
    m.attr("InteractiveShell") =
        pyclass::import("IPython.core.interactiveshell").attr("InteractiveShell");
    m.attr("_live_subscribers") = pyclass::import("weakref").attr("WeakSet")();
    nb::object stop_all =
        nb::cpp_function([]() { stop_all_subscribers(); }, nb::name("_stop_all_subscribers"));
    m.attr("_stop_all_subscribers") = stop_all;
    pyclass::import("threading").attr("_register_atexit")(stop_all);
    define_subscriber(m);
    define_publisher(m);
}
