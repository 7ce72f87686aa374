"""Options every command takes, and what they make: the engine, the run of
the pipeline file, the executed notebook and report."""

import argparse
import math
import os
import sys

from tessel_core.cli.notebook_file import (
    is_notebook,
    load_notebook,
    process_state_cells,
    with_injected_component,
)
from tessel_core.cli.pipeline_file import (
    PipelineError,
    parse_params,
    pipeline_graph,
    read_pipeline_file,
)
from tessel_core.cli.session import PipelineRunner
from tessel_core.pipeline.runner import CPU_MULTIPLE, pool_size


def finite_number(text):
    """A finite, non-negative number of megabytes (argparse type)."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value) or value < 0:
        raise argparse.ArgumentTypeError(f"must be a finite number >= 0, not {text!r}")
    return value


def add_common(p):
    p.add_argument("pipeline", help="pipeline file (JSON), notebook (.ipynb) or percent-format "
                                    "script (.py)")
    p.add_argument("--param", action="append", default=[], metavar="NAME=VALUE",
                   help="parameter passed to every component; for a notebook, set in a cell "
                        "injected after its 'parameters' cell, as papermill does (repeatable)")
    p.add_argument("-p", dest="param_pairs", nargs=2, action="append", default=[],
                   metavar=("NAME", "VALUE"), help="the same as --param NAME=VALUE")
    p.add_argument("--linear", action="store_true",
                   help="for a notebook: run its cells as a chain, in order, instead of the "
                        "DAG inferred from their code")
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


def given_params(args):
    """--param NAME=VALUE and -p NAME VALUE, in the order given."""
    return list(args.param) + [f"{name}={value}" for name, value in
                               getattr(args, "param_pairs", None) or []]


# Options naming files, resolved before a notebook's run moves to its folder.
PATH_OPTIONS = ("cache_dir", "output", "report", "store", "pareto")


def read_input(args, extra_names=()):
    """(pipeline, params, notebook) of the command's input file. A notebook's
    parameters are set by its injected cell (with `extra_names` too, for a
    search), and its cells run in its folder, as in Jupyter."""
    params = parse_params(given_params(args))
    if not is_notebook(args.pipeline):
        model, defaults, params_cell = read_pipeline_file(args.pipeline)
        if params_cell is None:
            return (model, defaults), params, None
        return (with_injected_component(model, params_cell, params), {}), {}, None
    overrides = dict(params)
    notebook = load_notebook(args.pipeline, overrides, getattr(args, "linear", False),
                             searched=extra_names)
    for name in PATH_OPTIONS:
        value = getattr(args, name, None)
        if value and "://" not in value:
            setattr(args, name, os.path.abspath(os.path.expanduser(value)))
    folder = os.path.dirname(notebook.path)
    os.chdir(folder)
    sys.path.insert(0, folder)  # a kernel imports modules beside the notebook
    return (notebook.model, {}), {}, notebook


def make_runner(args, searched=()):
    pipeline, params, notebook = read_input(args, searched)
    graph = pipeline_graph(pipeline[0])
    engine = make_engine(args, graph)
    if notebook is not None and engine is not None:
        warn_process_state(notebook)
    try:
        runner = PipelineRunner(pipeline, params, cache_dir=args.cache_dir, remote=args.remote,
                                backend=args.backend, engine=engine, fail_fast=args.fail_fast)
    except BaseException:
        if engine is not None:
            engine.close()
        raise
    runner.notebook = notebook
    if notebook is not None:
        runner.uncached = set(notebook.uncached)
    return runner


def warn_process_state(notebook):
    cells = process_state_cells(notebook)
    if cells:
        print(f"warning: cells {', '.join(cells)} change process-wide state (styles, options, "
              f"warnings filters, sys.path, the working directory, rcParams) that does not "
              f"follow them to the other processes of --pool or --remote", file=sys.stderr)


def wants_colour(args, stream):
    """Colour codes only on a terminal, unless --color says otherwise."""
    choice = getattr(args, "color", "auto")
    if choice != "auto":
        return choice == "always"
    isatty = getattr(stream, "isatty", None)
    return bool(isatty and isatty())


def write_outputs(runner, args, search=None):
    """The executed notebook and the HTML report, where asked for."""
    if not args.output and not getattr(args, "report", None):
        return
    from tessel_core.report import write_executed_notebook, write_html, write_notebook

    common = dict(parameters=runner.params, origin=runner.shown_origin(),
                  seconds=runner.seconds, shell=runner.shell)
    which = f" (the run of {search['shown']})" if search and search.get("shown") else ""
    if args.output and runner.notebook is not None:
        write_executed_notebook(args.output, runner.notebook, runner.dag, **common)
        print(f"notebook written to {args.output}{which}")
    elif args.output:
        write_notebook(args.output, runner.dag, **common)
        print(f"notebook written to {args.output}{which}")
    if getattr(args, "report", None):
        write_html(args.report, runner.dag, search=search, notebook=runner.notebook, **common)
        print(f"report written to {args.report}{which}")


def warn_unread(runner, names, flag):
    """A parameter no component reads changes nothing: say so."""
    for name in names:
        if not runner.affected_by([name]):
            print(f"warning: {flag} {name}: no component reads it", file=sys.stderr)
