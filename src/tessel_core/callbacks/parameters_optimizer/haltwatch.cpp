// TesselHPOHaltwatchCallback: stops a single-objective run after a number of
// consecutive trials that did not improve the best value.
#include "tessel_core/_native/module.h"
#include "tessel_core/_native/reports.h"

namespace {

void init(nb::handle cls, nb::handle self, nb::handle callback, nb::handle rounds,
          nb::handle direction) {
    pyclass::require_str(direction, "direction");
    pyclass::super_(cls, self).attr("__init__")("pipeline_callback"_a = callback);
    self.attr(S("_haltwatch_rounds")) = rounds;
    self.attr(S("_iter")) = 0;
    self.attr(S("_operator")) = nb::none();
    self.attr(S("_score")) = nb::none();
    nb::object op = G("operator"), inf = G("math").attr("inf");
    if (pyclass::equal(direction.attr("lower")(), S("minimize"))) {
        self.attr(S("_operator")) = op.attr("lt");
        self.attr(S("_score")) = inf;
    } else {
        self.attr(S("_operator")) = op.attr("gt");
        self.attr(S("_score")) = -inf;
    }
}

// The study's best value so far; None while it has no completed trial (a
// failed or pruned trial has no value), which counts as no improvement.
// Study.best_value deep-copies the best trial on every read; the storage's own
// best trial gives the same value without the copy, unless that trial
// carries constraints, where optuna picks among the feasible trials.
nb::object best_value(nb::handle study) {
    try {
        if (nb::hasattr(study, "_storage") && nb::hasattr(study, "_study_id")) {
            nb::object best =
                study.attr("_storage").attr("get_best_trial")(study.attr("_study_id"));
            if (best.attr("system_attrs").attr("get")("constraints").is_none())
                return best.attr("value");
        }
        return study.attr("best_value");
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_ValueError))
            return nb::none();
        throw;
    }
}

void call(nb::handle self, nb::handle study) {
    nb::object best = best_value(study);
    if (!best.is_none() &&
        pyclass::truthy(self.attr(S("_operator"))(best, self.attr(S("_score"))))) {
        self.attr(S("_iter")) = 0;
        self.attr(S("_score")) = best;
    } else {
        self.attr(S("_iter")) = self.attr(S("_iter")) + nb::int_(1);
    }
    if (self.attr(S("_iter")) >= self.attr(S("_haltwatch_rounds"))) {
        study.attr("stop")();
        pyclass::report(self, G("TesselPipelineCallbackDataModel"),
                        G("TesselPipelineCallbackProcedure").attr("HPO_EARLY_STOPPED"),
                        G("TesselPipelineCallbackStatus").attr("SUCCESSFUL"),
                        nb::str("The optimizing iteration was early stopped"));
    }
}

} // namespace

NB_MODULE(haltwatch, m) {
    globals.init(m);
    m.attr("math") = pyclass::import("math");
    m.attr("operator") = pyclass::import("operator");
    nb::object base = pyclass::bind_callback_names(m);
    ClassDef cls(m, "TesselHPOHaltwatchCallback", nb::make_tuple(base),
                 "Early stopping callback for optimizer.");
    pyclass::Cell cell = cls.cell();
    cls.def(
           "__init__",
           [cell](nb::handle self, obj callback, obj rounds, obj direction) {
               init(cell->get(), self, callback, rounds, direction);
           },
           "pipeline_callback"_a, "haltwatch_rounds"_a, "direction"_a,
           "Stop a study after haltwatch_rounds trials without a better value in direction.")
        .def(
            "__call__", [](nb::handle self, obj study, obj) { call(self, study); }, "study"_a,
            "trial"_a, "Count a trial without improvement; stop the study after enough.")
        .finish();
}
