"""The README's snippets and commands run as written."""

import os
import re
import subprocess
import sys

import pytest
from conftest import run_cell

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
README = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()


def test_python_snippets_run_in_a_kernel_and_say_what_they_do(kernel, tmp_path):
    snippets = re.findall(r"```python\n(.*?)```", README, flags=re.S)
    assert len(snippets) >= 2
    code = f"import os\nos.chdir({str(tmp_path)!r})\n" + "\n".join(snippets)
    code += "\nprint('outcome', b.last_output, dag.nodes['b'].status)"
    messages = run_cell(kernel, code)
    errors = [m["content"]["traceback"] for m in messages if m["msg_type"] == "error"]
    assert not errors, errors
    text = "".join(m["content"].get("text", "") for m in messages if m["msg_type"] == "stream")
    assert "doubling" in text and "outcome 2 SUCCESSFUL" in text
    assert (tmp_path / "run.ipynb").exists() and (tmp_path / "report.html").exists()
    # the first snippet's comments hold: the graph made b INVALID before the rerun
    first = run_cell(kernel, snippets[0] + "\nprint('then', a.status, b.status)")
    said = "".join(m["content"].get("text", "") for m in first if m["msg_type"] == "stream")
    assert "then INVALID INVALID" in said


@pytest.mark.parametrize("command", [
    "bash scripts/main.sh",
    ".venv/bin/python -m tessel_core run examples/pipeline.json --jobs 4 --pool",
    ".venv/bin/python -m tessel_core run examples/iris.ipynb --jobs 4",
])
def test_commands_run_from_the_repository_root(command):
    if command.startswith("bash scripts/") and not os.environ.get("CI"):
        # it installs the package again when the sources changed: not in the
        # middle of a developer's test run, only on CI's clean clone
        pytest.skip("runs on CI")
    venv = os.environ.get("TESSEL_VENV", ".venv")
    if not os.path.exists(os.path.join(ROOT, venv, "bin", "python")):
        pytest.skip("no virtual environment at the repository root")
    assert command in README
    out = subprocess.run(command.replace(".venv/", f"{venv}/"), shell=True, cwd=ROOT,
                         capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stdout[-2000:] + out.stderr[-2000:]
    assert re.search(r"^plot +SUCCESSFUL", out.stdout, flags=re.M)
