"""A notebook as a pipeline: each non-empty code cell is a component, the
DAG is inferred from what the cells read and write, parameters are the
assignments of the cell tagged `parameters` and are overridden as papermill
does, with a cell tagged `injected-parameters` right after it.

Reads `.ipynb` notebooks (nbformat; older versions upgraded as Jupyter opens
them) and `.py` scripts in the percent format (jupytext).
"""

import ast
import json
import os
import sys
from typing import Dict, FrozenSet, List, NamedTuple, Optional

import nbformat
import networkx as nx

from tessel_core.cli.pipeline_file import PipelineError, read_text
from tessel_core.common.code import analyse, as_python
from tessel_core.misc.models import TesselDagModel

NOTEBOOK_SUFFIXES = (".ipynb", ".py")
PARAMETERS_TAG, INJECTED_TAG, NO_CACHE_TAG = "parameters", "injected-parameters", "no-cache"
INJECTED_ID = "injected-parameters"
# Process-wide state a cell may change that no variable carries to another
# process: (method or attribute, what it is), matched on calls and assignments.
PROCESS_STATE = {
    ("style", "use"): "plt.style.use", ("pd", "set_option"): "pd.set_option",
    ("pandas", "set_option"): "pd.set_option", ("warnings", "filterwarnings"): "warnings",
    ("warnings", "simplefilter"): "warnings", ("path", "append"): "sys.path",
    ("path", "insert"): "sys.path", ("path", "extend"): "sys.path", ("os", "chdir"): "os.chdir",
    ("mpl", "rc"): "rcParams", ("matplotlib", "rc"): "rcParams", ("plt", "rc"): "rcParams",
}


class Notebook(NamedTuple):
    """A notebook read as a pipeline."""

    path: str
    notebook: nbformat.NotebookNode  # version 4, the injected cell in place
    cell_ids: List[Optional[str]]  # per cell: its component's id, None for none
    defaults: Dict[str, object]  # the parameters cell's assignments
    model: TesselDagModel
    uncached: FrozenSet[str]  # ids of the cells tagged no-cache


def is_notebook(path):
    return str(path).endswith(NOTEBOOK_SUFFIXES)


def read_notebook(path):
    """The notebook at `path`, version 4; bad input is a PipelineError."""
    text = read_text(path, "notebook")
    if str(path).endswith(".py"):
        import jupytext

        return jupytext.reads(text, fmt="py:percent")
    try:
        json.loads(text)
        nb = nbformat.reads(text, as_version=nbformat.NO_CONVERT)
        nb = nbformat.convert(nb, 4)
    except (json.JSONDecodeError, RecursionError) as err:
        raise PipelineError(f"notebook {path} is not valid JSON: {err}") from None
    except Exception as err:  # nbformat's reader raises a variety of errors
        raise PipelineError(f"notebook {path} is not a notebook: {err}") from None
    if "cells" not in nb:
        raise PipelineError(f"notebook {path} is not a notebook: it has no cells")
    return nb


def tags(cell):
    return list(cell.get("metadata", {}).get("tags") or [])


def cell_name(code, number):
    """The text of the cell's first comment line, or `cell N`."""
    for line in code.splitlines():
        if line.strip().startswith("#"):
            text = line.strip().lstrip("#").strip()
            if text:
                return text
    return f"cell {number}"


def parameter_assignments(code):
    """A parameters cell's assignments of literal values, in order."""
    found = {}
    try:
        tree = ast.parse(code)
    except SyntaxError:
        return found
    for node in tree.body:
        targets = node.targets if isinstance(node, ast.Assign) else \
            [node.target] if isinstance(node, ast.AnnAssign) and node.value else []
        for target in targets:
            if isinstance(target, ast.Name):
                try:
                    found[target.id] = ast.literal_eval(node.value)
                except (ValueError, SyntaxError, TypeError):
                    pass  # an expression: not a parameter the command line can set
    return found


