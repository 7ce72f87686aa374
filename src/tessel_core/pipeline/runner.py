"""Running the components of a pipeline, several at once.

The scheduler starts each component as soon as every parent has succeeded,
keeps up to `engine.jobs` runs in flight, and skips only the descendants of a
failure; the rest goes on (`fail_fast` stops new starts instead). Engines:

- `ShellEngine`: one run at a time, in this process's IPython shell;
- `PoolEngine`: runs in the worker processes of a local process pool; what
  they print reaches this process live through a display subscriber and is
  shown line by line, each line marked with its component;
- `CeleryEngine`: runs on Celery workers through the remote executor, up to
  `jobs` in flight, each collected by a thread of this process.

Inputs are handed on as each parent's run left them (`Environment`): a
component gets only the outputs its code can read, still serialized.
"""

import contextlib
import gc
import heapq
import multiprocessing
import multiprocessing.pool
import os
import signal
import sys
import threading
import time
from dataclasses import dataclass, field
from types import SimpleNamespace
from typing import Any, Callable, Dict, List, Literal, NamedTuple, Optional

import networkx as nx

from tessel_core.common import passing
from tessel_core.misc import TesselComponentStatus
from tessel_core.misc.models import TesselComponentRemoteConfigModel
from tessel_core.executors.choice import remote_runs
from tessel_core.executors.component_executors.serialized import SerializedValue
from tessel_core.executors.component_executors.store import DEFAULT_THRESHOLD, offload
from tessel_core.pipeline.inputs import (
    FAILED_TO_START,
    Environment,
    notice_left_out,
    start_run,
)

SUCCESSFUL, FAILED = TesselComponentStatus.SUCCESSFUL, TesselComponentStatus.FAILED
POLL_SECONDS = 0.005  # how often runs in flight on a pool are looked at
CLOSE_SECONDS = 30.0  # how long closing waits for the runs in flight on Celery to end


# Where a component's results in a run came from.
Source = Literal["run", "cache", "kept", "skipped", "cancelled", "not started"]


@dataclass
class Outcome:
    """How one component of a run ended."""

    id: str
    name: str
    status: str
    source: Source
    seconds: Optional[float] = None
    outputs: List[str] = field(default_factory=list)


class InFlight(NamedTuple):
    """A run the scheduler started and has not collected yet."""

    handle: Any  # the engine's handle (None while the engine starts it)
    env: "Environment"  # what its parents left, handed on to its children
    start: float  # perf_counter() when it was started


class Done:
    """A run that finished when it was started."""

    def ready(self):
        return True


# ---- engines ---------------------------------------------------------------------


class ShellEngine:
    """Runs in this process, one at a time.

    An engine has `jobs` (runs at once), `start(comp, inputs, parameters)`
    returning a handle whose `ready()` says the run ended (the component's
    status and results are then set), `wait()` (until a run may have ended),
    `cancel()` and `close()`."""

    jobs = 1
    prefix_output = False

    def __init__(self, shell=None, send_to_front=True):
        self.shell, self.send_to_front = shell, send_to_front

    def start(self, comp, inputs, parameters):
        with interrupt_noted() as noted:
            run(comp, inputs, lambda **kw: comp.execute(ipython_shell=self.shell,
                                                       send_to_front=self.send_to_front, **kw),
                parameters)
        if noted:
            # The run recorded the interrupt as its failure; the user asked to
            # stop the whole run, as on a pool.
            raise KeyboardInterrupt
        return Done()  # a failure ended the component FAILED with its record

    def wait(self, handles=()):
        pass  # nothing is ever in flight

    def cancel(self):
        pass

    def close(self):
        pass


@contextlib.contextmanager
def interrupt_noted():
    """Ctrl-C raises KeyboardInterrupt as usual, and is remembered: a run
    that catches it (a component's failure) cannot hide it. Yields a list
    that is non-empty once SIGINT arrived. Main thread only (elsewhere a
    signal cannot be handled and nothing is noted)."""
    noted = []
    if threading.current_thread() is not threading.main_thread():
        yield noted
        return

    def note(signum, frame):
        noted.append(signum)
        signal.default_int_handler(signum, frame)

    previous = signal.signal(signal.SIGINT, note)
    try:
        yield noted
    finally:
        signal.signal(signal.SIGINT, previous)


