// The capture manager: wraps the kernel's write, publish and clear-output
// methods while a capture context is open.
#include "tessel_core/capture/capture/capture.h"

namespace capture {

namespace {

// Thread contract: used with the GIL held (writes of any thread take it first).
pyclass::FastModel &stream_records() {
    static auto *fm = new pyclass::FastModel(); // never freed: outlives the interpreter
    return *fm;
}

// ---- context store ---------------------------------------------------------

// The current context's (outputs, send flag). The plain class reads its own
// stacks directly; a subclass may override the properties, so it goes
// through them.
bool is_plain_manager(nb::handle self) {
    return pyclass::type_of(self).is(G("TesselCaptureManager"));
}

// Innermost entry of a context stack (IndexError when there is none).
nb::object top_of(nb::handle stack) {
    if (PyList_CheckExact(stack.ptr())) {
        Py_ssize_t n = PyList_GET_SIZE(stack.ptr());
        if (n == 0)
            pyclass::raise(PyExc_IndexError, "list index out of range");
        return nb::borrow(PyList_GET_ITEM(stack.ptr(), n - 1));
    }
    return pyclass::check(PySequence_GetItem(stack.ptr(), -1));
}

nb::object current_outputs(nb::handle self) {
    if (is_plain_manager(self))
        return top_of(self.attr(S("_outputs_list")));
    return self.attr(S("outputs"));
}

bool current_send_flag(nb::handle self) {
    if (is_plain_manager(self))
        return pyclass::truthy(top_of(self.attr(S("_send_to_front_list"))));
    return pyclass::truthy(self.attr(S("send_to_front")));
}

bool multithread(nb::handle self) {
    return pyclass::truthy(self.attr(S("is_multithread")));
}

nb::object thread_id() {
    return G("threading").attr("get_ident")();
}

void store_context(nb::handle self, nb::handle outputs, nb::handle send_to_front) {
    if (multithread(self)) {
        self.attr(S("_outputs_dict"))[thread_id()] = outputs;
        self.attr(S("_send_to_front_dict"))[thread_id()] = send_to_front;
    } else {
        self.attr(S("_outputs_list")).attr("append")(outputs);
        self.attr(S("_send_to_front_list")).attr("append")(send_to_front);
    }
}

void remove_context(nb::handle self) {
    if (multithread(self)) {
        self.attr(S("_outputs_dict")).attr("pop")(thread_id());
        self.attr(S("_send_to_front_dict")).attr("pop")(thread_id());
    } else {
        self.attr(S("_outputs_list")).attr("pop")();
        self.attr(S("_send_to_front_list")).attr("pop")();
    }
}

// ---- calls to the saved kernel methods ---------------------------------------

// Publishers differ in how they take (data, metadata, transient, update):
// older ipykernel publishers take all four by position, IPython's base
// publisher has `source` third and, like current ipykernel, takes transient
// and update only by keyword. Use the positional form where the saved method
// accepts it, keywords otherwise; decided once per saved method.
bool accepts_four_positional(nb::handle publish) {
    try {
        nb::object sig = G("inspect").attr("signature")(publish);
        sig.attr("bind")(1, 2, 3, 4);
        return true;
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_TypeError))
            return false;
        if (e.matches(PyExc_ValueError))
            return true; // no signature to read: assume the documented form
        throw;
    }
}

bool needs_keywords(nb::handle self, nb::handle publish) {
    nb::object cached = nb::getattr(self, "_publish_call_style", nb::none());
    if (PyTuple_Check(cached.ptr()) && PyTuple_GET_SIZE(cached.ptr()) == 2 &&
        nb::borrow<nb::tuple>(cached)[0].is(publish))
        return pyclass::truthy(nb::borrow<nb::tuple>(cached)[1]);
    bool keywords = !accepts_four_positional(publish);
    self.attr("_publish_call_style") = nb::make_tuple(publish, nb::bool_(keywords));
    return keywords;
}

void call_publish(nb::handle self, nb::handle data, nb::handle metadata, nb::handle transient,
                  nb::handle update) {
    nb::object publish = self.attr(S("_publish_orig"));
    if (needs_keywords(self, publish))
        publish(data, "metadata"_a = metadata, "transient"_a = transient, "update"_a = update);
    else
        publish(data, metadata, transient, update);
}

// ---- the three wrappers ----------------------------------------------------

nb::object stream_record(nb::handle cls, nb::handle name, nb::handle text) {
    if (!PyUnicode_Check(name.ptr())) // let the model validate an odd name
        return cls("type"_a = "stream", "name"_a = name, "text"_a = text);
    return stream_records().make(cls,
                                 {{S("type"), S("stream")}, {S("name"), name}, {S("text"), text}});
}

