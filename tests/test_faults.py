"""Every run ends in a final state with a record of why, whatever goes wrong:
real pools, a real Celery worker, hostile exceptions and caller objects."""

import multiprocessing
import subprocess
import sys
import threading

import pytest
from conftest import Worker

from tessel_core.common import format_code
from tessel_core.components import TesselComponentRunlet
from tessel_core.executors import TesselComponentExecutor
from tessel_core.misc import TesselComponentStatus
from tessel_core.misc.models import TesselComponentModel, TesselExecutionRequestModel
from tessel_core.pipeline import TesselDagBase
from tessel_core.misc.models import TesselDagModel

FAILED = TesselComponentStatus.FAILED


def runlet(code, **extra):
    return TesselComponentRunlet(component=TesselComponentModel(id="c", name="C", code=code,
                                                                **extra))


RAISING_STR = """
class Weird(Exception):
    def __str__(self):
        raise RuntimeError('no str')
raise Weird()
"""


@pytest.fixture(scope="module")
def pool():
    with multiprocessing.get_context("spawn").Pool(2) as p:
        yield p


def test_odd_mappings_are_errors_not_crashes():
    class ListItems(dict):
        def items(self):
            return [["a", 1, 2]]

    r = runlet("x = 1")
    with pytest.raises(ValueError, match="non_module_inputs: expected pairs"):
        r.execute(non_module_inputs=ListItems(a=1))
    assert r.status == FAILED and "expected pairs" in r.exception_msg[-1]
    r.cell_code = "y = 2"  # still usable
    r.execute()
    assert r.non_module_outputs == {"y": 2}


@pytest.mark.parametrize("text, expected", [
    ("a\0b\n  ", "a\0b"),
    ("  x = '\ud800'\n  y", "x = '\ud800'\ny"),
])
def test_any_str_is_formatted(text, expected):
    assert format_code(text) == expected


def test_last_expr_of_unparseable_text():
    assert runlet("x = '\ud800'\nx").last_expr is None
    assert runlet("a\0b").last_expr is None


def test_a_method_outliving_its_class_raises():
    from tessel_core._native import probe

    script = ("import gc\nfrom tessel_core._native import probe\nf = probe.Probe.__init__\n"
              "del probe.Probe\ngc.collect()\nclass O: pass\n"
              "try:\n    f(O(), 'x')\nexcept RuntimeError as e:\n    print(e)\n")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0 and "no longer exists" in out.stdout
    assert probe.Probe  # this process still has it


def test_exception_with_raising_str_in_a_shell_leaves_no_capture_behind():
    from IPython.core.interactiveshell import InteractiveShell

    shell = InteractiveShell.instance()
    write, publish = sys.stdout.write, shell.display_pub.publish
    r = runlet(RAISING_STR)
    r.execute(ipython_shell=shell)
    assert r.status == FAILED and r.exception_msg[-1].endswith("<exception str() failed>")
    assert sys.stdout.write == write and shell.display_pub.publish == publish


@pytest.mark.parametrize("code, expected", [
    ("import sys\nsys.stdout.writelines(['a\\n', 'b\\n'])", ["a\n", "b\n"]),
    ("import io, sys\ntry:\n    sys.stdout.fileno()\nexcept io.UnsupportedOperation:\n"
     "    print('unsupported', sys.stdout.closed, sys.stdout.isatty(), sys.stdout.encoding)",
     ["unsupported False False utf-8", "\n"]),
])
def test_worker_streams_behave_like_text_streams(code, expected):
    ex = TesselComponentExecutor(identifier="w", name="w")
    resp = ex.execute(TesselExecutionRequestModel(cell_code=code))
    assert resp.status == 200, resp.message
    assert "".join(r.text for r in resp.result.captured) == "".join(expected)


def test_raising_str_without_a_shell_is_described():
    ex = TesselComponentExecutor(identifier="w", name="w")
    resp = ex.execute(TesselExecutionRequestModel(cell_code=RAISING_STR))
    assert resp.status == 500 and "<exception str() failed>" in resp.message


