// Command-line entry of a remote worker, run as
//   python -m tessel_core.executors.component_executors.remote_executor
//       --broker redis://HOST:6379 --backend redis://HOST:6379 [--loglevel INFO]
#include "tessel_core/_native/module.h"

namespace {

const char *kLocalRedis = "redis://localhost:6379";

nb::object parser() {
    nb::object p =
        G("argparse")
            .attr("ArgumentParser")(
                "prog"_a = "python -m tessel_core.executors.component_executors.remote_executor",
                "description"_a =
                    "Run a worker that executes components sent to it through Celery.");
    p.attr("add_argument")("--broker", "default"_a = kLocalRedis,
                           "help"_a = "broker URL (default: %(default)s)");
    p.attr("add_argument")("--backend", "default"_a = kLocalRedis,
                           "help"_a = "result backend URL (default: %(default)s)");
    p.attr("add_argument")("--loglevel", "default"_a = "INFO",
                           "help"_a = "worker log level (default: %(default)s)");
    p.attr("add_argument")("--concurrency", "type"_a = pyclass::builtin(PyLong_Type),
                           "default"_a = nb::none(),
                           "help"_a = "worker processes (default: one per core)");
    return p;
}

int main_(nb::handle argv) {
    nb::object args = parser().attr("parse_args")(argv);
    nb::object executor = G("TesselRemoteComponentExecutor")(
        "identifier"_a = "worker", "name"_a = "worker", "backend"_a = args.attr("backend"),
        "broker"_a = args.attr("broker"));
    nb::object concurrency = args.attr("concurrency");
    if (!concurrency.is_none())
        executor.attr("_celery_app").attr("conf").attr("worker_concurrency") = concurrency;
    return nb::cast<int>(executor.attr("run_executor")("loglevel"_a = args.attr("loglevel")));
}

} // namespace

NB_MODULE(worker, m) {
    globals.init(m);
    m.attr("argparse") = pyclass::import("argparse");
    m.attr("TesselRemoteComponentExecutor") =
        pyclass::import("tessel_core.executors.component_executors.remote_executor.executor")
            .attr("TesselRemoteComponentExecutor");
    m.def(
        "main", [](pyclass::obj argv) { return main_(argv); }, "argv"_a = nb::none(),
        "Parse the command line and run a worker until it stops; the exit status.");
}
