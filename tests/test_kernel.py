"""A component run in a real Jupyter kernel sends its output to the front end
as it happens."""

import pytest
from conftest import run_cell

pytest.importorskip("jupyter_client")

CELL = """
from tessel_core.executors import TesselComponentExecutor
from tessel_core.misc.models import TesselExecutionRequestModel
ex = TesselComponentExecutor(identifier="cid-7", name="kernel comp", ipython_shell=get_ipython())
resp = ex.execute(TesselExecutionRequestModel(cell_code="print('from the cell')", send_to_front=True))
"""


def test_output_reaches_the_front_end_with_component_id(kernel):
    messages = run_cell(kernel, CELL)
    errors = [m for m in messages if m["msg_type"] == "error"]
    assert not errors, errors[0]["content"]["traceback"]
    displays = [m["content"] for m in messages if m["msg_type"] == "display_data"]
    texts = [d["data"].get("application/vnd.jupyter.stdout") for d in displays]
    assert "from the cell" in texts
    for d in displays:
        assert d["metadata"]["component_id"] == "cid-7"
    streams = "".join(m["content"]["text"] for m in messages if m["msg_type"] == "stream")
    assert "from the cell" in streams
    result = run_cell(kernel, "resp.status.value, [r.text for r in resp.result.captured]")
    values = [m["content"]["data"]["text/plain"] for m in result
              if m["msg_type"] == "execute_result"]
    assert values == ["(200, ['from the cell', '\\n'])"]
