"""The command line under pressure: concurrent runs on one cache, stores it
cannot use, unbounded job counts, Ctrl-C on every engine, bad option values."""

import glob
import os
import signal
import subprocess
import sys
import tempfile
import time

import pytest
from test_cli import cli, sources, write_pipeline


def run_both(*commands):
    procs = [subprocess.Popen([sys.executable, "-m", "tessel_core", *c], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True) for c in commands]
    return [(p.wait(300), *p.communicate()) for p in procs]


def test_concurrent_runs_on_one_cache_keep_what_each_wrote(tmp_path):
    cache = str(tmp_path / "cache")
    path = write_pipeline(tmp_path, {"a": "import time\ntime.sleep(0.5)\nv = k * 10",
                                     "b": "print('v is', v)"}, [("a", "b")], cached=("a", "b"))
    for code, out, err in run_both(*[("run", path, "--cache-dir", cache, "--param", f"k={k}")
                                     for k in (1, 2)]):
        assert code == 0 and "warning" not in out + err, out + err
    for k in (1, 2):
        again = cli("run", path, "--cache-dir", cache, "--param", f"k={k}")
        assert set(sources(again.stdout).values()) == {"cache"}, again.stdout
        assert f"v is {k * 10}" in again.stdout


@pytest.mark.parametrize("text", ["'... tessel_core.executors.component_executors.store load ...'", "PATH"])
def test_a_string_output_is_cached_as_the_string(tmp_path, text):
    target = tmp_path / "victim.pickle"
    target.write_bytes(b"\x80\x04K\x07.")  # a pickle of 7
    text = repr(str(target)) if text == "PATH" else text
    cache = str(tmp_path / "cache")
    path = write_pipeline(tmp_path, {"a": f"s = {text}", "b": "print(repr(s))"}, [("a", "b")],
                          cached=("a", "b"))
    for source in ("run", "cache"):
        out = cli("run", path, "--cache-dir", cache)
        assert out.returncode == 0, out.stderr
        assert set(sources(out.stdout).values()) == {source}
        assert eval(text) in out.stdout


def test_jobs_start_no_more_workers_than_can_run_at_once(tmp_path):
    # each component counts the processes its pool runs (the pool's parent's children)
    count = ("import os\nppid = os.getppid()\nn = 0\nfor p in filter(str.isdigit, os.listdir('/proc')):\n"
             "    try:\n        stat = open(f'/proc/{p}/stat').read()\n"
             "    except (OSError, ValueError):\n        continue\n"
             "    n += stat.rsplit(')', 1)[1].split()[1] == str(ppid)\nprint('siblings', n)")
    path = write_pipeline(tmp_path, {"a": count, "b": count, "c": "x = 1"}, [("a", "c")])
    out = cli("run", path, "--jobs", "100000", "--pool")
    assert out.returncode == 0, out.stderr
    counts = [int(line.split()[-1]) for line in out.stdout.splitlines() if "siblings" in line]
    assert counts and max(counts) <= 2  # a and b can run at once, nothing more


