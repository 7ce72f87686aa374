// The Celery tasks a remote worker runs: a ping, and the execution of one
// component run with the local executor (no shell) in the worker process.
#include "tessel_core/_native/module.h"

namespace {

nb::tuple pong() {
    nb::object host = G("socket").attr("gethostname")();
    nb::object text =
        nb::str("pong from {} (pid {})").attr("format")(host, G("os").attr("getpid")());
    return nb::make_tuple(true, text);
}

nb::object execute_request(nb::handle identifier, nb::handle name, nb::handle request) {
    nb::object executor = G("TesselComponentExecutor")("identifier"_a = identifier, "name"_a = name,
                                                       "ipython_shell"_a = nb::none(),
                                                       "display_sub_port"_a = nb::none());
    // the worker runs it in a shell of its own, as the kernel would
    executor.attr("_worker_shell") = nb::bool_(true);
    nb::object response = executor.attr("execute")("request"_a = request);
    // Outputs above the worker's store threshold travel as references.
    return pyclass::import("tessel_core.executors.component_executors.store")
        .attr("offload_response")(response);
}

void define_tasks(nb::module_ m) {
    nb::object task = G("Task");
    ClassDef(m, "TesselRemotePingTask", nb::make_tuple(task),
             "Answers (True, text) from the worker that took it.")
        .attr("name", nb::str("tessel_core.remote.ping"))
        .def(
            "run", [](nb::handle) { return pong(); }, "(True, text naming this worker).")
        .finish();
    ClassDef(m, "TesselRemoteComponentExecuteTask", nb::make_tuple(task),
             "Runs one component request in the worker and returns the response.")
        .attr("name", nb::str("tessel_core.remote.execute"))
        .def(
            "run",
            [](nb::handle, obj identifier, obj name, obj request) {
                return execute_request(identifier, name, request);
            },
            "identifier"_a, "name"_a, "request"_a,
            "Run the request's code in this worker; the response record.")
        .finish();
}

} // namespace

NB_MODULE(tasks, m) {
    globals.init(m);
    m.attr("os") = pyclass::import("os");
    m.attr("socket") = pyclass::import("socket");
    m.attr("Task") = pyclass::import("celery").attr("Task");
    m.attr("TesselComponentExecutor") =
        pyclass::import("tessel_core.executors.component_executors.local_executor")
            .attr("TesselComponentExecutor");
    define_tasks(m);
}
