"""The command line on the example pipeline, and the example notebook."""

import json
import os
import subprocess
import sys

import pytest

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "examples")
PIPELINE = os.path.abspath(os.path.join(EXAMPLES, "pipeline.json"))


def cli(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "tessel_core", *args], capture_output=True,
                          text=True, timeout=300, cwd=cwd)


def sources(stdout):
    rows = [line.split() for line in stdout.splitlines()]
    return {r[0]: r[-1] for r in rows if len(r) >= 4 and r[1] in ("SUCCESSFUL", "FAILED", "INVALID")}


def test_run_twice_second_time_from_cache(tmp_path):
    cache = str(tmp_path / "cache")
    first = cli("run", PIPELINE, "--cache-dir", cache)
    assert first.returncode == 0, first.stderr
    assert "training... 100%" in first.stdout and "accuracy 0.733" in first.stdout
    assert set(sources(first.stdout).values()) == {"run"}
    second = cli("run", PIPELINE, "--cache-dir", cache)
    assert second.returncode == 0, second.stderr
    assert sources(second.stdout) == {"load": "cache", "split": "cache", "train": "cache",
                                      "evaluate": "run", "complexity": "run", "plot": "run"}
    assert "training... 100%" in second.stdout  # replayed from the cache
    third = cli("run", PIPELINE, "--cache-dir", cache, "--param", "C=0.05", "--only", "evaluate")
    assert sources(third.stdout) == {"load": "cache", "split": "cache", "train": "run",
                                     "evaluate": "run"}


@pytest.mark.parametrize("content, args, message", [
    ("{not json", [], "is not JSON"),
    (json.dumps({"nodes": [{"id": "a", "name": "A"}]}), [], "nodes.0.code"),
    (json.dumps({"nodes": [{"id": "a", "name": "A", "code": ""}, {"id": "b", "name": "B", "code": ""}],
                 "edges": [{"parent": "a", "child": "b"}, {"parent": "b", "child": "a"}]}), [],
     "DAG must remain acyclic"),
    (None, ["--only", "ghost"], "unknown component id 'ghost'"),
    (None, ["--param", "C"], "--param expects NAME=VALUE"),
    (None, ["--remote", "redis://127.0.0.1:9/0"], "cannot run remotely"),
])
def test_bad_input_is_one_line_and_exit_2(tmp_path, content, args, message):
    path = PIPELINE
    if content is not None:
        path = str(tmp_path / "p.json")
        with open(path, "w") as f:
            f.write(content)
    out = cli("run", path, *args)
    assert out.returncode == 2
    lines = out.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("error: ") and message in lines[0]


def test_unwritable_cache_directory(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("")
    out = cli("run", PIPELINE, "--cache-dir", str(blocker / "cache"))
    assert out.returncode == 2 and "cannot write to the cache directory" in out.stderr
    assert not (blocker.parent / "cache").exists()


def test_failing_component_shows_its_error_record(tmp_path):
    with open(PIPELINE) as f:
        pipeline = json.load(f)
    pipeline["nodes"][3]["code"] = "accuracy = undefined_thing"
    path = tmp_path / "p.json"
    path.write_text(json.dumps(pipeline))
    out = cli("run", str(path))
    assert out.returncode == 1
    assert "NameError" in out.stderr and "component 'Evaluate' (evaluate) failed" in out.stderr
    assert sources(out.stdout)["plot"] == "skipped"


def test_run_on_a_remote_worker(remote):
    broker, backend = remote
    out = cli("run", PIPELINE, "--remote", broker, "--backend", backend, "--only", "evaluate")
    assert out.returncode == 0, out.stderr
    assert set(sources(out.stdout).values()) == {"run"}


def test_optimize_reports_every_trial(tmp_path):
    out = cli("optimize", PIPELINE, "--method", "GridSearch", "--grid", "C=0.5:2.0:0.5",
              "--objective", "evaluate", "--objective", "complexity",
              "--direction", "maximize", "--direction", "minimize", "--trials", "5",
              "--html", str(tmp_path / "front.html"))
    assert out.returncode == 0, out.stderr
    assert sum(line.startswith("trial ") for line in out.stdout.splitlines()) == 3
    assert "importance for complexity" in out.stdout and (tmp_path / "front.html").exists()
    for objective, message in (("train", "must end with an expression"),
                               ("split", "is not a number")):  # print(...) is an expression
        bad = cli("optimize", PIPELINE, "--objective", objective, "--search", "C=0.1:1.0")
        assert bad.returncode == 2
        assert bad.stderr.strip().splitlines() == [bad.stderr.strip()] and message in bad.stderr


def test_example_notebook_runs_in_a_kernel():
    nbformat = pytest.importorskip("nbformat")
    nbclient = pytest.importorskip("nbclient")
    nb = nbformat.read(os.path.join(EXAMPLES, "pipeline.ipynb"), as_version=4)
    client = nbclient.NotebookClient(nb, kernel_name="python3", timeout=300,
                                     resources={"metadata": {"path": EXAMPLES}})
    client.execute()
    results = [o for o in nb.cells[-1].outputs if o["output_type"] == "execute_result"]
    last = results[0]["data"]["text/plain"]
    assert last.endswith("3)") and "'C'" in last
