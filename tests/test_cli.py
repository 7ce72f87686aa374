"""The command line on the example pipeline, and the example notebook."""

import json
import os
import re
import subprocess
import sys

import pytest

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "examples")
PIPELINE = os.path.abspath(os.path.join(EXAMPLES, "pipeline.json"))


def cli(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "tessel_core", *args], capture_output=True,
                          text=True, timeout=300, cwd=cwd)


def sources(stdout, why=False):
    """Component -> where its results came from ("run", "cache"; with `why`
    the whole column: "run: code changed")."""
    rows = [re.split(r"\s{2,}", line.strip()) for line in stdout.splitlines()]
    return {r[0]: r[-1] if why else r[-1].split(":")[0] for r in rows
            if len(r) >= 4 and r[1] in ("SUCCESSFUL", "FAILED", "INVALID")}


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
    (json.dumps({"edges": []}), [], 'has no "nodes" list'),
    (json.dumps({"nodes": [{"id": "a", "name": "A", "code": "x = 1"},
                           {"id": "a", "name": "B", "code": "x = 2"}]}), [],
     "component id 'a' is used twice"),
    ("[" * 100_000 + "]" * 100_000, [], "nested too deeply"),
])
def test_bad_input_is_one_line_and_exit_2(tmp_path, content, args, message):
    path = PIPELINE
    if content is not None:
        path = str(tmp_path / "p.json")
        with open(path, "w") as f:
            f.write(content)
    out = cli("run", path, *args, "--cache-dir", str(tmp_path / "cache"))
    assert out.returncode == 2 and not (tmp_path / "cache").exists()
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
              "--html", str(tmp_path / "front.html"), "--pareto", str(tmp_path / "p.html"))
    assert out.returncode == 0, out.stderr
    assert sum(line.startswith("trial ") for line in out.stdout.splitlines()) == 4  # 2.0 too
    assert "pareto front" in out.stdout
    assert "importance for complexity" in out.stdout
    report = (tmp_path / "front.html").read_text()
    for part in ("Parameter search", "Best trials", "Importance for complexity", "Pareto front",
                 'id="comp-evaluate"'):
        assert part in report
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


def write_pipeline(tmp_path, codes, edges=(), cached=()):
    nodes = [{"id": k, "name": k.upper(), "code": c,
              "metadata": {"diskcache": k in cached}} for k, c in codes.items()]
    path = tmp_path / "p.json"
    path.write_text(json.dumps({"nodes": nodes, "edges": [{"parent": p, "child": c}
                                                          for p, c in edges]}))
    return str(path)


UNREADABLE = """
class Bad:
    def __reduce__(self):
        return (int, ('not a number',))
bad = Bad()
ok = 1
class Shy:
    def __repr__(self):
        raise ValueError('shy')
Shy()
"""


def test_unreadable_output_fails_only_its_reader_and_a_raising_repr_is_shown(tmp_path):
    path = write_pipeline(tmp_path, {"a": UNREADABLE, "b": "print(ok + 1)", "c": "print(bad)"},
                          [("a", "b"), ("a", "c")])
    out = cli("run", path)
    assert out.returncode == 1
    assert "=> <Shy object: repr() failed: ValueError: shy>" in out.stdout
    assert sources(out.stdout) == {"a": "run", "b": "run", "c": "run"}
    assert "2\n" in out.stdout and "component 'C' (c) failed" in out.stderr
    assert "output 'bad' of component 'A' (a) could not be read back" in out.stderr


def damage(cache, how):
    entry = next(os.path.join(d, f) for d, _, fs in os.walk(cache) for f in fs
                 if f == "cache.db" and "/a/" in d + "/")
    values = [os.path.join(d, f) for d, _, fs in os.walk(os.path.dirname(entry))
              for f in fs if f.endswith(".val")]
    if how == "garbage db":
        open(entry, "wb").write(b"not a database" * 100)
    elif how == "truncated db":
        os.truncate(entry, 100)
    elif how == "truncated value":
        os.truncate(values[0], 10)
    else:
        os.remove(values[0])


@pytest.mark.parametrize("how", ["garbage db", "truncated db", "truncated value",
                                 "deleted value"])
def test_damaged_cache_entry_is_a_miss(tmp_path, how):
    cache = str(tmp_path / "cache")
    path = write_pipeline(tmp_path, {"a": "big = 'x' * 100_000\nprint('made')",
                                     "b": "print(len(big))"}, [("a", "b")], cached=("a",))
    assert cli("run", path, "--cache-dir", cache).returncode == 0
    damage(cache, how)
    out = cli("run", path, "--cache-dir", cache)
    assert out.returncode == 0, out.stdout + out.stderr
    assert "warning: the disk cache of a is damaged" in out.stdout
    assert sources(out.stdout)["a"] == "run" and "100000" in out.stdout


def test_a_component_whose_remote_worker_dies_fails_with_its_record(redis_url, tmp_path):
    from conftest import Worker

    broker, backend = redis_url + "/12", redis_url + "/13"
    worker = Worker(broker, backend).wait_ready()
    kill = "import os, signal\nos.kill(os.getppid(), signal.SIGKILL)\nimport time\ntime.sleep(60)"
    path = write_pipeline(tmp_path, {"a": "x = 1", "b": kill}, [("a", "b")])
    try:
        out = cli("run", path, "--remote", broker, "--backend", backend)
    finally:
        worker.kill()
    assert out.returncode == 1 and "Traceback (most recent call last):\n  File \"<frozen" \
        not in out.stderr
    assert sources(out.stdout) == {"a": "run", "b": "run"}
    assert "FAILED" in out.stdout and "component 'B' (b) failed" in out.stderr
