"""A chain of cells over a large DataFrame on the command line, against the
same cells in one shell.

The 50 cells of bench_notebook.py (the first makes a 100 MB frame, the
others read it or make small edits in place) as a notebook: `run` with every
cell cached, its cached rerun (which leaves a record of what it printed), a
later rerun (answered from that record), and `run --jobs 2 --pool`, each
against a process that runs the cells in one IPython shell (all timed from
outside, interpreter start included, the shortest of three runs each). Then
the same chain over a 1 GB frame through `execute_component` in one process:
its peak resident memory above that of one shell running the cells.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

import nbformat

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_notebook import ROWS, cells  # noqa: E402

ONE_SHELL = """
import json, resource, sys
from IPython.core.interactiveshell import InteractiveShell
shell = InteractiveShell.instance()
for code in json.load(open(sys.argv[1])):
    assert shell.run_cell(code, silent=True).success
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""
PIPELINE = """
import json, resource, sys
sys.path.insert(0, sys.argv[2])
from bench_notebook import pipeline
pipeline(json.load(open(sys.argv[1])))
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def timed(*args):
    start = time.perf_counter()
    out = subprocess.run([sys.executable, *args], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr[-2000:]
    return time.perf_counter() - start, out.stdout


def write_cells(folder, codes):
    import json

    path = os.path.join(folder, "cells.json")
    with open(path, "w") as f:
        json.dump(codes, f)
    nb = nbformat.v4.new_notebook()
    nb.cells = [nbformat.v4.new_code_cell(c) for c in codes]
    nbformat.write(nb, os.path.join(folder, "chain.ipynb"))
    return path, os.path.join(folder, "chain.ipynb")


def best_of(times, *args, before=None):
    """The shortest of `times` runs (the machine is noisy); `before()` runs
    ahead of each, untimed."""
    found = []
    for _ in range(times):
        if before:
            before()
        found.append(timed(*args)[0])
    return min(found)


def command_rows(folder, times=3):
    script = os.path.join(folder, "one_shell.py")
    with open(script, "w") as f:
        f.write(ONE_SHELL)
    codes_path, nb = write_cells(folder, cells())
    cache = os.path.join(folder, "cache")
    runs = os.path.join(cache, ".runs")  # the records of runs
    shell = best_of(times, script, codes_path)
    run = ["-m", "tessel_core", "run", nb]
    cached_first = best_of(times, *run, "--cache-dir", cache,
                           before=lambda: shutil.rmtree(cache, ignore_errors=True))
    written = sum(os.path.getsize(os.path.join(root, f))
                  for root, _, files in os.walk(cache) for f in files)
    # the full run, leaving a record; then reruns answered from that record
    cached_again = best_of(times, *run, "--cache-dir", cache,
                           before=lambda: shutil.rmtree(runs, ignore_errors=True))
    recorded = best_of(times, *run, "--cache-dir", cache)
    shutil.rmtree(cache)
    pooled = best_of(times, *run, "--jobs", "2", "--pool")
    print(f"{'chain, run --cache-dir / one shell':44} {cached_first / shell:6.2f}  <= 3")
    print(f"{'chain, its cached rerun / one shell':44} {cached_again / shell:6.2f}  <= 0.5")
    print(f"{'chain, a later cached rerun / one shell':44} {recorded / shell:6.2f}  <= 0.5")
    print(f"{'chain, run --jobs 2 --pool / one shell':44} {pooled / shell:6.2f}  <= 3")
    print(f"(one shell {shell:.2f} s, --cache-dir {cached_first:.2f} s writing "
          f"{written / 1e6:.0f} MB, rerun {cached_again:.2f} s, later rerun {recorded:.2f} s, "
          f"--pool {pooled:.2f} s)")


def memory_row(folder):
    big = [c.replace(f"({ROWS}, 10)", f"({ROWS * 10}, 10)") for c in cells()]  # 1 GB
    codes_path, _ = write_cells(folder, big)
    for name, text in (("one_shell.py", ONE_SHELL), ("pipeline.py", PIPELINE)):
        with open(os.path.join(folder, name), "w") as f:
            f.write(text)
    shell_kb = int(timed(os.path.join(folder, "one_shell.py"), codes_path)[1].split()[-1])
    here = os.path.dirname(os.path.abspath(__file__))
    ours_kb = int(timed(os.path.join(folder, "pipeline.py"), codes_path, here)[1].split()[-1])
    above = (ours_kb - shell_kb) / 2**20
    print(f"{'1 GB chain: peak memory above one shell (GB)':44} {above:6.2f}  <= 2.5")
    print(f"(peak: one shell {shell_kb / 2**20:.2f} GB, execute_component {ours_kb / 2**20:.2f} GB)")


def main():
    print(f"{'case':44} {'ratio':>6}  target")
    with tempfile.TemporaryDirectory() as folder:
        command_rows(folder)
        memory_row(folder)


if __name__ == "__main__":
    main()
