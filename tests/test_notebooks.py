"""Notebooks as pipelines: the inferred DAG, and `run`/`convert` of real
notebooks compared with the same notebooks executed by a Jupyter kernel."""

import json
import os
import re

import nbformat
import pytest

from test_cli import cli, sources
from tessel_core.cli.notebook_file import infer_edges


@pytest.mark.parametrize("cells, edges", [
    # plain data flow; two branches that share only their source (implied
    # edges are left out: 0 -> 3 goes through 1 and 2)
    (["a = 1", "b = a + 1", "c = a * 2", "b + c"], {(0, 1), (0, 2), (1, 3), (2, 3)}),
    # changed in place: a method call, a name passed to a call, inplace=True,
    # np.random.seed changes np; read-only calls (print, len, head, describe) do not
    (["x = [3, 1]", "x.sort()", "print(len(x))", "x"], {(0, 1), (1, 2), (1, 3)}),
    (["df = load()", "df.head()", "df.dropna(inplace=True)", "df.describe()"],
     {(0, 1), (0, 2), (2, 3)}),
    (["import numpy as np", "np.random.seed(0)", "np.random.rand()"], {(0, 1), (1, 2)}),
    (["m = M()", "clean(m)", "m"], {(0, 1), (1, 2)}),
    # rebinding orders the binders (the nearest wins downstream); a later cell
    # rebinding what an earlier one read needs no edge from that reader
    (["a = 1", "b = a", "a = 2"], {(0, 1), (0, 2)}),
    # a function reads the globals of its body, and may change them, where
    # it is called
    (["items = []", "def add():\n    items.append(1)", "add()", "print(items)"],
     {(0, 1), (1, 2), (2, 3)}),
    (["def g():\n    global z\n    z = 1", "g()", "z"], {(0, 1), (1, 2)}),
    # del, augmented assignment, for/with targets, walrus
    (["a = [1]", "del a", "a"], {(0, 1), (1, 2)}),
    (["n = 0", "n += 1", "n"], {(0, 1), (1, 2)}),
    (["for i in range(3): pass", "with open('f') as fh: pass", "(w := 1)", "i, fh, w"],
     {(0, 3), (1, 3), (2, 3)}),
    # barriers: eval, magics, shell escapes, files written, * imports; %time is code
    (["a = 1", "b = 2", "eval('a')", "c = 3"], {(0, 2), (1, 2), (2, 3)}),
    (["a = 1", "!ls", "b = 2"], {(0, 1), (1, 2)}),
    (["a = 1", "%time b = a", "c = 5", "b"], {(0, 1), (1, 3)}),
    (["df = 1", "df.to_csv('x.csv')", "y = 2"], {(0, 1), (1, 2)}),
    (["a = 1", "open('o.txt', 'w').write('x')", "open('o.txt').read()"], {(0, 1), (1, 2)}),
    (["from os.path import *", "b = 1"], {(0, 1)}),
    # a syntax error depends on everything before, nothing depends on it
    (["a = 1", "b = (", "a"], {(0, 1), (0, 2)}),
])
def test_inferred_edges(cells, edges):
    assert set(infer_edges(cells)) == edges


def test_linear_is_a_chain():
    assert infer_edges(["a = 1", "b = 2", "c = 3"], linear=True) == [(0, 1), (1, 2)]


