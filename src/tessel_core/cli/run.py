"""`python -m tessel_core run`: run a pipeline file."""

import sys

from tessel_core.cli.options import (
    add_common,
    given_params,
    make_runner,
    wants_colour,
    warn_unread,
    write_outputs,
)
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
    runner = make_runner(args)
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
    return 1 if failed else 0
