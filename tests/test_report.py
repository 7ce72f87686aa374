"""What a run leaves to open: the executed notebook and the HTML report, from
the command line and from a kernel; the report checked in a real browser."""

import json
import re
import os
import shutil
import subprocess
import sys

import pytest
from conftest import run_cell

nbformat = pytest.importorskip("nbformat")
pytest.importorskip("matplotlib")

CODES = {
    "data": "import pandas as pd\ndf = pd.DataFrame({'x': [1, 2, 3], 'y': [2, 4, 9]})\n"
            "print('rows', len(df))\ndf",
    "mpl": "import matplotlib.pyplot as plt\nplt.plot(df.x, df.y);",
    "plotly": "import plotly.express as px\nfrom IPython.display import display\n"
              "display(px.scatter(df, x='x', y='y'))",
    "bad": "1 / 0",
    "after": "x = 1",
}
EDGES = [("data", "mpl"), ("data", "plotly"), ("data", "bad"), ("bad", "after")]
EXPECTED = {  # component -> its notebook outputs: (type, mime types or stream name)
    "data": [("stream", "stdout"), ("execute_result", ["text/html", "text/plain"])],
    "mpl": [("display_data", ["image/png", "text/plain"])],
    "plotly": [("display_data", ["application/vnd.plotly.v1+json"])],
    "bad": [("error", "ZeroDivisionError")],
    "after": [],
}


def pipeline(tmp_path):
    path = tmp_path / "report.json"
    path.write_text(json.dumps({
        "nodes": [{"id": k, "name": k.title(), "code": c,
                   "metadata": {"diskcache": k != "bad"}} for k, c in CODES.items()],
        "edges": [{"parent": p, "child": c} for p, c in EDGES],
        "parameters": {"alpha": 0.5}}))
    return str(path)


def outputs_by_component(nb):
    found, current = {}, None
    for cell in nb.cells:
        if cell.cell_type == "markdown":
            current = cell.source.split("`")[1]
        elif current:
            found[current] = [(o.output_type, sorted(o.get("data", {})) or o.get("name") or
                               o.get("ename")) for o in cell.outputs]
    return found


def run_cli(tmp_path, *extra):
    # as on a desktop, where a web browser is installed (one that fetches no page)
    env = {**os.environ, "BROWSER": "true"}
    out = subprocess.run([sys.executable, "-m", "tessel_core", "run", pipeline(tmp_path),
                          "--cache-dir", str(tmp_path / "cache"), *extra],
                         capture_output=True, text=True, timeout=120, cwd=tmp_path, env=env)
    assert out.returncode == 1, out.stderr  # the failing component
    return out


def test_command_line_notebook_and_its_cached_rerun(tmp_path):
    run_cli(tmp_path, "--output", "first.ipynb")
    second = run_cli(tmp_path, "--output", "second.ipynb")
    assert " cache" in second.stdout
    first_nb = nbformat.read(str(tmp_path / "first.ipynb"), as_version=4)
    second_nb = nbformat.read(str(tmp_path / "second.ipynb"), as_version=4)
    nbformat.validate(first_nb)
    assert outputs_by_component(first_nb) == EXPECTED
    assert "alpha = 0.5" in first_nb.cells[0].source
    strip = [[{k: v for k, v in o.items() if k != "execution_count"} for o in c.outputs]
             for c in first_nb.cells if c.cell_type == "code"]
    again = [[{k: v for k, v in o.items() if k != "execution_count"} for o in c.outputs]
             for c in second_nb.cells if c.cell_type == "code"]
    assert strip == again


def chromium(*args):
    exe = shutil.which("chromium") or shutil.which("chromium-browser")
    if exe is None:
        pytest.skip("chromium is not installed")
    # the browser is not ours to run under a sanitizer the suite may be preloaded with
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    # nothing but the page may reach for the network: the browser's own
    # background requests are off, so what a net log records is the page's
    return subprocess.run([exe, "--headless", "--no-sandbox", "--disable-gpu",
                           "--disable-background-networking", "--disable-component-update",
                           "--disable-sync", "--no-first-run", "--disable-default-apps",
                           "--disable-spell-checking", "--hide-scrollbars", "--virtual-time-budget=10000", *args],
                          capture_output=True, text=True, timeout=120, env=env)


