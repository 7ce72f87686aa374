"""A run of a pipeline file: its DAG, parameters, engine and disk cache.

Components run in an embedded IPython shell, one at a time in topological
order, or several at once on a process pool or on Celery workers
(tessel_core.pipeline.runner); each gets the outputs upstream of it that its
code can read as inputs, and the parameters.
A component whose metadata asks for the disk cache is stored under
CACHE_DIR/<id>/<fingerprint>/ after it succeeds; the fingerprint covers its
code, the parameters its code reads and the fingerprints upstream, so a later
run loads it from there unless one of those changed.
"""

import hashlib
import json
import os
import time

import networkx as nx

from tessel_core.cache import TesselDiskCache, TesselQuickhold
from tessel_core.cli.pipeline_file import PipelineError, params_read
from tessel_core.cli.terminal import Terminal, shown
from tessel_core.executors import TesselRemoteComponentExecutor
from tessel_core.executors.component_executors.local_executor.shell import (
    PipelineShell,
    inline_figures,
)
from tessel_core.executors.diskcache_writer import TesselDiskcacheWriter
from tessel_core.misc import TesselComponentStatus
from tessel_core.misc.models import (
    TesselCacheModel,
    TesselComponentRemoteConfigModel,
    TesselDiskCacheTodoModel,
)
from tessel_core.misc.store import materialize
from tessel_core.pipeline import TesselDagBase
from tessel_core.pipeline.inputs import describe
from tessel_core.pipeline.runner import Scheduler, ShellEngine

RESULT_FIELDS = ["module_statements", "non_module_outputs", "last_output", "captured",
                 "exception_msg", "outputs_summary"]
WRITE_TIMEOUT = 120.0  # seconds to wait for the disk-cache writer at the end


def read_cache_record(path):
    """The six entries of the disk cache at `path`, read consistently; None
    for an entry never written (a run killed before its write committed)."""
    disk = TesselDiskCache(cache_dir=path)  # opening it sweeps what a dead run left
    try:
        fields = disk._read_record()
    except KeyError:
        if never_written(path):
            return None
        raise
    finally:
        disk.close()
    TesselCacheModel(**fields)  # a field of the wrong shape is damage too
    for blob in list(fields["non_module_outputs"].values()) + [fields["last_output"]]:
        if blob is not None and not isinstance(blob, bytes):
            raise ValueError("a stored output is not serialized data")
    return fields


def never_written(path):
    """Whether the disk cache at `path` holds no entry at all."""
    import diskcache

    with diskcache.Cache(path) as store:
        return len(store) == 0