def test_a_pool_worker_that_exits_fails_the_run(pool):
    r = runlet("import os\nos._exit(1)")
    result = r.execute_async(pool)
    with pytest.raises(RuntimeError, match="ended before the run finished"):
        result.get(timeout=60)
    assert r.status == FAILED and "PoolWorkerLost" in r.exception_msg[1]
    ok = runlet("x = 3\nx")  # the pool is still usable
    assert ok.execute_async(pool).get(timeout=60).status == 200 and ok.last_output == 3


class TesselComponentFragile(TesselComponentRunlet):
    def load_quickhold(self, holder):
        raise OSError("holder refused")


def test_a_failing_result_callback_fails_the_component_not_the_pool(pool):
    r = TesselComponentFragile(component=TesselComponentModel(id="f", name="F", code="x = 1"))
    r.execute_async(pool).wait(60)
    assert r.status == FAILED and "holder refused" in r.exception_msg[-1]
    ok = runlet("2")
    ok.execute_async(pool).get(timeout=60)
    assert ok.last_output == 2


def test_remote_worker_killed_mid_run_ends_failed(redis_url, monkeypatch):
    from tessel_core.components import runlet as runlet_module

    broker, backend = redis_url + "/10", redis_url + "/11"
    worker = Worker(broker, backend).wait_ready()
    real = runlet_module.TesselRemoteComponentExecutor
    monkeypatch.setattr(runlet_module, "TesselRemoteComponentExecutor",
                        lambda **kw: real(lost_worker_timeout=4, **kw))
    r = runlet("import time\ntime.sleep(120)",
               metadata={"remoteExecution": {"broker": broker, "backend": backend}})
    try:
        threading.Timer(3.0, worker.kill).start()
        with pytest.raises(RuntimeError, match="stopped answering"):
            r.execute()
    finally:
        worker.kill()
    assert r.status == FAILED and "stopped answering" in r.exception_msg[-1]
    assert r.captured[0].name == "<stderr>"


def test_unreachable_remote_fails_both_paths_alike(pool):
    remote = {"remoteExecution": {"broker": "redis://127.0.0.1:9/0",
                                  "backend": "redis://127.0.0.1:9/0"}}
    sync, async_ = runlet("1", metadata=remote), runlet("1", metadata=remote)
    assert sync.execute() is None
    with pytest.raises(RuntimeError, match="An error occurred creating"):
        async_.execute_async(pool)
    for r in (sync, async_):
        assert r.status == FAILED and "An error occurred creating" in r.exception_msg[-1]


@pytest.mark.parametrize("call", [
    lambda d: d.remove_node(1),
    lambda d: d.add_edge("a", 2),
    lambda d: d.remove_edge(3, "b"),
])
def test_dag_ids_must_be_str(call):
    dag = TesselDagBase(graph=TesselDagModel(nodes=[{"id": "a", "name": "A", "code": ""},
                                                    {"id": "b", "name": "B", "code": ""}]))
    with pytest.raises(TypeError, match=r"Argument '\w+_id' has incorrect type \(expected str, "
                                        r"got int\)"):
        call(dag)
    assert set(dag.nodes) == {"a", "b"}


def test_optimizer_method_and_captured_writes_must_be_str():
    from IPython.core.interactiveshell import InteractiveShell

    from tessel_core.capture import TesselCaptureManager, tessel_capture_output
    from tessel_core.executors.parameters_optimizer import TesselHPOptimizer

    with pytest.raises(TypeError, match="Argument 'opt_method' has incorrect type"):
        TesselHPOptimizer(opt_method=1, directions=[0])
    manager = TesselCaptureManager(ipython_shell=InteractiveShell.instance())
    with tessel_capture_output(send_to_front=False, capture_manager=manager):
        with pytest.raises(TypeError, match="Argument 'string' has incorrect type"):
            sys.stdout.write(5)
