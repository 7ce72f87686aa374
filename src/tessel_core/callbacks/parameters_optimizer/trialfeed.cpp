// TesselHPOTrialfeedCallback: reports every finished trial to the caller and
// stops the run when an objective value is infinite.
#include "tessel_core/_native/module.h"
#include "tessel_core/_native/reports.h"

namespace {

nb::object procedure(const char *name) {
    return G("TesselPipelineCallbackProcedure").attr(name);
}
nb::object successful_status() {
    return G("TesselPipelineCallbackStatus").attr("SUCCESSFUL");
}

void call(nb::handle self, nb::handle study) {
    // The trial that has just finished, without copying every trial of the
    // study as study.trials does on each access.
    nb::object trials = study.attr("get_trials")("deepcopy"_a = false);
    nb::object current = trials[nb::len(trials) - 1];
    nb::object values = current.attr("values");
    if (values.is_none())
        return; // a failed or pruned trial has no values to report
    for (nb::handle value : values)
        if (pyclass::truthy(G("math").attr("isinf")(value))) {
            study.attr("stop")();
            pyclass::report(self, G("TesselPipelineCallbackDataModel"), procedure("HPO_ERROR"),
                            successful_status(),
                            nb::str("Optimization failed because the target value diverged"));
            return;
        }
    nb::dict update;
    update["trials"] = current.attr("number");
    update["parameters"] = current.attr("params");
    update["values"] = values;
    nb::object live_log = self.attr(S("_live_log"));
    live_log.attr("update")(update);
    pyclass::report(self, G("TesselPipelineCallbackDataModel"), procedure("HPO_TRIAL_EXECUTED"),
                    successful_status(), nb::str(""), live_log);
}

} // namespace

NB_MODULE(trialfeed, m) {
    globals.init(m);
    m.attr("math") = pyclass::import("math");
    nb::object base = pyclass::bind_callback_names(m);
    ClassDef cls(m, "TesselHPOTrialfeedCallback", nb::make_tuple(base),
                 "Live logger callback for optimizer.");
    pyclass::Cell cell = cls.cell();
    cls.def(
           "__init__",
           [cell](nb::handle self, obj callback) {
               pyclass::super_(cell->get(), self)
                   .attr("__init__")("pipeline_callback"_a = callback);
               self.attr(S("_live_log")) = nb::dict();
           },
           "pipeline_callback"_a, "Start with an empty live log of trials.")
        .def(
            "__call__", [](nb::handle self, obj study, obj) { call(self, study); }, "study"_a,
            "trial"_a, "Report the finished trial; stop the study if a value is infinite.")
        .finish();
}
