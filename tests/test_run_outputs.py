"""What a user sees of a pipeline run, on the command line and through the API
in a real kernel: outputs that cannot travel, star imports, values shown."""

import json
import os
import subprocess
import sys
import textwrap

import pytest
from conftest import run_cell

# A module whose objects pickle (by value) but cannot be unpickled, as some
# of sympy's do; a star import of it binds such objects.
STUBBORN = """
class Stubborn:
    def __reduce__(self):
        return (int, ("not a number",))
one = Stubborn()
__all__ = ["one", "Stubborn"]
"""

PIPELINE = {
    "a": "from stubborn import *\nseq = (i * i for i in range(3))\nx = 1",
    "b": "print(type(one).__name__, x)",
    "c": "print(list(seq))",
}


def write(tmp_path, codes, cached=()):
    (tmp_path / "stubborn.py").write_text(STUBBORN)
    ids = list(codes)
    nodes = [{"id": k, "name": k.upper(), "code": c, "metadata": {"diskcache": k in cached}}
             for k, c in codes.items()]
    edges = [{"parent": p, "child": c} for p, c in zip(ids, ids[1:])]
    path = tmp_path / "p.json"
    path.write_text(json.dumps({"nodes": nodes, "edges": edges}))
    return str(path)


def cli(tmp_path, *args):
    env = dict(os.environ, PYTHONPATH=str(tmp_path))
    return subprocess.run([sys.executable, "-m", "tessel_core", "run", *args],
                          capture_output=True, text=True, timeout=300, cwd=tmp_path, env=env)


def test_command_line_star_import_and_a_left_out_output(tmp_path):
    out = cli(tmp_path, write(tmp_path, PIPELINE))
    assert "Stubborn 1\n" in out.stdout  # the star-imported object came as an import
    left_out = "Some results of component 'A' could not be serialized and were left out: 'seq'"
    assert left_out in out.stderr.split("--- B")[0] or left_out in out.stderr
    assert out.returncode == 1 and "component 'C' (c) failed" in out.stderr
    assert "name 'seq' is not defined (output 'seq' of component 'A' could not be " \
           "serialized and was left out (TypeError" in out.stderr


def test_command_line_shows_the_value_of_a_cached_component(tmp_path):
    path = write(tmp_path, {"a": "n = 6\nn * 7", "b": "n"}, cached=("a",))
    cache = str(tmp_path / "cache")
    first, second = cli(tmp_path, path, "--cache-dir", cache), cli(tmp_path, path,
                                                                  "--cache-dir", cache)
    assert first.stdout.count("=> 42") == 1 and second.stdout.count("=> 42") == 1
    assert " cache" in second.stdout


KERNEL_SETUP = """
import json, sys
sys.path.insert(0, {tmp!r})
from tessel_core.misc.models import TesselDagModel
from tessel_core.pipeline import TesselDagBase
from tessel_core.pipeline.inputs import execute_component
dag = TesselDagBase(graph=TesselDagModel(**json.load(open({path!r}))))
for node_id in dag.nodes:
    execute_component(dag, node_id, ipython_shell=get_ipython(), send_to_front=True)
"""


def test_api_in_a_kernel_star_import_and_a_left_out_output(kernel, tmp_path):
    path = write(tmp_path, {**PIPELINE, "d": "x + 1"})
    messages = run_cell(kernel, KERNEL_SETUP.format(tmp=str(tmp_path), path=path))
    assert not [m for m in messages if m["msg_type"] == "error"]
    streams = "".join(m["content"].get("text", "") for m in messages if m["msg_type"] == "stream")
    assert "could not be serialized and were left out: 'seq'" in streams
    result = run_cell(kernel, "[str(c.status) for c in dag.nodes.values()], "
                              "dag.nodes['c'].exception_msg[-1], dag.nodes['d'].last_output")
    [value] = [m["content"]["data"]["text/plain"] for m in result
               if m["msg_type"] == "execute_result"]
    assert value.startswith("(['SUCCESSFUL', 'SUCCESSFUL', 'FAILED', 'SUCCESSFUL'],")
    assert "was left out" in value and value.endswith("2)")


REBOUND = """
import sys
from IPython.core.interactiveshell import InteractiveShell
from tessel_core.misc.models import TesselDagModel
from tessel_core.pipeline import TesselDagBase
from tessel_core.pipeline.inputs import execute_component
codes = ["x = 'first'", "x = 'second'", "y = 1", "x = 'third'", "z = 2", "x"]
dag = TesselDagBase(graph=TesselDagModel(
    nodes=[{"id": f"n{i}", "name": f"N{i}", "code": c} for i, c in enumerate(codes)],
    edges=[{"parent": f"n{i}", "child": f"n{i + 1}"} for i in range(len(codes) - 1)]))
shell = InteractiveShell.instance()
for node_id in dag.nodes:
    execute_component(dag, node_id, ipython_shell=shell, send_to_front=False)
print(dag.nodes["n5"].last_output)
"""


@pytest.mark.parametrize("seed", ["0", "1", "2", "3"])
def test_nearest_ancestor_wins_under_any_hash_seed(seed):
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(REBOUND)], capture_output=True,
                         text=True, timeout=120, env=dict(os.environ, PYTHONHASHSEED=seed))
    assert out.stdout.strip().splitlines()[-1] == "third", out.stderr


@pytest.mark.parametrize("seed", ["1", "5"])
def test_nearest_ancestor_wins_in_a_kernel_under_any_hash_seed(seed):
    jupyter_client = pytest.importorskip("jupyter_client")
    km, kc = jupyter_client.manager.start_new_kernel(
        kernel_name="python3", startup_timeout=120, env=dict(os.environ, PYTHONHASHSEED=seed))
    try:
        code = textwrap.dedent(REBOUND).replace("InteractiveShell.instance()", "get_ipython()")
        messages = run_cell(kc, code)
    finally:
        kc.stop_channels()
        km.shutdown_kernel(now=True)
    text = "".join(m["content"]["text"] for m in messages if m["msg_type"] == "stream")
    assert text.strip().splitlines()[-1] == "third"
