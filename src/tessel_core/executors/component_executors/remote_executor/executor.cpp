// TesselRemoteComponentExecutor: carries one component run to a Celery
// worker and back. The same class runs the worker (run_executor).
//
// Waiting is bounded: a ping gets an answer or a reason within a set time,
// and while a run is under way the worker holding it is checked; a worker
// that stops answering ends the wait with an error instead of freezing the
// notebook.
#include "tessel_core/_native/module.h"
#include "tessel_core/executors/component_executors/remote_executor/defaults.h"

namespace {

using remote_defaults::kLocalRedis;
const double kPingTimeout = 10.0;       // seconds a ping waits for a worker
const double kLostWorkerTimeout = 10.0; // seconds without a sign of the worker
const double kPollInterval = 1.0;       // seconds between checks on a run

void configure(nb::handle self) {
    nb::object app =
        G("Celery")("main"_a = nb::str(G("APP_NAME")) + nb::str("-remote-executor"),
                    "backend"_a = self.attr(S("_backend")), "broker"_a = self.attr(S("_broker")));
    nb::object conf = app.attr("conf");
    conf.attr("enable_utc") = true;
    conf.attr("result_serializer") = "pickle";
    conf.attr("task_serializer") = "pickle";
    nb::list accept;
    accept.append("application/json");
    accept.append("application/x-python-serialize");
    conf.attr("accept_content") = accept;
    // Where a run is: STARTED carries the worker's host name, which is what
    // the liveness check asks.
    conf.attr("task_track_started") = true;
    // Component runs are long: a worker takes a run only when one of its
    // processes is free, so that runs in flight spread over every worker
    // instead of waiting behind the ones a busy worker reserved.
    conf.attr("worker_prefetch_multiplier") = 1;
    conf.attr("worker_disable_prefetch") = true;
    // An unreachable broker or backend fails in seconds, not after minutes
    // of retrying.
    nb::dict retry;
    retry["max_retries"] = 2;
    retry["interval_start"] = 0;
    retry["interval_step"] = 0.5;
    retry["interval_max"] = 1;
    conf.attr("task_publish_retry_policy") = retry;
    nb::dict backend_options;
    backend_options["retry_policy"] = retry;
    conf.attr("result_backend_transport_options") = backend_options;
    conf.attr("broker_connection_timeout") = 5;
    conf.attr("redis_socket_connect_timeout") = 5;
    conf.attr("broker_connection_retry_on_startup") = true;
    self.attr(S("_celery_app")) = app;
    self.attr(S("_remote_ping_task")) = app.attr("register_task")(G("TesselRemotePingTask"));
    self.attr(S("_remote_exectue_task")) =
        app.attr("register_task")(G("TesselRemoteComponentExecuteTask"));
}

void init(nb::handle self, nb::handle identifier, nb::handle name, nb::handle backend,
          nb::handle broker, nb::handle ping_timeout, nb::handle lost_worker_timeout) {
    pyclass::require_str(identifier, "identifier");
    pyclass::require_str(name, "name");
    pyclass::require_str(backend, "backend");
    pyclass::require_str(broker, "broker");
    self.attr(S("_id")) = identifier;
    self.attr(S("_name")) = name;
    self.attr(S("_backend")) = backend;
    self.attr(S("_broker")) = broker;
    self.attr(S("_ping_timeout")) = ping_timeout;
    self.attr(S("_lost_worker_timeout")) = lost_worker_timeout;
    configure(self);
}

nb::object describe(nb::python_error &e) {
    nb::handle exc = e.value();
    nb::object text = nb::str(" ").attr("join")(pyclass::safe_str(exc).attr("split")());
    return nb::str("{}: {}").attr("format")(pyclass::type_of(exc).attr("__name__"), text);
}

// Stop waiting for a result for good: release it from the backend now, while
// the backend is there, and detach it so that collecting it later does not
// reach for a backend that may be gone by then.
void abandon(nb::handle result) {
    try {
        nb::object backend = result.attr("backend");
        if (!backend.is_none())
            backend.attr("remove_pending_result")(result);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
    }
    result.attr("backend") = nb::none();
}

// A result that was read is deleted from the backend: a large output would
// otherwise stay in Redis until the backend's expiry (a day by default).
// Failing to delete it does not fail the run.
void collected(nb::handle result) {
    try {
        result.attr("forget")();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw; // otherwise the backend's expiry removes it later
    }
}

// Why the broker or the result backend cannot be reached, or None. Checked
// before a ping is sent: a result left pending on a dead backend would retry
// it again when it is collected.
nb::object unreachable(nb::handle self) {
    nb::object app = self.attr(S("_celery_app"));
    try {
        nb::object conn = app.attr("connection_for_write")();
        try {
            conn.attr("ensure_connection")("max_retries"_a = 1);
        } catch (...) {
            conn.attr("release")();
            throw;
        }
        conn.attr("release")();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        return nb::str("cannot reach the broker at {}: {}")
            .attr("format")(self.attr(S("_broker")), describe(e));
    }
    try {
        nb::object client = nb::getattr(app.attr("backend"), "client", nb::none());
        if (!client.is_none() && nb::hasattr(client, "ping"))
            client.attr("ping")();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        return nb::str("cannot reach the result backend at {}: {}")
            .attr("format")(self.attr(S("_backend")), describe(e));
    }
    return nb::none();
}

nb::object ping(nb::handle self, nb::handle timeout_arg) {
    nb::object timeout =
        timeout_arg.is_none() ? self.attr(S("_ping_timeout")) : nb::borrow(timeout_arg);
    nb::object why = unreachable(self);
    if (!why.is_none())
        return nb::make_tuple(false, why);
    nb::object result;
    try {
        result = self.attr(S("_remote_ping_task")).attr("delay")();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        return nb::make_tuple(
            false,
            nb::str("cannot send a ping (broker {}, result backend {}): {}")
                .attr("format")(self.attr(S("_broker")), self.attr(S("_backend")), describe(e)));
    }
    try {
        nb::object answer = result.attr("get")("timeout"_a = timeout);
        collected(result);
        return answer;
    } catch (nb::python_error &e) {
        if (e.matches(G("CeleryTimeoutError"))) {
            abandon(result);
            return nb::make_tuple(false, nb::str("no worker answered within {:g} s on broker {}")
                                             .attr("format")(timeout, self.attr(S("_broker"))));
        }
        if (!e.matches(PyExc_Exception))
            throw;
        return nb::make_tuple(false, nb::str("no answer from the result backend at {}: {}")
                                         .attr("format")(self.attr(S("_backend")), describe(e)));
    }
}

// Whether the worker holding the run (or, before it starts, any worker)
// answers a control ping.
bool worker_alive(nb::handle self, nb::handle result) {
    nb::object destination = nb::none();
    if (pyclass::equal(result.attr("state"), S("STARTED"))) {
        nb::object info = result.attr("info");
        if (PyDict_Check(info.ptr()) && pyclass::truthy(info.attr("__contains__")("hostname"))) {
            nb::list hosts;
            hosts.append(info["hostname"]);
            destination = hosts;
        }
    }
    nb::object replies = self.attr(S("_celery_app"))
                             .attr("control")
                             .attr("ping")("destination"_a = destination,
                                           "timeout"_a = kPollInterval, "limit"_a = 1);
    return pyclass::truthy(replies);
}

nb::object wait_for(nb::handle self, nb::handle result) {
    double lost_after = pyclass::as_double(self.attr(S("_lost_worker_timeout")));
    double silent = 0.0;
    nb::object timeout_error = G("CeleryTimeoutError");
    while (true) {
        try {
            return result.attr("get")("timeout"_a = kPollInterval);
        } catch (nb::python_error &e) {
            if (!e.matches(timeout_error))
                throw;
        }
        if (worker_alive(self, result)) {
            silent = 0.0;
            continue;
        }
        silent += 2 * kPollInterval; // the get and the ping each waited that long
        if (silent >= lost_after) {
            abandon(result);
            nb::object msg = nb::str("The remote worker running component '{}' stopped "
                                     "answering (no reply for {:.0f} s); its run is lost.")
                                 .attr("format")(self.attr(S("_name")), silent);
            PyErr_SetObject(PyExc_RuntimeError, msg.ptr());
            throw pyclass::error();
        }
    }
}

nb::object execute(nb::handle self, nb::handle request) {
    nb::object sent = pyclass::import("tessel_core.executors.component_executors.store")
                          .attr("leaving_the_machine")(request);
    nb::object result = self.attr(S("_remote_exectue_task"))
                            .attr("delay")("identifier"_a = self.attr(S("_id")),
                                           "name"_a = self.attr(S("_name")), "request"_a = sent);
    nb::object response = wait_for(self, result);
    collected(result);
    return response;
}

int run_executor(nb::handle self, nb::handle loglevel) {
    pyclass::require_str(loglevel, "loglevel");
    try {
        nb::list argv;
        argv.append("worker");
        argv.append(nb::str("--loglevel={}").attr("format")(loglevel));
        self.attr(S("_celery_app")).attr("worker_main")("argv"_a = argv);
        return 0;
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_Exception) || e.matches(PyExc_KeyboardInterrupt))
            return 1;
        throw;
    }
}

