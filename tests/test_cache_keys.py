"""A cached result is never stale: the files a run read, the modules it used
and its inputs' contents decide whether it runs again, and the run says why."""

import json
import os
import re
import subprocess
import sys
import time

import nbformat
import pytest


def cli(*args, env=None):
    return subprocess.run([sys.executable, "-m", "tessel_core", *args], capture_output=True,
                          text=True, timeout=300, env=env)


def sources(stdout):
    rows = [re.split(r"\s{2,}", line.strip()) for line in stdout.splitlines()]
    return {r[0]: r[-1] for r in rows if len(r) >= 2 and r[0].startswith("c")
            and (r[-1].startswith(("run", "cache")))}


def notebook(path, cells):
    nb = nbformat.v4.new_notebook()
    nb.cells = [nbformat.v4.new_code_cell(code) for code in cells]
    for i, cell in enumerate(nb.cells):
        cell.id = f"c{i}"
    nbformat.write(nb, str(path))


def fake_distribution(site, version, name="fakepkg", listed="top_level.txt"):
    """An installed distribution `name` of `version` that ships module `fakepkg`,
    naming it in `listed`."""
    (site / "fakepkg").mkdir(exist_ok=True)
    (site / "fakepkg" / "__init__.py").write_text("ONE = 1\n")
    info = site / f"{name.replace('-', '_')}-0.dist-info"
    info.mkdir(exist_ok=True)
    (info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\n")
    lines = {"top_level.txt": "fakepkg\n", "RECORD": "fakepkg/__init__.py,,\n"}
    (info / listed).write_text(lines[listed])


@pytest.mark.parametrize("engine", [[], ["--jobs", "2", "--pool"]], ids=["shell", "pool"])
def test_what_a_run_read_decides_and_is_said(tmp_path, engine):
    site = tmp_path / "site"
    site.mkdir()
    fake_distribution(site, "1.0")
    env = {**os.environ, "PYTHONPATH": str(site)}
    (tmp_path / "data.csv").write_text("a,b\n1,2\n3,4\n")
    (tmp_path / "helpers.py").write_text("def double(x):\n    return 2 * x\n")
    nb = tmp_path / "nb.ipynb"
    notebook(nb, ["import pandas as pd\ndf = pd.read_csv('data.csv')",
                  "from helpers import double\nimport fakepkg\n"
                  "total = double(int(df['a'].sum())) + fakepkg.ONE",
                  "rounded = round(total, -1)\nprint(rounded)", "other = len('x')"])
    cache = str(tmp_path / "cache")

    def run(*extra):
        out = cli("run", str(nb), "--cache-dir", cache, *engine, *extra, env=env)
        return out, sources(out.stdout)

    out, first = run()
    assert out.returncode == 0, out.stderr
    assert set(first.values()) == {"run: new"}
    os.utime(tmp_path / "data.csv", (time.time() + 5, time.time() + 5))  # touch: no change
    assert set(run()[1].values()) == {"cache"}
    (tmp_path / "data.csv").write_text("a,b\n1,20\n3,40\n")  # the same sum of a
    assert run()[1] == {"c0": "run: data.csv changed", "c1": "run: input df changed (from c0)",
                        "c2": "cache", "c3": "cache"}  # c1 made the same total
    (tmp_path / "helpers.py").write_text("def double(x):\n    return x + x\n")
    assert run()[1] == {"c0": "cache", "c1": "run: helpers.py changed", "c2": "cache",
                        "c3": "cache"}
    fake_distribution(site, "2.0")
    assert run()[1] == {"c0": "cache", "c1": "run: fakepkg 1.0 -> 2.0", "c2": "cache",
                        "c3": "cache"}
    (tmp_path / "data.csv").unlink()
    dry, said = run("--dry-run")
    assert dry.returncode == 0 and said == {
        "c0": "run: data.csv is gone", "c1": "run: upstream c0 would run",
        "c2": "run: upstream c1 would run", "c3": "cache"}
    out, last = run("--output", str(tmp_path / "out.ipynb"))
    assert out.returncode == 1 and "FileNotFoundError" in out.stderr
    assert last["c0"] == "run: data.csv is gone"
    written = nbformat.read(str(tmp_path / "out.ipynb"), as_version=4)
    assert written.cells[0].metadata["tessel"] == {"source": "run: data.csv is gone"}


def test_a_file_read_on_a_celery_worker_is_tracked(tmp_path, remote):
    data = tmp_path / "data.txt"
    data.write_text("1")
    nb = tmp_path / "nb.ipynb"
    notebook(nb, [f"value = int(open({str(data)!r}).read())", "value + 1"])
    args = ["run", str(nb), "--cache-dir", str(tmp_path / "cache"), "--remote", remote[0],
            "--backend", remote[1]]
    assert cli(*args).returncode == 0
    data.write_text("2")
    assert sources(cli(*args).stdout) == {"c0": "run: data.txt changed",
                                          "c1": "run: input value changed (from c0)"}


def test_prune_keeps_what_a_running_run_holds(tmp_path):
    nb = tmp_path / "nb.ipynb"
    notebook(nb, ["x = 1", "import time\ntime.sleep(4)\ny = x + 1"])
    cache = str(tmp_path / "cache")
    assert cli("run", str(nb), "--cache-dir", cache).returncode == 0
    assert cli("cache", "clear", cache, "--component", "c1").returncode == 0
    running = subprocess.Popen([sys.executable, "-m", "tessel_core", "run", str(nb),
                                "--cache-dir", cache], stdout=subprocess.PIPE, text=True)
    try:
        time.sleep(2.5)  # c0 read from the cache, c1 running
        pruned = subprocess.run(  # named relative to where the command runs
            [sys.executable, "-m", "tessel_core", "cache", "prune", "cache", "--max-size", "0"],
            capture_output=True, text=True, timeout=300, cwd=tmp_path)
        assert pruned.returncode == 0 and pruned.stdout.strip() == "freed 0 B"
        out, _ = running.communicate(timeout=60)
    finally:
        running.kill()
    assert running.returncode == 0 and sources(out)["c0"] == "cache"
    listed = cli("cache", "list", cache).stdout
    assert re.search(r"^c0 +1 ", listed, re.M) and re.search(r"^c1 +1 ", listed, re.M)
    pruned = cli("cache", "prune", cache, "--keep", "0")
    assert sorted(re.findall(r"^c\d  ", pruned.stdout, re.M)) == ["c0  ", "c1  "]
    assert pruned.stdout.splitlines()[-1].startswith("freed ")
    assert cli("cache", "prune", cache, "--max-size", "12Q").returncode == 2


@pytest.mark.parametrize("name, listed", [("fakepkg", "top_level.txt"),
                                          ("fake-dist", "top_level.txt"), ("fake-dist", "RECORD")])
def test_a_distribution_installed_later_is_seen(tmp_path, monkeypatch, name, listed):
    from tessel_core.cache.manifest import Stamps

    site = tmp_path / "site"
    site.mkdir()
    monkeypatch.syspath_prepend(str(site))
    assert Stamps().module("fakepkg", None)["hash"] is None
    fake_distribution(site, "3.1", name, listed)
    os.utime(site, ns=(1, 1))  # changed, even within one tick of the file system's clock
    assert Stamps().module("fakepkg", None) == {"version": "3.1", "distribution": name}


def edit_notebook(tmp_path):
    notebook(tmp_path / "nb.ipynb", RECORDED[:2] + ["y = x + 2\nprint(y)"])


RECORDED = ["from helpers import twice\nimport sys\nx = twice(int(open('data.txt').read()))\n"
            "print('out', x)\nprint('err', file=sys.stderr)", "x * 21", "y = x + 1\nprint(y)"]
CHANGES = {
    "data": (lambda p: (p / "data.txt").write_text("3"), "c0", "run: data.txt changed"),
    "module": (lambda p: (p / "helpers.py").write_text("def twice(v):\n    return v + v\n"),
               "c0", "run: helpers.py changed"),
    "code": (edit_notebook, "c2", "run: code changed"),
    "entry": (lambda p: cli("cache", "clear", str(p / "cache"), "--component", "c1"),
              "c1", "run: new"),
    "damaged record": (lambda p: [r.write_text(json.dumps({
        "format": 1, "printed": [], "source": {"path": str(p / "nb.ipynb"), "stamp": [1]}}))
        for r in (p / "cache" / ".runs").iterdir()], "c0", "cache"),
}


@pytest.mark.parametrize("change", CHANGES)
def test_a_rerun_from_the_record_of_a_cached_run_is_that_run_until_a_change(tmp_path, change):
    (tmp_path / "data.txt").write_text("2")
    (tmp_path / "helpers.py").write_text("def twice(v):\n    return 2 * v\n")
    notebook(tmp_path / "nb.ipynb", RECORDED)
    args = ("run", str(tmp_path / "nb.ipynb"), "--cache-dir", str(tmp_path / "cache"))
    assert cli(*args).returncode == 0
    cached = cli(*args)  # served wholly from the cache: recorded
    [record] = (tmp_path / "cache" / ".runs").iterdir()
    made = record.stat().st_ino
    again = cli(*args)
    assert (again.returncode, again.stdout, again.stderr) == (0, cached.stdout, cached.stderr)
    assert "out 4" in again.stdout and "=> 84" in again.stdout and again.stderr == "err\n"
    assert record.stat().st_ino == made  # answered from the record, not run and recorded anew
    edit, component, why = CHANGES[change]
    edit(tmp_path)
    assert sources(cli(*args).stdout)[component] == why


def test_a_notebook_run_expands_a_cache_dir_under_home(tmp_path):
    (tmp_path / "home").mkdir()
    notebook(tmp_path / "nb.ipynb", ["x = 1"])
    out = cli("run", str(tmp_path / "nb.ipynb"), "--cache-dir=~/cache",
              env={**os.environ, "HOME": str(tmp_path / "home")})
    assert out.returncode == 0 and (tmp_path / "home" / "cache" / "c0").is_dir()
