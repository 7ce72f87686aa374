"""Round trip of a trivial cell through TesselRemoteComponentExecutor.execute,
against a bare Celery round trip of a no-op task (the ping task) on the same
Redis server and worker. Prints ours / bare (target <= 1.2).

Starts its own redis-server and worker; needs redis-server on PATH.
"""

import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

from tessel_core.executors import TesselRemoteComponentExecutor
from tessel_core.misc.models import TesselExecutionRequestModel


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main(rounds=100):
    port = free_port()
    redis = subprocess.Popen([shutil.which("redis-server"), "--port", str(port), "--bind",
                              "127.0.0.1", "--save", "", "--appendonly", "no"],
                             stdout=subprocess.DEVNULL)
    url = f"redis://127.0.0.1:{port}"
    time.sleep(0.5)
    worker = subprocess.Popen(
        [sys.executable, "-m", "tessel_core.executors.component_executors.remote_executor",
         "--broker", url + "/0", "--backend", url + "/1", "--concurrency", "1",
         "--loglevel", "WARNING"], start_new_session=True, stderr=subprocess.DEVNULL,
        # `python -m` puts the working directory first on sys.path: run outside
        # the repository, whose source tree has no built modules.
        cwd=tempfile.gettempdir())
    try:
        ex = TesselRemoteComponentExecutor(identifier="b", name="bench", backend=url + "/1",
                                           broker=url + "/0", ping_timeout=2)
        deadline = time.time() + 60
        while not ex.ping()[0]:
            if worker.poll() is not None or time.time() > deadline:
                sys.exit("the benchmark worker did not start")
        request = TesselExecutionRequestModel(cell_code="x = 1\nx")
        noop = ex._remote_ping_task

        def ours():
            for _ in range(rounds):
                ex.execute(request)

        def bare():
            for _ in range(rounds):
                noop.delay().get()

        ours(), bare()  # warm up both paths
        a, b = [], []
        for _ in range(5):
            t = time.perf_counter(); ours(); a.append(time.perf_counter() - t)
            t = time.perf_counter(); bare(); b.append(time.perf_counter() - t)
        ratio = min(a) / min(b)
        print(f"{'case':40} {'ratio':>6}  target")
        print(f"{'trivial cell execute vs no-op task':40} {ratio:6.2f}  <= 1.2")
        print(f"(per round trip: ours {min(a) / rounds * 1e3:.2f} ms, "
              f"bare {min(b) / rounds * 1e3:.2f} ms)")
    finally:
        os.killpg(worker.pid, signal.SIGTERM)
        worker.wait(30)
        redis.terminate()
        redis.wait(10)


if __name__ == "__main__":
    main()
