"""The local executor, without a shell, with a real InteractiveShell, and in a
process pool."""

import json
import multiprocessing
import pickle
import subprocess
import sys
from http import HTTPStatus

import cloudpickle
import pytest
from IPython.core.interactiveshell import InteractiveShell

from tessel_core.executors import TesselComponentExecutor
from tessel_core.misc.models import TesselExecutionRequestModel

DATA_CELL = """\
import numpy as np
import pandas as pd
import os.path as osp
frame = pd.DataFrame({"a": np.arange(3) + offset})
def double(v):
    return v * 2
class Holder:
    pass
print("rows", len(frame))
double(frame["a"].sum())
"""


def run(code, shell=None, **request):
    executor = TesselComponentExecutor(identifier="cid", name="comp", ipython_shell=shell)
    return executor.execute(request=TesselExecutionRequestModel(cell_code=code, **request))


def inputs(**values):
    return {k: cloudpickle.dumps(v) for k, v in values.items()}


def test_data_cell_results_travel_to_a_fresh_process():
    resp = run(DATA_CELL, non_module_inputs=inputs(offset=10))
    assert resp.status == HTTPStatus.OK and resp.message == ""
    result = resp.result
    assert set(result.module_statements) == {"np", "pd", "osp"}
    assert list(result.non_module_outputs) == ["frame", "double", "Holder"]
    summary = result.outputs_summary
    assert (summary.objects, summary.functions, summary.classes, summary.modules) == (
        ["frame"], ["double"], ["Holder"], ["np", "pd", "osp"])
    assert cloudpickle.loads(result.last_output) == 2 * (10 + 11 + 12)
    streams = [r for r in result.captured if r.type == "stream"]
    assert "".join(r.text for r in streams) == "rows 3\n"
    assert {r.name for r in streams} == {"stdout"}
    assert result.exception_msg is None
    script = (
        "import sys, pickle, json, cloudpickle\n"
        "statements, blobs = pickle.load(sys.stdin.buffer)\n"
        "mods = {k: eval(v) for k, v in statements.items()}\n"
        "vals = {k: cloudpickle.loads(v) for k, v in blobs.items()}\n"
        "print(json.dumps([mods['np'].__name__, mods['osp'].__name__,\n"
        "    vals['frame']['a'].tolist(), vals['double'](4), vals['Holder'].__name__]))\n"
    )
    payload = pickle.dumps((result.module_statements, result.non_module_outputs))
    out = subprocess.run([sys.executable, "-c", script], input=payload, capture_output=True,
                         check=True, cwd="/")
    assert json.loads(out.stdout) == ["numpy", "posixpath", [10, 11, 12], 8, "Holder"]


def test_namespace_seeding_and_outputs():
    statements = {"m": "__import__('math')"}
    resp = run("result = m.floor(x) + p\nx = x\n_hidden = 1\nunchanged = unchanged",
               module_statements=statements, non_module_inputs=inputs(x=2.5, p=100, unchanged=1),
               parameters={"p": 1})
    assert resp.status == HTTPStatus.OK
    # parameters win over inputs; names merely re-assigned to the same object are not outputs
    assert cloudpickle.loads(resp.result.non_module_outputs["result"]) == 3
    assert list(resp.result.non_module_outputs) == ["result"]
    assert resp.result.module_statements == {} and resp.result.last_output is None


VALUES = {"i": "7", "f": "2.5", "s": "'text'", "b": "b'raw'", "n": "None", "t": "True",
          "big": "2**70", "l": "[1, 'a', (2.0, None)]", "d": "{'k': {1, 2}}",
          "fs": "frozenset({3})", "deep": "[[[[1]]]]", "long": "list(range(500))",
          "status": "HTTPStatus.OK"}


def test_outputs_are_the_bytes_cloudpickle_writes():
    code = "\n".join(f"{k} = {v}" for k, v in VALUES.items())
    outputs = run(code, module_statements={"HTTPStatus": "__import__('http').HTTPStatus"}
                  ).result.non_module_outputs
    expected = {k: cloudpickle.dumps(eval(v)) for k, v in VALUES.items()}
    assert {k: outputs[k] for k in VALUES} == expected


