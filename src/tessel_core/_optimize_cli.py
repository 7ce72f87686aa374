"""`python -m tessel_core optimize`: a parameter search over a pipeline file."""

import math

from tessel_core.executors.parameters_optimizer import TesselHPOptimizer
from tessel_core.misc import TesselPipelineCallbackProcedure as Procedure


class LiveReport:
    """Prints one line per trial, with the best values so far."""

    def __init__(self, directions):
        self.directions = directions
        self.best = None
        self.completed = None

    def better(self, values):
        if self.best is None:
            return True
        if len(values) != 1:
            return False  # several objectives: no single best, see the Pareto front
        sign = 1 if self.directions[0] == "maximize" else -1
        return sign * values[0] > sign * self.best[0]

    def __call__(self, report):
        if report.procedure == Procedure.HPO_TRIAL_EXECUTED:
            log = report.successful
            values = list(log["values"])
            if self.better(values):
                self.best = values
            params = ", ".join(f"{k}={v:.4g}" if isinstance(v, float) else f"{k}={v}"
                               for k, v in log["parameters"].items())
            print(f"trial {log['trials']:>3}  {params}  values {fmt(values)}  "
                  f"best {fmt(self.best)}", flush=True)
        elif report.procedure == Procedure.HPO_COMPLETED:
            self.completed = report.successful
        else:
            print(report.msg, flush=True)


def fmt(values):
    return "[" + ", ".join(f"{v:.4g}" for v in values or []) + "]"


def make_target(runner, objectives, grid, search):
    last = {}

    def target(trial):
        values = {}
        for name, (low, high, _step) in grid.items():
            values[name] = trial.suggest_float(name, low, high)
        for name, (low, high) in search.items():
            if isinstance(low, int) and isinstance(high, int):
                values[name] = trial.suggest_int(name, low, high)
            else:
                values[name] = trial.suggest_float(name, float(low), float(high))
        changed = [n for n, v in values.items() if n not in last or last[n] != v]
        runner.params.update(values)
        last.update(values)
        rerun = runner.affected_by(changed)
        for objective in objectives:
            runner.run(only=objective, show=False, rerun=rerun)
        results = [runner.objective(o) for o in objectives]
        # a failed run gives NaN: optuna records the trial as failed and goes on
        return results[0] if len(results) == 1 else tuple(results)

    return target


def optimize_pipeline(runner, args, grid, search, directions):
    live = LiveReport(directions)
    parameters = {n: {"low": lo, "high": hi, "interval": st} for n, (lo, hi, st) in grid.items()}
    optimizer = TesselHPOptimizer(
        opt_method=args.method, directions=[1 if d == "maximize" else 0 for d in directions],
        parameters=parameters or None, haltwatch_rounds=args.early_stop,
        pipeline_callback=live)
    optimizer.create_study()
    target = make_target(runner, args.objective, grid, search)
    optimizer.optimize(target, n_trials=args.trials, target_names=args.objective)
    print()
    if not optimizer.best_trials:
        print("no trial completed")
        return 1
    print("best trials:")
    for number, trial in optimizer.best_trials.items():
        print(f"  #{number}: {trial['parameters']}  values {fmt(trial['values'])}")
    if live.completed is None:
        return 1  # diverged: reported above
    for name, importance in zip(args.objective, live.completed["parameter_importance"]):
        ranked = ", ".join(f"{k} {v:.2f}" for k, v in importance.items()) or "not available"
        print(f"importance for {name}: {ranked}")
    figure = live.completed["pareto_front_plot"]
    if figure is not None:
        import plotly.io

        plotly.io.write_html(figure, args.pareto)
        print(f"Pareto front written to {args.pareto}")
    from tessel_core.__main__ import write_outputs

    write_outputs(runner, args, search={
        "objectives": list(args.objective), "trials": trials_of(optimizer),
        "best": optimizer.best_trials, "pareto": figure,
        "importances": live.completed["parameter_importance"]})
    return 0 if not any(math.isnan(v) for t in optimizer.best_values for v in t) else 1


def trials_of(optimizer):
    return [{"number": n, "parameters": t["parameters"], "values": t["values"]}
            for n, t in enumerate(optimizer.optimization_log)]
