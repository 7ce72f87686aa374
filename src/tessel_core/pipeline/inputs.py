"""Running one component of a DAG with what its ancestors produced.

One path for the command line and for a notebook, so that both give a
component the same inputs:

- ancestors are read in topological order, so that where several of them bind
  the same name the nearest one wins, whatever the hash seed;
- an output that cannot be read back (it pickled but does not unpickle) fails
  only a component whose code reads it, with a record naming it;
- an output its component could not serialize was left out: the run says so
  when it finishes, and a NameError downstream says which output and why;
- a name a component deletes (`del x`) is gone downstream too;
- a run starts from the global random state its nearest ancestor left.
"""

import sys
from typing import Dict, NamedTuple, Optional

import networkx as nx

from tessel_core.common.code import names_deleted, names_read  # noqa: F401 (also from here)
from tessel_core.common.text import describe  # noqa: F401 (also offered from here)
from tessel_core.components.runlet import stored_results
from tessel_core.executors.component_executors.local_executor.executor import (
    INPUT_NOTES_PARAMETER,
    RANDOM_STATE_PARAMETER,
)
from tessel_core.misc import TesselComponentStatus
from tessel_core.executors.component_executors.serialized import SerializedValue


class Inputs(NamedTuple):
    statements: Dict[str, str]
    values: Dict[str, SerializedValue]
    origin: Dict[str, str]  # name -> which output of which component it is
    sources: Dict[str, str]  # name -> id of the component it comes from
    left_out: Dict[str, str]  # name -> why its component could not serialize it
    random_state: Optional[dict]  # the global random state the nearest ancestor left
    random_from: Optional[str]  # id of that ancestor


def run_record(comp, kind):
    """The data of the component's last run's record of `kind` ("random_state":
    the global random state it left, if it moved it; "left_out": the outputs it
    could not serialize); None when there is none."""
    for record in comp.captured or []:
        if getattr(record, "type", None) == kind:
            return record.data
    return None


def left_out_of(comp):
    """Outputs the component's last run could not serialize: name -> why."""
    return dict((run_record(comp, "left_out") or {}).get("outputs") or {})


def summary_names(comp):
    """Names of the functions and classes among the component's outputs."""
    summary = stored_results(comp).outputs_summary
    if isinstance(summary, dict):
        return list(summary.get("functions") or []) + list(summary.get("classes") or [])
    return list(getattr(summary, "functions", None) or []) + \
        list(getattr(summary, "classes", None) or [])


GONE = object()  # an entry deleted (`del x`) or superseded


