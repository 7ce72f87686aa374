// TesselComponentExecutor: runs one cell's code, in the kernel's shell or in
// a process with no shell, and answers with its results as a cache record.
//
// The cell runs in a namespace of its own (the kernel's user namespace is not
// touched), seeded with the module statements, the deserialized inputs and the
// parameters. Its output is captured; the names it binds become its outputs:
// modules as statements that import them again, everything else cloudpickled.
#include "tessel_core/_native/error_record.h"
#include "tessel_core/_native/fast_model.h"
#include "tessel_core/_native/module.h"
#include "tessel_core/executors/component_executors/local_executor/notebook.h"
#include "tessel_core/executors/component_executors/local_executor/outputs.h"
#include "tessel_core/executors/component_executors/local_executor/reads.h"

#include <optional>

namespace {

using outputs::collect_outputs;
using outputs::Outputs;
using outputs::serialize;
using outputs::summary_of;

// ---- responses ----------------------------------------------------------------

nb::object http(const char *member) {
    return G("HTTPStatus").attr(member);
}

nb::object cache_record(nb::handle statements, nb::handle outputs, nb::handle last,
                        nb::handle captured, nb::handle exc_lines, nb::handle summary) {
    // Built without re-validation: every value is already of its field's type,
    // and validating would copy each captured record.
    return G("TesselCacheModel")
        .attr("construct")("module_statements"_a = statements, "non_module_outputs"_a = outputs,
                           "last_output"_a = last, "captured"_a = captured,
                           "exception_msg"_a = exc_lines, "outputs_summary"_a = summary);
}

nb::object response(nb::handle status, nb::handle result, nb::handle message) {
    return G("TesselExecutionResponseModel")
        .attr("construct")("status"_a = status, "result"_a = result, "message"_a = message);
}

struct Failure {
    nb::object exc;
    nb::object name, text, lines;
};

// The caller's note on one input (see kInputNotesKey), or None.
nb::object input_note(nb::handle request, const char *kind, nb::handle name) {
    nb::object params = request.attr("parameters");
    if (!PyDict_Check(params.ptr()))
        return nb::none();
    PyObject *notes = PyDict_GetItemString(params.ptr(), notebook::kInputNotesKey);
    if (!notes || !PyDict_Check(notes))
        return nb::none();
    PyObject *of_kind = PyDict_GetItemString(notes, kind);
    if (!of_kind || !PyDict_Check(of_kind) || !name.is_valid() || name.is_none())
        return nb::none();
    PyObject *note = PyDict_GetItemWithError(of_kind, name.ptr());
    if (!note && PyErr_Occurred())
        throw pyclass::error();
    return note ? nb::borrow(note) : nb::none();
}

// Why a NameError's name is not there, when the caller knows it (an upstream
// output that could not be serialized).
nb::object missing_note(nb::handle request, nb::handle exc) {
    if (!pyclass::type_of(exc).is(PyExc_NameError)) // not UnboundLocalError
        return nb::none();
    return input_note(request, "missing", nb::getattr(exc, "name", nb::none()));
}

// `note`, when given, says in parentheses where the trouble came from.
Failure describe(nb::handle self, nb::handle exc, nb::handle note = nb::none()) {
    Failure f;
    f.exc = nb::borrow(exc);
    f.name = pyclass::type_of(exc).attr("__name__");
    f.text = pyclass::safe_str(exc); // a raising __str__ must not fail the report
    if (pyclass::is_instance(exc, pyclass::builtin(*(PyTypeObject *)PyExc_KeyboardInterrupt)))
        f.text = nb::str("Interrupted at component '{}'").attr("format")(self.attr(S("_name")));
    if (note.is_valid() && !note.is_none())
        f.text = nb::str("{} ({})").attr("format")(f.text, note);
    f.lines =
        pyclass::error_record(f.name, f.text, pyclass::traceback_body(exc),
                              nb::int_(pyclass::kExcLineLength), nb::str(pyclass::kExcTraceback));
    return f;
}

nb::object failure_response(nb::handle status, const Failure &f, nb::handle captured,
                            nb::handle message) {
    nb::object result = cache_record(nb::dict(), nb::dict(), nb::none(), captured, f.lines,
                                     G("TesselComponentOutputsSummaryModel")());
    return response(status, result, message);
}

// ---- namespace ----------------------------------------------------------------

// What seeding the namespace leaves for collecting the outputs.
struct Seeding {
    nb::list maps;   // the regions of the run's inputs, mapped copy-on-write
    nb::dict loaded; // input name -> the serialization its value came from
};

// A failed preparation of the run: the request itself is unusable.
struct BadRequest {
    nb::object response;
};

nb::object module_value(nb::handle sym, nb::handle stmt, nb::dict ns) {
    nb::object builtins = pyclass::import("builtins");
    if (pyclass::truthy(nb::borrow(sym).attr("__contains__")("."))) {
        // e.g. "os.path": the statement binds it (an import statement)
        builtins.attr("exec")(stmt, ns);
        return nb::none();
    }
    return builtins.attr("eval")(stmt, ns);
}

nb::object bad_request(nb::handle self, const char *what, nb::handle sym, nb::python_error &e,
                       nb::handle note = nb::none()) {
    Failure f = describe(self, e.value(), note);
    nb::object msg = nb::str("Could not {} '{}' of component '{}': {}: {}")
                         .attr("format")(what, sym, self.attr(S("_name")), f.name, f.text);
    return failure_response(http("BAD_REQUEST"), f, nb::list(), msg);
}

// An input that cannot be deserialized makes the request unusable: the
// caller hands over only the inputs the code needs.
// A packed input's regions are mapped copy-on-write and noted in `maps`;
// `loaded` gets, per input, the serialization its value is an unchanged
// copy of (what tells whether the run changed it).
void seed_inputs(nb::handle self, nb::handle request, nb::dict ns, const Seeding &seeding) {
    nb::object inputs = request.attr("non_module_inputs");
    for (auto kv : pyclass::expect<nb::dict>(inputs, "non_module_inputs")) {
        try {
            nb::object pair = G("packed").attr("load_input")(kv.second, seeding.maps);
            nb::object value = pair[0];
            seeding.loaded[kv.first] = pair[1];
            value = G("handle_obj_for_exceptions")(value);
            ns[kv.first] = notebook::bind_to_namespace(value, ns);
        } catch (nb::python_error &e) {
            nb::object where = input_note(request, "unreadable", kv.first);
            if (!where.is_none())
                where = nb::str("{} could not be read back").attr("format")(where);
            throw BadRequest{bad_request(self, "deserialize input", kv.first, e, where)};
        }
    }
}

nb::dict seed_namespace(nb::handle self, nb::handle shell, nb::handle request,
                        const Seeding &seeding) {
    nb::dict ns;
    notebook::seed_dunders(ns, shell);
    if (!shell.is_none())
        ns["get_ipython"] = shell.attr("get_ipython");
    nb::object statements = request.attr("module_statements");
    if (!statements.is_none())
        for (auto kv : pyclass::expect<nb::dict>(statements, "module_statements")) {
            try {
                nb::object value = module_value(kv.first, kv.second, ns);
                if (!pyclass::truthy(nb::borrow(kv.first).attr("__contains__")(".")))
                    ns[kv.first] = value;
            } catch (nb::python_error &e) {
                throw BadRequest{bad_request(self, "import module", kv.first, e)};
            }
        }
    nb::object inputs = request.attr("non_module_inputs");
    if (!inputs.is_none()) {
        nb::object figures = notebook::open_figures();
        seed_inputs(self, request, ns, seeding);
        notebook::close_input_figures(figures);
    }
    nb::object parameters = request.attr("parameters");
    if (!parameters.is_none())
        ns.attr("update")(parameters); // parameters win over inputs of the same name
    if (PyDict_DelItemString(ns.ptr(), notebook::kInputNotesKey) < 0)
        PyErr_Clear(); // absent
    notebook::start_random_state(ns);
    return ns;
}

// ---- running the code -----------------------------------------------------------

nb::object cell_filename(nb::handle self) {
    return nb::str("<component {}>").attr("format")(self.attr(S("_name")));
}

// Compile the body as statements and a final expression (if any) on its own,
// keeping the cell's line numbers; the source is registered with linecache so
// tracebacks show the cell's lines.
// The text that runs: the cell's code, IPython syntax transformed by the
// shell when there is one. The transform sees the run's namespace as the
// user's, as in a kernel: a name the namespace binds (an upstream
// `def load(path)`) is called, never taken for a magic of that name.
nb::object cell_source(nb::handle shell, nb::handle code, nb::dict ns) {
    nb::object source = code.is_none() ? nb::object(nb::str("")) : nb::borrow(code);
    if (!shell.is_none()) {
        notebook::UserNamespace user_ns(shell, ns);
        source = shell.attr("transform_cell")(source);
    }
    return source;
}

nb::object run_code(nb::handle self, nb::handle source, nb::dict ns) {
    nb::object filename = cell_filename(self);
    nb::object lines = source.attr("splitlines")("keepends"_a = true);
    G("linecache").attr("cache")[filename] =
        nb::make_tuple(nb::len(source), nb::none(), lines, filename);
    nb::object ast = G("ast"), builtins = pyclass::import("builtins");
    // compile() straight to an AST: ast.parse would add its own frame to the
    // traceback of a SyntaxError.
    nb::object tree = builtins.attr("compile")(source, filename, "exec", ast.attr("PyCF_ONLY_AST"));
    nb::list body = pyclass::expect<nb::list>(tree.attr("body"), "ast body");
    nb::object last_expr = G("code_analysis").attr("last_expression")(body);
    if (!last_expr.is_none() && !notebook::ends_with_semicolon(source)) {
        last_expr = ast.attr("Expression")(last_expr.attr("value"));
        body.attr("pop")();
    } else {
        last_expr = nb::none();
    }
    nb::object module = ast.attr("Module")(body, nb::list());
    builtins.attr("exec")(builtins.attr("compile")(module, filename, "exec"), ns);
    if (last_expr.is_none())
        return nb::none();
    return builtins.attr("eval")(builtins.attr("compile")(last_expr, filename, "eval"), ns);
}

// Standard streams of a run without a shell: every write becomes a "stream"
// record (and, in a pool worker, is forwarded to the display subscriber).
// Thread contract: used with the GIL held (a run's writes, in any thread).
pyclass::FastModel &stream_records() {
    static auto *fm = new pyclass::FastModel(); // never freed: outlives the interpreter
    return *fm;
}

struct StdSwap {
    nb::object sys, out, err;
    StdSwap(nb::handle new_out, nb::handle new_err) : sys(G("sys")) {
        out = sys.attr("stdout");
        err = sys.attr("stderr");
        sys.attr("stdout") = new_out;
        sys.attr("stderr") = new_err;
    }
    ~StdSwap() {
        if (PyObject_SetAttrString(sys.ptr(), "stdout", out.ptr()) < 0 ||
            PyObject_SetAttrString(sys.ptr(), "stderr", err.ptr()) < 0)
            PyErr_Clear();
    }
};

struct RunResult {
    nb::object value;
    nb::object shown; // the value as the shell formatted it, while the run was captured
    std::optional<Failure> failure;
    nb::list records;
};

// The run's live publisher to the display subscriber, marked with the
// component's id; None without a subscriber.
nb::object run_publisher(nb::handle self) {
    nb::object port = self.attr(S("_display_sub_port"));
    if (port.is_none())
        return nb::none();
    nb::dict tag;
    tag["component_id"] = self.attr(S("_id"));
    return G("TesselDisplayPublisher")("port"_a = port, "metadata"_a = tag);
}

// The run's publisher is closed however the run ends. Closing waits until
// what was sent has left this process, so the caller has every line by the
// time it sees the response (a pool may kill its workers right after).
RunResult run_without_shell(nb::handle self, nb::handle code, nb::dict ns) {
    RunResult r;
    nb::object recorder_t = G("TesselStreamRecorder");
    // One publisher for the run, shared by both streams.
    pyclass::Finally close{run_publisher(self), "close"};
    nb::object out = recorder_t("stdout", r.records, close.target);
    nb::object err = recorder_t("stderr", r.records, close.target);
    try {
        StdSwap swap(out, err);
        r.value = run_code(self, code, ns);
    } catch (nb::python_error &e) {
        r.failure = describe(self, e.value());
    }
    return r;
}

// The value's mime bundle as the shell formats it now, while its cell runs
// (a later %precision or pd.set_option must not change what it showed), as
// a record that travels and is cached with the run. None when the value
// cannot be formatted: whoever shows it then formats it as it can.
nb::object formatted_value(nb::handle shell, nb::handle value) {
    if (shell.is_none() || !value.is_valid() || value.is_none())
        return nb::none();
    try {
        // A value that displays itself (a plotly figure) does it here, inside
        // the capture, and leaves an empty bundle, as in a kernel.
        nb::object bundle = G("worker_shell_module").attr("format_value")(shell, value);
        return G("TesselCapturedModel")("type"_a = "execute_result", "data"_a = bundle[0],
                                        "metadata"_a = bundle[1]);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        return nb::none();
    }
}

RunResult run_in_shell(nb::handle self, nb::handle shell, nb::handle code, nb::handle send_to_front,
                       nb::dict ns) {
    RunResult r;
    nb::dict metadata;
    metadata["component_id"] = self.attr(S("_id"));
    nb::object manager =
        G("TesselCaptureManager")("ipython_shell"_a = shell, "metadata"_a = metadata);
    nb::object context = G("tessel_capture_output")("send_to_front"_a = send_to_front,
                                                    "capture_manager"_a = manager);
    nb::object captured = context.attr("__enter__")();
    {
        // left however the run ends: the wrappers it installed never stay behind
        pyclass::Finally leave{context, "__exit__"};
        notebook::UserNamespace user_ns(shell, ns);
        try {
            r.value = run_code(self, code, ns);
            r.shown = formatted_value(shell, r.value);
            notebook::flush_inline_figures();
        } catch (nb::python_error &e) {
            r.failure = describe(self, e.value());
        }
    }
    if (!captured.is_none())
        r.records = pyclass::expect<nb::list>(captured.attr("outputs"), "captured outputs");
    return r;
}

// A worker process (pool or Celery) runs the component in a shell of its own,
// as the kernel would, with what it prints and shows forwarded live to the
// run's display subscriber, if any. The publisher is closed however the run
// ends, after the forwarding is undone.
RunResult run_in_worker_shell(nb::handle self, nb::handle shell, nb::handle code, nb::dict ns) {
    pyclass::Finally close{run_publisher(self), "close"};
    nb::object forwarding = G("worker_shell_module").attr("forwarding")(shell, close.target);
    forwarding.attr("__enter__")();
    pyclass::Finally undo{forwarding, "__exit__"};
    return run_in_shell(self, shell, code, nb::bool_(true), ns);
}

// ---- execute -------------------------------------------------------------------

// The files the run read and the modules it used, as a "reads" data record
// (cached and sent with its results, skipped by replay); None when it read
// neither.
nb::object what_it_read(const reads::Recording &read, nb::dict ns, nb::handle source) {
    nb::object data =
        G("reads").attr("what_it_read")(read.files, read.imports, ns, notebook::names_read(source));
    if (!pyclass::truthy(data["files"]) && !pyclass::truthy(data["modules"]))
        return nb::none();
    return G("TesselCapturedModel")("type"_a = "reads", "data"_a = data);
}

// The outputs a run could not serialize, as data that is cached and sent with
// its results (replay skips it): {"outputs": {name: why}, "message": the
// notice the run gave}.
nb::object left_out_record(const Outputs &o, nb::handle message) {
    nb::dict data;
    data["outputs"] = o.left_out;
    data["message"] = nb::str(message).attr("rstrip")("\n");
    return G("TesselCapturedModel")("type"_a = "left_out", "data"_a = data);
}

// The serialized inputs whose values the run started with (a parameter of the
// same name replaced the input).
nb::object seeded_inputs(nb::handle request, nb::dict loaded) {
    nb::object parameters = request.attr("parameters");
    if (parameters.is_none() || !pyclass::truthy(parameters))
        return loaded;
    nb::dict kept;
    for (auto kv : loaded)
        if (!pyclass::truthy(parameters.attr("__contains__")(kv.first)))
            kept[kv.first] = kv.second;
    return kept;
}

// Whether this run is in a worker process: one Celery runs it in (True), or
// another process than the one that made the executor for a pool (its pid);
// a thread pool of the same process runs it as any caller would.
bool runs_in_a_worker(nb::handle self) {
    nb::object mark = nb::getattr(self, "_worker_shell", nb::none());
    if (PyBool_Check(mark.ptr()))
        return mark.ptr() == Py_True;
    if (!PyLong_Check(mark.ptr()))
        return false;
    return !pyclass::equal(mark, G("os").attr("getpid")());
}

nb::object execute(nb::handle self, nb::handle request) {
    nb::object marker = nb::getattr(self, "_run_marker", nb::none());
    if (!marker.is_none())
        G("poolwatch").attr("note_worker")(marker);
    nb::dict ns;
    nb::object source, names = nb::none();
    nb::object shell = self.attr(S("_ipython_shell"));
    bool in_worker = shell.is_none() && runs_in_a_worker(self);
    if (in_worker)
        shell = G("worker_shell_module").attr("worker_shell")();
    Seeding seeding;
    try {
        ns = seed_namespace(self, shell, request, seeding);
    } catch (BadRequest &bad) {
        return bad.response;
    }
    source = cell_source(shell, request.attr("cell_code"), ns);
    // only inputs can have been changed in place: no inputs, nothing to parse
    if (pyclass::truthy(request.attr("non_module_inputs")))
        names = notebook::with_callee_names(notebook::names_read(source), ns);
    nb::dict before = nb::borrow<nb::dict>(pyclass::check(PyDict_Copy(ns.ptr())));
    notebook::RandomLook random_before = notebook::look_at_random();
    reads::Recording read; // stopped however the run ends
    RunResult run = in_worker ? run_in_worker_shell(self, shell, source, ns)
                    : shell.is_none()
                        ? run_without_shell(self, source, ns)
                        : run_in_shell(self, shell, source, request.attr("send_to_front"), ns);
    read.stop();
    if (run.failure) {
        nb::object note = missing_note(request, run.failure->exc);
        if (!note.is_none())
            run.failure = describe(self, run.failure->exc, note);
        nb::object msg =
            nb::str("Component '{}' failed: {}: {}")
                .attr("format")(self.attr(S("_name")), run.failure->name, run.failure->text);
        return failure_response(http("INTERNAL_SERVER_ERROR"), *run.failure, run.records, msg);
    }
    Outputs o = collect_outputs(before, ns, source, seeded_inputs(request, seeding.loaded), names,
                                seeding.maps);
    nb::object last = nb::none();
    if (run.value.is_valid() && !run.value.is_none()) {
        last = serialize(run.value, nb::str("the value of the last expression"), o, seeding.maps);
        if (run.shown.is_valid() && !run.shown.is_none())
            run.records.append(run.shown);
    }
    nb::object moved = notebook::random_state_record(random_before);
    if (!moved.is_none())
        run.records.append(moved);
    nb::object used = what_it_read(read, ns, source);
    if (!used.is_none())
        run.records.append(used);
    nb::object status = http("OK"), message = nb::str("");
    if (nb::len(o.problems)) {
        status = http("PARTIAL_CONTENT");
        message =
            nb::str("Some results of component '{}' could not be serialized and were "
                    "left out: {}\n")
                .attr("format")(self.attr(S("_name")), nb::str("; ").attr("join")(o.problems));
        run.records.append(left_out_record(o, message));
    }
    nb::object result =
        cache_record(o.statements, o.serialized, last, run.records, nb::none(), summary_of(o));
    return response(status, result, message);
}

// ---- classes ---------------------------------------------------------------------

nb::object record_stream(nb::handle self, nb::handle text) {
    if (!PyUnicode_Check(text.ptr()))
        pyclass::raise_fmt(PyExc_TypeError, "write() argument must be str, not %.200s",
                           Py_TYPE(text.ptr())->tp_name);
    nb::object name = self.attr(S("name"));
    nb::object record = stream_records().make(
        G("TesselCapturedModel"), {{S("type"), S("stream")}, {S("name"), name}, {S("text"), text}});
    self.attr(S("_records")).attr("append")(record);
    nb::object publisher = self.attr(S("_publisher"));
    if (!publisher.is_none())
        publisher.attr("send_text")(self.attr(S("name")), text);
    return nb::int_(PyUnicode_GetLength(text.ptr()));
}

// A text stream in every respect a cell may rely on (writelines, closed,
// fileno raising io.UnsupportedOperation, isatty, encoding): io.TextIOBase
// supplies them, write and flush are the recorder's.
void define_stream_recorder(nb::module_ m) {
    ClassDef(m, "TesselStreamRecorder", nb::make_tuple(G("io").attr("TextIOBase")),
             "Standard stream of a run without a shell: records every write.")
        .def(
            "__init__",
            [](nb::handle self, obj name, obj records, obj publisher) {
                self.attr(S("name")) = name;
                self.attr(S("_records")) = records;
                self.attr(S("_publisher")) = publisher;
            },
            "name"_a, "records"_a, "publisher"_a = nb::none(),
            "A stream called name that appends its writes to records and, with a publisher, "
            "also sends them live.")
        .def(
            "write", [](nb::handle self, obj text) { return record_stream(self, text); }, "text"_a,
            "Record text (and publish it); the number of characters written.")
        .def(
            "flush", [](nb::handle) {}, "Nothing to do: every write is recorded at once.")
        .def(
            "isatty", [](nb::handle) { return false; }, "False: not a terminal.")
        .def(
            "writable", [](nb::handle) { return true; }, "True.")
        .attr("encoding", nb::str("utf-8"))
        .attr("errors", nb::str("strict"))
        .finish();
}

void define_executor(nb::module_ m) {
    nb::handle object_t = pyclass::builtin(PyBaseObject_Type);
    nb::object cls =
        ClassDef(m, "TesselComponentExecutor", nb::make_tuple(object_t),
                 "Runs a component's code in this process, in the given shell or without one.")
            .def(
                "__init__",
                [](nb::handle self, obj identifier, obj name, obj shell, obj port) {
                    self.attr(S("_id")) = identifier;
                    self.attr(S("_name")) = name;
                    self.attr(S("_ipython_shell")) = shell;
                    self.attr(S("_display_sub_port")) = port;
                },
                "identifier"_a = nb::none(), "name"_a = nb::none(), "ipython_shell"_a = nb::none(),
                "display_sub_port"_a = nb::none(),
                "Remember the component this executor runs and where its output goes: the "
                "shell, or the display subscriber's port.")
            .repr({{"identifier", [](nb::handle s) { return nb::object(s.attr(S("_id"))); }},
                   {"name", [](nb::handle s) { return nb::object(s.attr(S("_name"))); }}})
            .def(
                "execute", [](nb::handle self, obj request) { return execute(self, request); },
                "request"_a, "Run the request's code; return a TesselExecutionResponseModel.")
            .def("__getstate__",
                 [](nb::handle self) {
                     // A shell belongs to its process: a copy sent to a worker runs without one.
                     nb::dict state = nb::borrow<nb::dict>(
                         pyclass::check(PyDict_Copy(self.attr("__dict__").ptr())));
                     state["_ipython_shell"] = nb::none();
                     return state;
                 })
            .finish();
}

} // namespace