CELLS = [
    ("markdown", "# A test notebook\n\nWith every kind of cell.", None),
    ("code", "# Parameters\nscale = 2\nseed = 7", ["parameters"]),
    ("code", "import random\nimport numpy as np\nimport pandas as pd\nrandom.seed(seed)\n"
             "np.random.seed(seed)\ndraw = [random.random() for _ in range(3)]\nprint(draw)",
     ["no-cache"]),
    ("code", "df = pd.DataFrame({'a': np.arange(5) * scale, 'b': np.random.rand(5).round(3)})\n"
             "df", None),
    ("code", "def total(frame):\n    return int(frame['a'].sum()) + offset\noffset = 10", None),
    ("code", "import warnings\nwarnings.filterwarnings('ignore', category=FutureWarning)", None),
    ("code", "df['c'] = df['a'] + 1\nprint(df.shape)", None),
    ("code", "", None),
    ("code", "with open('written.txt', 'w') as f:\n    f.write(str(total(df)))", None),
    ("code", "print(open('written.txt').read())\ntotal(df)", None),
    ("code", "%time x = sum(range(10))\nx", None),
    ("code", "import matplotlib\nmatplotlib.use('Agg')\nimport matplotlib.pyplot as plt\n"
             "fig, ax = plt.subplots()\nax.plot(df['a'], df['c'])\nax.set_title('a and c')", None),
]


def make_notebook(path, cells=CELLS):
    nb = nbformat.v4.new_notebook()
    nb.metadata["kernelspec"] = {"name": "python3", "display_name": "Python 3",
                                 "language": "python"}
    for kind, source, tags in cells:
        cell = nbformat.v4.new_code_cell(source) if kind == "code" else \
            nbformat.v4.new_markdown_cell(source)
        if tags:
            cell.metadata["tags"] = tags
        nb.cells.append(cell)
    nbformat.write(nb, str(path))
    return nb


def jupyter_outputs(path):
    """Per code cell: its outputs as Jupyter gives them (nbclient, a real kernel)."""
    from nbclient import NotebookClient

    nb = nbformat.read(str(path), as_version=4)
    NotebookClient(nb, timeout=120, kernel_name="python3",
                   resources={"metadata": {"path": str(path.parent)}}).execute()
    return [comparable(c.outputs) for c in nb.cells if c.cell_type == "code"]


def comparable(outputs):
    """Text and values of a cell's outputs, timings and figure bytes aside."""
    found = []
    for out in outputs:
        if out["output_type"] == "stream":
            found.append(("stream", re.sub(r"[\d.e+-]+ (ns|µs|μs|ms|s)\b", "T", out["text"])))
        elif out["output_type"] in ("execute_result", "display_data"):
            data = out.get("data", {})
            found.append((out["output_type"], data.get("text/plain", "").split(" at 0x")[0],
                          "image/png" in data))
        elif out["output_type"] == "error":
            found.append(("error", out["ename"]))
    streams = "".join(t for k, t, *_ in found if k == "stream")
    return ([("stream", streams)] if streams else []) + [f for f in found if f[0] != "stream"]


def our_outputs(path, *args):
    out_path = path.parent / (path.stem + "-out.ipynb")
    report = path.parent / "report.html"
    run = cli("run", str(path), "--output", str(out_path), "--html", str(report),
              "--color", "never", *args)
    assert run.returncode == 0, run.stderr
    assert "<h1>A test notebook</h1>" in report.read_text()  # markdown, rendered
    nb = nbformat.read(str(out_path), as_version=4)
    nbformat.validate(nb)
    return [comparable(c.outputs) for c in nb.cells if c.cell_type == "code"], nb, run


@pytest.mark.parametrize("engine", [[], ["--jobs", "4", "--pool"]], ids=["shell", "pool"])
def test_run_gives_what_jupyter_gives(tmp_path, engine):
    path = tmp_path / "nb.ipynb"
    source = make_notebook(path)
    ours, written, run = our_outputs(path, *engine)
    assert ours == jupyter_outputs(path)
    # state a pool worker cannot carry is named, not hidden
    assert ("warning: cells " in run.stderr) == bool(engine)
    # the notebook comes back in place: same cells, ids, markdown, metadata
    assert [(c.cell_type, c.source, c.get("id")) for c in written.cells] == \
        [(c.cell_type, c.source, c.get("id")) for c in source.cells]
    assert written.cells[1].metadata["tags"] == ["parameters"]


