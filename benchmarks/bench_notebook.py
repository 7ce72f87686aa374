"""Notebook-like cells as a pipeline, against the same cells in one shell.

A teaching notebook (iris: tables, figures, two models), and a 50-cell chain over a 100 MB DataFrame: the first cell makes it, the others
make small edits in place or read a summary of it, as a notebook does. The
pipeline runs each cell as a component in the same InteractiveShell (the API
path of a notebook), receiving its ancestors' outputs; the baseline runs the
cells with shell.run_cell. Prints pipeline / one shell and where the time goes.
"""

import time

import contextlib
import io
import os
import subprocess
import sys
import tempfile

import nbformat

from tessel_core.executors.component_executors.local_executor.shell import PipelineShell
from tessel_core.misc.models import TesselDagModel
from tessel_core.pipeline import TesselDagBase
from tessel_core.pipeline.inputs import execute_component

os.environ.setdefault("MPLBACKEND", "module://matplotlib_inline.backend_inline")
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


TEACHING = [
    "%matplotlib inline\nimport numpy as np\nimport pandas as pd\nimport matplotlib.pyplot as plt\n"
    "from sklearn.datasets import load_iris\nfrom sklearn.model_selection import train_test_split",
    "iris = load_iris(as_frame=True)\ndf = iris.frame\ndf.head()",
    "df.describe()",
    "df.groupby('target').mean()",
    "df['ratio'] = df['sepal length (cm)'] / df['sepal width (cm)']",
    "fig, ax = plt.subplots()\nax.scatter(df.iloc[:, 0], df.iloc[:, 1], c=df.target);",
    "X_train, X_test, y_train, y_test = train_test_split(df.iloc[:, :4], df.target, random_state=0)",
    "from sklearn.linear_model import LogisticRegression\nclf = LogisticRegression(max_iter=500)",
    "clf.fit(X_train, y_train)",
    "clf.score(X_test, y_test)",
    "from sklearn.ensemble import RandomForestClassifier\n"
    "rf = RandomForestClassifier(n_estimators=50, random_state=0).fit(X_train, y_train)",
    "rf.score(X_test, y_test)",
    "pd.Series(rf.feature_importances_, index=X_train.columns).plot.bar();",
    "from sklearn.metrics import confusion_matrix\nconfusion_matrix(y_test, rf.predict(X_test))",
    "df.hist(figsize=(8, 6));",
    "corr = df.corr()\ncorr",
]


def one_shell(codes):
    shell = PipelineShell.instance()
    shell.reset()
    with contextlib.redirect_stdout(io.StringIO()):  # the table below is the only output
        start = time.perf_counter()
        for code in codes:
            shell.run_cell(code, store_history=True)  # figures drawn at the end, as in a kernel
        return time.perf_counter() - start


def pipeline(codes):
    shell = PipelineShell.instance()
    dag = TesselDagBase(graph=TesselDagModel(
        nodes=[{"id": f"n{i}", "name": f"N{i}", "code": c} for i, c in enumerate(codes)],
        edges=[{"parent": f"n{i}", "child": f"n{i + 1}"} for i in range(len(codes) - 1)]))
    start = time.perf_counter()
    for node_id in dag.nodes:
        execute_component(dag, node_id, ipython_shell=shell, send_to_front=False)
    elapsed = time.perf_counter() - start
    assert all(str(c.status) == "SUCCESSFUL" for c in dag.nodes.values())
    return elapsed


def branches_notebook(path, branches=4, length=10):
    """A notebook of `branches` independent chains of `length` one-second cells."""
    nb = nbformat.v4.new_notebook()
    for b in range(branches):
        nb.cells.append(nbformat.v4.new_code_cell(f"import time as t{b}\nv{b}_0 = 0\nt{b}.sleep(1)"))
        for k in range(1, length):
            nb.cells.append(nbformat.v4.new_code_cell(
                f"v{b}_{k} = v{b}_{k - 1} + 1\nt{b}.sleep(1)"))
    nbformat.write(nb, path)


def command_seconds(*args):
    start = time.perf_counter()
    out = subprocess.run([sys.executable, "-m", "tessel_core", "run", *args],
                         capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    return time.perf_counter() - start


def notebook_branches_row():
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "branches.ipynb")
        branches_notebook(path)
        sequential = command_seconds(path)
        pooled = command_seconds(path, "--jobs", "4", "--pool")
    name = "notebook, 4 branches x 10 x 1 s, --jobs 4"
    print(f"{name:40} {pooled / sequential:6.2f}  <= 0.35")
    print(f"(--jobs 4 --pool {pooled:.2f} s, one at a time {sequential:.2f} s)")


def main():
    print(f"{'case':40} {'ratio':>6}  target")
    notebook_branches_row()
    for name, codes, target in (("teaching notebook (iris, plots, models)", TEACHING, "<= 1.3"),
                                ("50 cells over a 100 MB DataFrame", cells(), "<= 1.5")):
        base = min(one_shell(codes) for _ in range(2))
        ours = min(pipeline(codes) for _ in range(2))
        print(f"{name:40} {ours / base:6.2f}  {target}")
        print(f"(pipeline {ours:.2f} s, one shell {base:.2f} s)")


if __name__ == "__main__":
    main()
