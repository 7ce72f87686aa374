"""A component runs the same wherever it runs: in the command line's shell, on
a process pool and on a Celery worker it prints, shows and returns the same,
and the notebook and report it leaves are the same."""

import json
import re
import subprocess
import sys

import pytest
from test_cli import write_pipeline
from test_notebook_cells import CAUSES, TIMES, pipeline_file

pytest.importorskip("matplotlib")
nbformat = pytest.importorskip("nbformat")

RICH = {
    "setup": "%matplotlib inline\nimport matplotlib.pyplot as plt\nimport numpy as np\n"
             "import pandas as pd",
    "magics": "%time t = sum(range(10))\n!echo from the shell\nprint('rows', end=' ')\nprint(2)",
    "mpl": "plt.plot([1, 2, 3]);",
    "plotly": "import plotly.express as px\npx.scatter(x=[1, 2], y=[3, 4])",
    "frame": "np.random.seed(0)\npd.DataFrame({'v': np.random.rand(3)})",
}
RICH_EDGES = [("setup", k) for k in RICH if k != "setup"]


def norm(text):
    return TIMES.sub("T", text)


def terminal_by_component(stdout):
    """Each component's lines: after its header (shell) or marked with it."""
    found, current = {}, None
    for line in stdout.split("\ncomponent  status")[0].splitlines():
        header = re.match(r"^--- .* \((\S+)\) ---$", line)
        marked = re.match(r"^\[(\S+)\] ?(.*)$", line)
        if header:
            current = header.group(1)
        elif marked:
            found.setdefault(marked.group(1), []).append(norm(marked.group(2)))
        elif current:
            found.setdefault(current, []).append(norm(line))
    return found


def notebook_outputs(path):
    nb = nbformat.read(str(path), as_version=4)
    nbformat.validate(nb)
    return [[(o.output_type, sorted(o.get("data", {})) or o.get("name")) for o in c.outputs]
            for c in nb.cells if c.cell_type == "code"]


def report_parts(path):
    text = path.read_text(encoding="utf-8")
    return (text.count('<img src="data:image/png'), text.count('class="plotly-figure"'),
            sorted(norm(t) for t in re.findall(r'<pre class="stdout">(.*?)</pre>', text, re.S)))


def run(tmp_path, name, *extra):
    out = subprocess.run([sys.executable, "-m", "tessel_core", "run", pipeline(tmp_path),
                          "--output", f"{name}.ipynb", "--html", f"{name}.html", *extra],
                         capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr
    return (terminal_by_component(out.stdout), notebook_outputs(tmp_path / f"{name}.ipynb"),
            report_parts(tmp_path / f"{name}.html"))


def pipeline(tmp_path):
    path = tmp_path / "rich.json"
    if not path.exists():
        path.write_text(json.dumps({
            "nodes": [{"id": k, "name": k, "code": c} for k, c in RICH.items()],
            "edges": [{"parent": p, "child": c} for p, c in RICH_EDGES]}))
    return str(path)


@pytest.mark.parametrize("engine", ["pool", "celery"])
def test_pool_and_celery_give_what_the_shell_gives(engine, tmp_path, request):
    extra = ["--jobs", "2", "--pool"]
    if engine == "celery":
        broker, backend = request.getfixturevalue("remote")
        extra = ["--remote", broker, "--backend", backend]
    shell = run(tmp_path, "shell")
    assert shell[0]["mpl"][0].startswith("<Figure size 640x480")
    assert shell[0]["magics"][-1] == "rows 2"
    assert run(tmp_path, engine, *extra) == shell


@pytest.mark.parametrize("cause", list(CAUSES))
def test_notebook_like_cells_succeed_on_a_pool_cell_for_cell(cause, tmp_path):
    out = subprocess.run([sys.executable, "-m", "tessel_core", "run",
                          pipeline_file(CAUSES[cause], tmp_path), "--jobs", "2", "--pool"],
                         capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr
    rows = [line.split() for line in out.stdout.split("component  status")[-1].splitlines()[2:]]
    assert rows and all(r[1] == "SUCCESSFUL" for r in rows if r), out.stdout


def test_values_are_formatted_when_their_cell_runs(tmp_path):
    path = write_pipeline(tmp_path, {
        "a": "import pandas as pd\npd.DataFrame({'n': range(10)})",
        "b": "57.6",
        "c": "pd.set_option('display.max_rows', 4)\n%precision 3"}, [("a", "c"), ("b", "c")],
        cached=("a", "b", "c"))
    for attempt in ("run", "cache"):
        out = subprocess.run([sys.executable, "-m", "tessel_core", "run", path, "--cache-dir",
                              "cache", "--output", "nb.ipynb"], capture_output=True, text=True,
                             timeout=300, cwd=tmp_path)
        assert out.returncode == 0, out.stderr
        nb = nbformat.read(str(tmp_path / "nb.ipynb"), as_version=4)
        values = [o["data"]["text/plain"] for c in nb.cells for o in c.get("outputs", [])
                  if o.get("output_type") == "execute_result"]
        assert values[0].splitlines()[-1].startswith("9") and values[1] == "57.6", attempt


def test_live_lines_from_a_pool_stay_whole(tmp_path):
    code = ("import time\nprint('rows', end=' ', flush=True)\ntime.sleep(0.3)\nprint(2)\n"
            "print('tail', end='')")
    path = write_pipeline(tmp_path, {"a": code, "b": "x = 1"}, [])
    out = subprocess.run([sys.executable, "-m", "tessel_core", "run", path, "--jobs", "2",
                          "--pool"], capture_output=True, text=True, timeout=300)
    lines = [line for line in out.stdout.splitlines() if line.startswith("[a]")]
    assert lines == ["[a] rows 2", "[a] tail"]
