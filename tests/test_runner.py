"""The pipeline runner: several components at once, on every engine."""

import os
import signal
import subprocess
import sys
import time

import pytest
from test_cli import cli, sources, write_pipeline

from tessel_core.misc.models import TesselDagModel
from tessel_core.pipeline import TesselDagBase
from tessel_core.pipeline.runner import ShellEngine, run_pipeline

DIAMOND = {"root": "import math\nbase = 10\nprint('root')",
           "left": "l = base + 1\nprint('left', l)", "right": "r = math.floor(base * 2.5)",
           "join": "total = l + r\ntotal"}
DIAMOND_EDGES = [("root", "left"), ("root", "right"), ("left", "join"), ("right", "join")]


@pytest.fixture(scope="module")
def two_workers(redis_url):
    from conftest import Worker

    broker, backend = redis_url + "/4", redis_url + "/5"
    workers = [Worker(broker, backend) for _ in range(2)]
    for w in workers:
        w.wait_ready()
    yield broker, backend
    for w in workers:
        w.kill()


@pytest.mark.parametrize("engine", ["shell", "pool", "celery"])
def test_a_diamond_gives_the_same_results_on_every_engine(engine, tmp_path, request):
    args = {"shell": [], "pool": ["--jobs", "2", "--pool"]}.get(engine)
    if args is None:
        import redis

        broker, backend = request.getfixturevalue("two_workers")
        args = ["--jobs", "2", "--remote", broker, "--backend", backend]
        redis.Redis.from_url(backend).flushdb()  # answers to pings given up while starting
    out = cli("run", write_pipeline(tmp_path, DIAMOND, DIAMOND_EDGES), *args)
    assert out.returncode == 0, out.stderr
    assert "=> 36" in out.stdout and "left 11" in out.stdout
    assert sources(out.stdout) == dict.fromkeys(DIAMOND, "run")
    if engine == "celery":  # collected results do not stay in the backend
        assert redis.Redis.from_url(backend).keys("celery-task-meta-*") == []


def _dag(codes, edges):
    return TesselDagBase(graph=TesselDagModel(
        nodes=[{"id": k, "name": k, "code": c} for k, c in codes.items()],
        edges=[{"parent": p, "child": c} for p, c in edges]))


@pytest.mark.parametrize("fail_fast", [False, True])
def test_a_failure_skips_exactly_its_descendants(fail_fast):
    codes = {"a": "x = 1", "b": "1 / 0", "c": "y = 2", "d": "z = x + 1", "e": "w = z",
             "f": "v = y", "g": "u = y + z"}
    edges = [("a", "b"), ("b", "c"), ("c", "f"), ("a", "d"), ("d", "e"), ("b", "g"), ("d", "g")]
    outcomes = run_pipeline(_dag(codes, edges), ShellEngine(None, send_to_front=False),
                            fail_fast=fail_fast)
    got = {n: (o.source, o.status) for n, o in outcomes.items()}
    assert got["b"] == ("run", "FAILED")
    assert {n for n, o in outcomes.items() if o.source == "skipped"} == {"c", "f", "g"}
    rest = {n: o.source for n, o in outcomes.items() if n in "ade"}
    assert rest == ({"a": "run", "d": "not started", "e": "not started"} if fail_fast
                    else {"a": "run", "d": "run", "e": "run"})


def test_live_output_of_concurrent_pool_runs_is_complete_and_attributed(tmp_path):
    loop = "import time\nfor i in range(300):\n    print('{0}', i)\n    time.sleep(0.002)"
    path = write_pipeline(tmp_path, {"p": loop.format("p"), "q": loop.format("q")})
    out = cli("run", path, "--jobs", "2", "--pool")
    assert out.returncode == 0, out.stderr
    for name in "pq":
        lines = [line for line in out.stdout.splitlines() if line.startswith(f"[{name}] ")]
        assert lines == [f"[{name}] {name} {i}" for i in range(300)]


def test_ctrl_c_stops_a_concurrent_run_promptly_with_the_table(tmp_path):
    slow = "import time\nprint('started', flush=True)\ntime.sleep(60)"
    path = write_pipeline(tmp_path, {"a": "x = 1", "b": slow, "c": slow, "d": "y = 2"},
                          [("a", "b"), ("a", "c"), ("b", "d")])
    proc = subprocess.Popen([sys.executable, "-m", "tessel_core", "run", path, "--jobs", "2"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    seen = ""
    while seen.count("started") < 2:
        line = proc.stdout.readline()
        assert line, "the run ended early"
        seen += line
    start = time.monotonic()
    proc.send_signal(signal.SIGINT)
    stdout, stderr = proc.communicate(timeout=30)
    assert proc.returncode == 130 and time.monotonic() - start < 10
    rows = [line.split() for line in stdout.split("component  status")[-1].splitlines()[2:]]
    table = {r[0]: r[-1] for r in rows if r}
    assert table["a"] == "run" and table["b"] == table["c"] == "cancelled"
    assert table["d"] == "skipped"
    assert os.path.exists(path)


def test_a_large_output_goes_through_the_store_not_redis(redis_url, tmp_path):
    import threading

    import redis
    from conftest import Worker

    broker, backend = redis_url + "/6", redis_url + "/7"
    store = tmp_path / "store"
    store.mkdir()
    worker = Worker(broker, backend, extra=("--store", str(store))).wait_ready()
    server, peak, done = redis.Redis.from_url(backend), [0], threading.Event()
    server.flushdb()  # answers to pings given up while the worker started

    def watch_memory():
        while not done.wait(0.02):
            peak[0] = max(peak[0], server.info("memory")["used_memory"])

    watcher = threading.Thread(target=watch_memory)
    watcher.start()
    big = "x = b'7' * 300_000_000"
    path = write_pipeline(tmp_path, {"big": big, "use": "n = len(x) + 1\nn"}, [("big", "use")],
                          cached=("big",))
    try:
        out = cli("run", path, "--remote", broker, "--backend", backend, "--store", str(store),
                  "--cache-dir", str(tmp_path / "cache"))
    finally:
        done.set()
        watcher.join()
        worker.kill()
    assert out.returncode == 0, out.stderr
    assert "=> 300000001" in out.stdout
    assert [f.stat().st_size > 300_000_000 for f in store.iterdir()] == [True]
    assert peak[0] < 100 * 2**20 and server.keys("celery-task-meta-*") == []
    for f in store.iterdir():  # the disk cache holds the value itself, not a reference
        f.unlink()
    again = cli("run", path, "--cache-dir", str(tmp_path / "cache"))
    assert sources(again.stdout) == {"big": "cache", "use": "run"}
    assert "=> 300000001" in again.stdout


@pytest.mark.parametrize("where", ["directory", "memory://tessel-store"])
def test_a_reference_reads_back_as_its_value(where, tmp_path):
    import pickle

    from tessel_core.executors.component_executors import store

    url = str(tmp_path) if where == "directory" else where
    blob = pickle.dumps(list(range(1000)))
    ref = store.offload(blob, url, threshold=100)
    assert len(ref) < 300 and store.location_of(ref) is not None
    assert pickle.loads(ref) == list(range(1000)) and store.materialize(ref) == blob
    assert store.offload(blob, url, threshold=10**6) is blob and store.location_of(blob) is None