// The stream's name; one without a name (an in-memory buffer, say) is named
// after the standard stream whose write it replaces, so that its text is still
// forwarded to the right place instead of failing the user's print().
nb::object stream_name(nb::handle self, nb::handle stream) {
    PyObject *name = PyObject_GetAttr(stream.ptr(), S("name").ptr());
    if (name)
        return nb::steal(name);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw pyclass::error();
    PyErr_Clear();
    nb::object orig_out = self.attr(S("_stdout_write_orig"));
    bool is_out = nb::hasattr(orig_out, "__self__") && orig_out.attr("__self__").is(stream);
    return nb::str(is_out ? "<stdout>" : "<stderr>");
}

// While a display call is handed on to the front end: a front end that
// prints (a terminal shell's publisher writes text/plain to sys.stdout) must
// not have that text captured a second time as a stream write.
thread_local int forwarding_display = 0; // per thread by design: no lock, GIL or not
struct Forwarding {
    Forwarding() { ++forwarding_display; }
    ~Forwarding() { --forwarding_display; }
};

// ---- the write wrapper -------------------------------------------------------
// print() writes twice per line, so this is the hottest path of a capture.
// The wrapper is a plain C function bound to what it writes for and called
// by vectorcall: no bound-method object, no argument conversion, and the
// stream's name and kind are found once, when the wrapper is installed.

struct WriteTarget {
    nb::object manager, name, record_class;
    bool to_stderr, to_stdout;
    // The context stacks of a plain manager (a subclass may override the
    // properties that read them, so it goes through those).
    nb::object outputs_stack, send_stack;
};

nb::object target_outputs(const WriteTarget &t) {
    return t.outputs_stack.is_valid() ? top_of(t.outputs_stack) : current_outputs(t.manager);
}

bool target_send_flag(const WriteTarget &t) {
    return t.send_stack.is_valid() ? pyclass::truthy(top_of(t.send_stack))
                                   : current_send_flag(t.manager);
}

Py_ssize_t captured_write(const WriteTarget &t, nb::handle string) {
    pyclass::require_str(string, "string");
    if (string.is_none())
        return 0; // nothing to write
    nb::handle self = t.manager;
    if (forwarding_display > 0) {
        self.attr(t.to_stderr ? S("_stderr_write_orig") : S("_stdout_write_orig"))(string);
        return PyUnicode_GetLength(string.ptr());
    }
    nb::object outputs = target_outputs(t);
    if (PyList_Append(outputs.ptr(), stream_record(t.record_class, t.name, string).ptr()) < 0)
        throw pyclass::error();
    if (target_send_flag(t)) {
        if (!self.attr(S("ipython_shell")).is_none()) {
            nb::dict data;
            data[t.to_stderr ? kStderrMime : kStdoutMime] = string;
            call_publish(self, data, self.attr(S("metadata")), nb::dict(), nb::bool_(false));
        }
        if (t.to_stdout)
            self.attr(S("_stdout_write_orig"))(string);
        else if (t.to_stderr)
            self.attr(S("_stderr_write_orig"))(string);
    }
    return PyUnicode_GetLength(string.ptr());
}

// The capsule that carries a WriteTarget goes unnamed: only this file makes
// or reads one, and an unnamed capsule is opened without comparing names on
// every write.
const char *const kWriteTarget = nullptr;

// write(string), also by keyword as ipykernel's streams take it.
PyObject *the_string(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs == 1 && nkw == 0)
        return args[0];
    if (nargs == 0 && nkw == 1 &&
        PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, 0), "string") == 0)
        return args[0];
    PyErr_Format(PyExc_TypeError, "write() takes exactly one argument 'string' (%zd given)",
                 nargs + nkw);
    return nullptr;
}

