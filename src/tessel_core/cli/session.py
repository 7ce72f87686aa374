"""A run of a pipeline file: its DAG, parameters, engine and disk cache.

Components run in an embedded IPython shell, one at a time in topological
order, or several at once on a process pool or on Celery workers
(tessel_core.pipeline.runner); each gets the outputs upstream of it that its
code can read as inputs, and the parameters.
A component whose metadata asks for the disk cache is saved to the cache
directory after it succeeds and taken from there next time, as long as its
key holds (tessel_core.cache.entries).
"""

import functools

import networkx as nx

from tessel_core.cache.entries import CacheDirectory, params_read
from tessel_core.cache.manifest import check_writable
from tessel_core.cli.notebook_file import INJECTED_ID, injected_cell, parameter_assignments
from tessel_core.cli.pipeline_file import PipelineError
from tessel_core.cli.terminal import Terminal, shown
from tessel_core.executors.component_executors.local_executor.shell import (
    PipelineShell,
    inline_figures,
)
from tessel_core.misc import TesselComponentStatus
from tessel_core.pipeline import TesselDagBase
from tessel_core.pipeline.inputs import gather_inputs
from tessel_core.pipeline.runner import Scheduler, ShellEngine


class ShellOnFirstRun(ShellEngine):
    """The shell engine of a runner, whose shell is made when a component
    first runs on it (none, when everything comes from the cache)."""

    def __init__(self, runner, send_to_front):
        super().__init__(None, send_to_front)
        self.runner = runner

    def start(self, comp, inputs, parameters):
        if self.shell is None:
            self.shell = self.runner.shell
        return super().start(comp, inputs, parameters)