CPU_MULTIPLE = 4  # pool workers per CPU unless the caller asks for more


def concurrent_width(graph):
    """At most how many components of the DAG `graph` can run at once: a
    chain and an antichain share at most one component, so no more than its
    size less its longest chain, plus one."""
    if not len(graph):
        return 1
    return len(graph) - nx.dag_longest_path_length(graph)


def pool_size(jobs, graph, cpu_cap=True):
    """Workers a pool needs for `jobs` over the DAG `graph`: never more than
    can run at once, nor (with `cpu_cap`) than CPU_MULTIPLE per CPU."""
    size = min(jobs, concurrent_width(graph))
    if cpu_cap:
        size = min(size, CPU_MULTIPLE * (os.cpu_count() or 1))
    return max(1, size)


class LinePrinter:
    """Display calls of concurrent runs as whole lines, each marked with its
    component: `[id] text`. Partial lines wait for their end (or for the run's
    end)."""

    def __init__(self, stream=None):
        self.stream = stream or sys.stdout
        self.partial = {}  # (component id, stream) -> the start of a line
        self.received = {}  # component id -> characters of printed text received
        self.lock = threading.Condition()  # notified as printed text arrives
        self.last_message = 0.0
        self.muted = False  # a run that shows nothing (the trials of a search)

    def publish(self, data, metadata=None, transient=None, update=False, **kwargs):
        # Thread contract: called by the display subscriber's thread; writes under self.lock.
        self.last_message = time.monotonic()
        cid = (metadata or {}).get("component_id") or "?"
        for mime in ("application/vnd.jupyter.stdout", "application/vnd.jupyter.stderr",
                     "text/plain"):
            if mime in data:
                self.write(cid, mime, str(data[mime]) + ("\n" if mime == "text/plain" else ""))
                return
        self.write(cid, "other", f"<{', '.join(sorted(data))}>\n")

    def write(self, cid, stream, text):
        # Thread contract: any thread; the partial lines and counts are guarded by self.lock.
        if stream != "other":
            with self.lock:
                self.received[cid] = self.received.get(cid, 0) + len(text)
                self.lock.notify_all()
        if self.muted:
            return
        with self.lock:
            text = self.partial.pop((cid, stream), "") + text
            *lines, rest = text.split("\n")
            if rest:
                self.partial[(cid, stream)] = rest
            out = "".join(f"[{cid}] {line}\n" for line in lines)
            if out:
                self.stream.write(out)
                self.stream.flush()

    def settle(self, cid, expected, limit=2.0):
        """Wait (at most `limit` seconds) until `expected` characters of the
        component's printed text arrived, so that its last line is shown
        whole, then show what is left of it. Called from the thread that
        runs the scheduler; the subscriber's thread writes meanwhile."""
        end = time.monotonic() + limit
        with self.lock:
            self.lock.wait_for(lambda: self.received.get(cid, 0) >= expected,
                               max(0.0, end - time.monotonic()))
            self.received.pop(cid, None)
        self.flush(cid)

    def flush(self, cid=None):
        with self.lock:
            for key in [k for k in self.partial if cid is None or k[0] == cid]:
                self.stream.write(f"[{key[0]}] {self.partial.pop(key)}\n")
            self.stream.flush()

    def quiet_for(self, seconds, limit):
        """Wait until no message came for `seconds` (at most `limit` seconds)."""
        end = time.monotonic() + limit
        while time.monotonic() < end and time.monotonic() - self.last_message < seconds:
            time.sleep(seconds / 4)


class AsyncEngine:
    """Runs through `execute_async` on a pool whose callbacks apply the results."""

    prefix_output = True

    def __init__(self, pool, jobs, port=None, printer=None):
        self.pool, self.jobs, self.port, self.printer = pool, jobs, port, printer

    def start(self, comp, inputs, parameters):
        return run(comp, inputs, lambda **kw: comp.execute_async(
            self.pool, send_to_front=False, display_sub_port=self.port, **kw), parameters)

    def wait(self, handles=()):
        """Until a run in flight may have ended: at once when the first of
        `handles` ends, at most POLL_SECONDS."""
        first = next((h for h in handles if hasattr(h, "wait")), None)
        if first is None:
            time.sleep(POLL_SECONDS)
        else:
            first.wait(POLL_SECONDS)

    def cancel(self):
        self.pool.terminate()

    def close(self):
        self.pool.terminate()
        self.pool.join()