def test_param_is_injected_as_papermill_does(tmp_path):
    path = tmp_path / "nb.ipynb"
    make_notebook(path)
    ours, written, _ = our_outputs(path, "-p", "scale", "5")
    assert written.cells[2].metadata["tags"] == ["injected-parameters"]  # after `parameters`
    assert written.cells[2].source == "# Parameters\nscale = 5\n"
    by_hand = list(CELLS)
    by_hand[1] = ("code", "# Parameters\nscale = 5\nseed = 7", ["parameters"])
    edited = tmp_path / "edited.ipynb"
    make_notebook(edited, by_hand)
    theirs = jupyter_outputs(edited)
    assert ours[:1] + ours[2:] == theirs  # the injected cell shows nothing


def test_cached_rerun_after_an_edit_reruns_its_descendants(tmp_path):
    path = tmp_path / "nb.ipynb"
    nb = make_notebook(path)
    cache = str(tmp_path / "cache")
    first = cli("run", str(path), "--cache-dir", cache)
    assert first.returncode == 0, first.stderr
    ids = [c.id for c in nb.cells if c.cell_type == "code" and c.source]
    nb.cells[4].source = nb.cells[4].source.replace("offset = 10", "offset = 11")
    nbformat.write(nb, str(path))
    second = cli("run", str(path), "--cache-dir", cache)
    assert second.returncode == 0, second.stderr
    said = sources(second.stdout, why=True)
    rerun = {i for i, source in said.items() if source.startswith("run")}
    # the edited cell and the cells that read what it defines (through
    # `total`; the %time cell may read any name), and the cell tagged no-cache;
    # the figure's inputs are unchanged: it stays cached
    assert rerun == {ids[1], ids[3], ids[6], ids[7], ids[8]}, said


def test_percent_script_convert_and_bad_input(tmp_path):
    script = tmp_path / "s.py"
    script.write_text("# %% [markdown]\n# Title\n\n# %% tags=[\"parameters\"]\nn = 3\n\n"
                      "# %%\nsquares = [i * i for i in range(n)]\n\n# %%\nprint(sum(squares))\n"
                      "\n# %%\nbroken = (\n")
    out = cli("run", str(script), "--param", "n=4")
    assert out.returncode == 1 and "14" in out.stdout and "SyntaxError" in out.stderr
    pipeline = tmp_path / "p.json"
    assert cli("convert", str(script), "-o", str(pipeline)).returncode == 0
    data = json.loads(pipeline.read_text())
    assert data["parameters"] == {"n": 3} and len(data["nodes"]) == 4
    again = cli("run", str(pipeline), "--param", "n=4")  # as the notebook did
    assert again.returncode == 1 and "\n14\n" in again.stdout
    assert cli("convert", str(script), "--dot").stdout.startswith("digraph")
    bad = tmp_path / "bad.ipynb"
    bad.write_text("{not json")
    twice = tmp_path / "twice.ipynb"
    make_notebook(twice, [("code", "a = 1", ["parameters"]), ("code", "b = 2", ["parameters"])])
    other = tmp_path / "data.txt"
    other.write_text("hello")
    binary = tmp_path / "image.json"
    binary.write_bytes(b"\x89PNG\x00\xff")
    for path, what in ((bad, "not valid JSON"), (twice, "tagged 'parameters'"),
                       (other, "not JSON"), (binary, "not UTF-8 text")):
        out = cli("run", str(path))
        assert out.returncode == 2 and what in out.stderr, out.stderr
        assert len(out.stderr.strip().splitlines()) == 1 and not out.stdout


def test_optimize_a_notebook_by_tag():
    nb = os.path.join(os.path.dirname(__file__), "..", "examples", "iris.ipynb")
    out = cli("optimize", nb, "--objective", "accuracy", "--direction", "maximize",
              "--search", "C=0.1:2.0", "--trials", "3")
    assert out.returncode == 0, out.stderr
    assert sum(line.startswith("trial ") for line in out.stdout.splitlines()) == 3
