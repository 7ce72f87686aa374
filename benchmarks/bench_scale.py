"""The pipeline runner: concurrency and its own cost.

- fan-out: one root, 16 components sleeping 1 s, one join; a local pool with
  8 jobs and 2 Celery workers of concurrency 4 with 8 jobs, against the same
  pipeline run one component at a time in the shell (ratio, target <= 0.25);
- CPU-bound: 8 components of about 1 s of computation, a pool with 2 jobs on
  this machine against one at a time (target <= 0.6);
- overhead: chains and fan-outs of 1,000 and 2,000 trivial cells in the
  shell: the runner's time per component above the cells' own run
  (`shell.run_cell` of the same code), in ms (target <= 2), and its growth
  from 1,000 to 2,000 components (target <= 2.2);
- simulation: 10,000 components with simulated durations on 1,000 simulated
  workers through a fake engine: the scheduler's time per component, in ms.

Times are of the runs themselves (engines are made before the clock starts).
Needs redis-server on PATH for the Celery case.
"""

import heapq
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

from tessel_core.pipeline.runner import PoolEngine  # noqa: I001 (forks before any thread)

# Made first: a pool forks its workers only while no other thread runs. The
# CPU-bound case uses it with 2 runs at most in flight, as --jobs 2 does.
POOL = PoolEngine(8)

from tessel_core.executors.component_executors.local_executor.shell import PipelineShell  # noqa: E402
from tessel_core.misc import TesselComponentStatus  # noqa: E402
from tessel_core.misc.models import TesselDagModel  # noqa: E402
from tessel_core.pipeline import TesselDagBase  # noqa: E402
from tessel_core.pipeline.runner import CeleryEngine, ShellEngine, run_pipeline  # noqa: E402


def dag_of(codes, edges):
    return TesselDagBase(graph=TesselDagModel(
        nodes=[{"id": k, "name": k, "code": c} for k, c in codes.items()],
        edges=[{"parent": p, "child": c} for p, c in edges]))


def timed(dag, engine):
    start = time.perf_counter()
    outcomes = run_pipeline(dag, engine)
    seconds = time.perf_counter() - start
    bad = [n for n, o in outcomes.items() if o.status != "SUCCESSFUL"]
    if bad:
        sys.exit(f"components did not succeed: {bad[:5]}")
    return seconds


def fan_out(work, width):
    codes = {"root": "import time\nseed = 1"}
    codes.update({f"w{i}": work.format(i=i) for i in range(width)})
    codes["join"] = "done = True"
    edges = [("root", f"w{i}") for i in range(width)] + [(f"w{i}", "join") for i in range(width)]
    return codes, edges


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Cluster:
    """A Redis server and two Celery workers of concurrency 4."""

    def __enter__(self):
        port = free_port()
        self.redis = subprocess.Popen(
            [shutil.which("redis-server"), "--port", str(port), "--bind", "127.0.0.1",
             "--save", "", "--appendonly", "no"], stdout=subprocess.DEVNULL)
        self.url = f"redis://127.0.0.1:{port}"
        time.sleep(0.5)
        # `python -m` puts the working directory first on sys.path: run the
        # workers outside the repository, whose source tree has no built modules.
        self.workers = [subprocess.Popen(
            [sys.executable, "-m", "tessel_core.executors.component_executors.remote_executor",
             "--broker", self.url + "/0", "--backend", self.url + "/1", "--concurrency", "4",
             "--loglevel", "ERROR"], start_new_session=True, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            cwd=tempfile.gettempdir()) for _ in range(2)]
        self.wait_ready()
        return self

    def wait_ready(self):
        from tessel_core.executors import TesselRemoteComponentExecutor

        ex = TesselRemoteComponentExecutor(identifier="b", name="bench", backend=self.url + "/1",
                                           broker=self.url + "/0", ping_timeout=2)
        deadline = time.time() + 60
        while not ex.ping()[0]:
            if any(w.poll() is not None for w in self.workers) or time.time() > deadline:
                sys.exit("the benchmark workers did not start")
        time.sleep(3)  # the second worker too

    def __exit__(self, *exc):
        for w in self.workers:
            os.killpg(w.pid, signal.SIGTERM)
            w.wait(30)
        self.redis.terminate()
        self.redis.wait(10)


