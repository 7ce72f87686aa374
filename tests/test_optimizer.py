"""The parameter optimizer and its callbacks, with real optuna studies."""

import math
import warnings

import optuna
import pytest

from tessel_core.callbacks import (
    TesselHPOHaltwatchCallback,
    TesselHPOTrialfeedCallback,
    TesselPipelineCallback,
)
from tessel_core.callbacks.parameters_optimizer.hookbase import ITesselHPOCallback
from tessel_core.executors.parameters_optimizer import TesselHPOptimizer, get_search_space
from tessel_core.misc import TesselPipelineCallbackProcedure as P
from tessel_core.misc import TesselPipelineCallbackStatus

warnings.filterwarnings("ignore", category=UserWarning)
optuna.logging.set_verbosity(optuna.logging.WARNING)


class Recorder:
    """A pipeline callback that keeps every report (always truthy)."""

    def __init__(self):
        self.reports = []

    def __call__(self, report):
        self.reports.append(report)

    def __getitem__(self, i):
        return self.reports[i]

    def procedures(self):
        return [r.procedure for r in self.reports]


def scripted(values):
    """A target returning the given values in turn (one parameter drawn)."""
    it = iter(values)

    def target(trial):
        trial.suggest_float("x", 0, 1)
        return next(it)

    return target


# --- search space and construction ------------------------------------------------

def test_search_space():
    assert get_search_space({"p": {"low": 0, "high": 1, "interval": 0.25}}) == {
        "p": [0.0, 0.25, 0.5, 0.75]}
    tenths = get_search_space({"p": {"low": 0, "high": 1, "interval": 0.1, "other": 1}})["p"]
    assert len(tenths) == 10 and tenths[3] == 0.3
    with pytest.raises(ValueError, match="^The information of parameter 'q' to get search space"
                                         " for grid search is not proper.$") as err:
        get_search_space({"q": {"low": 0, "high": 1}})
    assert isinstance(err.value.__cause__, KeyError)
    with pytest.raises(TypeError):
        get_search_space({"q": {"low": [], "high": 1, "interval": 1}})


def test_construction_errors_and_directions():
    with pytest.raises(ValueError, match="^Invalid input: optimization method 'Nope'$"):
        TesselHPOptimizer("Nope", [1])
    with pytest.raises(ValueError, match="^Invalid input: optimization method 'None'$"):
        TesselHPOptimizer(None, [1])
    with pytest.raises(ValueError, match="^In GridSearch , 'parameters' must not be NoneType.$"):
        TesselHPOptimizer("GridSearch", [])
    with pytest.raises(ValueError, match="^Invalid input: no optimization directions$"):
        TesselHPOptimizer("RandomSearch", [])
    assert TesselHPOptimizer("TPESearch", [1])._directions == ["maximize"]
    assert TesselHPOptimizer("RandomSearch", [0, 1])._directions == ["minimize", "maximize"]
    two = TesselHPOptimizer("RandomSearch", [0, 1], haltwatch_rounds=3)
    assert two._haltwatch_callback is None
    one = TesselHPOptimizer("RandomSearch", [1], haltwatch_rounds=3)
    assert one._haltwatch_callback._operator(2, 1) and one._haltwatch_callback._haltwatch_rounds == 3
    fresh = TesselHPOptimizer("RandomSearch", [1])
    assert (fresh.best_params, fresh.best_values, fresh.best_trials, fresh.optimization_log) == (
        [], [], {}, [])
    with pytest.raises(AttributeError):
        fresh.optimize(scripted([1]), 1, ["v"])


def test_callback_classes():
    assert isinstance(ITesselHPOCallback, type) and ITesselHPOCallback.__abstractmethods__ == {
        "__call__"}
    with pytest.raises(TypeError):
        ITesselHPOCallback()
    assert callable(TesselPipelineCallback) or TesselPipelineCallback is not None
    with pytest.raises(TypeError, match="Argument 'direction' has incorrect type"):
        TesselHPOHaltwatchCallback(pipeline_callback=None, haltwatch_rounds=1, direction=1)
    for spelled in ("MINIMIZE", "MiNiMiZe"):
        cb = TesselHPOHaltwatchCallback(pipeline_callback=None, haltwatch_rounds=1,
                                        direction=spelled)
        assert cb._score == math.inf
    assert TesselHPOHaltwatchCallback(pipeline_callback=None, haltwatch_rounds=1,
                                      direction="other")._score == -math.inf


# --- the callbacks on real studies -------------------------------------------------

def test_haltwatch_minimize_stops_after_rounds_without_improvement():
    rec = Recorder()
    cb = TesselHPOHaltwatchCallback(pipeline_callback=rec, haltwatch_rounds=2, direction="minimize")
    study = optuna.create_study(direction="minimize")
    counters = []

    def watch(study, trial):
        cb(study, trial)
        counters.append(cb._iter)

    study.optimize(scripted([5, 4, 4, 4, 3, 3]), n_trials=6, callbacks=[watch])
    assert counters == [0, 0, 1, 2] and len(study.trials) == 4
    assert rec.procedures() == [P.HPO_EARLY_STOPPED]
    assert rec[0].msg == "The optimizing iteration was early stopped"
    assert rec[0].status == TesselPipelineCallbackStatus.SUCCESSFUL and rec[0].successful is None


def test_haltwatch_maximize_keeps_going_while_improving():
    cb = TesselHPOHaltwatchCallback(pipeline_callback=None, haltwatch_rounds=1, direction="maximize")
    study = optuna.create_study(direction="maximize")
    study.optimize(scripted([1, 2, 3]), n_trials=3, callbacks=[cb])
    assert len(study.trials) == 3 and cb._iter == 0