class Environment:
    """What the components upstream of a run left for it, nearest last.

    Each entry keeps the topological index of the component that set it, so
    that environments of several parents merge as a run in topological order
    would leave them: the entry of the latest component wins, a deletion
    included. Built component by component (`add`) or by merging parents
    (`merged`); `inputs_for` gives a run's inputs."""

    __slots__ = ("statements", "values", "left_out", "makers", "random_state")

    def __init__(self):
        self.statements, self.values, self.left_out, self.makers = {}, {}, {}, {}
        self.random_state = (-1, None, None)  # (index, state, component id)

    def copy(self):
        env = Environment()
        env.statements, env.values = dict(self.statements), dict(self.values)
        env.left_out, env.makers = dict(self.left_out), dict(self.makers)
        env.random_state = self.random_state
        return env

    @staticmethod
    def merged(envs):
        """One environment from several; the first is copied, not changed."""
        envs = list(envs)
        if not envs:
            return Environment()
        env = envs[0].copy()
        for other in envs[1:]:
            for mine, theirs in ((env.statements, other.statements), (env.values, other.values),
                                 (env.left_out, other.left_out), (env.makers, other.makers)):
                for name, entry in theirs.items():
                    if name not in mine or mine[name][0] < entry[0]:
                        mine[name] = entry
            env.random_state = max(env.random_state, other.random_state, key=lambda e: e[0])
        return env

    def add(self, index, comp, node_id):
        """What the run of `comp` (topological index `index`) leaves behind."""
        for name in names_deleted(comp.cell_code):
            for found in (self.statements, self.values, self.left_out):
                found[name] = (index, GONE)
        for name, statement in (comp.module_statements or {}).items():
            self.statements[name] = (index, statement)
        state = run_record(comp, "random_state")
        if state is not None:
            self.random_state = (index, state, node_id)
        for name, why in left_out_of(comp).items():
            self.left_out[name] = (index, f"output '{name}' of component '{comp.name}' could "
                                          f"not be serialized and was left out ({why})")
        for name, blob in (stored_results(comp).non_module_outputs or {}).items():
            self.left_out[name] = (index, GONE)
            self.values[name] = (index, (blob, f"output '{name}' of component '{comp.name}' "
                                               f"({node_id})", node_id))
        made = summary_names(comp)
        for name in made:
            self.makers[name] = (index, comp.cell_code)
        # Values made with code that may read any name may be instances of a
        # class that looks names up by string (`eval(a)` in a __repr__):
        # whoever reads them reads every name, as that code does.
        dynamic = self.dynamic_code_used(comp.cell_code)
        for name in set(comp.in_and_out.outputs or []).difference(made):
            if dynamic is not None:
                self.makers[name] = (index, dynamic)
            elif name in self.makers:
                self.makers[name] = (index, "")  # a plain value now
        return self

    def dynamic_code_used(self, code):
        """The code, or that of a function or class from upstream it reads,
        which may read any name (eval, globals(), ...); None if there is none."""
        read = names_read(code)
        if read is None:
            return code
        for name in read & self.makers.keys():
            maker = self.makers[name][1]
            if names_read(maker) is None:
                return maker
        return None

    def needed_names(self, code):
        """Names a run of `code` may read: those of its code and, for a
        function or class it reads from upstream, those of the code that
        defined it (a function looks its globals up where it is called).
        None: any name."""
        read = names_read(code)
        if read is None:
            return None
        read, makers = set(read), self.makers
        pending, seen = list(read & makers.keys()), set()
        while pending:
            name = pending.pop()
            if name in seen:
                continue
            seen.add(name)
            more = names_read(makers[name][1])
            if more is None:
                return None
            read |= more
            pending.extend(more & makers.keys())
        return read

    def inputs_for(self, code):
        """The inputs of a run of `code`: values stay serialized (the run
        deserializes them, so an output that cannot be read back fails only a
        run that needs it), and only those the code may read."""
        needed = self.needed_names(code)

        def live(entries, names):
            # looked up by name: a long chain's environment is not scanned
            if names is None:
                pairs = ((k, v) for k, (_, v) in entries.items())
            elif len(names) < len(entries):
                pairs = ((k, entries[k][1]) for k in names if k in entries)
            else:
                pairs = ((k, v) for k, (_, v) in entries.items() if k in names)
            return {k: v for k, v in pairs if v is not GONE}

        values, origin, sources = {}, {}, {}
        for name, (blob, where, node_id) in live(self.values, needed).items():
            values[name] = SerializedValue(blob)
            origin[name], sources[name] = where, node_id
        return Inputs(live(self.statements, None), values, origin, sources,
                      live(self.left_out, needed), *self.random_state[1:])


def gather_inputs(dag, node_id):
    """Module statements and serialized values of the ancestors of `node_id`
    that its run needs, nearest last."""
    ancestors = nx.ancestors(dag.nx_graph, node_id)
    env = Environment()
    for index, n in enumerate(n for n in dag.nodes if n in ancestors):  # topological
        env.add(index, dag.nodes[n], n)
    return env.inputs_for(dag.nodes[node_id].cell_code)


def notice_left_out(comp, stream=None):
    """Say at the end of a run which outputs were left out."""
    found = run_record(comp, "left_out")
    if found and found.get("message"):
        print(found["message"], file=stream or sys.stderr, flush=True)


def input_notes(inputs):
    """What the run's failure record should say of an input that is missing
    (an upstream output left out) or cannot be read back (where it came from)."""
    return {"missing": dict(inputs.left_out), "unreadable": dict(inputs.origin)}


FAILED_TO_START = object()  # what `start_run` gives for a run that ended before it began


def start_run(comp, inputs, execute, parameters):
    """`execute(module_statements=, non_module_inputs=, parameters=)` with the
    run's inputs; a failure that ended the component FAILED with its record
    gives FAILED_TO_START instead of raising (a KeyboardInterrupt still
    propagates)."""
    params = dict(parameters or {})
    if inputs.random_state is not None:  # the child starts where its parent left it
        params[RANDOM_STATE_PARAMETER] = inputs.random_state
    if inputs.left_out or inputs.origin:
        params[INPUT_NOTES_PARAMETER] = input_notes(inputs)
    try:
        return execute(module_statements=inputs.statements, non_module_inputs=inputs.values,
                       parameters=params)
    except Exception:
        if comp.status != TesselComponentStatus.FAILED:
            raise
        return FAILED_TO_START


def execute_component(dag, node_id, parameters=None, **execute_kwargs):
    """Run one component with its ancestors' outputs; its last value, or None.

    Never raises for a failure of the component itself: it ends FAILED with
    its record (a KeyboardInterrupt still propagates)."""
    comp = dag.nodes[node_id]
    inputs = gather_inputs(dag, node_id)
    value = start_run(comp, inputs, lambda **kw: comp.execute(**kw, **execute_kwargs),
                      parameters)
    if value is FAILED_TO_START:
        return None
    notice_left_out(comp)
    return value