def concurrency_rows(shell):
    rows = []
    sleepy = fan_out("time.sleep(1)\nr{i} = {i}", 16)
    sequential = timed(dag_of(*sleepy), ShellEngine(shell, send_to_front=False))
    rows.append(("fan-out 16 x 1 s, pool --jobs 8", timed(dag_of(*sleepy), POOL) / sequential,
                 "<= 0.25"))
    if shutil.which("redis-server"):
        with Cluster() as cluster:
            engine = CeleryEngine(8, cluster.url + "/0", cluster.url + "/1")
            try:
                ratio = timed(dag_of(*sleepy), engine) / sequential
            finally:
                engine.close()
        rows.append(("fan-out 16 x 1 s, 2 Celery workers, --jobs 8", ratio, "<= 0.25"))
    n = calibrate(shell)
    busy = fan_out(f"s = 0\nfor k in range({n}):\n    s += k\nr{{i}} = s", 8)
    POOL.jobs = 2
    try:  # best of two of each, interleaved: the machine is shared
        sequential, pooled = [], []
        for _ in range(2):
            sequential.append(timed(dag_of(*busy), ShellEngine(shell, send_to_front=False)))
            pooled.append(timed(dag_of(*busy), POOL))
        rows.append(("CPU-bound 8 x 1 s, pool --jobs 2", min(pooled) / min(sequential),
                     "<= 0.6"))
    finally:
        POOL.close()
    return rows


def calibrate(shell):
    """A loop length that takes about a second here."""
    n = 1_000_000
    start = time.perf_counter()
    shell.run_cell(f"s = 0\nfor k in range({n}):\n    s += k", store_history=False, silent=True)
    return int(n / (time.perf_counter() - start))


def trivial(n, shape):
    codes = {f"n{i}": f"x{i} = {i}" for i in range(n)}
    edges = [(f"n{i - 1}" if shape == "chain" else "n0", f"n{i}") for i in range(1, n)]
    return codes, edges


def overhead_ms(shell, n, shape, repeat=3):
    """Best of `repeat` of each: the runner's time and the cells' own."""
    codes, edges = trivial(n, shape)
    totals, owns = [], []
    for _ in range(repeat):
        totals.append(timed(dag_of(codes, edges), ShellEngine(shell, send_to_front=False)))
        start = time.perf_counter()
        for code in codes.values():
            shell.run_cell(code, store_history=False, silent=True)
        owns.append(time.perf_counter() - start)
    return (min(totals) - min(owns)) / n * 1e3


def overhead_rows(shell):
    overhead_ms(shell, 200, "chain")  # warm up
    rows = []
    for shape in ("chain", "fan-out"):
        small, large = overhead_ms(shell, 1000, shape), overhead_ms(shell, 2000, shape)
        rows.append((f"runner ms per component, {shape} of 2,000", large, "<= 2"))
        rows.append((f"growth 1,000 -> 2,000 components, {shape}", large * 2 / small, "<= 2.2"))
    return rows


class Handle:
    done = False

    def ready(self):
        return self.done


class SimulatedEngine:
    """Runs that take simulated time: the clock jumps to the next end."""

    def __init__(self, jobs, durations):
        self.jobs, self.durations, self.clock, self.ends = jobs, durations, 0.0, []

    def start(self, comp, inputs, parameters):
        handle = Handle()
        heapq.heappush(self.ends, (self.clock + self.durations[comp.id], id(handle), handle, comp))
        return handle

    def wait(self, handles=()):
        end, _, handle, comp = heapq.heappop(self.ends)
        self.clock = end
        comp.status = TesselComponentStatus.SUCCESSFUL
        handle.done = True

    def cancel(self):
        pass

    def close(self):
        pass


def simulation_row(n=10_000, workers=1_000):
    rng = random.Random(7)
    codes = {f"n{i}": f"v{i} = 0" for i in range(n)}
    edges = [(f"n{p}", f"n{i}") for i in range(1, n)
             for p in rng.sample(range(max(0, i - 50), i), min(i, rng.randint(1, 3)))]
    dag = dag_of(codes, edges)
    engine = SimulatedEngine(workers, {k: rng.uniform(1, 60) for k in codes})
    seconds = timed(dag, engine)
    return [(f"simulated: ms per component, {n:,} on {workers:,} workers", seconds / n * 1e3, ""),
            ("simulated: makespan of the simulated run, minutes", engine.clock / 60, "")]


def main():
    shell = PipelineShell.instance()
    rows = concurrency_rows(shell) + overhead_rows(shell) + simulation_row()
    print(f"{'case':52} {'value':>8}  target")
    for case, value, target in rows:
        print(f"{case:52} {value:8.3f}  {target}")


if __name__ == "__main__":
    main()
