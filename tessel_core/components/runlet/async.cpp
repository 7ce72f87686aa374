// Running a runlet in a caller's process pool; the response is applied by the
// pool's result thread through _execute_async_result.
#include "tessel_core/components/runlet/runlet.h"

namespace runlet {

namespace {

nb::object submit(nb::handle self, nb::handle pool, nb::handle executor, nb::handle request) {
    return pool.attr("apply_async")("func"_a = executor.attr("execute"),
                                    "args"_a = nb::make_tuple(request),
                                    "callback"_a = self.attr("_execute_async_result"),
                                    "error_callback"_a = self.attr("handle_error"));
}

nb::object execute_async(nb::handle self, nb::handle pool, nb::handle statements, nb::handle inputs,
                         nb::handle parameters, nb::handle send_to_front, nb::handle port) {
    nb::object request = prepare_run(self, statements, inputs, parameters, send_to_front);
    if (pyclass::truthy(self.attr("remote_config"))) {
        nb::object remote = remote_executor(self);
        nb::tuple ping = nb::borrow<nb::tuple>(
            pyclass::check(PySequence_Tuple(nb::object(remote.attr("ping")()).ptr())));
        if (nb::len(ping) != 2)
            pyclass::raise(PyExc_ValueError, "ping() must answer (flag, message)");
        if (!pyclass::truthy(ping[0])) {
            self.attr("status") = component_status("FAILED");
            nb::object text =
                nb::str("An error occurred creating TesselRemoteComponentExecutor: ") +
                nb::str("{}").attr("format")(ping[1]);
            PyErr_SetObject(PyExc_RuntimeError, text.ptr());
            throw pyclass::error();
        }
        return submit(self, pool, remote, request);
    }
    nb::object executor =
        G("TesselComponentExecutor")("identifier"_a = self.attr("id"), "name"_a = self.attr("name"),
                                     "ipython_shell"_a = nb::none(), "display_sub_port"_a = port);
    return submit(self, pool, executor, request);
}

} // namespace

void define_async(ClassDef &cls) {
    cls.def(
           "execute_async",
           [](nb::handle self, obj pool, obj statements, obj inputs, obj parameters,
              obj send_to_front, obj port) {
               return execute_async(self, pool, statements, inputs, parameters, send_to_front,
                                    port);
           },
           "process_pool"_a, "module_statements"_a = nb::none(), "non_module_inputs"_a = nb::none(),
           "parameters"_a = nb::none(), "send_to_front"_a = true, "display_sub_port"_a = nb::none(),
           "Start a run in process_pool; wait on the returned ApplyResult before reading "
           "the results.")
        .def(
            "_execute_async_result",
            [](nb::handle self, obj response) { return apply_response(self, response, true); },
            "response"_a, "Apply a run's response (the pool's success callback).");
}

} // namespace runlet
