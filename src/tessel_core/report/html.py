"""A self-contained HTML report of a pipeline run: a picture of the DAG, then
each component's code and outputs (from the same notebook outputs as the
executed notebook), and for a parameter search its trials and figures."""

import html
import json

import networkx as nx

from tessel_core.report.outputs import component_outputs, plain, ran, write_text

COLOURS = {"SUCCESSFUL": "#2e7d32", "FAILED": "#c62828", "RUNNING": "#f9a825"}
OTHER_COLOUR = "#757575"
PLOTLY_MIME = "application/vnd.plotly.v1+json"
# Trace types plotly.js draws on map data (topojson) or tiles it loads from
# the network; the report embeds neither, so it does not draw them.
NETWORK_TRACES = {"scattergeo", "choropleth", "scattermapbox", "choroplethmapbox",
                  "densitymapbox", "scattermap", "choroplethmap", "densitymap"}
MAP_NOTE = ("This figure is a map: plotly draws it on map data loaded from the network, "
            "which this report does not contain, so it is not drawn here. Open the executed "
            "notebook on a machine with network access to see it.")
BOX_W, BOX_H, GAP_X, GAP_Y = 180, 48, 60, 24

STYLE = """
body { font-family: sans-serif; margin: 24px; color: #212121; }
pre { background: #f5f5f5; padding: 8px; overflow-x: auto; }
pre.stderr, pre.error { background: #fdecea; }
section { border-top: 1px solid #ddd; margin-top: 24px; }
.meta { color: #616161; }
table { border-collapse: collapse; } td, th { border: 1px solid #ccc; padding: 2px 8px; }
.bar { background: #1565c0; height: 12px; display: inline-block; }
"""


def node_label(comp, seconds):
    text = comp.name or comp.id
    if seconds is not None:
        text += f" · {seconds:.2f}s"
    return text


def dag_svg(dag, seconds=None):
    """The DAG, one column per topological generation, each box linking to its
    component's section and coloured by status."""
    seconds = seconds or {}
    where = {}
    generations = list(nx.topological_generations(dag.nx_graph))
    for x, generation in enumerate(generations):
        for y, node_id in enumerate(sorted(generation)):
            where[node_id] = (x * (BOX_W + GAP_X) + 10, y * (BOX_H + GAP_Y) + 10)
    width = max((p[0] for p in where.values()), default=0) + BOX_W + 20
    height = max((p[1] for p in where.values()), default=0) + BOX_H + 20
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
             f'viewBox="0 0 {width} {height}" style="max-width: 100%; height: auto" '
             f'class="dag">']
    for parent, child in dag.nx_graph.edges:
        (x1, y1), (x2, y2) = where[parent], where[child]
        parts.append(f'<line x1="{x1 + BOX_W}" y1="{y1 + BOX_H / 2}" x2="{x2}" '
                     f'y2="{y2 + BOX_H / 2}" stroke="#9e9e9e" stroke-width="2"/>')
    for node_id, (x, y) in where.items():
        comp = dag.nodes[node_id]
        colour = COLOURS.get(str(comp.status), OTHER_COLOUR)
        label = html.escape(node_label(comp, seconds.get(node_id)))
        parts.append(
            f'<a href="#comp-{html.escape(node_id)}"><rect x="{x}" y="{y}" width="{BOX_W}" '
            f'height="{BOX_H}" rx="6" fill="{colour}"/><text x="{x + 8}" y="{y + 28}" '
            f'fill="white" font-size="13">{label}</text>'
            f'<title>{html.escape(node_id)}: {html.escape(str(comp.status))}</title></a>')
    parts.append("</svg>")
    return "\n".join(parts)


def needs_network(figure):
    """Whether plotly.js would load map data or tiles to draw `figure`."""
    data = figure.get("data") if isinstance(figure, dict) else getattr(figure, "data", None)
    for trace in data or []:
        kind = trace.get("type") if isinstance(trace, dict) else getattr(trace, "type", None)
        if kind in NETWORK_TRACES:
            return True
    return False


class Page:
    """Collects the body; plotly.js is inlined once, when a figure needs it."""

    def __init__(self, title):
        self.title, self.body, self.plots = title, [], 0

    def plotly(self, figure):
        if needs_network(figure):
            return f'<p class="meta network-figure">{html.escape(MAP_NOTE)}</p>'
        self.plots += 1
        div = f"plot-{self.plots}"
        from plotly.io.json import to_json_plotly  # encodes numpy arrays as well

        figure_json = to_json_plotly(figure).replace("</", "<\\/")
        return (f'<div id="{div}" class="plotly-figure"></div><script>'
                f'(function () {{ var f = {figure_json}; Plotly.newPlot("{div}", f.data || [], '
                f'f.layout || {{}}, f.config || {{}}); }})();</script>')

    def bundle(self, data):
        """The richest form of a mime bundle that a browser shows."""
        if PLOTLY_MIME in data:
            return self.plotly(data[PLOTLY_MIME])
        if "text/html" in data:
            return data["text/html"]
        for mime in ("image/png", "image/jpeg"):
            if mime in data:
                return f'<img src="data:{mime};base64,{data[mime]}">'
        if "image/svg+xml" in data:
            return data["image/svg+xml"]
        return f"<pre>{html.escape(str(data.get('text/plain', '')))}</pre>"

    def output(self, out):
        kind = out["output_type"]
        if kind == "stream":
            return f'<pre class="{out["name"]}">{html.escape(plain(out["text"]))}</pre>'
        if kind == "error":
            text = plain("\n".join(out["traceback"]))
            return f'<pre class="error">{html.escape(text)}</pre>'
        return self.bundle(out["data"])

    def render(self):
        script = ""
        if self.plots:
            from plotly.offline import get_plotlyjs

            script = f"<script>{get_plotlyjs()}</script>"
        return (f"<!DOCTYPE html><html><head><meta charset=\"utf-8\">"
                f"<title>{html.escape(self.title)}</title><style>{STYLE}</style>{script}"
                f"</head><body>{''.join(self.body)}</body></html>")