def injected_cell(overrides, with_id=True):
    """The cell papermill inserts: `# Parameters` and one assignment each
    (cell ids exist from nbformat 4.5 on)."""
    lines = ["# Parameters"] + [f"{name} = {value!r}" for name, value in overrides.items()]
    cell = nbformat.v4.new_code_cell("\n".join(lines) + "\n")
    cell.metadata["tags"] = [INJECTED_TAG]
    cell.pop("id", None)
    if with_id:
        cell.id = INJECTED_ID
    return cell


def with_injected(path, nb, overrides):
    """The notebook with the injected cell right after the parameters cell
    (at the top without one), replacing one a previous run left."""
    cells = [c for c in nb.cells if INJECTED_TAG not in tags(c)]
    tagged = [i for i, c in enumerate(cells) if PARAMETERS_TAG in tags(c)]
    if len(tagged) > 1:
        raise PipelineError(f"notebook {path}: {len(tagged)} cells are tagged "
                            f"'{PARAMETERS_TAG}' (one at most)")
    if overrides:
        where = tagged[0] + 1 if tagged else 0
        cells.insert(where, injected_cell(overrides, nb.get("nbformat_minor", 0) >= 5))
    nb.cells = cells
    return nb


def components(nb):
    """(cell index, component id, name, code, tags) of each non-empty code
    cell; ids are the notebook's own, else `cell-N` (N counting every code
    cell, so that emptying one leaves the others' ids)."""
    found, number = [], 0
    for index, cell in enumerate(nb.cells):
        if cell.cell_type != "code":
            continue
        code = cell.source if isinstance(cell.source, str) else "".join(cell.source)
        injected = INJECTED_TAG in tags(cell)
        if code.strip():
            node_id = cell.get("id") or (INJECTED_ID if injected else f"cell-{number}")
            found.append((index, node_id, cell_name(code, number), code, tags(cell)))
        if not injected:
            number += 1
    return found


def effective_reads(j, analyses):
    """What cell j may read, through the cells defining what it reads (a
    function reads the globals of its body where it is called); None: any."""
    reads = analyses[j].reads
    if reads is None:
        return None
    reads, grown = set(reads), True
    while grown:
        grown = False
        for i in range(j):
            a = analyses[i]
            if a.parsed and a.binds & reads:
                more = a.reads
                if more is None:
                    return None
                if not more <= reads:
                    reads |= more
                    grown = True
    return reads


def effective_writes(i, analyses, reads):
    """What cell i may bind or change, a function it calls included: calling
    one defined upstream may touch any name its definition reads (a `global`
    it rebinds, a list it appends to). None: any name."""
    a = analyses[i]
    writes = set(a.binds | a.changes)
    for k in range(i):
        d = analyses[k]
        if d.parsed and d.defines and (reads is None or d.defines & reads):
            if d.reads is None:
                return None
            writes |= d.reads
    return writes


def infer_edges(codes, linear=False):
    """(parent index, child index) pairs: a cell depends on every earlier
    cell that binds, deletes or may change in place a name it may read; a
    barrier (dynamic names, magics, files written) is ordered with all. Edges
    implied by others are left out: they order nothing more."""
    if linear:
        return [(i - 1, i) for i in range(1, len(codes))]
    analyses = [analyse(code) for code in codes]
    reads = [effective_reads(j, analyses) if a.parsed else None
             for j, a in enumerate(analyses)]
    writes = [effective_writes(i, analyses, reads[i]) if a.parsed else set()
              for i, a in enumerate(analyses)]
    graph = nx.DiGraph()
    graph.add_nodes_from(range(len(codes)))
    for j, a in enumerate(analyses):
        for i in range(j):
            b = analyses[i]
            if not b.parsed:
                continue  # it fails; nothing depends on it
            if reads[j] is None or writes[i] is None or a.barrier or b.barrier or \
                    writes[i] & reads[j]:
                graph.add_edge(i, j)
    return sorted(nx.transitive_reduction(graph).edges())


def process_state_cells(notebook):
    """Ids of the cells that change process-wide state no variable carries."""
    found = []
    for node in notebook.model.nodes:
        node_id, code = node.id, node.code or ""
        try:
            tree = ast.parse(as_python(code)[0])
        except SyntaxError:
            continue
        if any(changes_process_state(node) for node in ast.walk(tree)):
            found.append(node_id)
    return found