class PoolEngine(AsyncEngine):
    """A local process pool of `jobs` workers. The workers are forked when no
    other thread runs yet (fast, nothing to import again); otherwise they
    are started by a fork server that imports the package once."""

    def __init__(self, jobs, stream=None):
        # what a worker runs with, imported once here rather than in every worker
        import tessel_core.components  # noqa: F401
        import tessel_core.executors  # noqa: F401
        from tessel_core.misc.pubtap import TesselZMQDisplaySubscriber

        method = "fork" if threading.active_count() == 1 else "forkserver"
        context = multiprocessing.get_context(method)
        if method == "forkserver":
            context.set_forkserver_preload(["tessel_core.executors"])
        else:  # forked workers pass the storages of their answers as descriptors
            passing.open_channel()
        # Forked workers share the parent's pages until they write them; the
        # collector would write to every old object, so it leaves them alone.
        # A process that froze what it made at start (the command line) keeps
        # it frozen: thawing would thaw that too.
        frozen_before = gc.get_freeze_count()
        gc.freeze()
        try:
            pool = context.Pool(jobs)
        finally:
            if not frozen_before:
                gc.unfreeze()
        printer = LinePrinter(stream)
        self.subscriber = TesselZMQDisplaySubscriber(
            ipython_shell=SimpleNamespace(display_pub=printer))
        self.subscriber.daemon = True
        self.subscriber.start()
        super().__init__(pool, jobs, self.subscriber.port, printer)

    def close(self):
        try:
            self.printer.quiet_for(0.1, 2.0)  # output still on its way
            self.printer.flush()
        finally:
            self.subscriber.stop()
            self.subscriber.join(timeout=2)
            super().close()


class CeleryEngine(AsyncEngine):
    """Celery workers on `broker`: every component runs remotely, `jobs` at
    once (each run in flight is awaited by one thread of a thread pool). With
    a `store` (a directory or fsspec URL the workers reach too), inputs larger
    than `threshold` bytes are sent as references to it (the workers' own
    outputs go there when they were started with `--store`)."""

    def __init__(self, jobs, broker, backend=None, store=None, threshold=DEFAULT_THRESHOLD):
        self.config = TesselComponentRemoteConfigModel(broker=broker, backend=backend or broker)
        self.store, self.threshold = store, threshold
        self.tasks = SentTasks()
        self.handles = []  # of the runs in flight, to await when closing
        super().__init__(multiprocessing.pool.ThreadPool(jobs), jobs)

    def start(self, comp, inputs, parameters):
        if self.store:
            try:
                values = {name: SerializedValue(offload(v.blob, self.store, self.threshold))
                          for name, v in inputs.values.items()}
            except Exception as err:
                return self.unreachable_store(comp, err)
            inputs = inputs._replace(values=values)
        self.tasks.expect(comp.id)
        with remote_runs(self.config):
            handle = super().start(comp, inputs, parameters)
        # only those still running: a long search starts thousands
        self.handles = [h for h in self.handles if not h.ready()] + [handle]
        return handle

    def unreachable_store(self, comp, err):
        """The component fails with one line naming the store; the run goes on."""
        try:
            raise RuntimeError(f"cannot write its inputs to the store {self.store}: "
                               f"{type(err).__name__}: {err}") from err
        except RuntimeError as failure:
            comp.handle_error(failure)
        return Done()

    def cancel(self):
        # The threads waiting on workers cannot be stopped; the tasks they
        # wait for are revoked, so that no worker goes on running them.
        self.tasks.revoke_all(self.config)

    def close(self):
        """Wait (bounded) until the threads awaiting workers are done: a
        cancelled run's task was revoked, so its wait ends soon. A thread
        still inside the executor when the interpreter exits would crash it."""
        self.tasks.close()
        self.pool.close()
        deadline = time.monotonic() + CLOSE_SECONDS
        for handle in self.handles:
            if hasattr(handle, "wait"):
                handle.wait(max(0.0, deadline - time.monotonic()))
        if all(handle.ready() for handle in self.handles):
            self.pool.join()
        else:
            print("warning: runs on Celery workers were still awaited when the run ended",
                  file=sys.stderr)


