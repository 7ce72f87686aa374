"""`python -m tessel_core optimize`: a parameter search over a pipeline file."""

import ast
import math

from tessel_core.cli.notebook_file import tags
from tessel_core.cli.options import (
    add_common,
    given_params,
    make_runner,
    warn_unread,
    write_outputs,
)
from tessel_core.cli.pipeline_file import PipelineError, parse_params
from tessel_core.misc import TesselPipelineCallbackProcedure as Procedure
from tessel_core.report.outputs import plain


def add_parser(commands):
    opt = commands.add_parser("optimize", help="search pipeline parameters with optuna")
    add_common(opt)
    opt.add_argument("--method", default="RandomSearch",
                     choices=["RandomSearch", "TPESearch", "GridSearch"])
    opt.add_argument("--direction", action="append", choices=["minimize", "maximize"],
                     help="one per objective (default: minimize)")
    opt.add_argument("--trials", type=int, default=20)
    opt.add_argument("--grid", action="append", default=[], metavar="NAME=LOW:HIGH:STEP")
    opt.add_argument("--search", action="append", default=[], metavar="NAME=LOW:HIGH")
    opt.add_argument("--objective", action="append", default=[], required=True, metavar="ID",
                     help="component whose last expression is an objective (repeatable)")
    opt.add_argument("--early-stop", type=int, metavar="ROUNDS",
                     help="stop after this many trials without improvement (one objective)")
    opt.add_argument("--html", dest="report", metavar="REPORT.html",
                     help="write a self-contained HTML report (trials, importances, Pareto "
                          "front, the last trial's components) here")
    opt.add_argument("--pareto", default="pareto_front.html",
                     help="where the Pareto-front figure goes (two or three objectives)")
    opt.set_defaults(func=command_optimize)


def parse_ranges(items, parts, flag):
    """NAME=LOW:HIGH (parts 2) or NAME=LOW:HIGH:STEP (parts 3), as numbers;
    ints stay ints. LOW above HIGH, or a step that is not positive, is bad
    input."""
    ranges = {}
    for item in items:
        name, sep, bounds = item.partition("=")
        values = bounds.split(":")
        if not sep or not name or len(values) != parts:
            shape = "LOW:HIGH:STEP" if parts == 3 else "LOW:HIGH"
            raise PipelineError(f"{flag} expects NAME={shape}, got {item!r}")
        try:
            numbers = [ast.literal_eval(v) for v in values]
        except (ValueError, SyntaxError):
            numbers = None
        if numbers is None or not all(type(v) in (int, float) and math.isfinite(v)
                                      for v in numbers):
            raise PipelineError(f"{flag} {item!r}: the bounds must be numbers")
        if numbers[0] > numbers[1] or (parts == 2 and numbers[0] == numbers[1]):
            raise PipelineError(f"{flag} {item!r}: LOW must be below HIGH")
        if parts == 3 and numbers[2] <= 0:
            raise PipelineError(f"{flag} {item!r}: STEP must be above 0")
        ranges[name] = numbers
    return ranges


def command_optimize(args):
    import warnings

    # optuna's progress-bar import and evaluators warn about things this
    # command does not use; keep its output to one line per trial.
    warnings.filterwarnings("ignore", message="IProgress not found")
    warnings.filterwarnings("ignore", module="optuna")
    import optuna

    optuna.logging.set_verbosity(optuna.logging.ERROR)

    grid = parse_ranges(args.grid, 3, "--grid")
    search = parse_ranges(args.search, 2, "--search")
    if args.method == "GridSearch" and not grid:
        raise PipelineError("GridSearch needs at least one --grid NAME=LOW:HIGH:STEP")
    if args.method != "GridSearch" and not search:
        raise PipelineError(f"{args.method} needs at least one --search NAME=LOW:HIGH")
    directions = args.direction or ["minimize"]
    if len(args.objective) != len(directions):
        raise PipelineError(f"{len(directions)} direction(s) but {len(args.objective)} "
                            "--objective component(s): give one objective per direction")
    runner = make_runner(args, searched=list(grid) + list(search))
    try:
        warn_unread(runner, parse_params(given_params(args)), "--param")
        warn_unread(runner, search, "--search")
        warn_unread(runner, grid, "--grid")
        args.objective = [objective_id(runner, o) for o in args.objective]
        for objective in args.objective:
            runner.check_ready(only=objective)
            if runner.dag.nodes[objective].last_expr is None:
                raise PipelineError(f"objective component {objective!r} must end with an "
                                    "expression (its value is the objective)")
        return optimize_pipeline(runner, args, grid, search, directions)
    finally:
        runner.close()


def objective_id(runner, name):
    """A component id, or for a notebook the tag of one cell."""
    if runner.notebook is None or name in runner.dag.nodes:
        return name
    nb = runner.notebook
    found = [nb.cell_ids[i] for i, cell in enumerate(nb.notebook.cells)
             if nb.cell_ids[i] and name in tags(cell)]
    if len(found) > 1:
        raise PipelineError(f"--objective {name}: {len(found)} cells are tagged {name!r} "
                            f"({', '.join(found)}); name one by its id")
    return found[0] if found else name


