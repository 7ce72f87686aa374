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

import ast
import functools
import re
import sys
from typing import Dict, NamedTuple, Optional

import networkx as nx

from tessel_core.misc import TesselComponentStatus
from tessel_core.misc.serialized import SerializedValue

# Reading any of these may reach every name of the namespace.
DYNAMIC_NAMES = {"globals", "locals", "vars", "eval", "exec", "__import__"}
LEFT_OUT = re.compile(r"'(?P<name>[^']+)' \((?P<why>.*?)\)(?=; '|$)")
RANDOM_STATE = "__tessel_random_state__"  # the parameter a run restores it from
NAME_ERROR = re.compile(r"name '(?P<name>[^']+)' is not defined")
BAD_INPUT = re.compile(r"Could not deserialize input '(?P<name>[^']+)'")


class Inputs(NamedTuple):
    statements: Dict[str, str]
    values: Dict[str, SerializedValue]
    origin: Dict[str, str]  # name -> which output of which component it is
    left_out: Dict[str, str]  # name -> why its component could not serialize it
    random_state: Optional[dict]  # the global random state the nearest ancestor left


def describe(value):
    """str(value) that never raises."""
    try:
        return str(value)
    except Exception as err:
        return f"<str() failed: {type(err).__name__}>"


@functools.lru_cache(maxsize=4096)
def names_read(code):
    """Names the code reads (a frozenset); None when it may read any name (or
    cannot be parsed). Cached: each component's code is read once per run of
    every descendant."""
    try:
        tree = ast.parse(code or "")
    except (SyntaxError, ValueError):
        return None
    names = frozenset(n.id for n in ast.walk(tree) if isinstance(n, ast.Name))
    return None if names & DYNAMIC_NAMES else names


@functools.lru_cache(maxsize=4096)
def names_deleted(code):
    """Names the code deletes at top level (`del x`): after it they are gone
    downstream too, unless the component binds them again."""
    try:
        tree = ast.parse(code or "")
    except (SyntaxError, ValueError):
        return frozenset()
    return frozenset(t.id for node in tree.body if isinstance(node, ast.Delete)
                     for t in node.targets if isinstance(t, ast.Name))


def random_state_of(comp):
    """The global random state the component's last run left, if it moved it."""
    for record in comp.captured or []:
        if getattr(record, "type", None) == "random_state":
            return record.data
    return None


def left_out_of(comp):
    """Outputs the component's last run could not serialize: name -> why."""
    found = {}
    for record in comp.captured or []:
        text = getattr(record, "text", None) or ""
        if "could not be serialized and were left out:" in text:
            tail = text.split("were left out:", 1)[1].strip()
            found.update((m["name"], m["why"]) for m in LEFT_OUT.finditer(tail))
    return found


def summary_names(comp):
    """Names of the functions and classes among the component's outputs (read
    from the holder's store: the property would build a default record)."""
    store = getattr(comp._quickhold, "_cache", None)
    summary = store.get("outputs_summary") if isinstance(store, dict) else \
        comp._quickhold.outputs_summary
    if isinstance(summary, dict):
        return list(summary.get("functions") or []) + list(summary.get("classes") or [])
    return list(getattr(summary, "functions", None) or []) + \
        list(getattr(summary, "classes", None) or [])


def needed_names(dag, node_id, upstream):
    """Names a run of `node_id` may read: those of its code and, for a function
    or class it reads from upstream, those of the code that defined it (a
    function looks its globals up where it is called). None: any name.
    `upstream` lists the ancestors in topological order."""
    read = names_read(dag.nodes[node_id].cell_code)
    if read is None:
        return None
    read = set(read)
    makers = {}  # name of a function or class -> code of the nearest component defining it
    for n in upstream:
        for name in summary_names(dag.nodes[n]):
            makers[name] = dag.nodes[n].cell_code
    pending, seen = list(read & set(makers)), set()
    while pending:
        name = pending.pop()
        if name in seen:
            continue
        seen.add(name)
        more = names_read(makers[name])
        if more is None:
            return None
        read |= more
        pending.extend(more & set(makers))
    return read


def gather_inputs(dag, node_id):
    """Module statements and serialized values of the ancestors of `node_id`
    that its run needs, nearest last. Values stay serialized: the run
    deserializes them, so an output that cannot be read back fails only a
    run that needs it."""
    statements, values, origin, left_out, state = {}, {}, {}, {}, None
    ancestors = nx.ancestors(dag.nx_graph, node_id)
    upstream = [n for n in dag.nodes if n in ancestors]  # topological
    needed = needed_names(dag, node_id, upstream)
    for n in upstream:
        comp = dag.nodes[n]
        for name in names_deleted(comp.cell_code):
            for found in (statements, values, origin, left_out):
                found.pop(name, None)
        statements.update(comp.module_statements or {})
        state = random_state_of(comp) or state
        for name, why in left_out_of(comp).items():
            left_out[name] = f"output '{name}' of component '{comp.name}' could not be " \
                             f"serialized and was left out ({why})"
        for name, blob in (comp._quickhold.non_module_outputs or {}).items():
            left_out.pop(name, None)
            values.pop(name, None)
            if needed is None or name in needed:
                values[name] = blob
                origin[name] = f"output '{name}' of component '{comp.name}' ({n})"
    values = {name: SerializedValue(blob) for name, blob in values.items()}
    return Inputs(statements, values, origin, left_out, state)


def explain_failure(comp, inputs):
    """A failure about an input says where the input came from: a NameError
    for an output that was left out, an input that could not be read back."""
    lines = comp.exception_msg
    if comp.status != TesselComponentStatus.FAILED or not lines:
        return
    name_error = NAME_ERROR.search(lines[-1]) if "NameError" in lines[1] else None
    if name_error and name_error["name"] in inputs.left_out:
        pattern, reason = NAME_ERROR, inputs.left_out[name_error["name"]]
    else:
        bad = BAD_INPUT.search(" ".join(r.text or "" for r in comp.captured or []))
        if not bad or bad["name"] not in inputs.origin:
            return
        pattern, reason = BAD_INPUT, f"{inputs.origin[bad['name']]} could not be read back"
    reason = f" ({reason})"
    comp.exception_msg = list(lines[:-1]) + [lines[-1] + reason]
    for record in comp.captured or []:
        if pattern.search(getattr(record, "text", None) or ""):
            record.text = record.text.rstrip("\n") + reason


def notice_left_out(comp, stream=None):
    """Say at the end of a run which outputs were left out."""
    for record in comp.captured or []:
        text = getattr(record, "text", None) or ""
        if "could not be serialized and were left out:" in text:
            print(text.rstrip("\n"), file=stream or sys.stderr, flush=True)


def execute_component(dag, node_id, **execute_kwargs):
    """Run one component with its ancestors' outputs; its last value, or None.

    Never raises for a failure of the component itself: it ends FAILED with
    its record (a KeyboardInterrupt still propagates)."""
    comp = dag.nodes[node_id]
    inputs = gather_inputs(dag, node_id)
    if inputs.random_state is not None:  # the child starts where its parent left it
        execute_kwargs["parameters"] = {**(execute_kwargs.get("parameters") or {}),
                                        RANDOM_STATE: inputs.random_state}
    try:
        value = comp.execute(module_statements=inputs.statements, non_module_inputs=inputs.values,
                             **execute_kwargs)
    except Exception:
        if comp.status != TesselComponentStatus.FAILED:
            raise
        return None
    explain_failure(comp, inputs)
    notice_left_out(comp)
    return value
