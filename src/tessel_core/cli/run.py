"""`python -m tessel_core run`: run a pipeline file."""

import sys

from tessel_core.cli import run_record
from tessel_core.cli.options import (
    add_common,
    given_params,
    make_runner,
    wants_colour,
    warn_unread,
    write_outputs,
)
from tessel_core.cli.notebook_file import is_notebook
from tessel_core.cli.pipeline_file import parse_params
from tessel_core.cli.terminal import print_table
from tessel_core.report.outputs import plain


def add_parser(commands):
    run = commands.add_parser("run", help="run a pipeline")
    add_common(run)
    run.add_argument("--only", metavar="ID", help="run this component and what it needs")
    run.add_argument("--html", dest="report", metavar="REPORT.html",
                     help="write a self-contained HTML report of the run here")
    run.add_argument("--dry-run", action="store_true",
                     help="print what would run and why (with --cache-dir), running nothing")
    run.set_defaults(func=command_run)


def command_run(args):
    recorder = run_record.ACTIVE if not (args.output or args.report) else None
    if recorder is not None:
        recorder.stamp_source(args.pipeline, is_notebook(args.pipeline))
    runner = make_runner(args)
    if runner.engine is not None:  # a pool or Celery: output a record cannot give again
        recorder = None
    if runner.notebook is None:  # a notebook's parameters cell is checked on reading
        warn_unread(runner, parse_params(given_params(args)), "--param")
    if args.dry_run:
        try:
            runner.check_ready(only=args.only)
            print_table(runner.dry_run(only=args.only))
        finally:
            runner.close()
        return 0
    interrupted = False
    try:
        runner.check_ready(only=args.only)
        runner.run(only=args.only, show=True)
    except KeyboardInterrupt:
        interrupted = True
    finally:
        runner.close()
    print()
    print_table(runner.summary())
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
    if recorder is not None and not failed and served_wholly_from_cache(runner, args.only):
        recorder.rested_on(runner.cache.used)
    return 1 if failed else 0


def served_wholly_from_cache(runner, only):
    return runner.cache is not None and bool(runner.origin) and \
        all(source == "cache" for source in runner.origin.values()) and \
        set(runner.origin) == set(runner.plan(only))