class SentTasks:
    """The Celery task ids of the runs this process sent, by component id,
    noted as Celery publishes them (its after_task_publish signal fires in
    the sending thread), so that a cancelled run can be revoked."""

    TASK = "tessel_core.remote.execute"

    def __init__(self):
        from celery.signals import after_task_publish

        self.ids, self.expected, self.lock = {}, set(), threading.Lock()
        self.signal = after_task_publish
        after_task_publish.connect(self.published, weak=False)

    def expect(self, component_id):
        with self.lock:
            self.expected.add(component_id)

    def published(self, sender=None, headers=None, body=None, **_):
        """Celery's signal handler, in a sending thread: never raises.
        Thread contract: any thread; the ids are guarded by self.lock."""
        try:
            kwargs = body[1] if isinstance(body, (tuple, list)) and len(body) > 1 else {}
            cid = kwargs.get("identifier") if isinstance(kwargs, dict) else None
            with self.lock:
                if sender == self.TASK and cid in self.expected:
                    self.ids[cid] = (headers or {}).get("id")
        except Exception:
            pass

    def revoke_all(self, config):
        with self.lock:
            ids = [i for i in self.ids.values() if i]
            self.ids.clear()
        if not ids:
            return
        from celery import Celery

        app = Celery(broker=config.broker, backend=config.backend)
        try:
            app.control.revoke(ids, terminate=True, signal="SIGTERM")
        except Exception as err:  # the broker is gone: nothing more to do
            print(f"warning: could not revoke the cancelled runs: {err}", file=sys.stderr)
        finally:
            app.close()

    def close(self):
        self.signal.disconnect(self.published)


def run(comp, inputs, execute, parameters):
    """Start (or make) one run; a failure to start it, which ended the
    component FAILED with its record, is a finished run."""
    handle = start_run(comp, inputs, execute, parameters)
    return Done() if handle is FAILED_TO_START else handle


# ---- the scheduler -------------------------------------------------------------------