def changes_process_state(node):
    if isinstance(node, ast.Call) and isinstance(node.func, ast.Attribute):
        owner = node.func.value
        owner_name = owner.attr if isinstance(owner, ast.Attribute) else \
            owner.id if isinstance(owner, ast.Name) else None
        return (owner_name, node.func.attr) in PROCESS_STATE
    if isinstance(node, (ast.Assign, ast.AugAssign)):
        targets = node.targets if isinstance(node, ast.Assign) else [node.target]
        return any("rcParams" in ast.unparse(t) for t in targets)
    return False


def load_notebook(path, overrides=None, linear=False, searched=()):
    """The notebook at `path` as a pipeline, `overrides` injected; with
    `searched` (names a search sets), the injected cell sets them too."""
    nb = read_notebook(path)
    tagged = [c for c in nb.cells if c.cell_type == "code" and PARAMETERS_TAG in tags(c)]
    code_of = [c.source if isinstance(c.source, str) else "".join(c.source) for c in tagged]
    defaults = parameter_assignments(code_of[0]) if len(code_of) == 1 else {}
    overrides = dict(overrides or {})
    for name in overrides:
        if name not in defaults and name not in searched:
            print(f"warning: --param {name}: the notebook's parameters cell does not set it",
                  file=sys.stderr)
    for name in searched:
        overrides.setdefault(name, defaults.get(name))
    nb = with_injected(path, nb, overrides)
    found = components(nb)
    nodes = [{"id": node_id, "name": name, "code": code,
              "metadata": {"diskcache": NO_CACHE_TAG not in t}}
             for _, node_id, name, code, t in found]
    edges = [{"parent": found[i][1], "child": found[j][1]}
             for i, j in infer_edges([f[3] for f in found], linear)]
    cell_ids = [None] * len(nb.cells)
    for index, node_id, *_ in found:
        cell_ids[index] = node_id
    model = TesselDagModel(nodes=nodes, edges=edges)
    uncached = frozenset(node_id for _, node_id, _, _, t in found if NO_CACHE_TAG in t)
    return Notebook(os.path.abspath(path), nb, cell_ids, defaults, model, uncached)


def pipeline_document(notebook):
    """The pipeline file a notebook's run uses: its parameters are set as the
    notebook's are, in its parameters cell (and a cell injected after it)."""
    data = json.loads(notebook.model.json())
    data["parameters"] = notebook.defaults
    cell = parameters_cell_id(notebook)
    if cell is not None:
        data["parameters_cell"] = cell
    return data


def parameters_cell_id(notebook):
    for cell, node_id in zip(notebook.notebook.cells, notebook.cell_ids):
        if node_id is not None and PARAMETERS_TAG in tags(cell):
            return node_id
    return None


def with_injected_component(model, params_cell, overrides):
    """A converted notebook's pipeline with `overrides` set as the notebook
    would: a component right after its parameters cell, before its children."""
    if not overrides:
        return model
    node = {"id": INJECTED_ID, "name": "Parameters", "code": injected_cell(overrides).source,
            "metadata": {"diskcache": True}}
    children = [e.child for e in model.edges if e.parent == params_cell]
    edges = [e.dict() for e in model.edges] + [{"parent": params_cell, "child": INJECTED_ID}]
    edges += [{"parent": INJECTED_ID, "child": child} for child in children]
    nodes = [n.dict() for n in model.nodes]
    at = next(i for i, n in enumerate(nodes) if n["id"] == params_cell) + 1
    return TesselDagModel(nodes=nodes[:at] + [node] + nodes[at:], edges=edges)


def dot(notebook):
    """The inferred DAG in Graphviz DOT."""
    lines = ["digraph pipeline {"]
    for node in notebook.model.nodes:
        lines.append(f"  {json.dumps(node.id)} [label={json.dumps(node.name)}];")
    for edge in notebook.model.edges:
        lines.append(f"  {json.dumps(edge.parent)} -> {json.dumps(edge.child)};")
    lines.append("}")
    return "\n".join(lines)

