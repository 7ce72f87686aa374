"""Notebook cells run as a linear pipeline give what the same cells give in one
IPython shell: through the command line and through the API in a kernel."""

import json
import os
import re
import subprocess
import sys

import pytest
from conftest import run_cell

pytest.importorskip("matplotlib")

CAUSES = {
    "magics": [
        "%matplotlib inline\nimport matplotlib.pyplot as plt\nimport numpy as np",
        "%precision 3\nnp.pi",
        "%time total = sum(range(10))",
        "%%time\nprint(total)",
        "!echo from the shell",
        "%config InlineBackend.figure_format = 'png'\nplt.plot([1, 2]);",
    ],
    "magics see the component's names": [
        "import numpy as np\nx = np.arange(4)",
        "%timeit -n1 -r1 x.sum()",
        "%%timeit -n1 -r1\nx.sum() + 1",
        "y = 3\n!echo y is $y",
    ],
    "in-place changes": [
        "import pandas as pd\nimport numpy as np\ndf = pd.DataFrame({'a': [1, 2]})\n"
        "lst = [1]\narr = np.zeros(3)\nd = {}",
        "df['b'] = df.a * 2\nlst.append(2)\narr[0] = 1\nd['k'] = 'v'",
        "from sklearn.linear_model import LinearRegression\nmodel = LinearRegression()",
        "model.fit([[0], [1], [2]], [0, 2, 4])",
        "print(df.b.tolist(), lst, arr.tolist(), d)\nround(float(model.coef_[0]), 3)",
    ],
    "semicolon and shown values": [
        "import numpy as np\nimport pandas as pd\nnp.arange(3)",
        "3;",
        "pd.DataFrame({'x': [1.5, 2.25]})",
        "{'b': 1, 'a': [1, 2]}",
    ],
    "module dunders and late globals": [
        "print(__name__, __doc__)\ndef scaled():\n    return factor * 2",
        "factor = 21",
        "scaled()",
        "class Box:\n    def get(self):\n        return factor + 1",
        "factor = 1\nBox().get(), scaled()",
    ],
    "del in compound forms": [
        "x, y, z, w = 1, 2, 3, 4",
        "if True:\n    del x\ndel (y, z)\nfor _ in [0]:\n    del [w]",
        "print(sorted(n for n in ('x', 'y', 'z', 'w') if n in dir()))",
    ],
    "changes made through an upstream function": [
        "log = []\ndef note(v):\n    log.append(v)",
        "note('seen')",
        "print(log)",
    ],
    "names looked up by string": [
        "class Show:\n    def __init__(self, *names):\n        self.names = names\n"
        "    def __repr__(self):\n        return ' '.join(n + '=' + repr(eval(n)) for n in "
        "self.names)",
        "shown = Show('q')",
        "q = 5",
        "print(shown)",
        "import pandas as pd\ndf = pd.DataFrame({'a': [1, 2, 3]})\nlim = 1",
        "df.query('a > @lim').a.tolist()",
    ],
    "a bound name is never a magic": [
        "def load(path):\n    return 'loaded ' + path",
        "load('data.csv')",
    ],
}

REFERENCE = """
import json, sys, io, contextlib
from tessel_core.executors.component_executors.local_executor.shell import PipelineShell
shell = PipelineShell.instance()
results = []
for code in json.loads(sys.stdin.read()):
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):
        res = shell.run_cell(code, store_history=True)
    text = buf.getvalue()
    value = None
    if res.result is not None:
        value = shell.display_formatter.format(res.result)[0].get("text/plain")
        text = text.split("Out[")[0]  # the displayhook's echo of the value
    results.append({"out": text, "value": value, "ok": res.success})
print(json.dumps(results))
"""

TIMES = re.compile(r"[\d.e+-]+ ?(ns|us|µs|μs|ms|s)\b")


def norm(text):
    return TIMES.sub("T", (text or "").replace("\r\n", "\n").replace("±", "+-"))


def reference(cells, cwd):
    env = dict(os.environ, MPLBACKEND="module://matplotlib_inline.backend_inline")
    out = subprocess.run([sys.executable, "-c", REFERENCE], input=json.dumps(cells),
                         capture_output=True, text=True, timeout=300, cwd=cwd, env=env)
    results = json.loads(out.stdout.strip().splitlines()[-1])
    assert all(r["ok"] for r in results), out.stdout
    return results


def pipeline_file(cells, tmp_path):
    ids = [f"c{i}" for i in range(len(cells))]
    path = tmp_path / "cells.json"
    path.write_text(json.dumps({
        "nodes": [{"id": i, "name": i, "code": c} for i, c in zip(ids, cells)],
        "edges": [{"parent": p, "child": c} for p, c in zip(ids, ids[1:])]}))
    return str(path)


