"""Large values are handed on without copies, and still exactly as a plain
notebook would see them: equal after every path a value takes, and a change
in place seen downstream only."""

import glob
import os
import subprocess
import sys

import nbformat
import pytest

from test_cli import cli, sources

# Builds the same values in any process: every kind the out-of-band path takes.
MAKE = """
import numpy as np, pandas as pd
def make():
    rng = np.random.default_rng(7)
    big = rng.random((300_000, 4))                     # 9.6 MB: shared memory
    frame = pd.DataFrame({"x": rng.random(200_000), "i": np.arange(200_000, dtype=np.int32),
                          "c": pd.Categorical(rng.choice(list("abc"), 200_000)),
                          "s": rng.choice(["u", "v"], 200_000).astype(object),
                          "t": pd.date_range("2020-01-01", periods=200_000, freq="s")})
    return {"f8": big, "fortran": np.asfortranarray(big[:, :3]), "strided": big[::3, 1],
            "i2": np.arange(100_000, dtype=np.int16), "b": rng.random(200_000) > 0.5,
            "c16": rng.random(70_000) + 1j, "frame": frame, "raw": bytes(2 << 20),
            "ba": bytearray(b"q" * 100_000), "nested": [{"k": (big[:10], np.zeros(5))}],
            "small": np.arange(7.0)}
"""
SAME = """
def same(a, b):
    if isinstance(a, pd.DataFrame):
        return a.equals(b) and list(a.dtypes) == list(b.dtypes)
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a, b) and \\
            (not a.flags.forc or a.flags.f_contiguous == b.flags.f_contiguous) and b.flags.writeable
    if isinstance(a, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(map(same, a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return type(a) is type(b) and a == b
"""
CHECK = """
want = make()
print("equal:", sorted(k for k in want if not same(want[k], values[k])))
"""


def notebook(path, cells, tags=None):
    nb = nbformat.v4.new_notebook()
    nb.cells = [nbformat.v4.new_code_cell(code) for code in cells]
    for i, cell in enumerate(nb.cells):
        cell.id = f"c{i}"
        cell.metadata["tags"] = (tags or {}).get(i, [])
    nbformat.write(nb, str(path))


@pytest.mark.parametrize("engine", [[], ["--jobs", "2", "--pool"], ["cache"]],
                         ids=["memory", "pool", "disk"])
def test_every_kind_comes_back_equal(tmp_path, engine):
    nb = tmp_path / "nb.ipynb"
    notebook(nb, [MAKE + SAME, "values = make()", CHECK], tags={2: ["no-cache"]})
    args = ["run", str(nb)]
    if engine == ["cache"]:
        args += ["--cache-dir", str(tmp_path / "cache")]
        assert cli(*args).returncode == 0
    out = cli(*args, *([] if engine == ["cache"] else engine))
    assert out.returncode == 0, out.stderr
    assert "equal: []" in out.stdout, out.stdout
    if engine == ["cache"]:
        assert sources(out.stdout)["c1"] == "cache"
        # written the new way, it reads back with a plain disk cache in another process
        entry = glob.glob(str(tmp_path / "cache" / "c1" / "*"))[0]
        code = (MAKE + SAME + "from tessel_core.cache import TesselDiskCache\n"
                f"got = TesselDiskCache(cache_dir={entry!r}).non_module_outputs['values']\n"
                "import cloudpickle\nprint(same(make(), cloudpickle.loads(got)))")
        read = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
        assert read.stdout.strip() == "True", read.stderr
        assert not glob.glob(str(tmp_path / "cache" / "**" / "*transfer*"), recursive=True)


def test_the_store_keeps_packed_values(tmp_path):
    from tessel_core.common.packed import pack
    from tessel_core.executors.component_executors.store import materialize, offload
    import cloudpickle

    namespace = {}
    exec(MAKE + SAME, namespace)
    values = namespace["make"]()
    blob = offload(pack(values), str(tmp_path), threshold=1)
    assert isinstance(blob, bytes) and len(blob) < 4096  # a reference
    assert namespace["same"](values, cloudpickle.loads(materialize(blob)))


@pytest.mark.parametrize("size", [10, 2_000_000], ids=["small", "mapped"])
def test_a_change_in_place_is_seen_downstream_only(size):
    from IPython.core.interactiveshell import InteractiveShell
    from tessel_core.misc.models import TesselDagModel
    from tessel_core.pipeline import TesselDagBase
    from tessel_core.pipeline.inputs import execute_component

    codes = {"a": f"import numpy as np\narr = np.zeros({size})",
             "b": "before = float(arr[0])\narr[0] = 99.0",  # changes its input in place
             "c": "float(arr[0])",  # sibling
             "d": "float(arr[0])"}  # descendant of b
    dag = TesselDagBase(graph=TesselDagModel(
        nodes=[{"id": k, "name": k, "code": v} for k, v in codes.items()],
        edges=[{"parent": "a", "child": "b"}, {"parent": "a", "child": "c"},
               {"parent": "b", "child": "d"}]))
    shell = InteractiveShell.instance()
    seen = {k: execute_component(dag, k, ipython_shell=shell, send_to_front=False)
            for k in ["a", "b", "c", "d"]}
    assert (seen["c"], seen["d"]) == (0.0, 99.0)
    execute_component(dag, "b", ipython_shell=shell, send_to_front=False)
    assert dag.nodes["b"].non_module_outputs["before"] == 0.0  # its second run
    assert dag.nodes["a"].non_module_outputs["arr"][0] == 0.0
    assert execute_component(dag, "c", ipython_shell=shell, send_to_front=False) == 0.0


