"""Remote execution through a real Redis server and real worker processes."""

import time
from http import HTTPStatus
from unittest import mock

import cloudpickle
import pytest

from conftest import Worker, free_port
from tessel_core.executors import TesselRemoteComponentExecutor
from tessel_core.misc.models import TesselExecutionRequestModel


def executor(broker, backend, **kw):
    return TesselRemoteComponentExecutor(identifier="rid", name="remote comp", backend=backend,
                                         broker=broker, **kw)


def test_construction_and_configuration():
    ex = TesselRemoteComponentExecutor(identifier="i", name="n")
    assert ex._backend == ex._broker == "redis://localhost:6379"
    app = ex._celery_app
    assert app.main == "tessel_core-remote-executor"
    assert app.conf.enable_utc is True
    assert (app.conf.result_serializer, app.conf.task_serializer) == ("pickle", "pickle")
    assert app.conf.accept_content == ["application/json", "application/x-python-serialize"]
    assert ex._remote_ping_task.name in app.tasks and ex._remote_exectue_task.name in app.tasks
    for bad in ({"identifier": 1}, {"name": b"x"}, {"backend": 3}, {"broker": []}):
        args = {"identifier": "i", "name": "n", **bad}
        with pytest.raises(TypeError, match="has incorrect type"):
            TesselRemoteComponentExecutor(**args)


def test_execute_sends_the_three_keywords():
    ex = TesselRemoteComponentExecutor(identifier="i", name="n")
    request = TesselExecutionRequestModel(cell_code="1")
    with mock.patch.object(ex._remote_exectue_task, "delay") as delay:
        delay.return_value.get.return_value = "answer"
        assert ex.execute(request) == "answer"
    delay.assert_called_once_with(identifier="i", name="n", request=request)


def test_run_executor_arguments_and_errors():
    ex = TesselRemoteComponentExecutor(identifier="i", name="n")
    with mock.patch.object(ex._celery_app, "worker_main") as main:
        assert ex.run_executor() == 0
        main.assert_called_once_with(argv=["worker", "--loglevel=INFO"])
        ex.run_executor(loglevel="DEBUG")
        assert main.call_args.kwargs["argv"][1] == "--loglevel=DEBUG"
        main.side_effect = KeyboardInterrupt
        assert ex.run_executor() == 1
        main.side_effect = ValueError("boom")
        assert ex.run_executor() == 1
        main.reset_mock()
        with pytest.raises(TypeError):
            ex.run_executor(loglevel=10)
        main.assert_not_called()


def test_executor_pickles_without_its_application():
    import pickle

    ex = TesselRemoteComponentExecutor(identifier="i", name="n", ping_timeout=3)
    clone = pickle.loads(pickle.dumps(ex.execute)).__self__
    assert (clone._id, clone._ping_timeout) == ("i", 3)
    assert clone._celery_app is not ex._celery_app


def test_ping_and_execute_on_a_real_worker(remote):
    ex = executor(*remote)
    ok, text = ex.ping()
    assert ok is True and "pong" in text
    resp = ex.execute(TesselExecutionRequestModel(
        cell_code="import math\nprint('on worker')\nv = math.sqrt(x)\nv * 2",
        non_module_inputs={"x": cloudpickle.dumps(16.0)}))
    assert resp.status == HTTPStatus.OK
    assert cloudpickle.loads(resp.result.last_output) == 8.0
    assert cloudpickle.loads(resp.result.non_module_outputs["v"]) == 4.0
    assert resp.result.captured[0].text == "on worker"


def test_partial_and_failing_runs_come_back_as_responses(remote):
    ex = executor(*remote)
    partial = ex.execute(TesselExecutionRequestModel(cell_code="g = (i for i in [1])\nn = 1"))
    assert partial.status == HTTPStatus.PARTIAL_CONTENT and "'g'" in partial.message
    failed = ex.execute(TesselExecutionRequestModel(cell_code="raise KeyError('nope')"))
    assert failed.status == HTTPStatus.INTERNAL_SERVER_ERROR
    assert "KeyError" in failed.result.exception_msg[1]


def test_ping_without_broker_ends_quickly():
    port = free_port()  # nothing listens there
    url = f"redis://127.0.0.1:{port}/0"
    start = time.time()
    ok, text = executor(url, url, ping_timeout=3).ping()
    assert ok is False and "cannot reach the broker" in text
    assert time.time() - start < 15


def test_ping_without_worker_ends_quickly(redis_url):
    ex = executor(redis_url + "/7", redis_url + "/8", ping_timeout=1.5)
    start = time.time()
    ok, text = ex.ping()
    assert ok is False and "no worker answered within 1.5 s" in text
    assert time.time() - start < 10


def test_worker_killed_during_a_run(redis_url):
    broker, backend = redis_url + "/4", redis_url + "/5"
    worker = Worker(broker, backend).wait_ready()
    ex = executor(broker, backend, lost_worker_timeout=4)
    try:
        import threading

        threading.Timer(2.0, worker.kill).start()
        start = time.time()
        with pytest.raises(RuntimeError, match="stopped answering"):
            ex.execute(TesselExecutionRequestModel(cell_code="import time\ntime.sleep(120)"))
        assert time.time() - start < 30
    finally:
        worker.kill()


@pytest.mark.parametrize("url, warned", [
    ("redis://127.0.0.1:6379/0", False),
    ("redis://localhost:6379/0", False),
    ("redis://[::1]:6379/0", False),
    ("redis://:secret@10.1.2.3:6379/0", False),
    ("redis://10.1.2.3:6379/0", True),
    ("redis://cache.example:6379/0", True),
])
def test_worker_warns_about_an_exposed_broker(url, warned):
    from tessel_core.executors.component_executors.remote_executor.worker import (
        exposure_warning,
    )

    assert (exposure_warning(url) is not None) is warned