class LiveReport:
    """Prints one line per trial, with the best values so far (with several
    objectives: how many trials are on the Pareto front so far)."""

    def __init__(self, directions, grid=None):
        self.directions, self.grid = directions, grid or {}
        self.best = None
        self.front = []  # values of the trials no other trial dominates
        self.completed = None

    def better(self, values):
        if self.best is None:
            return True
        sign = 1 if self.directions[0] == "maximize" else -1
        return sign * values[0] > sign * self.best[0]

    def dominates(self, a, b):
        signs = [1 if d == "maximize" else -1 for d in self.directions]
        pairs = [(s * x, s * y) for s, x, y in zip(signs, a, b)]
        return all(x >= y for x, y in pairs) and any(x > y for x, y in pairs)

    def standing(self, values):
        """The text after a trial's values: the best so far, or the front."""
        if len(values) == 1:
            if self.better(values):
                self.best = values
            return f"best {fmt(self.best)}"
        if not any(self.dominates(f, values) for f in self.front):
            self.front = [f for f in self.front if not self.dominates(values, f)] + [values]
        return f"pareto front {len(self.front)} trial{'s' if len(self.front) != 1 else ''}"

    def __call__(self, report):
        if report.procedure == Procedure.HPO_TRIAL_EXECUTED:
            log = report.successful
            values = list(log["values"])
            params = ", ".join(f"{k}={v:.4g}" if isinstance(v, float) else f"{k}={v}"
                               for k, v in given_parameters(log["parameters"],
                                                            self.grid).items())
            print(f"trial {log['trials']:>3}  {params}  values {fmt(values)}  "
                  f"{self.standing(values)}", flush=True)
        elif report.procedure == Procedure.HPO_COMPLETED:
            self.completed = report.successful
        else:
            print(report.msg, flush=True)


def fmt(values):
    return "[" + ", ".join(f"{v:.4g}" for v in values or []) + "]"


def grid_value(trial, name, low, high, step):
    """The grid's value for `name`: an int when the range is given in ints."""
    return as_given(trial.suggest_float(name, low, high), (low, high, step))


def as_given(value, bounds):
    """An int for a range given in ints (the grid sampler's values are floats)."""
    return int(round(value)) if all(isinstance(v, int) for v in bounds) else value


def given_parameters(parameters, grid):
    return {k: as_given(v, grid[k]) if k in grid else v for k, v in parameters.items()}


def apply_values(runner, values, last):
    """Set the trial's parameters; the components to run again."""
    changed = [n for n, v in values.items() if n not in last or last[n] != v]
    last.update(values)
    if runner.notebook is not None:
        return runner.inject(values)
    runner.params.update(values)
    return runner.affected_by(changed)


def why_failed(runner, objective):
    """The failure behind an objective that has no value, in one line."""
    plan = runner.plan(objective)
    for node_id in plan:
        comp = runner.dag.nodes[node_id]
        if str(comp.status) == "FAILED" and comp.exception_msg:
            return f"component {node_id!r}: {plain(comp.exception_msg[-1]).strip()}"
    return "the objective has no value"


def make_target(runner, objectives, grid, search):
    last = {}

    def target(trial):
        values = {name: grid_value(trial, name, *bounds) for name, bounds in grid.items()}
        for name, (low, high) in search.items():
            if isinstance(low, int) and isinstance(high, int):
                values[name] = trial.suggest_int(name, low, high)
            else:
                values[name] = trial.suggest_float(name, float(low), float(high))
        rerun = apply_values(runner, values, last)
        for objective in objectives:
            runner.run(only=objective, show=False, rerun=rerun)
        results = [runner.objective(o) for o in objectives]
        for objective, result in zip(objectives, results):
            if math.isnan(result):
                print(f"trial {trial.number:>3}  failed: {why_failed(runner, objective)}",
                      flush=True)
        # a failed run gives NaN: optuna records the trial as failed and goes on
        return results[0] if len(results) == 1 else tuple(results)

    target.last = last
    return target


def rerun_best(runner, objectives, optimizer, target, grid):
    """Run the best trial's parameters again (what changed since the last
    trial only), so that what is written is the best run; its number."""
    number, best = next(iter(optimizer.best_trials.items()))
    rerun = apply_values(runner, given_parameters(best["parameters"], grid), target.last)
    for objective in objectives:
        runner.run(only=objective, show=False, rerun=rerun)
    return number


def optimize_pipeline(runner, args, grid, search, directions):
    # imported here: optuna is heavy and warns at import, and `run` needs none of it
    from tessel_core.executors.parameters_optimizer import TesselHPOptimizer

    live = LiveReport(directions, grid)
    # the grid includes its upper bound: 100:300:100 is 100, 200 and 300
    parameters = {n: {"low": lo, "high": hi + st / 2, "interval": st}
                  for n, (lo, hi, st) in grid.items()}
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
        print(f"  #{number}: {given_parameters(trial['parameters'], grid)}  "
              f"values {fmt(trial['values'])}")
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
    shown = None
    if args.output or getattr(args, "report", None):
        shown = f"best trial #{rerun_best(runner, args.objective, optimizer, target, grid)}"
    write_outputs(runner, args, search={
        "objectives": list(args.objective), "trials": trials_of(optimizer),
        "best": optimizer.best_trials, "pareto": figure, "shown": shown,
        "importances": live.completed["parameter_importance"]})
    return 0 if not any(math.isnan(v) for t in optimizer.best_values for v in t) else 1


def trials_of(optimizer):
    return [{"number": n, "parameters": t["parameters"], "values": t["values"]}
            for n, t in enumerate(optimizer.optimization_log)]