def component_section(page, comp, origin, seconds, shell):
    meta = [str(comp.status)]
    if seconds is not None:
        meta.append(f"{seconds:.2f} s")
    if origin:
        meta.append({"cache": "from cache"}.get(origin, origin))
    outputs = component_outputs(comp, shell) if ran(origin) else []
    rendered = "".join(page.output(o) for o in outputs)
    return (f'<section id="comp-{html.escape(comp.id)}"><h2>{html.escape(comp.name or "")} '
            f'<code>{html.escape(comp.id)}</code></h2><p class="meta">'
            f'{html.escape(" · ".join(meta))}</p><pre><code>{html.escape(comp.cell_code or "")}'
            f'</code></pre>{rendered}</section>')


def markdown_section(source):
    """A notebook's markdown cell, rendered; raw HTML in it is shown as text."""
    from markdown_it import MarkdownIt

    return f'<section class="markdown">{MarkdownIt("commonmark", {"html": False}).render(source)}' \
           f'</section>'


def sections_in_order(dag, notebook):
    """(markdown source, None) and (None, component id) in the order to show:
    a notebook's cells as they stand, else the DAG's components."""
    if notebook is None:
        return [(None, node_id) for node_id in dag.nodes]
    return [(cell.source, None) if cell.cell_type == "markdown" else (None, node_id)
            for cell, node_id in zip(notebook.notebook.cells, notebook.cell_ids)
            if cell.cell_type == "markdown" or node_id is not None]


def pipeline_report(dag, parameters=None, origin=None, seconds=None, shell=None,
                    search=None, title="Pipeline run", notebook=None):
    """The report as one HTML text. `search` (from a parameter search) adds its
    trials, best trials, importances and Pareto front; with the `notebook` the
    run was read from, its markdown cells are shown in place."""
    origin, seconds = origin or {}, seconds or {}
    page = Page(title)
    page.body.append(f"<h1>{html.escape(title)}</h1>")
    page.body.append(dag_svg(dag, seconds))
    if parameters:
        rows = "".join(f"<tr><td>{html.escape(str(k))}</td><td>{html.escape(repr(v))}</td></tr>"
                       for k, v in parameters.items())
        page.body.append(f"<h2>Parameters</h2><table>{rows}</table>")
    if search is not None:
        page.body.append(search_section(page, search))
    for markdown, node_id in sections_in_order(dag, notebook):
        if markdown is not None:
            page.body.append(markdown_section(markdown))
            continue
        page.body.append(component_section(page, dag.nodes[node_id], origin.get(node_id),
                                           seconds.get(node_id), shell))
    return page.render()


def search_section(page, search):
    """Trials, best trials, importance bars per objective, Pareto front."""
    names = search.get("objectives") or []
    head = "".join(f"<th>{html.escape(n)}</th>" for n in ["trial", "parameters"] + names)
    rows = []
    for trial in search.get("trials") or []:
        values = trial.get("values") or [None] * len(names)
        cells = [str(trial.get("number")), html.escape(json.dumps(trial.get("parameters")))]
        cells += ["-" if v is None else f"{v:.4g}" for v in values]
        rows.append("<tr>" + "".join(f"<td>{c}</td>" for c in cells) + "</tr>")
    parts = [f"<section id=\"search\"><h2>Parameter search</h2><table><tr>{head}</tr>"
             f"{''.join(rows)}</table><h3>Best trials</h3><ul>"]
    for number, trial in (search.get("best") or {}).items():
        parts.append(f"<li>#{number}: {html.escape(json.dumps(trial['parameters']))} "
                     f"values {html.escape(json.dumps(trial['values']))}</li>")
    parts.append("</ul>")
    for name, importance in zip(names, search.get("importances") or []):
        bars = "".join(f'<div>{html.escape(k)} <span class="bar" style="width:{300 * v:.0f}px">'
                       f'</span> {v:.2f}</div>' for k, v in (importance or {}).items())
        parts.append(f"<h3>Importance for {html.escape(name)}</h3>{bars or 'not available'}")
    if search.get("pareto") is not None:
        parts.append("<h3>Pareto front</h3>" + page.plotly(search["pareto"]))
    parts.append("</section>")
    return "".join(parts)


def write_html(path, dag, **kwargs):
    """Write the report of `dag` to `path` (keywords as pipeline_report)."""
    text = pipeline_report(dag, **kwargs)
    write_text(path, text)
    return text