def _edit_in_worker(blob):
    from tessel_core.common.packed import changed, load_input

    maps = []
    value, kept = load_input(blob, maps)
    value[0] = 5.0
    return changed(value, kept, maps)


def test_a_pool_worker_maps_what_the_parent_holds_and_sends_back_what_changed():
    import multiprocessing
    import pickle

    import numpy as np
    from tessel_core.common.packed import load, pack

    packed = pack(np.zeros(2_000_000))
    assert len(pickle.dumps(packed)) < 4096  # a reference, not 16 MB
    with multiprocessing.Pool(1) as pool:
        edited = pool.apply(_edit_in_worker, (packed,))
    assert edited.segments[0].storage is packed.segments[0].storage
    assert len(edited.segments[0].patches) == 1  # one page came back
    assert (load(edited)[0], load(packed)[0]) == (5.0, 0.0)


FORKED_WORKER = """
import multiprocessing, sys
import numpy as np
from multiprocessing.reduction import ForkingPickler
from tessel_core.common import passing
from tessel_core.common.packed import Deferred, load, pack

def made(n):
    value = pack(np.arange(n, dtype=float))
    return len(ForkingPickler.dumps(value)), value

if __name__ == "__main__":
    passing.WAIT = 0.5
    if sys.argv[1] == "descriptor":
        passing.open_channel()
    # the worker ends once it has answered: what it passed must outlive it
    with multiprocessing.get_context("fork").Pool(1, maxtasksperchild=1) as pool:
        size, value = pool.apply(made, (2_000_000,))
    assert (load(value)[-1], len(load(value))) == (1_999_999.0, 2_000_000)
    lost = passing.received(b"head", ((bytes(passing.TOKEN), 0, 8, ()),))  # never sent
    assert isinstance(lost, Deferred)
    try:
        lost.resolve()
    except LookupError as err:
        assert "another process sent is gone" in str(err)
    else:
        raise AssertionError("a value nobody sent was read")
    print(size)
"""


@pytest.mark.parametrize("channel", ["descriptor", "bytes"])
def test_what_a_forked_worker_made_comes_back_whole(tmp_path, channel):
    # in a process of its own: forking this one would fork its test services' clients
    script = tmp_path / "forked.py"
    script.write_text(FORKED_WORKER)
    out = subprocess.run([sys.executable, str(script), channel], capture_output=True,
                         text=True, timeout=120)
    assert out.returncode == 0, out.stderr[-2000:]
    assert (int(out.stdout) < 4096) == (channel == "descriptor")


def test_a_cached_rerun_reads_no_value_it_does_not_need(tmp_path):
    nb = tmp_path / "nb.ipynb"
    notebook(nb, ["import numpy as np\narr = np.arange(300_000.0)", "total = float(arr.sum())"])
    args = ["run", str(nb), "--cache-dir", str(tmp_path / "cache")]
    assert cli(*args).returncode == 0
    for value in glob.glob(str(tmp_path / "cache" / "c0" / "**" / "*.val"), recursive=True):
        size = os.path.getsize(value)
        with open(value, "wb") as f:  # unreadable, if anything read it
            f.write(b"\0" * size)
    out = cli(*args)
    assert out.returncode == 0 and sources(out.stdout) == {"c0": "cache", "c1": "cache"}, \
        out.stdout


def test_a_killed_pool_worker_leaves_nothing_behind(tmp_path):
    nb = tmp_path / "nb.ipynb"
    notebook(nb, [MAKE, "values = make()",
                  "import os, signal\nlen(values)\nos.kill(os.getpid(), signal.SIGKILL)"])
    shm_before = set(os.listdir("/dev/shm"))
    out = cli("run", str(nb), "--jobs", "2", "--pool")
    assert out.returncode == 1 and sources(out.stdout)["c1"] == "run", out.stdout
    assert set(os.listdir("/dev/shm")) <= shm_before
    assert os.listdir(tmp_path) == ["nb.ipynb"]


def test_a_chain_of_edits_shares_pages_on_disk(tmp_path):
    nb = tmp_path / "nb.ipynb"
    edits = [f"arr[{i * 100_000}] = -{i}.0" for i in range(1, 4)]
    notebook(nb, ["import numpy as np\narr = np.arange(1_000_000.0)", *edits,
                  "print('sum', arr.sum())"])
    cache = tmp_path / "cache"
    args = ["run", str(nb), "--cache-dir", str(cache)]
    assert cli(*args).returncode == 0
    size = sum(os.path.getsize(f) for f in glob.glob(f"{cache}/**/*.val", recursive=True))
    assert size < 1.5 * 8_000_000  # the array once, not once per edit
    # the last edit's entry reads back whole with a plain disk cache in another process
    entry = glob.glob(str(cache / "c3" / "*"))[0]
    code = ("from tessel_core.cache import TesselDiskCache\nimport cloudpickle\n"
            f"arr = cloudpickle.loads(TesselDiskCache(cache_dir={entry!r})"
            ".non_module_outputs['arr'])\nprint(arr[[1, 100_000, 200_000, 300_000]].tolist())")
    read = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert read.stdout.strip() == "[1.0, -1.0, -2.0, -3.0]", read.stderr
    notebook(nb, ["import numpy as np\narr = np.arange(1_000_000.0)", *edits,
                  "print('sum', arr.sum() + 0)"])  # the last cell runs on what c3 left
    out = cli(*args)
    assert "sum 499998899994.0" in out.stdout and sources(out.stdout)["c3"] == "cache"
    cleared = cli("cache", "clear", str(cache), "--component", "c0")
    assert sorted(line.split()[0] for line in cleared.stdout.splitlines()[:-1]) == \
        ["c0", "c1", "c2", "c3"]  # the entries that refer to c0's pages go with it