NB_MODULE(executor, m) {
    globals.init(m);
    for (const char *name :
         {"ast", "inspect", "io", "linecache", "pickle", "random", "sys", "traceback", "types"})
        m.attr(name) = pyclass::import(name);
    m.attr("cloudpickle") = pyclass::import("cloudpickle");
    m.attr("HTTPStatus") = pyclass::import("http").attr("HTTPStatus");
    nb::module_ capture = pyclass::import("tessel_core.capture");
    m.attr("TesselCaptureManager") = capture.attr("TesselCaptureManager");
    m.attr("tessel_capture_output") = capture.attr("tessel_capture_output");
    m.attr("handle_obj_for_exceptions") =
        pyclass::import("tessel_core.executors.component_executors.local_executor.functions")
            .attr("handle_obj_for_exceptions");
    nb::module_ models = pyclass::import("tessel_core.misc.models");
    for (const char *name :
         {"TesselCacheModel", "TesselCapturedModel", "TesselComponentOutputsSummaryModel",
          "TesselExecutionRequestModel", "TesselExecutionResponseModel"})
        m.attr(name) = models.attr(name);
    m.attr("os") = pyclass::import("os");
    m.attr("DisplayHook") = pyclass::import("IPython.core.displayhook").attr("DisplayHook");
    m.attr("TesselDisplayPublisher") =
        pyclass::import("tessel_core.misc.pubtap").attr("TesselDisplayPublisher");
    m.attr("reads") =
        pyclass::import("tessel_core.executors.component_executors.local_executor.reads");
    m.attr("poolwatch") =
        pyclass::import("tessel_core.executors.component_executors.local_executor.poolwatch");
    m.attr("code_analysis") = pyclass::import("tessel_core.common.code");
    m.attr("packed") = pyclass::import("tessel_core.common.packed");
    m.attr("worker_shell_module") =
        pyclass::import("tessel_core.executors.component_executors.local_executor.shell");
    // The reserved parameters a caller passes a run's context in.
    m.attr("RANDOM_STATE_PARAMETER") = notebook::kRandomStateKey;
    m.attr("INPUT_NOTES_PARAMETER") = notebook::kInputNotesKey;
    define_stream_recorder(m);
    define_executor(m);
}
