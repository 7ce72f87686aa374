"""Running one component of a DAG with what its ancestors produced.

One path for the command line and for a notebook, so that both give a
component the same inputs:

- ancestors are read in topological order, so that where several of them bind
  the same name the nearest one wins, whatever the hash seed;
- an output that cannot be read back (it pickled but does not unpickle) fails
  only a component whose code reads it, with a record naming it;
- an output its component could not serialize was left out: the run says so
  when it finishes, and a NameError downstream says which output and why.
"""

import ast
import re
import sys
from typing import Dict, NamedTuple

import cloudpickle
import networkx as nx

from tessel_core.misc import TesselComponentStatus

# Reading any of these may reach every name of the namespace.
DYNAMIC_NAMES = {"globals", "locals", "vars", "eval", "exec", "__import__"}
LEFT_OUT = re.compile(r"'(?P<name>[^']+)' \((?P<why>.*?)\)(?=; '|$)")
NAME_ERROR = re.compile(r"name '(?P<name>[^']+)' is not defined")


class Inputs(NamedTuple):
    statements: Dict[str, str]
    values: Dict[str, object]
    unreadable: Dict[str, str]  # name -> why it could not be read back
    left_out: Dict[str, str]  # name -> why its component could not serialize it


class UnreadableInput(RuntimeError):
    """An upstream output the component reads could not be deserialized."""


def describe(value):
    """str(value) that never raises."""
    try:
        return str(value)
    except Exception as err:
        return f"<str() failed: {type(err).__name__}>"


def names_read(code):
    """Names the code reads; None when it may read any name (or cannot be parsed)."""
    try:
        tree = ast.parse(code or "")
    except (SyntaxError, ValueError):
        return None
    names = {n.id for n in ast.walk(tree) if isinstance(n, ast.Name)}
    return None if names & DYNAMIC_NAMES else names


def left_out_of(comp):
    """Outputs the component's last run could not serialize: name -> why."""
    found = {}
    for record in comp.captured or []:
        text = getattr(record, "text", None) or ""
        if "could not be serialized and were left out:" in text:
            tail = text.split("were left out:", 1)[1].strip()
            found.update((m["name"], m["why"]) for m in LEFT_OUT.finditer(tail))
    return found


def gather_inputs(dag, node_id):
    """Module statements and values of every ancestor of `node_id`, nearest last."""
    statements, values, unreadable, left_out = {}, {}, {}, {}
    upstream = nx.ancestors(dag.nx_graph, node_id)
    for n in dag.nodes:  # topological
        if n not in upstream:
            continue
        comp = dag.nodes[n]
        statements.update(comp.module_statements or {})
        for name, why in left_out_of(comp).items():
            left_out[name] = f"output '{name}' of component '{comp.name}' could not be " \
                             f"serialized and was left out ({why})"
        for name, blob in (comp._quickhold.non_module_outputs or {}).items():
            left_out.pop(name, None)
            try:
                values[name] = cloudpickle.loads(blob)
                unreadable.pop(name, None)
            except Exception as err:
                values.pop(name, None)
                unreadable[name] = (f"output '{name}' of component '{comp.name}' ({n}) could "
                                    f"not be read back: {type(err).__name__}: {describe(err)}")
    return Inputs(statements, values, unreadable, left_out)


def fail(comp, exc):
    """End `comp` FAILED with the record of `exc` (never raised, so the record
    carries no traceback of ours)."""
    comp.status = TesselComponentStatus.RUNNING
    comp.handle_error(exc)


def explain_name_error(comp, inputs):
    """A NameError for an upstream output that was left out says so."""
    lines = comp.exception_msg
    if comp.status != TesselComponentStatus.FAILED or not lines or "NameError" not in lines[1]:
        return
    match = NAME_ERROR.search(lines[-1])
    reasons = {**inputs.left_out, **inputs.unreadable}
    if not match or match["name"] not in reasons:
        return
    reason = f" ({reasons[match['name']]})"
    comp.exception_msg = list(lines[:-1]) + [lines[-1] + reason]
    for record in comp.captured or []:
        if NAME_ERROR.search(getattr(record, "text", None) or ""):
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
    read = names_read(comp.cell_code)
    needed = sorted(set(inputs.unreadable) if read is None else set(inputs.unreadable) & read)
    if needed:
        fail(comp, UnreadableInput("; ".join(inputs.unreadable[n] for n in needed)))
        return None
    values = {k: v for k, v in inputs.values.items() if k not in inputs.unreadable}
    try:
        value = comp.execute(module_statements=inputs.statements, non_module_inputs=values,
                             **execute_kwargs)
    except Exception:
        if comp.status != TesselComponentStatus.FAILED:
            raise
        return None
    explain_name_error(comp, inputs)
    notice_left_out(comp)
    return value