class Scheduler:
    """Runs `plan` (component ids in topological order, with every ancestor
    of each; all by default) of `dag` on `engine`. Hooks, all optional:

    - `satisfy(node_id, inputs)`: a source ("cache", "kept") when the component's
      results are already there without a run, else None;
    - `finished(node_id, outcome)`: called in this thread as each ends.

    `outcomes` holds what ended so far, also after a KeyboardInterrupt, which
    stops new starts, cancels the runs in flight and propagates."""

    def __init__(self, dag, engine, parameters=None, plan=None, fail_fast=False,
                 satisfy: Optional[Callable[[str, Any], Optional[Source]]] = None,
                 finished: Optional[Callable] = None):
        self.dag, self.engine, self.parameters = dag, engine, parameters or {}
        self.plan = list(plan) if plan is not None else list(dag.nodes)
        self.fail_fast, self.satisfy, self.finished = fail_fast, satisfy, finished
        self.outcomes: Dict[str, Outcome] = {}
        self.index = {n: i for i, n in enumerate(self.plan)}
        graph = dag.nx_graph
        self.parents = {n: list(graph.predecessors(n)) for n in self.plan}
        outside = {p for ps in self.parents.values() for p in ps if p not in self.index}
        if outside:  # their outputs would be missing from every input
            raise ValueError(f"the plan must hold every ancestor of its components; "
                             f"missing: {', '.join(sorted(outside))}")
        self.children = {n: [c for c in graph.successors(n) if c in self.index]
                         for n in self.plan}
        self.waiting = {n: len(self.parents[n]) for n in self.plan}  # parents not done
        self.consumers = {n: len(self.children[n]) for n in self.plan}  # children not started
        self.envs: Dict[str, Environment] = {}
        self.in_flight: Dict[str, InFlight] = {}
        self.stopping = False

    def run(self):
        ready = [(self.index[n], n) for n in self.plan if self.waiting[n] == 0]
        heapq.heapify(ready)
        try:
            while ready or self.in_flight:
                while ready and len(self.in_flight) < self.engine.jobs and not self.stopping:
                    self.start(heapq.heappop(ready)[1], ready)
                if self.stopping and not self.in_flight:
                    break
                self.collect(ready)
        except KeyboardInterrupt:
            self.stopping = True
            self.engine.cancel()
            for node_id, entry in self.in_flight.items():
                self.record(node_id, "cancelled", time.perf_counter() - entry.start)
            self.in_flight.clear()
            raise
        finally:
            self.record_not_run()
        return self.outcomes

    def environment_in(self, node_id):
        """The environment the parents left; a chain hands it on uncopied."""
        parents = self.parents[node_id]
        for p in parents:
            self.consumers[p] -= 1
        if len(parents) == 1 and self.consumers[parents[0]] == 0:
            return self.envs.pop(parents[0])
        envs = [self.envs[p] for p in parents]
        for p in parents:
            if self.consumers[p] == 0:
                del self.envs[p]
        return Environment.merged(envs)

    def start(self, node_id, ready):
        comp = self.dag.nodes[node_id]
        env = self.environment_in(node_id)
        start = time.perf_counter()
        inputs = env.inputs_for(comp.cell_code)
        source = self.satisfy(node_id, inputs) if self.satisfy else None
        if source:
            self.done(node_id, env, source, start, ready)
            return
        self.in_flight[node_id] = InFlight(None, env, start)  # cancelled if interrupted
        handle = self.engine.start(comp, inputs, self.parameters)
        self.in_flight[node_id] = InFlight(handle, env, start)
        if handle.ready():
            self.finish(node_id, ready)

    def collect(self, ready):
        done = [n for n, entry in self.in_flight.items() if entry.handle.ready()]
        for node_id in done:
            self.finish(node_id, ready)
        if not done and self.in_flight:
            self.engine.wait([entry.handle for entry in self.in_flight.values()])

    def finish(self, node_id, ready):
        _, env, start = self.in_flight.pop(node_id)
        notice_left_out(self.dag.nodes[node_id])
        self.done(node_id, env, "run", start, ready)

    def done(self, node_id, env, source, start, ready):
        comp = self.dag.nodes[node_id]
        outcome = self.record(node_id, source, time.perf_counter() - start)
        if comp.status == SUCCESSFUL:
            if self.consumers[node_id]:
                self.envs[node_id] = env.add(self.index[node_id], comp, node_id)
            for child in self.children[node_id]:
                self.waiting[child] -= 1
                if self.waiting[child] == 0:
                    heapq.heappush(ready, (self.index[child], child))
        elif self.fail_fast:
            self.stopping = True
        if self.finished:
            self.finished(node_id, outcome)

    def record(self, node_id, source: Source, seconds=None):
        comp = self.dag.nodes[node_id]
        outputs = list(comp.in_and_out.outputs) if source in ("run", "cache", "kept") else []
        outcome = Outcome(node_id, comp.name, str(comp.status), source, seconds, outputs)
        self.outcomes[node_id] = outcome
        return outcome

    def record_not_run(self):
        """Descendants of a failure (or of a cancelled run) are skipped; the
        rest was not started (fail-fast, interrupted)."""
        failed = set()
        for node_id in self.plan:
            outcome = self.outcomes.get(node_id)
            if outcome is None:
                skipped = any(p in failed for p in self.parents[node_id])
                outcome = self.record(node_id, "skipped" if skipped else "not started")
            if outcome.source in ("skipped", "cancelled") or \
                    self.dag.nodes[node_id].status == FAILED:
                failed.add(node_id)


def run_pipeline(dag, engine=None, parameters=None, plan=None, fail_fast=False, **hooks):
    """Run the components of `dag` (those of `plan`) on `engine` (the current
    IPython shell, one at a time, by default); the outcome of each."""
    if engine is None:
        from IPython import get_ipython

        engine = ShellEngine(get_ipython())
    return Scheduler(dag, engine, parameters, plan, fail_fast, **hooks).run()
