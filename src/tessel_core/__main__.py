"""Command line: run or optimize a pipeline described in a JSON file.

    python -m tessel_core run PIPELINE.json [--cache-dir DIR] [--param NAME=VALUE ...]
                                            [--remote BROKER [--backend URL]] [--only ID]
                                            [--jobs N [--pool]] [--fail-fast]
    python -m tessel_core optimize PIPELINE.json --objective ID [--direction minimize ...]
                                            [--method RandomSearch] [--trials N]
                                            [--grid NAME=LOW:HIGH:STEP | --search NAME=LOW:HIGH]
"""

import argparse
import ast
import math
import os
import sys

from tessel_core._pipeline_file import (
    PipelineError,
    PipelineRunner,
    load_pipeline,
    parse_params,
    pipeline_graph,
)
from tessel_core.pipeline.runner import CPU_MULTIPLE, pool_size
from tessel_core.report.outputs import plain


def add_common(p):
    p.add_argument("pipeline", help="pipeline file (JSON)")
    p.add_argument("--param", action="append", default=[], metavar="NAME=VALUE",
                   help="parameter passed to every component (repeatable)")
    p.add_argument("--cache-dir", help="disk-cache directory for components that ask for it")
    p.add_argument("--remote", metavar="BROKER_URL", help="run every component on a Celery worker")
    p.add_argument("--backend", metavar="URL", help="result backend (default: the broker URL)")
    p.add_argument("--output", metavar="NOTEBOOK.ipynb",
                   help="write the executed notebook of the run here")
    p.add_argument("--jobs", type=int, default=1, metavar="N",
                   help="run up to N independent components at once: on a local process "
                        "pool (--pool, the default when N > 1) or on Celery workers (--remote)")
    p.add_argument("--pool", action="store_true",
                   help="run components in a local process pool of --jobs workers")
    p.add_argument("--store", metavar="DIR_OR_URL",
                   help="with --remote: directory or fsspec URL the workers reach too; inputs "
                        "above --store-threshold go there and only references through the broker")
    p.add_argument("--store-threshold", type=finite_number, default=64.0, metavar="MB",
                   help="size above which a value goes to the store (default: %(default)s)")
    p.add_argument("--oversubscribe", action="store_true",
                   help=f"allow a pool of more than {CPU_MULTIPLE} workers per CPU")
    p.add_argument("--color", choices=["auto", "always", "never"], default="auto",
                   help="colour in error records: on a terminal only (auto, the default), "
                        "always or never")
    p.add_argument("--fail-fast", action="store_true",
                   help="after a failure start nothing new (otherwise only its descendants "
                        "are skipped)")


