"""The executed notebook of a pipeline run: a parameters cell, then per
component a heading and its code with what it showed."""

import nbformat

from tessel_core.report.outputs import component_outputs


def heading(comp, origin=None, seconds=None):
    parts = [str(comp.status)]
    if seconds is not None:
        parts.append(f"{seconds:.2f} s")
    if origin:
        parts.append({"cache": "from cache", "run": "run"}.get(origin, origin))
    return f"## {comp.name} (`{comp.id}`)\n\n" + " · ".join(parts)


def parameters_cell(parameters):
    lines = ["# Parameters"] + [f"{name} = {value!r}" for name, value in
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
        ran = origin.get(node_id, "run") in ("run", "cache", "kept")
        if ran:
            cell.execution_count = count
            cell.outputs = [nbformat.from_dict(o) for o in
                            component_outputs(comp, shell, execution_count=count)]
        nb.cells.append(cell)
    nbformat.validate(nb)
    return nb


def write_notebook(path, dag, parameters=None, origin=None, seconds=None, shell=None):
    """Write the executed notebook of `dag` to `path`."""
    nb = pipeline_notebook(dag, parameters, origin, seconds, shell)
    with open(path, "w", encoding="utf-8") as f:
        nbformat.write(nb, f)
    return nb