def test_haltwatch_without_completed_trials_counts_no_improvement():
    cb = TesselHPOHaltwatchCallback(pipeline_callback=None, haltwatch_rounds=5, direction="minimize")
    study = optuna.create_study()

    def failing(trial):
        raise optuna.TrialPruned()

    study.optimize(failing, n_trials=2, callbacks=[cb])
    assert cb._iter == 2


def test_trialfeed_reports_and_divergence():
    rec = Recorder()
    cb = TesselHPOTrialfeedCallback(pipeline_callback=rec)
    study = optuna.create_study()
    study.optimize(scripted([1.0, 2.0, -math.inf, 4.0]), n_trials=4, callbacks=[cb])
    assert len(study.trials) == 3
    assert rec.procedures() == [P.HPO_TRIAL_EXECUTED, P.HPO_TRIAL_EXECUTED, P.HPO_ERROR]
    assert rec[0].successful is rec[1].successful is cb._live_log
    assert cb._live_log["trials"] == 1 and cb._live_log["values"] == [2.0]
    assert rec[2].msg == "Optimization failed because the target value diverged"


def test_trialfeed_without_callback_keeps_the_last_trial():
    cb = TesselHPOTrialfeedCallback(pipeline_callback=None)
    study = optuna.create_study()
    study.optimize(scripted([1.0, 2.0]), n_trials=2, callbacks=[cb])
    assert cb._live_log["trials"] == 1 and cb._live_log["values"] == [2.0]
    assert set(cb._live_log) == {"trials", "parameters", "values"}


# --- the optimizer -------------------------------------------------------------------

def quadratic(trial):
    x = trial.suggest_float("x", -2, 2)
    return (x - 0.5) ** 2


def test_grid_search_exhausts_its_grid_and_reports_in_order():
    rec = Recorder()
    opt = TesselHPOptimizer("GridSearch", [0], {"x": {"low": -2, "high": 2.1, "interval": 0.5}},
                            pipeline_callback=rec)
    opt.create_study()
    opt.optimize(quadratic, 50, ["loss"])
    assert len(opt.optimization_log) == 9
    assert opt.best_params == [{"x": 0.5}] and opt.best_values == [[0.0]]
    assert rec.procedures() == [P.HPO_TRIAL_EXECUTED] * 9 + [P.HPO_COMPLETED]
    done = rec[-1].successful
    assert done["pareto_front_plot"] is None and len(done["parameter_importance"]) == 1
    assert list(done["best_trials"].values()) == [{"parameters": {"x": 0.5}, "values": [0.0]}]
    assert opt.best_trials is not opt._best_trials


def test_multi_objective_with_figure():
    rec = Recorder()
    opt = TesselHPOptimizer("RandomSearch", [0, 1, 0], pipeline_callback=rec)
    opt.create_study()
    opt.optimize(lambda t: (t.suggest_float("a", 0, 1), t.suggest_float("b", 0, 1), 1.0),
                 12, ["a", "b", "c"])
    done = rec[-1].successful
    assert isinstance(done["pareto_front_plot"], dict) and "data" in done["pareto_front_plot"]
    assert len(done["parameter_importance"]) == 3
    assert all(len(v) == 3 for v in opt.best_values)


def test_haltwatch_zero_rounds_stops_after_the_first_trial():
    opt = TesselHPOptimizer("RandomSearch", [0], haltwatch_rounds=0)
    opt.create_study()
    opt.optimize(quadratic, 10, ["loss"])
    assert len(opt.optimization_log) == 1


def test_divergence_skips_the_completion_report():
    rec = Recorder()
    opt = TesselHPOptimizer("RandomSearch", [0], pipeline_callback=rec)
    opt.create_study()
    opt.optimize(scripted([1.0, math.inf]), 5, ["loss"])
    assert P.HPO_COMPLETED not in rec.procedures() and opt.optimization_log == []
    assert opt.best_values == [[1.0]]


def test_failed_trials_and_importances_that_cannot_be_computed(monkeypatch):
    def cannot(*args, **kwargs):
        raise RuntimeError("too few trials")

    monkeypatch.setattr(optuna.importance, "get_param_importances", cannot)
    rec = Recorder()
    opt = TesselHPOptimizer("RandomSearch", [0], pipeline_callback=rec)
    opt.create_study()

    def pruned(trial):
        trial.suggest_float("x", 0, 1)
        raise optuna.TrialPruned()

    opt._study.optimize(lambda t: float("nan"), n_trials=1)  # failed: no values
    opt._study.optimize(pruned, n_trials=1)
    opt.optimize(scripted([1.0]), 1, ["loss"])  # one completed trial: too few for importances
    assert any(entry["values"] is None for entry in opt.optimization_log)
    assert rec[-1].procedure == P.HPO_COMPLETED
    assert rec[-1].successful["parameter_importance"] == [{}]


def test_all_trials_failed_still_completes():
    rec = Recorder()
    opt = TesselHPOptimizer("RandomSearch", [0], pipeline_callback=rec)
    opt.create_study()
    opt.optimize(lambda t: float("nan"), 2, ["loss"])
    assert opt.best_params == [] and rec[-1].procedure == P.HPO_COMPLETED


def test_without_pipeline_callback():
    opt = TesselHPOptimizer("TPESearch", [1])
    opt.create_study()
    opt.optimize(lambda t: -quadratic(t), 5, ["score"])
    assert len(opt.optimization_log) == 5
