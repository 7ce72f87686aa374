"""Reading a pipeline file, and the parameters given on the command line.

A pipeline file is a JSON document:

    {"nodes": [{"id": "...", "name": "...", "code": "...", "metadata": {...}}, ...],
     "edges": [{"parent": "...", "child": "..."}, ...],
     "parameters": {"NAME": VALUE, ...},
     "parameters_cell": "ID"}

With "parameters_cell" (a notebook converted to a pipeline file) the
parameters are that component's assignments and `--param` overrides them as
for the notebook, in a component injected after it; without it, parameters
are put in every component's namespace.
"""

import ast
import json

import networkx as nx
import pydantic

from tessel_core.misc.models import TesselDagModel


class PipelineError(Exception):
    """Bad input: reported as one line, with a non-zero exit."""


def load_pipeline(path):
    """(model, parameters) of the pipeline file at `path`."""
    model, params, _ = read_pipeline_file(path)
    return model, params


def read_text(path, what):
    """The text of the file at `path`; one that cannot be read, or is not
    UTF-8 text, is bad input (`what` names it: "pipeline file", "notebook")."""
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except OSError as err:
        raise PipelineError(f"cannot read {what} {path}: {err.strerror}") from None
    except UnicodeDecodeError:
        raise PipelineError(f"{what} {path} is not UTF-8 text") from None


def read_pipeline_file(path):
    """(model, parameters, id of the parameters cell or None)."""
    text = read_text(path, "pipeline file")
    try:
        data = json.loads(text)
    except json.JSONDecodeError as err:
        raise PipelineError(f"pipeline file {path} is not JSON: {err}") from None
    except RecursionError:
        raise PipelineError(f"pipeline file {path} is nested too deeply") from None
    if not isinstance(data, dict):
        raise PipelineError(f"pipeline file {path} must hold a JSON object")
    check_shape(path, data)
    params = data.pop("parameters", {}) or {}
    if not isinstance(params, dict):
        raise PipelineError(f"pipeline file {path}: 'parameters' must be an object")
    params_cell = data.pop("parameters_cell", None)
    if params_cell is not None and not any(isinstance(n, dict) and n.get("id") == params_cell
                                           for n in data["nodes"]):
        raise PipelineError(f"pipeline file {path}: 'parameters_cell' names no component")
    try:
        model = TesselDagModel(**data)
    except pydantic.ValidationError as err:
        first = err.errors()[0]
        where = ".".join(str(p) for p in first["loc"])
        raise PipelineError(f"pipeline file {path}: {where}: {first['msg']}") from None
    except RecursionError:
        raise PipelineError(f"pipeline file {path} is nested too deeply") from None
    return model, params, params_cell


def check_shape(path, data):
    """What the models would accept but a pipeline cannot mean."""
    if "nodes" not in data:
        raise PipelineError(f"pipeline file {path} has no \"nodes\" list")
    nodes = data["nodes"]
    if not isinstance(nodes, list):
        raise PipelineError(f"pipeline file {path}: \"nodes\" must be a list")
    seen = set()
    for node in nodes:
        node_id = node.get("id") if isinstance(node, dict) else None
        if isinstance(node_id, str) and node_id in seen:
            raise PipelineError(f"pipeline file {path}: component id {node_id!r} is used twice")
        seen.add(node_id)


def pipeline_graph(model):
    """The file's DAG as a plain graph, its edges taken in file order: an edge
    that closes a cycle is refused by name, the edges before it stand."""
    graph = nx.DiGraph()
    names = {}
    for node in model.nodes:
        graph.add_node(node.id)
        names[node.id] = node.name
    for edge in model.edges:
        for end in (edge.parent, edge.child):
            if end not in graph:
                raise PipelineError(f"invalid pipeline: an edge names the unknown component "
                                    f"{end!r}")
        if edge.parent == edge.child or nx.has_path(graph, edge.child, edge.parent):
            raise PipelineError(f"invalid pipeline: Cannot add an edge between "
                                f"'{names[edge.parent]}' and '{names[edge.child]}': DAG must "
                                f"remain acyclic.")
        graph.add_edge(edge.parent, edge.child)
    return graph


def parse_value(text):
    try:
        return ast.literal_eval(text)
    except (ValueError, SyntaxError):
        return text


def parse_params(items):
    params = {}
    for item in items:
        name, sep, value = item.partition("=")
        if not sep or not name:
            raise PipelineError(f"--param expects NAME=VALUE, got {item!r}")
        params[name] = parse_value(value)
    return params