def cli_sections(stdout, count):
    """Per component: (printed text, shown value) from the command line's output."""
    body = stdout.split("\ncomponent  ")[0]
    parts = re.split(r"^--- c\d+ \(c\d+\) ---\n", body, flags=re.M)[1:]
    assert len(parts) == count, stdout
    sections = []
    for part in parts:
        text, _, value = part.partition("=>")
        value = value[1:] if value[:1] in (" ", "\n") else value  # "=> v" or "=>\nv"
        sections.append({"out": text, "value": value.rstrip("\n") or None})
    return sections


@pytest.mark.parametrize("cause", list(CAUSES))
def test_command_line_matches_one_shell(cause, tmp_path):
    cells = CAUSES[cause]
    expected = reference(cells, tmp_path)
    out = subprocess.run([sys.executable, "-m", "tessel_core", "run",
                          pipeline_file(cells, tmp_path)], capture_output=True, text=True,
                         timeout=300, cwd=tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr
    for want, got in zip(expected, cli_sections(out.stdout, len(cells))):
        assert norm(got["out"]) == norm(want["out"])
        assert norm(got["value"]) == norm(want["value"])


KERNEL_RUN = """
import json
from tessel_core.misc.models import TesselDagModel
from tessel_core.pipeline import TesselDagBase
from tessel_core.pipeline.inputs import execute_component

def _texts(comp):
    out = []
    for r in comp.captured or []:
        if r.type == "stream":
            out.append(r.text)
        elif r.type == "display_data":
            out.append((r.data or {{}}).get("text/plain", "") + "\\n")
    return "".join(t or "" for t in out)

get_ipython().run_line_magic("precision", "")  # the kernel is shared by the causes
_dag = TesselDagBase(graph=TesselDagModel(**json.load(open({path!r}))))
_rows = []
for _id in _dag.nodes:
    _value = execute_component(_dag, _id, ipython_shell=get_ipython(), send_to_front=False)
    _c = _dag.nodes[_id]
    _shown = None if _value is None else get_ipython().display_formatter.format(_value)[0]
    _rows.append({{"status": str(_c.status), "out": _texts(_c),
                  "value": _shown and _shown.get("text/plain"),
                  "png": any("image/png" in (r.data or {{}}) for r in _c.captured or [])}})
print(json.dumps(_rows))
"""


@pytest.mark.parametrize("cause", list(CAUSES))
def test_api_in_a_kernel_matches_one_shell(kernel, cause, tmp_path):
    cells = CAUSES[cause]
    expected = reference(cells, tmp_path)
    messages = run_cell(kernel, KERNEL_RUN.format(path=pipeline_file(cells, tmp_path)))
    errors = [m["content"]["traceback"] for m in messages if m["msg_type"] == "error"]
    assert not errors, errors
    text = "".join(m["content"]["text"] for m in messages if m["msg_type"] == "stream")
    rows = json.loads(text.strip().splitlines()[-1])
    for want, got in zip(expected, rows):
        assert got["status"] == "SUCCESSFUL"
        assert norm(got["out"]) == norm(want["out"])
        assert norm(got["value"]) == norm(want["value"])
    if cause == "magics":
        assert rows[-1]["png"]  # the figure is image/png display data, as in a kernel


# ---- random sequences of small cells --------------------------------------------------

hypothesis = pytest.importorskip("hypothesis")
st = hypothesis.strategies
NAMES = ["a", "b", "c"]
FINAL = "{n: globals().get(n) for n in %r}" % NAMES


@st.composite
def cell_sequences(draw):
    bound, functions, imported, cells = set(), {}, False, []
    for _ in range(draw(st.integers(1, 8))):
        v, n = draw(st.sampled_from(NAMES)), draw(st.integers(0, 9))
        ops = ["bind", "import"] + (["rebind", "mutate", "delete", "define"] if bound else [])
        ops += ["call"] if functions and all(w in bound for w in functions.values()) else []
        ops += ["use import"] if imported else []
        op = draw(st.sampled_from(ops))
        if op == "bind":
            cells.append(f"{v} = [{n}]")
        elif op == "rebind":
            w = draw(st.sampled_from(sorted(bound)))
            cells.append(f"{v} = {w} + [{n}]")
        elif op == "mutate":
            v = draw(st.sampled_from(sorted(bound)))
            cells.append(f"{v}.append({n})")
        elif op == "delete":
            v = draw(st.sampled_from(sorted(bound)))
            cells.append(f"del {v}")
            bound.discard(v)
            functions = {f: w for f, w in functions.items() if w != v}
            continue
        elif op == "define":
            w = draw(st.sampled_from(sorted(bound)))
            functions[f"f_{v}"] = w
            cells.append(f"def f_{v}():\n    return len({w})")
            continue
        elif op == "call":
            f = draw(st.sampled_from(sorted(functions)))
            cells.append(f"{v} = [{f}()]")
        elif op == "import":
            imported = True
            cells.append("import math")
            continue
        else:
            cells.append(f"{v} = [math.floor({n}.5)]")
        bound.add(v)
    return cells


def one_namespace(cells):
    ns = {}
    for code in cells:
        exec(code, ns)
    return eval(FINAL, ns)


def through_pipeline(cells):
    from tessel_core.misc.models import TesselDagModel
    from tessel_core.pipeline import TesselDagBase
    from tessel_core.pipeline.inputs import execute_component

    codes = cells + [FINAL]
    dag = TesselDagBase(graph=TesselDagModel(
        nodes=[{"id": f"n{i}", "name": f"N{i}", "code": c} for i, c in enumerate(codes)],
        edges=[{"parent": f"n{i}", "child": f"n{i + 1}"} for i in range(len(codes) - 1)]))
    for node_id in dag.nodes:
        execute_component(dag, node_id)
        assert str(dag.nodes[node_id].status) == "SUCCESSFUL", dag.nodes[node_id].exception_msg
    return dag.nodes[f"n{len(cells)}"].last_output


@hypothesis.settings(max_examples=60, deadline=None, derandomize=True, database=None)
@hypothesis.given(cell_sequences())
def test_random_cells_end_as_in_one_namespace(cells):
    assert through_pipeline(cells) == one_namespace(cells)


# ---- figures made upstream ----------------------------------------------------------

FIGURE_CELLS = [
    "%matplotlib inline\nimport matplotlib.pyplot as plt\nfig, ax = plt.subplots()\n"
    "ax.plot([1, 2]);",
    "ax.set_title('again')\nprint('drawn on the upstream axes')",
    "x = 1",
]


def test_a_figure_is_shown_once_on_the_command_line(tmp_path):
    out = subprocess.run([sys.executable, "-m", "tessel_core", "run",
                          pipeline_file(FIGURE_CELLS, tmp_path)], capture_output=True, text=True,
                         timeout=300, cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert out.stdout.count("<Figure size") == 1
    assert out.stdout.count("<Figure size") == norm(reference(FIGURE_CELLS, tmp_path)[0]["out"]) \
        .count("<Figure size")


def test_a_figure_is_shown_once_through_the_api_in_a_kernel(kernel, tmp_path):
    messages = run_cell(kernel, KERNEL_RUN.format(path=pipeline_file(FIGURE_CELLS, tmp_path)))
    text = "".join(m["content"]["text"] for m in messages if m["msg_type"] == "stream")
    rows = json.loads(text.strip().splitlines()[-1])
    assert [r["png"] for r in rows] == [True, False, False]
    # nothing is left for the kernel's own end-of-cell flush to show again
    assert not [m for m in messages if m["msg_type"] == "display_data"
                and "image/png" in m["content"]["data"]]


# ---- global random state ----------------------------------------------------------------

SEEDED = [
    "import random\nimport numpy as np\nrandom.seed(7)\nnp.random.seed(7)",
    "a = random.random()\nprint(round(a, 12), np.random.randint(1000, size=3).tolist())",
    "x = 1",
    "print(round(random.random(), 12), np.random.randint(1000, size=3).tolist())",
]


def test_seeded_cells_draw_the_same_from_the_cache(tmp_path):
    expected = "".join(r["out"] for r in reference(SEEDED, tmp_path))
    path = tmp_path / "seeded.json"
    data = json.loads(open(pipeline_file(SEEDED, tmp_path)).read())
    for node in data["nodes"][:3]:
        node["metadata"] = {"diskcache": True}  # taken from the cache the second time
    path.write_text(json.dumps(data))
    for _ in range(2):
        out = subprocess.run([sys.executable, "-m", "tessel_core", "run", str(path),
                              "--cache-dir", str(tmp_path / "cache")], capture_output=True,
                             text=True, timeout=300, cwd=tmp_path)
        assert out.returncode == 0, out.stderr
        printed = "".join(s["out"] for s in cli_sections(out.stdout, len(SEEDED)))
        assert printed == expected
    assert " cache" in out.stdout


def test_seeded_cells_in_a_kernel_and_a_rerun_start_where_the_parent_left(kernel, tmp_path):
    expected = [r["out"] for r in reference(SEEDED, tmp_path)]
    messages = run_cell(kernel, KERNEL_RUN.format(path=pipeline_file(SEEDED, tmp_path)) +
                        "\nexecute_component(_dag, 'c3', ipython_shell=get_ipython(), "
                        "send_to_front=False)\nprint(json.dumps(_texts(_dag.nodes['c3'])))")
    text = "".join(m["content"]["text"] for m in messages if m["msg_type"] == "stream")
    lines = text.strip().splitlines()
    rows, rerun = json.loads(lines[-2]), json.loads(lines[-1])
    assert [r["out"] for r in rows] == expected and rerun == expected[-1]