@pytest.mark.parametrize("code, moved", [
    ("x = 1", False),
    ("y = np.random.standard_normal()", True),  # only takes the cached Gaussian
    ("y = random.gauss(0, 1)", True),  # likewise
    ("np.random.seed(5)", True),
    ("y = random.random()", True),
])
def test_a_run_that_moves_a_generator_leaves_its_state(code, moved):
    import random

    import numpy as np
    np.random.seed(5)
    np.random.standard_normal()
    random.seed(5)
    random.gauss(0, 1)
    imports = {"np": "__import__('numpy')", "random": "__import__('random')"}
    captured = run(code, module_statements=imports).result.captured or []
    states = [r.data for r in captured if r.type == "random_state"]
    assert len(states) == moved
    if moved:
        assert states[0]["numpy"][3:] == np.random.get_state()[3:]
        assert states[0]["random"][2] == random.getstate()[2]


def test_partial_content_names_unserializable_outputs():
    resp = run("gen = (i for i in range(3))\nok = 1\nimport threading\nlock = threading.Lock()")
    assert resp.status == HTTPStatus.PARTIAL_CONTENT
    assert "'gen'" in resp.message and "'lock'" in resp.message
    assert list(resp.result.non_module_outputs) == ["ok"]
    assert resp.result.module_statements == {
        "threading": "__import__('importlib').import_module('threading')"}


@pytest.mark.parametrize("code, name, text", [
    ("print('before')\ndef g():\n    raise ValueError('bad')\ng()", "ValueError", "bad"),
    ("x = (1,", "SyntaxError", "was never closed"),
    ("print('before')\nraise KeyboardInterrupt", "KeyboardInterrupt",
     "Interrupted at component 'comp'"),
    ("import sys\nsys.exit(3)", "SystemExit", "3"),
])
def test_failures_give_an_error_record(code, name, text):
    write = sys.stdout.write
    resp = run(code)
    assert resp.status == HTTPStatus.INTERNAL_SERVER_ERROR
    lines = resp.result.exception_msg
    assert len(lines) == 4
    assert lines[0] == "\x1b[0;31m" + "-" * 75 + "\x1b[0m"
    assert lines[1].startswith(f"\x1b[0;31m{name}\x1b[0m")
    assert len(lines[1]) - len("\x1b[0;31m\x1b[0m") == 75
    assert lines[3].startswith("\x1b[0;31mTesselPipelineError\x1b[0m: ") and text in lines[3]
    assert "<component comp>" in lines[2] and "executor" not in lines[2]
    assert name in resp.message and "comp" in resp.message
    assert sys.stdout.write == write
    if "before" in code:
        assert resp.result.captured[0].text == "before"


def test_bad_inputs_give_a_clear_error():
    resp = run("y = 1", non_module_inputs={"x": b"not a pickle"})
    assert resp.status == HTTPStatus.BAD_REQUEST
    assert "Could not deserialize input 'x' of component 'comp'" in resp.message
    resp = run("y = 1", module_statements={"np": "__import__('no_such_module_here')"})
    assert resp.status == HTTPStatus.BAD_REQUEST and "'np'" in resp.message


def test_shell_run_keeps_user_namespace_and_captures(capsys):
    shell = InteractiveShell.instance()
    shell.user_ns.pop("leak", None)
    code = "leak = get_ipython() is shell_ref\nprint('hi')\n%time z = 1\nz"
    resp = run(code, shell=shell, non_module_inputs={}, parameters={"shell_ref": shell},
               send_to_front=False)
    assert resp.status == HTTPStatus.OK, resp.message
    assert "leak" not in shell.user_ns
    assert cloudpickle.loads(resp.result.non_module_outputs["leak"]) is True
    assert cloudpickle.loads(resp.result.last_output) == 1
    assert any(r.text == "hi" for r in resp.result.captured)
    assert "hi" not in capsys.readouterr().out  # send_to_front off
    failed = run("1/0", shell=shell)
    assert failed.status == HTTPStatus.INTERNAL_SERVER_ERROR
    assert shell.run_cell("40 + 2").result == 42  # the shell keeps working


def _run_in_pool(bound_execute, request):
    return bound_execute(request)


def test_executor_pickles_and_runs_in_a_pool():
    executor = TesselComponentExecutor(identifier="p", name="pool",
                                       ipython_shell=InteractiveShell.instance())
    request = TesselExecutionRequestModel(cell_code="import os\nos.getpid()")
    clone = pickle.loads(pickle.dumps(executor))
    assert clone._ipython_shell is None and clone._id == "p"
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        resp = pool.apply_async(func=executor.execute, args=(request,)).get(timeout=120)
    assert resp.status == HTTPStatus.OK
    assert cloudpickle.loads(resp.result.last_output) != __import__("os").getpid()