def interrupt(args, wait_for="started", count=1):
    proc = subprocess.Popen([sys.executable, "-m", "tessel_core", "run", *args],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    seen = ""
    while seen.count(wait_for) < count:
        line = proc.stdout.readline()
        assert line, f"the run ended early: {seen}"
        seen += line
    proc.send_signal(signal.SIGINT)
    stdout, stderr = proc.communicate(timeout=60)
    rows = [line.split() for line in stdout.split("component  status")[-1].splitlines()[2:]]
    return proc.returncode, {r[0]: (r[1], r[-1]) for r in rows if r}, stderr


def test_ctrl_c_stops_a_one_at_a_time_run(tmp_path):
    path = write_pipeline(tmp_path, {"a": "import time\nprint('started', flush=True)\n"
                                          "time.sleep(60)", "b": "print('b ran')"})
    code, table, _ = interrupt([path])
    assert code == 130
    assert table == {"a": ("CANCELLED", "cancelled"), "b": ("INVALID", "started")}  # not started


def test_ctrl_c_on_a_pool_leaves_no_marker_file(tmp_path):
    before = set(glob.glob(os.path.join(tempfile.gettempdir(), "tessel-run-*.pid")))
    slow = "import time\nprint('started', flush=True)\ntime.sleep(60)"
    path = write_pipeline(tmp_path, {"a": slow, "b": slow}, [])
    code, table, _ = interrupt([path, "--jobs", "2", "--pool"], count=2)
    assert code == 130 and {s for s, _ in table.values()} == {"CANCELLED"}
    left = set(glob.glob(os.path.join(tempfile.gettempdir(), "tessel-run-*.pid"))) - before
    assert not left


def test_ctrl_c_on_a_remote_run_revokes_the_task(redis_url, tmp_path):
    from conftest import Worker

    broker, backend = redis_url + "/14", redis_url + "/15"
    worker = Worker(broker, backend).wait_ready()
    try:
        slow = "import time\nprint('started', flush=True)\ntime.sleep(120)"
        path = write_pipeline(tmp_path, {"a": slow})
        proc = subprocess.Popen([sys.executable, "-m", "tessel_core", "run", path, "--remote",
                                 broker, "--backend", backend], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        time.sleep(8)  # the task is running on the worker (its output is not live)
        proc.send_signal(signal.SIGINT)
        proc.communicate(timeout=60)
        assert proc.returncode == 130
        quick = write_pipeline(tmp_path, {"q": "print('quick')"})
        start = time.monotonic()
        out = cli("run", quick, "--remote", broker, "--backend", backend)
        assert out.returncode == 0 and "quick" in out.stdout, out.stdout + out.stderr
        assert time.monotonic() - start < 60  # the worker was free, not sleeping on
    finally:
        worker.kill()


@pytest.mark.parametrize("args, message", [
    (["--store-threshold", "nan"], "--store-threshold"),
    (["--store-threshold", "inf"], "--store-threshold"),
    (["--remote", "redis://127.0.0.1:9/0", "--store", "/nonexistent/store"],
     "the store /nonexistent/store is not a directory"),
])
def test_bad_option_values_are_one_line_and_exit_2(tmp_path, args, message):
    path = write_pipeline(tmp_path, {"a": "x = 1"})
    out = cli("run", path, *args)
    assert out.returncode == 2 and message in out.stderr
    assert "Traceback" not in out.stderr and not out.stdout


def test_the_edge_that_closes_a_cycle_is_named(tmp_path):
    path = write_pipeline(tmp_path, {"a": "", "b": "", "c": ""},
                          [("a", "b"), ("b", "c"), ("c", "a")])
    out = cli("run", path)
    assert out.returncode == 2
    assert "between 'C' and 'A'" in out.stderr


def test_a_worker_store_the_command_cannot_read_fails_only_the_cache_write(redis_url, tmp_path):
    from conftest import Worker

    broker, backend = redis_url + "/10", redis_url + "/11"
    worker = Worker(broker, backend, extra=("--store", "memory://tessel",
                                            "--store-threshold", "0")).wait_ready()
    try:
        path = write_pipeline(tmp_path, {"a": "big = 'x' * 1000", "b": "print(len(big))"},
                              [("a", "b")], cached=("a", "b"))
        out = cli("run", path, "--remote", broker, "--backend", backend,
                  "--cache-dir", str(tmp_path / "cache"))
    finally:
        worker.kill()
    assert out.returncode == 0, out.stderr
    assert "1000" in out.stdout
    assert "warning: the disk cache of a is not written" in out.stdout


def test_failure_lines_end_and_carry_colour_only_on_request(tmp_path):
    path = write_pipeline(tmp_path, {"a": "1/0", "b": "x = 1"}, [])
    plain, coloured = cli("run", path), cli("run", path, "--color", "always")
    assert "\x1b[" not in plain.stderr and "\x1b[" in coloured.stderr
    assert "division by zero\n" in plain.stderr


def test_what_a_killed_run_left_is_swept_at_once_and_is_a_plain_miss(tmp_path):
    import shutil
    import socket

    cache = tmp_path / "cache"
    path = write_pipeline(tmp_path, {"a": "x = 1"}, cached=("a",))
    assert cli("run", path, "--cache-dir", str(cache)).returncode == 0
    entry = next(cache.glob("a/*"))
    shutil.rmtree(entry)
    entry.mkdir()
    dead = subprocess.Popen([sys.executable, "-c", "pass"])
    dead.wait()
    transfer = entry / f".tessel-transfer-{socket.gethostname()}-{dead.pid}-0123abcd"
    transfer.write_bytes(b"x" * 10_000)
    out = cli("run", path, "--cache-dir", str(cache))
    assert out.returncode == 0 and "warning" not in out.stdout + out.stderr, out.stdout
    assert sources(out.stdout) == {"a": "run"} and not transfer.exists()


def test_a_store_write_that_runs_out_of_space_leaves_nothing(tmp_path):
    script = ("import resource, signal, sys\nfrom tessel_core.executors.component_executors import store\n"
              "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
              "resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))\n"
              "try:\n    store.put(b'x' * 100_000, sys.argv[1])\nexcept OSError:\n"
              "    print('refused')\n")
    out = subprocess.run([sys.executable, "-c", script, str(tmp_path)], capture_output=True,
                         text=True, timeout=60)
    assert out.stdout.strip() == "refused", out.stderr
    assert list(tmp_path.iterdir()) == []


OPTIMIZED = {"a": "score = max_iter / 100 + alpha", "obj": "score",
             "bad": "print('fails' if alpha > 0.5 else 'works')\n1 / 0 if alpha > 0.5 else 1"}


def test_optimize_on_ordinary_input(tmp_path):
    path = write_pipeline(tmp_path, OPTIMIZED, [("a", "obj"), ("a", "bad")])
    out = cli("optimize", path, "--method", "GridSearch", "--grid", "max_iter=100:300:100",
              "--param", "alpha=0.1", "--param", "unused=1", "--objective", "obj",
              "--direction", "maximize", "--trials", "5", "--output",
              str(tmp_path / "best.ipynb"))
    assert out.returncode == 0, out.stderr
    tried = sorted(line.split()[2] for line in out.stdout.splitlines() if line.startswith("trial"))
    assert tried == ["max_iter=100", "max_iter=200", "max_iter=300"]
    assert "warning: --param unused: no component reads it" in out.stderr
    assert "(the run of best trial #" in out.stdout
    import nbformat

    nb = nbformat.read(str(tmp_path / "best.ipynb"), as_version=4)
    assert "max_iter = 300" in nb.cells[0].source
    values = [o["data"]["text/plain"] for c in nb.cells for o in c.get("outputs", [])
              if o.get("output_type") == "execute_result"]
    assert "3.1" in values
    failing = cli("optimize", path, "--search", "alpha=0.6:0.9", "--param", "max_iter=100",
                  "--objective", "bad", "--trials", "2")
    assert failing.stdout.count("failed: component 'bad'") == 2
    assert "division by zero" in failing.stdout


@pytest.mark.parametrize("args", [["--search", "alpha=0.9:0.1"], ["--grid", "alpha=0:1:0"],
                                  ["--search", "alpha=nan:1"]])
def test_optimize_refuses_bad_ranges_in_one_line(tmp_path, args):
    path = write_pipeline(tmp_path, OPTIMIZED, [("a", "obj")])
    method = ["--method", "GridSearch"] if args[0] == "--grid" else []
    out = cli("optimize", path, *method, *args, "--param", "max_iter=1", "--objective", "obj")
    assert out.returncode == 2 and len(out.stderr.strip().splitlines()) == 1, out.stderr
