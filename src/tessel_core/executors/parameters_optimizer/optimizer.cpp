// Parameter search with optuna: search spaces for grid search, the study,
// the run with its callbacks, and the results (best trials, a trial log,
// importances, a Pareto-front figure).
#include "tessel_core/_native/module.h"
#include "tessel_core/_native/reports.h"

namespace {

nb::object read_number(nb::handle data, const char *key) {
    return pyclass::builtin(PyFloat_Type)(data[key]);
}

nb::dict get_search_space(nb::handle parameters) {
    nb::dict space;
    for (auto &[name, data] : pyclass::items_of(parameters, "parameters")) {
        nb::object interval, low, high;
        try {
            interval = read_number(data, "interval");
            low = read_number(data, "low");
            high = read_number(data, "high");
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_KeyError))
                throw;
            nb::object msg = nb::str("The information of parameter '{}' to get search space for "
                                     "grid search is not proper.")
                                 .attr("format")(name);
            nb::object err = pyclass::check(PyObject_CallOneArg(PyExc_ValueError, msg.ptr()));
            PyException_SetCause(err.ptr(), nb::object(nb::borrow(e.value())).release().ptr());
            PyErr_SetObject(PyExc_ValueError, err.ptr());
            throw pyclass::error();
        }
        nb::list values;
        nb::object round = pyclass::import("builtins").attr("round");
        for (nb::handle v : G("np").attr("arange")(low, high, interval))
            values.append(round(v, 15)); // drops accumulated floating-point error
        space[name] = values;
    }
    return space;
}

nb::object choose_sampler(nb::handle method, nb::handle parameters) {
    nb::object samplers = G("optuna").attr("samplers");
    if (pyclass::equal(method, S("RandomSearch")))
        return samplers.attr("RandomSampler")();
    if (pyclass::equal(method, S("TPESearch")))
        return samplers.attr("TPESampler")();
    if (pyclass::equal(method, S("GridSearch"))) {
        if (parameters.is_none())
            pyclass::raise(PyExc_ValueError, "In GridSearch , 'parameters' must not be NoneType.");
        return samplers.attr("GridSampler")("search_space"_a = G("get_search_space")(parameters));
    }
    nb::object msg = nb::str("Invalid input: optimization method '{}'").attr("format")(method);
    PyErr_SetObject(PyExc_ValueError, msg.ptr());
    throw pyclass::error();
}

nb::object trials_so_far(nb::handle self) {
    nb::object study = self.attr(S("_study"));
    return nb::int_(study.is_none() ? 0 : nb::len(nb::object(study.attr("trials"))));
}

void init(nb::handle self, nb::handle method, nb::handle directions, nb::handle parameters,
          nb::handle rounds, nb::handle callback) {
    pyclass::require_str(method, "opt_method");
    self.attr(S("_opt_method")) = method;
    self.attr(S("_sampler")) = choose_sampler(method, parameters);
    if (!pyclass::truthy(directions))
        pyclass::raise(PyExc_ValueError, "Invalid input: no optimization directions");
    nb::list names;
    for (nb::handle d : directions)
        names.append(pyclass::truthy(d) ? "maximize" : "minimize");
    self.attr(S("_directions")) = names;
    self.attr(S("_study")) = nb::none();
    self.attr(S("_best_params")) = nb::list();
    self.attr(S("_best_values")) = nb::list();
    self.attr(S("_best_trials")) = nb::dict();
    self.attr(S("_optimization_log")) = nb::list();
    self.attr(S("_pipeline_callback")) = callback;
    self.attr(S("_trialfeed_callback")) =
        G("TesselHPOTrialfeedCallback")("pipeline_callback"_a = callback);
    self.attr(S("_haltwatch_callback")) = nb::none();
    if (!rounds.is_none() && nb::len(names) == 1)
        self.attr(S("_haltwatch_callback")) = G("TesselHPOHaltwatchCallback")(
            "pipeline_callback"_a = callback, "haltwatch_rounds"_a = rounds,
            "direction"_a = names[0]);
    G("optuna").attr("logging").attr("disable_default_handler")();
}

// The best trial(s); none while no trial has completed (every trial failed or
// was pruned), instead of optuna's error.
nb::object best_trials_of(nb::handle study) {
    try {
        return study.attr("best_trials");
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_ValueError))
            return nb::list();
        throw;
    }
}

void store_best(nb::handle self, nb::handle study) {
    nb::list params, values;
    nb::dict trials;
    for (nb::handle trial : best_trials_of(study)) {
        params.append(trial.attr("params"));
        values.append(trial.attr("values"));
        nb::dict entry;
        entry["parameters"] = trial.attr("params");
        entry["values"] = trial.attr("values");
        trials[trial.attr("number")] = entry;
    }
    self.attr(S("_best_params")) = params;
    self.attr(S("_best_values")) = values;
    self.attr(S("_best_trials")) = trials;
}

bool diverged(nb::handle trials) {
    nb::object isinf = G("math").attr("isinf");
    for (nb::handle trial : trials) {
        nb::object values = trial.attr("values");
        if (values.is_none())
            continue; // a failed or pruned trial has no values
        for (nb::handle v : values)
            if (pyclass::truthy(isinf(v)))
                return true;
    }
    return false;
}

nb::list trial_log(nb::handle trials) {
    nb::list log;
    for (nb::handle trial : trials) {
        nb::dict entry;
        entry["parameters"] = trial.attr("params");
        entry["values"] = trial.attr("values");
        log.append(entry);
    }
    return log;
}

