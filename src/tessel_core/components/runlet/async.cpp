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

// A local executor started in a process pool notes its worker's pid in
// `marker`, so that a worker that dies mid-run is noticed (see local_executor/poolwatch.py).
nb::object pool_executor(nb::handle self, nb::handle port, nb::handle marker) {
    nb::object executor =
        G("TesselComponentExecutor")("identifier"_a = self.attr("id"), "name"_a = self.attr("name"),
                                     "ipython_shell"_a = nb::none(), "display_sub_port"_a = port);
    executor.attr(S("_run_marker")) = marker;
    // a worker process runs it in a shell of its own, as the kernel would
    executor.attr(S("_worker_shell")) = G("os").attr("getpid")();
    return executor;
}

nb::object start(nb::handle self, nb::handle pool, nb::handle statements, nb::handle inputs,
                 nb::handle parameters, nb::handle send_to_front, nb::handle port) {
    nb::object request = prepare_run(self, statements, inputs, parameters, send_to_front);
    ExecutorChoice choice = choose_executor(self);
    if (!choice.unreachable.is_none()) {
        PyErr_SetObject(pyclass::type_of(choice.unreachable).ptr(), choice.unreachable.ptr());
        throw pyclass::error();
    }
    if (!choice.remote.is_none())
        return submit(self, pool, choice.remote, request);
    nb::object watch = G("_poolwatch");
    nb::object marker = watch.attr("new_marker")(pool);
    nb::object result = submit(self, pool, pool_executor(self, port, marker), request);
    watch.attr("watch")(pool, result, marker, self);
    return result;
}

// Every failure before the run is in the pool ends the component FAILED with
// its record, through the same path as a failure of `execute`; the caller
// still gets the exception.
nb::object execute_async(nb::handle self, nb::handle pool, nb::handle statements, nb::handle inputs,
                         nb::handle parameters, nb::handle send_to_front, nb::handle port) {
    try {
        return start(self, pool, statements, inputs, parameters, send_to_front, port);
    } catch (nb::python_error &e) {
        record_failure(self, e.value());
        throw;
    }
}

// The pool's success callback must never raise (that would end the pool's
// result thread and hang every later run): a response that cannot be applied
// fails the component instead.
nb::object apply_async_result(nb::handle self, nb::handle response) {
    try {
        return apply_response(self, response, true);
    } catch (nb::python_error &e) {
        self.attr("handle_error")(nb::borrow(e.value())); // never raises
        return nb::none();
    }
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
            [](nb::handle self, obj response) -> nb::object {
                try {
                    return apply_async_result(self, response);
                } catch (nb::python_error &e) {
                    // a subclass's handle_error raised: nothing else to do
                    e.discard_as_unraisable("the pool's result callback of a component");
                    return nb::none();
                }
            },
            "response"_a, "Apply a run's response (the pool's success callback).");
}

} // namespace runlet