PyObject *write_entry(PyObject *capsule, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    PyObject *string = the_string(args, PyVectorcall_NARGS(nargsf), kwnames);
    if (!string)
        return nullptr;
    auto *target = static_cast<WriteTarget *>(PyCapsule_GetPointer(capsule, kWriteTarget));
    if (!target)
        return nullptr;
    try {
        return PyLong_FromSsize_t(captured_write(*target, nb::handle(string)));
    } catch (nb::python_error &e) {
        e.restore();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

PyMethodDef write_def = {"_write", (PyCFunction)(void (*)(void))write_entry,
                         METH_FASTCALL | METH_KEYWORDS, "Wrapper method for OutStream.write()"};

nb::object make_write(nb::handle self, nb::handle stream) {
    nb::object name = stream_name(self, stream);
    auto *target = new WriteTarget{nb::borrow(self),
                                   name,
                                   G("TesselCapturedModel"),
                                   contains(name, "stderr"),
                                   contains(name, "stdout"),
                                   nb::object(),
                                   nb::object()};
    if (is_plain_manager(self) && !multithread(self)) {
        target->outputs_stack = self.attr(S("_outputs_list"));
        target->send_stack = self.attr(S("_send_to_front_list"));
    }
    PyObject *capsule = PyCapsule_New(target, kWriteTarget, [](PyObject *c) {
        delete static_cast<WriteTarget *>(PyCapsule_GetPointer(c, kWriteTarget));
    });
    if (!capsule) {
        delete target;
        throw pyclass::error();
    }
    nb::object owner = nb::steal(capsule);
    return pyclass::check(PyCFunction_NewEx(&write_def, owner.ptr(), nullptr));
}

void wrapped_publish(nb::handle self, nb::handle data, nb::handle metadata_arg,
                     nb::handle transient, nb::handle update) {
    nb::object metadata = nb::borrow(metadata_arg);
    nb::object own = self.attr(S("metadata"));
    if (!own.is_none()) {
        if (metadata.is_none()) // a display call without metadata still carries ours
            metadata = nb::dict();
        metadata.attr("update")(own);
    }
    nb::object record = G("TesselCapturedModel")("type"_a = "display_data", "data"_a = data,
                                                 "metadata"_a = metadata, "transient"_a = transient,
                                                 "update"_a = update);
    current_outputs(self).attr("append")(record);
    if (!current_send_flag(self))
        return;
    Forwarding forwarding;
    call_publish(self, data, metadata, transient, update);
}

void wrapped_clear_output(nb::handle self, nb::handle wait) {
    current_outputs(self).attr("append")(
        G("TesselCapturedModel")("type"_a = "clear_output", "wait"_a = wait));
    if (!current_send_flag(self))
        return;
    self.attr(S("_clear_output_orig"))("wait"_a = wait);
}

struct Wrappers {
    nb::object publish, clear_output;
};

// Each closes over the manager; bound with MethodType to the object whose
// method it replaces, which arrives as the first argument.
Wrappers make_wrappers(nb::handle self_h) {
    nb::object self = nb::borrow(self_h);
    Wrappers w;
    w.publish = nb::cpp_function(
        [self](nb::handle, obj data, obj metadata, obj transient, obj update) {
            wrapped_publish(self, data, metadata, transient, update);
        },
        nb::name("_publish"), "publisher"_a, "data"_a, "metadata"_a = nb::none(),
        "transient"_a = nb::none(), "update"_a = false,
        "Wrapper method for DisplayPublisher.publish()");
    w.clear_output =
        nb::cpp_function([self](nb::handle, obj wait) { wrapped_clear_output(self, wait); },
                         nb::name("_clear_output"), "publisher"_a, "wait"_a = false,
                         "Wrapper method for DisplayPublisher.clear_output()");
    return w;
}

// ---- install / restore -------------------------------------------------------

struct LockGuard {
    nb::object lock;
    explicit LockGuard(nb::object l) : lock(std::move(l)) { lock.attr("acquire")(); }
    ~LockGuard() {
        PyObject *r = PyObject_CallMethod(lock.ptr(), "release", nullptr);
        if (!r)
            PyErr_Clear(); // nothing sensible to do in a destructor
        Py_XDECREF(r);
    }
};

void install(nb::handle self, const Wrappers &w) {
    nb::object sys = G("sys"), method_type = G("MethodType");
    nb::object out = sys.attr("stdout"), err = sys.attr("stderr");
    out.attr("write") = make_write(self, out);
    err.attr("write") = make_write(self, err);
    nb::object shell = self.attr(S("ipython_shell"));
    if (!shell.is_none()) {
        nb::object pub = shell.attr("display_pub");
        pub.attr("publish") = method_type(w.publish, pub);
        pub = shell.attr("display_pub");
        pub.attr("clear_output") = method_type(w.clear_output, pub);
    }
}

void restore(nb::handle self) {
    nb::object sys = G("sys");
    sys.attr("stdout").attr("write") = self.attr(S("_stdout_write_orig"));
    sys.attr("stderr").attr("write") = self.attr(S("_stderr_write_orig"));
    nb::object shell = self.attr(S("ipython_shell"));
    if (!shell.is_none()) {
        shell.attr("display_pub").attr("publish") = self.attr(S("_publish_orig"));
        shell.attr("display_pub").attr("clear_output") = self.attr(S("_clear_output_orig"));
    }
}

void wrap_methods(nb::handle self, nb::handle outputs, nb::handle send_to_front) {
    Wrappers w = make_wrappers(self);
    LockGuard guard(self.attr(S("_lock")));
    if (pyclass::truthy(self.attr(S("is_unwrapped"))))
        install(self, w);
    self.attr(S("store_context"))(outputs, send_to_front);
}

void unwrap_methods(nb::handle self) {
    LockGuard guard(self.attr(S("_lock")));
    self.attr(S("remove_context"))();
    if (!pyclass::truthy(self.attr(S("has_remaining_context"))))
        restore(self);
}

void init_manager(nb::handle self, nb::handle shell, nb::handle metadata) {
    nb::object sys = G("sys");
    self.attr(S("ipython_shell")) = shell;
    self.attr(S("metadata")) = metadata;
    self.attr(S("_stdout_write_orig")) = sys.attr("stdout").attr("write");
    self.attr(S("_stderr_write_orig")) = sys.attr("stderr").attr("write");
    self.attr(S("_publish_orig")) = nb::none();
    self.attr(S("_clear_output_orig")) = nb::none();
    if (!shell.is_none()) {
        self.attr(S("_publish_orig")) = shell.attr("display_pub").attr("publish");
        self.attr(S("_clear_output_orig")) = shell.attr("display_pub").attr("clear_output");
    }
    nb::object defaultdict = G("defaultdict");
    nb::handle list_t = pyclass::builtin(PyList_Type), bool_t = pyclass::builtin(PyBool_Type);
    self.attr(S("_outputs_list")) = nb::list();
    self.attr(S("_outputs_dict")) = defaultdict(list_t);
    self.attr(S("_send_to_front_list")) = nb::list();
    self.attr(S("_send_to_front_dict")) = defaultdict(bool_t);
    self.attr(S("_lock")) = G("threading").attr("Lock")();
}

} // namespace

void define_manager(nb::module_ m) {
    ClassDef(m, "TesselCaptureManager", nb::make_tuple(pyclass::builtin(PyBaseObject_Type)),
             "Wrapper manager for display-pub Session's send method.\n\n"
             "Replaces sys.stdout.write (print() -> sys.stdout.write() -> session send), "
             "sys.stderr.write, shell.display_pub.publish (display() -> "
             "shell.display_pub.publish() -> session send) and "
             "shell.display_pub.clear_output while a capture context is open. sys.stdout "
             "may be an ipykernel OutStream or, on Windows, a "
             "colorama.ansitowin32.StreamWrapper: only its name and write are used.")
        .repr({{"contexts",
                [](nb::handle s) {
                    return nb::object(nb::int_(nb::len(nb::object(s.attr(S("_outputs_list"))))));
                }}})
        .def(
            "__init__",
            [](nb::handle self, obj shell, obj metadata) { init_manager(self, shell, metadata); },
            "ipython_shell"_a = nb::none(), "metadata"_a = nb::none(),
            "Save the methods that the wrappers replace; metadata is added to every display "
            "record.")
        .prop_ro(
            "is_multithread", [](nb::handle) { return false; },
            "Return True if DAG execution is multithread")
        .prop_ro(
            "outputs",
            [](nb::handle self) -> nb::object {
                if (multithread(self))
                    return self.attr(S("_outputs_dict"))[thread_id()];
                return self.attr(S("_outputs_list"))[nb::int_(-1)];
            },
            "Return target outputs list to store captured output\n\n"
            "For multithread, it is the list referenced by thread ID; otherwise the last "
            "attached list (single thread is assumed).")
        .prop_ro(
            "send_to_front",
            [](nb::handle self) -> nb::object {
                if (multithread(self))
                    return self.attr(S("_send_to_front_dict"))[thread_id()];
                return self.attr(S("_send_to_front_list"))[nb::int_(-1)];
            },
            "Return send flag whether to send the output contents to socket\n\n"
            "For multithread, it is the flag referenced by thread ID; otherwise the last "
            "attached flag (single thread is assumed).")
        .prop_ro(
            "is_unwrapped",
            [](nb::handle self) {
                nb::object current = G("sys").attr("stdout").attr("write");
                return pyclass::equal(current, self.attr(S("_stdout_write_orig")));
            },
            "Return True if core methods (sys.stdout.write) are unwrapped (original)")
        .prop_ro(
            "has_remaining_context",
            [](nb::handle self) {
                nb::object store = multithread(self) ? self.attr(S("_outputs_dict"))
                                                     : self.attr(S("_outputs_list"));
                return pyclass::truthy(store);
            },
            "Return True if there is active capture context")
        .def(
            "store_context",
            [](nb::handle self, obj outputs, obj send) { store_context(self, outputs, send); },
            "outputs"_a, "send_to_front"_a,
            "Store outputs (captured output store) and send_to_front (send-to-front)")
        .def(
            "remove_context", [](nb::handle self) { remove_context(self); },
            "Remove outputs and send_to_front from context store")
        .def(
            "wrap_methods",
            [](nb::handle self, obj outputs, obj send) { wrap_methods(self, outputs, send); },
            "outputs"_a, "send_to_front"_a = true,
            "Wrap methods (write, publish, clear_output) instance such that it captures and "
            "selectively sends msg")
        .def(
            "unwrap_methods", [](nb::handle self) { unwrap_methods(self); },
            "Unwrap send() method of Session instance")
        .finish();
}

} // namespace capture
