// Command-line entry of a remote worker, run as
//   python -m tessel_core.executors.component_executors.remote_executor
//       --broker redis://HOST:6379 --backend redis://HOST:6379 [--loglevel INFO]
#include "tessel_core/_native/module.h"
#include "tessel_core/executors/component_executors/remote_executor/defaults.h"

namespace {

using remote_defaults::kLocalRedis;

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
    p.attr("add_argument")("--store", "metavar"_a = "DIR_OR_URL", "default"_a = nb::none(),
                           "help"_a = "directory or fsspec URL, reachable by the clients too, "
                                      "where outputs above --store-threshold go; only a "
                                      "reference then travels through the result backend");
    p.attr("add_argument")("--store-threshold", "metavar"_a = "MB",
                           "type"_a = pyclass::builtin(PyFloat_Type), "default"_a = 64.0,
                           "help"_a = "size above which an output goes to the store "
                                      "(default: %(default)s)");
    return p;
}

bool is_loopback(nb::handle host) {
    if (host.is_none())
        return true; // a unix socket or the default host
    if (pyclass::equal(host, S("localhost")))
        return true;
    try {
        return pyclass::truthy(G("ipaddress").attr("ip_address")(host).attr("is_loopback"));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError))
            throw;
        return false; // a host name other than localhost
    }
}

// Tasks and results travel as pickles: whoever can write to the broker can
// run code on this worker. A warning (None when the URL is safe) for a broker
// that is neither on this machine nor behind a password.
nb::object exposure_warning(nb::handle url) {
    pyclass::require_str(url, "url");
    if (url.is_none())
        return nb::none();
    nb::object parts = G("urlsplit")(url);
    if (!parts.attr("password").is_none() || is_loopback(parts.attr("hostname")))
        return nb::none();
    return nb::str("warning: {} is not on this machine and has no password; messages carry "
                   "pickles, so anyone who can reach it can run code on this worker. Bind it "
                   "to 127.0.0.1 or protect it with a password (and TLS).")
        .attr("format")(url);
}

int main_(nb::handle argv) {
    nb::object args = parser().attr("parse_args")(argv);
    for (const char *which : {"broker", "backend"}) {
        nb::object warning = exposure_warning(args.attr(which));
        if (!warning.is_none())
            G("sys").attr("stderr").attr("write")(warning + nb::str("\n"));
    }
    nb::object executor = G("TesselRemoteComponentExecutor")(
        "identifier"_a = "worker", "name"_a = "worker", "backend"_a = args.attr("backend"),
        "broker"_a = args.attr("broker"));
    // The worker's processes read these when a run ends
    // (tessel_core.executors.component_executors.store).
    if (!args.attr("store").is_none()) {
        nb::object environ = G("os").attr("environ");
        environ["TESSEL_STORE"] = args.attr("store");
        double mb = pyclass::as_double(args.attr("store_threshold"));
        environ["TESSEL_STORE_THRESHOLD"] =
            nb::str(std::to_string((long long)(mb * 1048576)).c_str());
    }
    nb::object concurrency = args.attr("concurrency");
    if (!concurrency.is_none())
        executor.attr("_celery_app").attr("conf").attr("worker_concurrency") = concurrency;
    return nb::cast<int>(executor.attr("run_executor")("loglevel"_a = args.attr("loglevel")));
}

} // namespace

NB_MODULE(worker, m) {
    globals.init(m);
    m.attr("argparse") = pyclass::import("argparse");
    m.attr("os") = pyclass::import("os");
    m.attr("ipaddress") = pyclass::import("ipaddress");
    m.attr("sys") = pyclass::import("sys");
    m.attr("urlsplit") = pyclass::import("urllib.parse").attr("urlsplit");
    pyclass::def_function(
        m, "exposure_warning", [](pyclass::obj url) { return exposure_warning(url); }, "url"_a,
        "The warning for a broker URL that is off this machine without a password, or None.");
    m.attr("TesselRemoteComponentExecutor") =
        pyclass::import("tessel_core.executors.component_executors.remote_executor.executor")
            .attr("TesselRemoteComponentExecutor");
    pyclass::def_function(
        m, "main", [](pyclass::obj argv) { return main_(argv); }, "argv"_a = nb::none(),
        "Parse the command line and run a worker until it stops; the exit status.");
}
