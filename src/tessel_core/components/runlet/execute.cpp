// Running a runlet synchronously, turning responses and errors into its
// state, and replaying its output.
#include "tessel_core/components/runlet/runlet.h"

namespace runlet {

namespace {

nb::list input_names(nb::handle non_module_inputs) {
    nb::list names;
    if (!non_module_inputs.is_none())
        for (nb::handle key : non_module_inputs)
            names.append(key);
    return names;
}

nb::list import_lines(nb::handle module_statements) {
    nb::list lines;
    if (module_statements.is_none())
        return lines;
    for (auto &[sym, stmt] : pyclass::items_of(module_statements, "module_statements")) {
        if (pyclass::truthy(sym.attr("__contains__")(".")))
            lines.append(nb::str("{}").attr("format")(stmt));
        else
            lines.append(nb::str(sym) + nb::str(" = ") + nb::str(stmt));
    }
    return lines;
}

nb::object stderr_record(nb::handle text) {
    return G("TesselCapturedModel")("type"_a = "stream", "name"_a = "<stderr>", "text"_a = text);
}

bool is_success(nb::handle status) {
    nb::object http = G("HTTPStatus");
    return pyclass::equal(status, http.attr("OK")) ||
           pyclass::equal(status, http.attr("PARTIAL_CONTENT"));
}

// Names of the non-module outputs, read without deserializing the values.
nb::list output_names(nb::handle self) {
    nb::list names;
    nb::object raw = result_holder(self).attr("non_module_outputs");
    if (pyclass::truthy(raw))
        for (nb::handle key : raw)
            names.append(key);
    return names;
}

nb::object executor_for(nb::handle self, nb::handle shell) {
    return G("TesselComponentExecutor")("identifier"_a = self.attr("id"),
                                        "name"_a = self.attr("name"), "ipython_shell"_a = shell,
                                        "display_sub_port"_a = nb::none());
}

nb::object execute(nb::handle self, nb::handle shell, nb::handle statements, nb::handle inputs,
                   nb::handle parameters, nb::handle send_to_front) {
    nb::object response;
    try {
        nb::object request = prepare_run(self, statements, inputs, parameters, send_to_front);
        nb::object executor;
        ExecutorChoice choice = choose_executor(self);
        if (!choice.unreachable.is_none()) {
            record_failure(self, choice.unreachable);
            return nb::none();
        }
        executor = choice.remote.is_none() ? executor_for(self, shell) : choice.remote;
        response = executor.attr("execute")("request"_a = request);
    } catch (nb::python_error &e) {
        // A run never stays RUNNING: the component ends FAILED with the
        // record of why, and the caller still sees the exception.
        record_failure(self, e.value());
        throw;
    }
    return apply_response(self, response, false);
}

// The exception to record: the one given. Where `exc` is not the exception
// being handled (a pool's error callback, the remote-ping path, a call from an
// unrelated except block) its own traceback is used, so that a failure never
// ends with a FAILED status and no record of why.
void describe_error(nb::handle self, nb::handle exc) {
    self.attr("status") = component_status("FAILED");
    if (!PyExceptionInstance_Check(exc.ptr())) {
        nb::object info = G("sys").attr("exc_info")();
        if (info[0].is_none())
            return;
        exc = info[1];
    }
    nb::object exc_name = pyclass::type_of(exc).attr("__name__");
    nb::object exc_string = pyclass::safe_str(exc);
    if (pyclass::is_instance(exc, pyclass::builtin(*(PyTypeObject *)PyExc_KeyboardInterrupt)))
        exc_string = nb::str("Interrupted at component '{}'").attr("format")(self.attr(S("_name")));
    nb::list stb = pyclass::traceback_body(exc);
    nb::list lines =
        pyclass::error_record(exc_name, exc_string, stb, G("EXC_LINE_LENGTH"), G("EXC_TRACEBACK"));
    self.attr("exception_msg") = lines;
    nb::list captured;
    captured.append(stderr_record(nb::str("\n").attr("join")(lines)));
    self.attr("captured") = captured;
}

// handle_error is also the pool's error callback, and an exception there would
// end the pool's result thread: it never raises. When the record cannot be
// built, the status still ends FAILED.
void handle_error(nb::handle self, nb::handle exc) {
    try {
        describe_error(self, exc);
        return;
    } catch (nb::python_error &e) {
        e.discard_as_unraisable("recording the failure of a component");
    }
    nb::object failed;
    try {
        failed = component_status("FAILED");
    } catch (nb::python_error &e) {
        e.discard_as_unraisable("recording the failure of a component");
        return;
    }
    if (PyObject_SetAttrString(self.ptr(), "status", failed.ptr()) < 0)
        PyErr_WriteUnraisable(self.ptr());
}

void show_captured(nb::handle self, nb::handle shell) {
    nb::object captured = self.attr("captured");
    if (!pyclass::truthy(captured))
        return;
    G("TesselCapturedIO")
    ("outputs"_a = captured)
        .attr("show")("ipython_shell"_a = shell, "component_id"_a = self.attr(S("_id")));
}

void show_last_output(nb::handle self, nb::handle shell) {
    if (self.attr("last_output").is_none())
        return;
    if (shell.is_none()) {
        G("sys").attr("stdout").attr("write")(nb::repr(self.attr("last_output")));
        return;
    }
    nb::object formatted = shell.attr("display_formatter").attr("format")(self.attr("last_output"));
    nb::object hook = shell.attr("displayhook");
    for (nb::handle data : formatted) {
        nb::dict metadata, content;
        metadata["component_id"] = self.attr(S("_id"));
        content["execution_count"] = 0;
        content["data"] = data;
        content["metadata"] = metadata;
        hook.attr("session").attr("send")(hook.attr("pub_socket"), "execute_result", content,
                                          "parent"_a = hook.attr("parent_header"),
                                          "ident"_a = nb::bytes("execute_result"));
    }
}

} // namespace

void record_failure(nb::handle self, nb::handle exc) {
    self.attr("handle_error")(exc);
}

nb::object ping_failure(nb::handle remote) {
    nb::tuple ping = nb::borrow<nb::tuple>(
        pyclass::check(PySequence_Tuple(nb::object(remote.attr("ping")()).ptr())));
    if (nb::len(ping) != 2)
        pyclass::raise(PyExc_ValueError, "ping() must answer (flag, message)");
    if (pyclass::truthy(ping[0]))
        return nb::none();
    nb::object text = nb::str("An error occurred creating TesselRemoteComponentExecutor: ") +
                      nb::str("{}").attr("format")(ping[1]);
    return pyclass::check(PyObject_CallOneArg(PyExc_RuntimeError, text.ptr()));
}

nb::object prepare_run(nb::handle self, nb::handle statements, nb::handle inputs,
                       nb::handle parameters, nb::handle send_to_front) {
    self.attr("status") = component_status("RUNNING");
    self.attr("in_and_out") = G("TesselComponentInOutModel")(
        "inputs"_a = input_names(inputs), "imports"_a = import_lines(statements));
    nb::dict serialized;
    if (!inputs.is_none())
        for (auto &[name, value] : pyclass::items_of(inputs, "non_module_inputs"))
            serialized[name] = pyclass::is_instance(value, G("SerializedValue"))
                                   ? value.attr("blob")
                                   : G("cloudpickle").attr("dumps")(value);
    return G("TesselExecutionRequestModel")(
        "cell_code"_a = self.attr("cell_code"), "module_statements"_a = statements,
        "non_module_inputs"_a = serialized, "parameters"_a = parameters,
        "send_to_front"_a = send_to_front);
}

ExecutorChoice choose_executor(nb::handle self) {
    ExecutorChoice choice{nb::none(), nb::none()};
    nb::object config = G("_executor_choice").attr("remote_config_for")(self);
    if (config.is_none())
        return choice;
    choice.remote = remote_executor_class()(
        "identifier"_a = self.attr("id"), "name"_a = self.attr("name"),
        "backend"_a = config.attr("backend"), "broker"_a = config.attr("broker"));
    choice.unreachable = ping_failure(choice.remote);
    return choice;
}

nb::object apply_response(nb::handle self, nb::handle response, bool lines_before_status) {
    nb::object status = response.attr("status");
    if (!is_success(status)) {
        self.attr("clear_quickhold")();
        nb::object lines = response.attr("result").attr("exception_msg");
        if (lines_before_status)
            self.attr("exception_msg") = lines;
        self.attr("status") = component_status("FAILED");
        if (!lines_before_status)
            self.attr("exception_msg") = lines;
        nb::list captured;
        captured.append(stderr_record(response.attr("message")));
        self.attr("captured") = captured;
        return nb::none();
    }
    self.attr("load_quickhold")(G("TesselQuickhold")("cache"_a = response.attr("result")));
    if (pyclass::equal(status, G("HTTPStatus").attr("PARTIAL_CONTENT"))) {
        if (!pyclass::truthy(self.attr("captured")))
            self.attr("captured") = nb::list();
        self.attr("captured").attr("append")(stderr_record(response.attr("message")));
    }
    self.attr("in_and_out").attr("outputs") = output_names(self);
    self.attr("in_and_out").attr("summary") = self.attr("outputs_summary");
    self.attr("status") = component_status("SUCCESSFUL");
    return self.attr("last_output");
}

void define_execution(ClassDef &cls) {
    cls.def(
           "execute",
           [](nb::handle self, obj shell, obj statements, obj inputs, obj parameters,
              obj send_to_front) {
               return execute(self, shell, statements, inputs, parameters, send_to_front);
           },
           "ipython_shell"_a = nb::none(), "module_statements"_a = nb::none(),
           "non_module_inputs"_a = nb::none(), "parameters"_a = nb::none(),
           "send_to_front"_a = true,
           "Run the cell once in this thread; the value of its last expression, or None.")
        .def(
            "handle_error", [](nb::handle self, obj exc) { handle_error(self, exc); }, "exc"_a,
            "Record exc as the component's failure.")
        .def(
            "show_captured", [](nb::handle self, obj shell) { show_captured(self, shell); },
            "ipython_shell"_a = nb::none(), "Replay the captured output of the last run.")
        .def(
            "show_last_output", [](nb::handle self, obj shell) { show_last_output(self, shell); },
            "ipython_shell"_a, "Send the last value to the front end (or standard output).");
}

} // namespace runlet
