"""Notebook-like cells as a pipeline, against the same cells in one shell.

A 50-cell chain over a 100 MB DataFrame: the first cell makes it, the others
make small edits in place or read a summary of it, as a notebook does. The
pipeline runs each cell as a component in the same InteractiveShell (the API
path of a notebook), receiving its ancestors' outputs; the baseline runs the
cells with shell.run_cell. Prints pipeline / one shell and where the time goes.
"""

import time

from IPython.core.interactiveshell import InteractiveShell

from tessel_core.misc.models import TesselDagModel
from tessel_core.pipeline import TesselDagBase
from tessel_core.pipeline.inputs import execute_component

ROWS = 1_250_000  # x 10 float64 columns = 100 MB


def cells():
    codes = ["import numpy as np\nimport pandas as pd\n"
             f"df = pd.DataFrame(np.random.default_rng(0).random(({ROWS}, 10)),\n"
             "                  columns=[f'c{i}' for i in range(10)])"]
    for i in range(1, 50):
        if i % 3 == 0:
            codes.append(f"df.iloc[{i}, {i % 10}] = -1.0")  # a small edit in place
        elif i % 3 == 1:
            codes.append(f"s{i} = float(df['c{i % 10}'].head(1000).mean())")  # a read
        else:
            codes.append(f"n{i} = len(df)\nprint(n{i})")
    return codes


def one_shell(codes):
    shell = InteractiveShell.instance()
    shell.reset()
    start = time.perf_counter()
    for code in codes:
        shell.run_cell(code, silent=True)
    return time.perf_counter() - start


def pipeline(codes):
    shell = InteractiveShell.instance()
    dag = TesselDagBase(graph=TesselDagModel(
        nodes=[{"id": f"n{i}", "name": f"N{i}", "code": c} for i, c in enumerate(codes)],
        edges=[{"parent": f"n{i}", "child": f"n{i + 1}"} for i in range(len(codes) - 1)]))
    start = time.perf_counter()
    for node_id in dag.nodes:
        execute_component(dag, node_id, ipython_shell=shell, send_to_front=False)
    elapsed = time.perf_counter() - start
    assert all(str(c.status) == "SUCCESSFUL" for c in dag.nodes.values())
    return elapsed


def main():
    codes = cells()
    base = min(one_shell(codes) for _ in range(2))
    ours = min(pipeline(codes) for _ in range(2))
    print(f"{'case':40} {'ratio':>6}  target")
    print(f"{'50 cells over a 100 MB DataFrame':40} {ours / base:6.2f}")
    print(f"(pipeline {ours:.2f} s, one shell {base:.2f} s)")


if __name__ == "__main__":
    main()
