"""`python -m tessel_core convert`: the pipeline file a notebook's run uses,
or its inferred DAG in Graphviz DOT."""

import json
import sys

from tessel_core.cli.notebook_file import dot, is_notebook, load_notebook, pipeline_document
from tessel_core.cli.pipeline_file import PipelineError
from tessel_core.report.outputs import write_text


def add_parser(commands):
    conv = commands.add_parser("convert", help="write the pipeline file of a notebook")
    conv.add_argument("notebook", help="notebook (.ipynb) or percent-format script (.py)")
    out = conv.add_mutually_exclusive_group(required=True)
    out.add_argument("-o", "--output", metavar="PIPELINE.json", help="write it here")
    out.add_argument("--dot", action="store_true",
                     help="print the inferred DAG in Graphviz DOT on standard output")
    conv.add_argument("--linear", action="store_true",
                      help="the cells as a chain, in order, instead of the inferred DAG")
    conv.set_defaults(func=command_convert)


def command_convert(args):
    if not is_notebook(args.notebook):
        raise PipelineError(f"{args.notebook} is not a notebook (.ipynb) or a percent-format "
                            f"script (.py)")
    notebook = load_notebook(args.notebook, linear=args.linear)
    if args.dot:
        print(dot(notebook))
        return 0
    write_text(args.output, json.dumps(pipeline_document(notebook), indent=1) + "\n")
    nodes, edges = len(notebook.model.nodes), len(notebook.model.edges)
    print(f"{args.output}: {nodes} components, {edges} edges, parameters "
          f"{', '.join(notebook.defaults) or '-'}", file=sys.stderr)
    return 0