const char *kStateKeys[] = {"_id",     "_name",         "_backend",
                            "_broker", "_ping_timeout", "_lost_worker_timeout"};

void define_executor(nb::module_ m) {
    nb::object cls =
        ClassDef(m, "TesselRemoteComponentExecutor",
                 nb::make_tuple(pyclass::builtin(PyBaseObject_Type)),
                 "Remote executor for TesselComponent.")
            .repr({{"identifier", [](nb::handle s) { return nb::object(s.attr(S("_id"))); }},
                   {"name", [](nb::handle s) { return nb::object(s.attr(S("_name"))); }}})
            .def(
                "__init__",
                [](nb::handle self, obj identifier, obj name, obj backend, obj broker,
                   obj ping_timeout, obj lost_worker_timeout) {
                    init(self, identifier, name, backend, broker, ping_timeout,
                         lost_worker_timeout);
                },
                "identifier"_a, "name"_a, "backend"_a = kLocalRedis, "broker"_a = kLocalRedis,
                "ping_timeout"_a = kPingTimeout, "lost_worker_timeout"_a = kLostWorkerTimeout,
                "Make the Celery application for the component on backend and broker.")
            .def(
                "ping", [](nb::handle self, obj timeout) { return ping(self, timeout); },
                "timeout"_a = nb::none(),
                "Ask a worker to answer: (True, text), or (False, why) within the timeout.")
            .def(
                "execute", [](nb::handle self, obj request) { return execute(self, request); },
                "request"_a, "Run the request on a worker and return its response.")
            .def(
                "run_executor",
                [](nb::handle self, obj loglevel) { return run_executor(self, loglevel); },
                "loglevel"_a = "INFO", "Run a worker in this process; 0 when it ends, 1 on error.")
            .def(
                "close", [](nb::handle self) { self.attr(S("_celery_app")).attr("close")(); },
                "Release the application's connections.")
            .def("__getstate__",
                 [](nb::handle self) {
                     // The application is rebuilt on the other side: it holds
                     // connections and registered tasks that do not travel.
                     nb::dict state;
                     for (const char *k : kStateKeys)
                         state[k] = self.attr(k);
                     return state;
                 })
            .def(
                "__setstate__",
                [](nb::handle self, obj state) {
                    init(self, state["_id"], state["_name"], state["_backend"], state["_broker"],
                         state["_ping_timeout"], state["_lost_worker_timeout"]);
                },
                "state"_a)
            .finish();
}

} // namespace

NB_MODULE(executor, m) {
    globals.init(m);
    nb::module_ celery = pyclass::import("celery");
    m.attr("Celery") = celery.attr("Celery");
    m.attr("CeleryTimeoutError") = pyclass::import("celery.exceptions").attr("TimeoutError");
    m.attr("APP_NAME") = pyclass::import("tessel_core.common.info").attr("APP_NAME");
    nb::module_ tasks =
        pyclass::import("tessel_core.executors.component_executors.remote_executor.tasks");
    m.attr("TesselRemotePingTask") = tasks.attr("TesselRemotePingTask");
    m.attr("TesselRemoteComponentExecuteTask") = tasks.attr("TesselRemoteComponentExecuteTask");
    nb::module_ models = pyclass::import("tessel_core.misc.models");
    m.attr("TesselExecutionRequestModel") = models.attr("TesselExecutionRequestModel");
    m.attr("TesselExecutionResponseModel") = models.attr("TesselExecutionResponseModel");
    define_executor(m);
}
