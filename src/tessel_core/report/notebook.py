"""The executed notebook of a pipeline run: a parameters cell, then per
component a heading and its code with what it showed."""

import nbformat

import math

from tessel_core.report.outputs import component_outputs, ran, write_text


def heading(comp, origin=None, seconds=None):
    parts = [str(comp.status)]
    if seconds is not None:
        parts.append(f"{seconds:.2f} s")
    if origin:
        parts.append({"cache": "from cache", "run": "run"}.get(origin, origin))
    return f"## {comp.name} (`{comp.id}`)\n\n" + " · ".join(parts)


def source_of(value):
    """Python source that makes `value` again: repr, except for the floats
    whose repr is no expression (nan, inf), also inside containers."""
    if isinstance(value, float) and not math.isfinite(value):
        return "float('nan')" if math.isnan(value) else \
            ("float('inf')" if value > 0 else "-float('inf')")
    if type(value) in (list, tuple, set) and value:
        items = ", ".join(source_of(v) for v in value)
        if type(value) is list:
            return f"[{items}]"
        return f"({items},)" if type(value) is tuple else f"{{{items}}}"
    if type(value) is dict:
        return "{" + ", ".join(f"{source_of(k)}: {source_of(v)}" for k, v in value.items()) + "}"
    return repr(value)


def parameters_cell(parameters):
    lines = ["# Parameters"] + [f"{name} = {source_of(value)}" for name, value in
                                (parameters or {}).items()]
    cell = nbformat.v4.new_code_cell("\n".join(lines))
    cell.metadata["tags"] = ["parameters"]
    return cell


def pipeline_notebook(dag, parameters=None, origin=None, seconds=None, shell=None):
    """An nbformat 4 notebook of the DAG as it ran. `origin` (component id ->
    "run", "cache", "skipped", ...) and `seconds` (id -> run time) are what
    the command line records; from a notebook they may be left out."""
    origin, seconds = origin or {}, seconds or {}
    nb = nbformat.v4.new_notebook()
    nb.metadata["kernelspec"] = {"name": "python3", "display_name": "Python 3",
                                 "language": "python"}
    nb.cells.append(parameters_cell(parameters))
    for count, (node_id, comp) in enumerate(dag.nodes.items(), start=1):
        nb.cells.append(nbformat.v4.new_markdown_cell(
            heading(comp, origin.get(node_id), seconds.get(node_id))))
        cell = nbformat.v4.new_code_cell(comp.cell_code or "")
        if ran(origin.get(node_id, "run")):
            cell.execution_count = count
            cell.outputs = [nbformat.from_dict(o) for o in
                            component_outputs(comp, shell, execution_count=count)]
        nb.cells.append(cell)
    nbformat.validate(nb)
    return nb


def write_notebook(path, dag, parameters=None, origin=None, seconds=None, shell=None):
    """Write the executed notebook of `dag` to `path`."""
    nb = pipeline_notebook(dag, parameters, origin, seconds, shell)
    write_text(path, nbformat.writes(nb))
    return nb


def executed_notebook(notebook, dag, origin=None, shell=None):
    """A notebook read as a pipeline (`cli.notebook_file.Notebook`), its
    cells in place with what each component showed: execution counts in the
    notebook's order, a cached component with the outputs it had, a failed
    one with its error, a skipped one with none."""
    origin = origin or {}
    nb = nbformat.from_dict(notebook.notebook)
    count = 0
    for cell, node_id in zip(nb.cells, notebook.cell_ids):
        if cell.cell_type != "code":
            continue
        cell.outputs, cell.execution_count = [], None
        if node_id is not None:  # where its results came from, and why it ran
            cell.metadata["tessel"] = {"source": origin.get(node_id, "skipped")}
        if node_id is None or not ran(origin.get(node_id, "skipped")):
            continue
        count += 1
        cell.execution_count = count
        cell.outputs = [nbformat.from_dict(o) for o in
                        component_outputs(dag.nodes[node_id], shell, execution_count=count)]
    nbformat.validate(nb)
    return nb


def write_executed_notebook(path, notebook, dag, parameters=None, origin=None, seconds=None,
                            shell=None):
    """Write the notebook a run was read from back to `path`, executed."""
    nb = executed_notebook(notebook, dag, origin, shell)
    write_text(path, nbformat.writes(nb))
    return nb
