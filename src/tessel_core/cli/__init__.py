"""The command line: `python -m tessel_core run|optimize PIPELINE ...`,
`convert NOTEBOOK` and `cache list|prune|clear DIR`.

One module per command (`run`, `optimize`, `convert`, `cache`); `pipeline_file` reads
pipeline files and command-line parameters, `notebook_file` notebooks; `options` holds what every command takes
and makes (engine, run, notebook and report); `session` is a run of a
pipeline file (its DAG, engine and disk cache); `terminal` is what a run
shows; `run_record` answers a run served wholly from the cache from what the
same run printed before. The commands are imported by `main`: importing the
package imports nothing heavy, so that `run_record` answers before they are.
"""

import sys


def main(argv=None):
    """Parse the command line and run its command; the exit status."""
    import argparse

    from tessel_core.cli import cache, convert, optimize, run
    from tessel_core.cli.pipeline_file import PipelineError

    parser = argparse.ArgumentParser(prog="python -m tessel_core",
                                     description="Run or optimize a pipeline file or a notebook.")
    commands = parser.add_subparsers(dest="command", required=True)
    run.add_parser(commands)
    optimize.add_parser(commands)
    convert.add_parser(commands)
    cache.add_parser(commands)
    args = parser.parse_args(argv)
    try:
        return args.func(args)
    except PipelineError as err:
        print(f"error: {err}", file=sys.stderr)
        return 2