class PipelineRunner:
    def __init__(self, pipeline, params, cache_dir=None, remote=None, backend=None, engine=None,
                 fail_fast=False):
        model, defaults = pipeline
        self.params = {**defaults, **params}
        try:
            self.dag = TesselDagBase(graph=model)
        except (RuntimeError, KeyError) as err:
            raise PipelineError(f"invalid pipeline: {err.args[0] if err.args else err}") from None
        inline_figures()
        self.shell = PipelineShell.instance()
        self.terminal = Terminal(self.shell)
        self.cache_dir = os.path.abspath(os.path.expanduser(cache_dir)) if cache_dir else None
        self.remote = (remote, backend or remote) if remote else None
        self.origin, self.seconds = {}, {}
        self.writer, self.pending = None, {}
        self.engine, self.fail_fast = engine, fail_fast
        if self.remote:
            config = TesselComponentRemoteConfigModel(broker=self.remote[0], backend=self.remote[1])
            for comp in self.dag.nodes.values():
                comp.remote_config = config

    # ---- checks before anything runs ---------------------------------------------

    def check_ready(self, only=None):
        """Bad input is refused before anything is written."""
        if only is not None and only not in self.dag.nodes:
            raise PipelineError(f"unknown component id {only!r} (known: "
                                f"{', '.join(self.dag.nodes)})")
        if self.remote:
            ex = TesselRemoteComponentExecutor(identifier="check", name="check",
                                               broker=self.remote[0], backend=self.remote[1])
            ok, message = ex.ping()
            ex.close()
            if not ok:
                raise PipelineError(f"cannot run remotely: {message}")
        if self.cache_dir:
            try:
                os.makedirs(self.cache_dir, exist_ok=True)
                probe = os.path.join(self.cache_dir, ".write-test")
                with open(probe, "w") as f:
                    f.write("")
                os.remove(probe)
            except OSError as err:
                raise PipelineError(f"cannot write to the cache directory {self.cache_dir}: "
                                    f"{err.strerror}") from None

    # ---- planning --------------------------------------------------------------------

    def plan(self, only=None):
        order = list(self.dag.nodes)
        if only is None:
            return order
        wanted = nx.ancestors(self.dag.nx_graph, only) | {only}
        return [n for n in order if n in wanted]

    def affected_by(self, changed):
        """Components whose code reads a changed parameter, and their descendants."""
        hit = {n for n, c in self.dag.nodes.items() if params_read(c.cell_code, changed)}
        for n in list(hit):
            hit |= nx.descendants(self.dag.nx_graph, n)
        return hit

    def fingerprint(self, node_id, memo):
        if node_id not in memo:
            comp = self.dag.nodes[node_id]
            used = sorted(params_read(comp.cell_code, self.params))
            parents = sorted(self.fingerprint(p, memo) for p in self.dag.nx_graph.predecessors(node_id))
            blob = json.dumps([comp.cell_code, [(k, repr(self.params[k])) for k in used], parents])
            memo[node_id] = hashlib.sha256(blob.encode()).hexdigest()[:16]
        return memo[node_id]

    # ---- disk cache --------------------------------------------------------------------

    def cache_path(self, node_id, memo):
        return os.path.join(self.cache_dir, node_id, self.fingerprint(node_id, memo))

    def load_cached(self, comp, path):
        """Results from the disk cache into memory (loading the cache into the
        component would delete it when the component goes away). A damaged or
        incomplete entry is a miss: the component runs again."""
        if not os.path.isdir(path):
            return False
        try:
            fields = read_cache_record(path)
        except Exception as err:
            print(f"warning: the disk cache of {comp.id} is damaged and is not used "
                  f"({type(err).__name__}: {describe(err)})", flush=True)
            return False
        if fields is None:
            return False
        has_results = any(fields[name] for name in RESULT_FIELDS[:4])
        if fields["exception_msg"] is not None or not has_results:
            return False
        comp.status = TesselComponentStatus.RUNNING
        comp.load_quickhold(TesselQuickhold(cache=TesselCacheModel(**fields)))
        comp.in_and_out.outputs = list(fields["non_module_outputs"])
        comp.in_and_out.summary = comp.outputs_summary
        comp.status = TesselComponentStatus.SUCCESSFUL
        return True

    def save(self, comp, path):
        if self.writer is None:
            self.writer = TesselDiskcacheWriter("cli")
            self.writer.open()
            self.writer.start()
        holder = comp._quickhold
        fields = {name: getattr(holder, name) for name in RESULT_FIELDS}
        # the cache holds the values themselves, not references into a store
        try:
            fields["non_module_outputs"] = {name: materialize(blob) for name, blob
                                            in (fields["non_module_outputs"] or {}).items()}
            if fields["last_output"] is not None:
                fields["last_output"] = materialize(fields["last_output"])
        except Exception as err:
            print(f"warning: the disk cache of {comp.id} is not written: a value in the "
                  f"workers' store cannot be read here ({type(err).__name__}: "
                  f"{describe(err)})", flush=True)
            return
        result = TesselCacheModel(**fields)
        task = TesselDiskCacheTodoModel(component_id=comp.id, cache_dir=path, result=result)
        if self.writer.put_task(task):
            self.pending[task.task_id] = (comp.id, path)

    def finish_writes(self):
        deadline = time.time() + WRITE_TIMEOUT
        while self.pending and self.writer.is_alive() and time.time() < deadline:
            # Entries of other fingerprints stay: another run on the same
            # directory may be reading or writing them at this moment.
            for done in self.writer.get_messages():
                node_id, path = self.pending.pop(done.task_id, (None, None))
                if not done.successful:
                    print(f"warning: could not write the disk cache of {node_id}: {done.message}")
            time.sleep(0.02)
        for node_id, _ in self.pending.values():
            print(f"warning: the disk cache of {node_id} was not written")

    def close(self):
        try:
            if self.writer is not None:
                self.finish_writes()
                self.writer.close()
                self.writer = None
        finally:
            if self.engine is not None:
                self.engine.close()
                self.engine = None

    # ---- running ------------------------------------------------------------------------

    def run(self, only=None, show=True, rerun=None):
        """Run the plan on the runner's engine; components whose results are
        cached (or, with `rerun`, still valid) are not run again."""
        memo = {}
        engine = self.engine or ShellEngine(self.shell, send_to_front=show)
        prefixed = getattr(engine, "prefix_output", False)
        if getattr(engine, "printer", None) is not None:
            engine.printer.muted = not show

        def satisfy(node_id):
            comp = self.dag.nodes[node_id]
            if rerun is not None and node_id not in rerun and \
                    comp.status == TesselComponentStatus.SUCCESSFUL:
                return "kept"
            if show and not prefixed:
                print(f"--- {comp.name} ({node_id}) ---", flush=True)
            if self.cacheable(comp) and self.load_cached(comp, self.cache_path(node_id, memo)):
                if show:
                    self.terminal.show_cached(comp, prefixed)
                return "cache"
            return None

        def finished(node_id, outcome):
            comp = self.dag.nodes[node_id]
            self.origin[node_id], self.seconds[node_id] = outcome.source, outcome.seconds
            if outcome.source != "run":
                return
            if comp.status == TesselComponentStatus.SUCCESSFUL and self.cacheable(comp):
                self.save(comp, self.cache_path(node_id, memo))
            if show:
                self.terminal.show_run(comp, engine, prefixed)

        scheduler = Scheduler(self.dag, engine, dict(self.params), self.plan(only),
                              fail_fast=self.fail_fast, satisfy=satisfy, finished=finished)
        try:
            scheduler.run()
        finally:
            for node_id, outcome in scheduler.outcomes.items():
                self.origin[node_id] = outcome.source
                self.seconds.setdefault(node_id, outcome.seconds)

    def cacheable(self, comp):
        return bool(self.cache_dir and comp.use_diskcache)

    def summary(self):
        rows = [("component", "status", "time", "outputs", "source")]
        for node_id in self.dag.nodes:
            if node_id not in self.origin:
                continue
            comp = self.dag.nodes[node_id]
            seconds = self.seconds.get(node_id)
            # a cancelled run never finished: its component still says RUNNING
            status = "CANCELLED" if self.origin[node_id] == "cancelled" else str(comp.status)
            rows.append((node_id, status, f"{seconds:.2f}s" if seconds else "-",
                         ", ".join(comp.in_and_out.outputs) or "-", self.origin[node_id]))
        return rows

    def failed(self):
        return [self.dag.nodes[n] for n, o in self.origin.items()
                if o == "run" and self.dag.nodes[n].status == TesselComponentStatus.FAILED]

    def objective(self, node_id):
        comp = self.dag.nodes[node_id]
        if comp.status != TesselComponentStatus.SUCCESSFUL:
            return float("nan")
        try:
            return float(comp.last_output)
        except (TypeError, ValueError):
            raise PipelineError(f"the last expression of {node_id!r} is not a number: "
                                f"{shown(comp.last_output)}") from None

