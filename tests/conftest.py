import logging
import os

import pytest


@pytest.fixture
def fresh_package_logger(tmp_path, monkeypatch):
    """An unconfigured package logger whose log directory is a temp dir.

    The package logger is process-wide; each test gets it empty and gets the
    previous handlers back afterwards.
    """
    from tessel_core.common import mixins

    root = logging.getLogger(mixins.ROOT_LOGGER_NAME)
    saved = (list(root.handlers), root.propagate, root.level)
    for h in list(root.handlers):
        root.removeHandler(h)
    logs_dir = str(tmp_path / "logs")
    monkeypatch.setattr(mixins, "FILE_LOGS_DIR", logs_dir)
    yield root, logs_dir
    for h in list(root.handlers):
        root.removeHandler(h)
        h.close()
    for h in saved[0]:
        root.addHandler(h)
    root.propagate, root.level = saved[1], saved[2]


@pytest.fixture(autouse=True)
def _no_stray_cwd_change():
    cwd = os.getcwd()
    yield
    os.chdir(cwd)


# --- real services -----------------------------------------------------------------

import shutil
import signal
import socket
import subprocess
import sys
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(scope="session")
def redis_url():
    """A redis-server of its own on a free loopback port, for the session."""
    exe = shutil.which("redis-server")
    if exe is None:
        pytest.skip("redis-server is not installed")
    port = free_port()
    proc = subprocess.Popen(
        [exe, "--port", str(port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.time() + 20
    while time.time() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
            break
        except OSError:
            time.sleep(0.1)
    else:
        proc.kill()
        pytest.fail("redis-server did not start")
    yield f"redis://127.0.0.1:{port}"
    proc.terminate()
    proc.wait(10)


class Worker:
    """A worker process started through the documented worker entry."""

    def __init__(self, broker, backend, concurrency=1, extra=()):
        self.broker, self.backend = broker, backend
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "tessel_core.executors.component_executors.remote_executor",
             "--broker", broker, "--backend", backend, "--concurrency", str(concurrency),
             *extra,
             "--loglevel", "WARNING"],
            start_new_session=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def wait_ready(self, timeout=60):
        from tessel_core.executors import TesselRemoteComponentExecutor

        ex = TesselRemoteComponentExecutor(identifier="probe", name="probe",
                                           backend=self.backend, broker=self.broker,
                                           ping_timeout=2)
        deadline = time.time() + timeout
        while time.time() < deadline:
            if self.proc.poll() is not None:
                pytest.fail("the worker exited at start")
            if ex.ping()[0]:
                ex.close()
                return self
        pytest.fail("the worker did not answer")

    def kill(self):
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.proc.wait(30)


@pytest.fixture(scope="session")
def remote(redis_url):
    """(broker, backend) served by one worker for the session."""
    broker, backend = redis_url + "/0", redis_url + "/1"
    worker = Worker(broker, backend).wait_ready()
    yield broker, backend
    worker.kill()


# --- a real Jupyter kernel -------------------------------------------------------------


@pytest.fixture(scope="module")
def kernel():
    jupyter_client = pytest.importorskip("jupyter_client")
    km, kc = jupyter_client.manager.start_new_kernel(kernel_name="python3", startup_timeout=120)
    try:
        yield kc
    finally:
        kc.stop_channels()
        km.shutdown_kernel(now=True)


def run_cell(kc, code):
    """Run code in the kernel; its iopub messages up to the idle status."""
    import queue

    msg_id = kc.execute(code)
    messages = []
    while True:
        try:
            msg = kc.get_iopub_msg(timeout=60)
        except queue.Empty:
            pytest.fail(f"no idle status for {code!r}; got {messages}")
        if msg["parent_header"].get("msg_id") != msg_id:
            continue
        messages.append(msg)
        if msg["msg_type"] == "status" and msg["content"]["execution_state"] == "idle":
            return messages