def finite_number(text):
    """A finite, non-negative number of megabytes (argparse type)."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value) or value < 0:
        raise argparse.ArgumentTypeError(f"must be a finite number >= 0, not {text!r}")
    return value


def make_engine(args, graph):
    """The engine of --jobs/--pool/--remote; None: the shell, one at a time.
    Made before the runner: pool workers are forked before any thread starts."""
    from tessel_core.pipeline.runner import CeleryEngine, PoolEngine

    if args.jobs < 1:
        raise PipelineError("--jobs must be at least 1")
    if args.pool and args.remote:
        raise PipelineError("--pool and --remote exclude each other")
    if args.store and not args.remote:
        raise PipelineError("--store applies to runs on Celery workers (--remote)")
    if args.remote:
        check_store(args.store)
        return CeleryEngine(pool_size(args.jobs, graph, cpu_cap=False), args.remote,
                            args.backend, store=args.store,
                            threshold=int(args.store_threshold * 2**20))
    if args.pool or args.jobs > 1:
        size = pool_size(args.jobs, graph, cpu_cap=not args.oversubscribe)
        if size < min(args.jobs, pool_size(args.jobs, graph, cpu_cap=False)):
            print(f"note: --jobs {args.jobs} runs {size} pool workers ({CPU_MULTIPLE} per "
                  f"CPU); --oversubscribe allows more", file=sys.stderr)
        return PoolEngine(size)
    return None


def check_store(store):
    """A store directory the command cannot write is refused before the run
    (an fsspec URL is checked by its first write)."""
    if not store or "://" in store:
        return
    if not os.path.isdir(store):
        raise PipelineError(f"the store {store} is not a directory")
    if not os.access(store, os.W_OK | os.X_OK):
        raise PipelineError(f"the store {store} is not writable")


def make_runner(args):
    pipeline = load_pipeline(args.pipeline)
    graph = pipeline_graph(pipeline[0])
    engine = make_engine(args, graph)
    try:
        return PipelineRunner(pipeline, parse_params(args.param),
                              cache_dir=args.cache_dir, remote=args.remote, backend=args.backend,
                              engine=engine, fail_fast=args.fail_fast)
    except BaseException:
        if engine is not None:
            engine.close()
        raise


def print_table(runner):
    rows = runner.summary()
    widths = [max(len(str(r[i])) for r in rows) for i in range(len(rows[0]))]
    for n, row in enumerate(rows):
        print("  ".join(str(c).ljust(w) for c, w in zip(row, widths)).rstrip())
        if n == 0:
            print("  ".join("-" * w for w in widths))


def command_run(args):
    runner = make_runner(args)
    warn_unread(runner, parse_params(args.param), "--param")
    interrupted = False
    try:
        runner.check_ready(only=args.only)
        runner.run(only=args.only, show=True)
    except KeyboardInterrupt:
        interrupted = True
    finally:
        runner.close()
    print()
    print_table(runner)
    if interrupted:
        print("interrupted", file=sys.stderr)
        return 130
    write_outputs(runner, args)
    failed = runner.failed()
    colour = wants_colour(args, sys.stderr)
    for comp in failed:
        print(f"\ncomponent '{comp.name}' ({comp.id}) failed:", file=sys.stderr)
        for line in comp.exception_msg or []:
            print(line if colour else plain(line), file=sys.stderr)
    return 1 if failed else 0


def wants_colour(args, stream):
    """Colour codes only on a terminal, unless --color says otherwise."""
    choice = getattr(args, "color", "auto")
    if choice != "auto":
        return choice == "always"
    isatty = getattr(stream, "isatty", None)
    return bool(isatty and isatty())


def write_outputs(runner, args, search=None):
    """The executed notebook and the HTML report, where asked for."""
    from tessel_core.report import write_html, write_notebook

    common = dict(parameters=runner.params, origin=runner.origin, seconds=runner.seconds,
                  shell=runner.shell)
    which = f" (the run of {search['shown']})" if search and search.get("shown") else ""
    if args.output:
        write_notebook(args.output, runner.dag, **common)
        print(f"notebook written to {args.output}{which}")
    if getattr(args, "report", None):
        write_html(args.report, runner.dag, search=search, **common)
        print(f"report written to {args.report}{which}")


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


def warn_unread(runner, names, flag):
    """A parameter no component reads changes nothing: say so."""
    for name in names:
        if not runner.affected_by([name]):
            print(f"warning: {flag} {name}: no component reads it", file=sys.stderr)


def command_optimize(args):
    import warnings

    # optuna's progress-bar import and evaluators warn about things this
    # command does not use; keep its output to one line per trial.
    warnings.filterwarnings("ignore", message="IProgress not found")
    warnings.filterwarnings("ignore", module="optuna")
    import optuna

    from tessel_core._optimize_cli import optimize_pipeline

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
    runner = make_runner(args)
    try:
        warn_unread(runner, parse_params(args.param), "--param")
        warn_unread(runner, search, "--search")
        warn_unread(runner, grid, "--grid")
        for objective in args.objective:
            runner.check_ready(only=objective)
            if runner.dag.nodes[objective].last_expr is None:
                raise PipelineError(f"objective component {objective!r} must end with an "
                                    "expression (its value is the objective)")
        return optimize_pipeline(runner, args, grid, search, directions)
    finally:
        runner.close()


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m tessel_core",
                                     description="Run or optimize a pipeline file.")
    commands = parser.add_subparsers(dest="command", required=True)
    run = commands.add_parser("run", help="run a pipeline")
    add_common(run)
    run.add_argument("--only", metavar="ID", help="run this component and what it needs")
    run.add_argument("--html", dest="report", metavar="REPORT.html",
                     help="write a self-contained HTML report of the run here")
    run.set_defaults(func=command_run)
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
    args = parser.parse_args(argv)
    try:
        return args.func(args)
    except PipelineError as err:
        print(f"error: {err}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
