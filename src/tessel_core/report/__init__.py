"""What a run leaves to open: the executed notebook and the HTML report.

    from tessel_core.report import write_notebook, write_html
    write_notebook("run.ipynb", dag, parameters)      # a DAG run in this kernel
    write_html("report.html", dag, parameters=parameters)
"""

from .html import pipeline_report, write_html
from .notebook import executed_notebook, pipeline_notebook, write_executed_notebook, write_notebook

__all__ = ["executed_notebook", "pipeline_notebook", "pipeline_report", "write_executed_notebook",
           "write_html", "write_notebook"]
