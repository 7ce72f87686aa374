"""`python -m tessel_core`: the command line (see tessel_core.cli).

    python -m tessel_core run PIPELINE.json [--cache-dir DIR] [--param NAME=VALUE ...]
                                            [--remote BROKER [--backend URL]] [--only ID]
                                            [--jobs N [--pool]] [--fail-fast]
    python -m tessel_core optimize PIPELINE.json --objective ID [--direction minimize ...]
                                            [--method RandomSearch] [--trials N]
                                            [--grid NAME=LOW:HIGH:STEP | --search NAME=LOW:HIGH]
"""

import gc
import sys


def run_command(argv):
    """The command's exit status: from the record of the same run served
    wholly from the cache when it still holds, else from a full run (which
    may leave such a record)."""
    from tessel_core.cli import run_record

    where = run_record.record_of(argv)
    if where is None:
        return full_run(argv)
    status = run_record.serve(where)
    if status is not None:
        return status
    recorder = run_record.Recorder(where)
    if not recorder.install():
        return full_run(argv)
    run_record.ACTIVE = recorder
    try:
        status = full_run(argv)
    finally:
        run_record.ACTIVE = None
        recorder.uninstall()
    recorder.write(status)
    return status


def full_run(argv):
    # The imports make hundreds of thousands of objects that live as long as
    # the process; the collector walking them as they are made costs 0.03 s
    # of a 0.35 s start-up. So it waits, and what the imports made is then frozen:
    # never walked again, neither in a run's collections nor in the full one
    # a shell makes as it exits (the few cycles the imports left, under a
    # megabyte, stay). Everything a run makes is collected as before.
    gc.disable()
    try:
        from tessel_core.cli import main
    finally:
        gc.freeze()
        gc.enable()
    return main(argv)


if __name__ == "__main__":
    # Run here, not on import: a process that multiprocessing spawns runs
    # this file again (as __mp_main__), and the disk-cache writer needs none
    # of the command line.
    sys.exit(run_command(sys.argv[1:]))