// Importance of each parameter for objective i; an empty dict when optuna
// cannot compute it (too few completed trials, a parameter with one value).
nb::dict importances(nb::handle study, size_t i) {
    nb::object target = nb::cpp_function(
        [i](nb::handle trial) { return nb::object(trial.attr("values")[nb::int_(i)]); },
        nb::name("objective_value"));
    try {
        nb::object result = G("optuna")
                                .attr("importance")
                                .attr("get_param_importances")(study, "target"_a = target);
        return nb::borrow<nb::dict>(pyclass::builtin(PyDict_Type)(result));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        return nb::dict();
    }
}

void optimize(nb::handle self, nb::handle target_func, nb::handle n_trials, nb::handle names) {
    nb::object study = self.attr(S("_study"));
    nb::list callbacks;
    callbacks.append(self.attr(S("_trialfeed_callback")));
    if (!self.attr(S("_haltwatch_callback")).is_none())
        callbacks.append(self.attr(S("_haltwatch_callback")));
    study.attr("optimize")(target_func, "n_trials"_a = n_trials, "callbacks"_a = callbacks);
    store_best(self, study);
    nb::object trials = study.attr("trials"); // copies: the log must not share optuna's dicts
    if (diverged(trials))
        return;
    self.attr(S("_optimization_log")) = trial_log(trials);
    size_t objectives = nb::len(nb::object(self.attr(S("_directions"))));
    nb::object figure = nb::none();
    if (objectives == 2 || objectives == 3)
        figure = G("optuna")
                     .attr("visualization")
                     .attr("plot_pareto_front")("study"_a = study, "target_names"_a = names)
                     .attr("to_dict")();
    nb::list importance;
    for (size_t i = 0; i < objectives; ++i)
        importance.append(importances(study, i));
    nb::dict payload;
    payload["best_trials"] = self.attr("best_trials");
    payload["pareto_front_plot"] = figure;
    payload["parameter_importance"] = importance;
    pyclass::report(self, G("TesselPipelineCallbackDataModel"),
                    G("TesselPipelineCallbackProcedure").attr("HPO_COMPLETED"),
                    G("TesselPipelineCallbackStatus").attr("SUCCESSFUL"), nb::str(""), payload);
}

void define_optimizer(nb::module_ m) {
    ClassDef(m, "TesselHPOptimizer", nb::make_tuple(pyclass::builtin(PyBaseObject_Type)),
             "Parameter optimizing manager.")
        .repr({{"method", [](nb::handle s) { return nb::object(s.attr(S("_opt_method"))); }},
               {"directions", [](nb::handle s) { return nb::object(s.attr(S("_directions"))); }},
               {"trials", [](nb::handle s) { return trials_so_far(s); }}})
        .def(
            "__init__",
            [](nb::handle self, obj method, obj directions, obj parameters, obj rounds,
               obj callback) { init(self, method, directions, parameters, rounds, callback); },
            "opt_method"_a, "directions"_a, "parameters"_a = nb::none(),
            "haltwatch_rounds"_a = nb::none(), "pipeline_callback"_a = nb::none(),
            "Check the method and directions; the study is made by create_study().")
        .def(
            "create_study",
            [](nb::handle self) {
                self.attr(S("_study")) =
                    G("optuna").attr("create_study")("sampler"_a = self.attr(S("_sampler")),
                                                     "directions"_a = self.attr(S("_directions")));
            },
            "Start a new study (its trials replace the old ones).")
        .def(
            "optimize",
            [](nb::handle self, obj target, obj n_trials, obj names) {
                optimize(self, target, n_trials, names);
            },
            "target_func"_a, "n_trials"_a, "target_names"_a,
            "Run n_trials trials of target_func and store the results.")
        .prop_ro(
            "best_params",
            [](nb::handle self) { return self.attr(S("_best_params")).attr("copy")(); },
            "Parameters of each best trial.")
        .prop_ro(
            "best_values",
            [](nb::handle self) { return self.attr(S("_best_values")).attr("copy")(); },
            "Objective values of each best trial.")
        .prop_ro(
            "best_trials",
            [](nb::handle self) { return self.attr(S("_best_trials")).attr("copy")(); },
            "Best trials by number: their parameters and values.")
        .prop_ro(
            "optimization_log", [](nb::handle self) { return self.attr(S("_optimization_log")); },
            "Parameters and values of every trial, in order.")
        .finish();
}

} // namespace

NB_MODULE(optimizer, m) {
    globals.init(m);
    m.attr("math") = pyclass::import("math");
    m.attr("np") = pyclass::import("numpy");
    nb::module_ optuna = pyclass::import("optuna");
    pyclass::import("optuna.importance");
    pyclass::import("optuna.visualization");
    m.attr("optuna") = optuna;
    nb::module_ callbacks = pyclass::import("tessel_core.callbacks");
    for (const char *name :
         {"TesselHPOHaltwatchCallback", "TesselHPOTrialfeedCallback", "TesselPipelineCallback"})
        m.attr(name) = callbacks.attr(name);
    nb::module_ misc = pyclass::import("tessel_core.misc");
    m.attr("TesselPipelineCallbackProcedure") = misc.attr("TesselPipelineCallbackProcedure");
    m.attr("TesselPipelineCallbackStatus") = misc.attr("TesselPipelineCallbackStatus");
    m.attr("TesselPipelineCallbackDataModel") =
        pyclass::import("tessel_core.misc.models").attr("TesselPipelineCallbackDataModel");
    pyclass::def_function(
        m, "get_search_space", [](obj parameters) { return get_search_space(parameters); },
        "parameters"_a, "Candidate values of each grid-search parameter.");
    define_optimizer(m);
}