def screenshot(report, png):
    """The report as a browser shows it (also how docs/report.png is made)."""
    chromium("--window-size=1100,1500", f"--screenshot={png}", f"file://{report}")
    return png


def test_html_report_in_a_browser(tmp_path):
    run_cli(tmp_path, "--html", "report.html")
    report = tmp_path / "report.html"
    dom = chromium("--dump-dom", f"file://{report}").stdout
    assert 'class="main-svg"' in dom  # plotly.js ran and drew the figure
    assert 'href="#comp-plotly"' in dom and 'id="comp-plotly"' in dom
    assert "data:image/png;base64," in dom and "ZeroDivisionError" in dom
    from PIL import Image

    image = Image.open(screenshot(report, tmp_path / "shot.png")).convert("L")
    low, high = image.getextrema()
    assert high - low > 100  # not a blank page


KERNEL = """
import json
import re
from tessel_core.misc.models import TesselDagModel
from tessel_core.pipeline import TesselDagBase
from tessel_core.pipeline.inputs import execute_component
from tessel_core.report import write_html, write_notebook
description = json.load(open({path!r}))
params = description.pop("parameters")
dag = TesselDagBase(graph=TesselDagModel(**description))
for node_id in dag.nodes:
    execute_component(dag, node_id, ipython_shell=get_ipython(), parameters=params,
                      send_to_front=False)
write_notebook({nb!r}, dag, params)
write_html({html!r}, dag, parameters=params)
"""


def test_notebook_and_report_from_a_kernel(kernel, tmp_path):
    nb_path, html_path = str(tmp_path / "k.ipynb"), str(tmp_path / "k.html")
    code = "%matplotlib inline\n" + KERNEL.format(path=pipeline(tmp_path), nb=nb_path,
                                                  html=html_path)
    messages = run_cell(kernel, code)
    errors = [m["content"]["traceback"] for m in messages if m["msg_type"] == "error"]
    assert not errors, errors
    nb = nbformat.read(nb_path, as_version=4)
    nbformat.validate(nb)
    found = outputs_by_component(nb)
    assert found["data"] == EXPECTED["data"] and found["bad"] == EXPECTED["bad"]
    assert found["mpl"][0][0] == "display_data" and "image/png" in found["mpl"][0][1]
    assert os.path.getsize(html_path) > 0


ODD_OUTPUT = {
    "names": "import os\nos.makedirs('d', exist_ok=True)\nopen(b'd/\\xff.txt', 'w').close()\n"
             "print(os.listdir('d'))",
    "colour": "print('\\x1b[31mred\\x1b[0m plain')",
    "map": "import plotly.express as px\nfrom IPython.display import display\n"
           "display(px.scatter_geo(lat=[48.8], lon=[2.3]))",
}


def test_odd_output_reaches_notebook_and_report_offline(tmp_path):
    path = tmp_path / "odd.json"
    path.write_text(json.dumps({"nodes": [{"id": k, "name": k, "code": c}
                                          for k, c in ODD_OUTPUT.items()],
                                "edges": [], "parameters": {"p": float("nan"), "q": float("-inf"),
                                                            "r": [float("inf")]}}))
    out = subprocess.run([sys.executable, "-m", "tessel_core", "run", str(path), "--output",
                          "run.ipynb", "--html", "report.html"], capture_output=True, text=True,
                         timeout=300, cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    nb = nbformat.read(str(tmp_path / "run.ipynb"), as_version=4)
    nbformat.validate(nb)
    params = {}
    exec(nb.cells[0].source, params)
    assert params["p"] != params["p"] and params["q"] == float("-inf")
    assert params["r"] == [float("inf")]
    texts = "".join(o.get("text", "") for c in nb.cells for o in c.get("outputs", []))
    assert ".txt" in texts
    report = (tmp_path / "report.html").read_text(encoding="utf-8")
    assert "\x1b" not in report and "red plain" in report and "is a map" in report
    netlog = tmp_path / "net.json"
    chromium("--dump-dom", f"--log-net-log={netlog}", f"file://{tmp_path / 'report.html'}")
    requested = re.findall(r'"url":"([^"]+)"', netlog.read_text())
    browser_own = re.compile(r"https?://[^/]*(google\.com|googleapis\.com|gvt1\.com)/")
    assert [u for u in requested if not u.startswith(("file:", "data:"))
            and not browser_own.match(u)] == []
