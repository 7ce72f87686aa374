"""Writing the executed notebook of a component that printed a lot, against
writing the same text as a notebook by hand with nbformat (ours / direct).
The ratio must not grow with the output: 30,000 lines and 8 MB of lines,
both with the same target.
"""

import os
import tempfile
import time

import nbformat

from tessel_core.misc.models import TesselDagModel
from tessel_core.pipeline import TesselDagBase
from tessel_core.report import write_notebook


def run_printing(lines, width):
    code = f"for i in range({lines}):\n    print(str(i).rjust({width}, 'x'))"
    dag = TesselDagBase(graph=TesselDagModel(nodes=[{"id": "p", "name": "P", "code": code}],
                                             edges=[]))
    dag.nodes["p"].execute()  # no shell: every print is a captured stream record
    return dag


def direct(path, dag):
    text = "".join(r.text for r in dag.nodes["p"].captured)
    nb = nbformat.v4.new_notebook()
    cell = nbformat.v4.new_code_cell(dag.nodes["p"].cell_code)
    cell.outputs = [nbformat.v4.new_output("stream", name="stdout", text=text)]
    nb.cells.append(cell)
    nbformat.write(nb, path)


def timed(fn, *args):
    start = time.perf_counter()
    fn(*args)
    return time.perf_counter() - start


def main():
    root = tempfile.mkdtemp(prefix="bench-report-")
    print(f"{'case':46} {'ratio':>6}  target")
    for label, lines, width in (("30,000 printed lines", 30_000, 10),
                                ("8 MB of printed lines", 100_000, 80)):
        dag = run_printing(lines, width)
        ours = min(timed(write_notebook, os.path.join(root, "ours.ipynb"), dag)
                   for _ in range(3))
        base = min(timed(direct, os.path.join(root, "direct.ipynb"), dag) for _ in range(3))
        print(f"{'notebook of ' + label + ' vs nbformat':46} {ours / base:6.2f}  <= 3")


if __name__ == "__main__":
    main()