class PipelineRunner:
    def __init__(self, pipeline, params, cache_dir=None, remote=None, backend=None, engine=None,
                 fail_fast=False):
        model, defaults = pipeline
        self.params = {**defaults, **params}
        try:
            self.dag = TesselDagBase(graph=model)
        except (RuntimeError, KeyError) as err:
            raise PipelineError(f"invalid pipeline: {err.args[0] if err.args else err}") from None
        self.terminal = Terminal(lambda: self.shell)
        self.cache = CacheDirectory(cache_dir, self.dag, self.params) if cache_dir else None
        self.cache_dir = self.cache.directory if self.cache else None
        self.remote = (remote, backend or remote) if remote else None
        self.origin, self.seconds = {}, {}
        self.engine, self.fail_fast = engine, fail_fast
        self.notebook = None  # the notebook read as this pipeline, if it was one
        # never cached, even when a cached cell below asks its ancestors to be
        self.uncached = set()
        self.reasons = {}  # component id -> why it ran (with a cache directory)

    @functools.cached_property
    def shell(self):
        """The shell that runs components here and formats values, made when
        first needed: a run that takes everything from the cache, or runs it
        all on workers, need not import plotting libraries."""
        inline_figures()
        return PipelineShell.instance()

    # ---- checks before anything runs ---------------------------------------------

    def check_ready(self, only=None):
        """Bad input is refused before anything is written."""
        if only is not None and only not in self.dag.nodes:
            raise PipelineError(f"unknown component id {only!r} (known: "
                                f"{', '.join(self.dag.nodes)})")
        if self.remote:
            from tessel_core.executors import TesselRemoteComponentExecutor

            ex = TesselRemoteComponentExecutor(identifier="check", name="check",
                                               broker=self.remote[0], backend=self.remote[1])
            ok, message = ex.ping()
            ex.close()
            if not ok:
                raise PipelineError(f"cannot run remotely: {message}")
        if self.cache_dir:
            try:
                check_writable(self.cache_dir)
            except OSError as err:
                raise PipelineError(f"cannot write to the cache directory {self.cache_dir}: "
                                    f"{err.strerror}") from None

    # ---- planning --------------------------------------------------------------------

    def order(self):
        """Component ids in the order to run and show them: a notebook's own
        order (its edges all point forward), else the DAG's."""
        if self.notebook is None:
            return list(self.dag.nodes)
        return [n.id for n in self.notebook.model.nodes]

    def plan(self, only=None):
        order = self.order()
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

    def close(self):
        """Wait for the disk-cache writes, then stop the engine."""
        try:
            if self.cache is not None:
                self.cache.close()
        finally:
            if self.engine is not None:
                self.engine.close()
                self.engine = None

    # ---- running ------------------------------------------------------------------------

    def run(self, only=None, show=True, rerun=None):
        """Run the plan on the runner's engine; components whose results are
        cached (or, with `rerun`, still valid) are not run again."""
        engine = self.engine or ShellOnFirstRun(self, send_to_front=show)
        prefixed = getattr(engine, "prefix_output", False)
        if getattr(engine, "printer", None) is not None:
            engine.printer.muted = not show

        def satisfy(node_id, inputs):
            comp = self.dag.nodes[node_id]
            if rerun is not None and node_id not in rerun and \
                    comp.status == TesselComponentStatus.SUCCESSFUL:
                return "kept"
            if show and not prefixed:
                print(f"--- {comp.name} ({node_id}) ---", flush=True)
            if self.cacheable(comp):
                why = self.from_cache(comp, node_id, inputs)
                if why is None:
                    if show:
                        self.terminal.show_cached(comp, prefixed)
                    return "cache"
                self.reasons[node_id] = why
                self.cache.start_writer()
            return None

        def finished(node_id, outcome):
            comp = self.dag.nodes[node_id]
            self.origin[node_id], self.seconds[node_id] = outcome.source, outcome.seconds
            if outcome.source != "run":
                return
            if comp.status == TesselComponentStatus.SUCCESSFUL and self.cacheable(comp):
                self.cache.save(comp, node_id)
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
        return bool(self.cache_dir and comp.use_diskcache and comp.id not in self.uncached)

    def summary(self):
        rows = [("component", "status", "time", "outputs", "source")]
        for node_id in self.order():
            if node_id not in self.origin:
                continue
            comp = self.dag.nodes[node_id]
            seconds = self.seconds.get(node_id)
            # a cancelled run never finished: its component still says RUNNING
            status = "CANCELLED" if self.origin[node_id] == "cancelled" else str(comp.status)
            rows.append((node_id, status, f"{seconds:.2f}s" if seconds else "-",
                         ", ".join(comp.in_and_out.outputs) or "-", self.source_of(node_id)))
        return rows

    def from_cache(self, comp, node_id, inputs):
        """Load the component's results from the cache: None when they were
        there, else why it must run."""
        path, why = self.cache.lookup(node_id, inputs)
        if path is not None and self.cache.load_cached(comp, path):
            return None
        return why or "cached entry unreadable"

    def dry_run(self, only=None):
        """The table of what a run would do and why, running nothing: cached
        components are read from the cache (their outputs are what their
        children's keys are made of); below one that would run, nothing is
        known yet."""
        rows, would_run = [("component", "source")], {}
        for node_id in self.plan(only):
            comp = self.dag.nodes[node_id]
            upstream = [p for p in self.dag.nx_graph.predecessors(node_id) if p in would_run]
            if upstream:
                would_run[node_id] = f"upstream {upstream[0]} would run"
            elif not self.cacheable(comp):
                would_run[node_id] = "not cached" if self.cache else "no --cache-dir"
            else:
                why = self.from_cache(comp, node_id, gather_inputs(self.dag, node_id))
                if why is None:
                    rows.append((node_id, "cache"))
                    continue
                would_run[node_id] = why
            rows.append((node_id, f"run: {would_run[node_id]}"))
        return rows

    def source_of(self, node_id):
        """Where the results came from, and why a component ran when the
        cache could have served it: `run: data.csv changed`."""
        source = self.origin.get(node_id, "")
        if source == "run" and node_id in self.reasons:
            return f"run: {self.reasons[node_id]}"
        return source

    def shown_origin(self):
        return {node_id: self.source_of(node_id) for node_id in self.origin}

    def failed(self):
        return [self.dag.nodes[n] for n, o in self.origin.items()
                if o == "run" and self.dag.nodes[n].status == TesselComponentStatus.FAILED]

    def inject(self, values):
        """Set a search's values in the notebook's injected cell; the components
        to run again (that cell and what depends on it), none if unchanged."""
        comp = self.dag.nodes[INJECTED_ID]
        current = parameter_assignments(comp.cell_code)
        code = injected_cell({**current, **values}).source
        if code == comp.cell_code:
            return set()
        comp.cell_code = code
        return {INJECTED_ID} | nx.descendants(self.dag.nx_graph, INJECTED_ID)

    def objective(self, node_id):
        comp = self.dag.nodes[node_id]
        if comp.status != TesselComponentStatus.SUCCESSFUL:
            return float("nan")
        try:
            return float(comp.last_output)
        except (TypeError, ValueError):
            raise PipelineError(f"the last expression of {node_id!r} is not a number: "
                                f"{shown(comp.last_output)}") from None

