"""The disk-cache writer with real processes."""

import os
import signal
import socket
import subprocess
import sys
import threading
import time

import cloudpickle
import pytest

from tessel_core.cache import TesselDiskCache
from tessel_core.cache.diskcache import TRANSFER_PREFIX, read_record
from tessel_core.executors.diskcache_writer import TesselDiskcacheWriter
from tessel_core.executors.diskcache_writer.queue import TesselDiskcacheWriterQueue
from tessel_core.misc.models import (
    TesselCacheModel,
    TesselCapturedModel,
    TesselDiskCacheCancelModel,
    TesselDiskCacheTodoModel,
)


def todo(directory, value, **extra):
    result = TesselCacheModel(non_module_outputs={"v": cloudpickle.dumps(value)},
                              last_output=cloudpickle.dumps(value),
                              captured=[TesselCapturedModel(type="stream", text=str(value))])
    return TesselDiskCacheTodoModel(component_id=f"c{value}", cache_dir=str(directory),
                                    result=result, **extra)


def wait_messages(writer, count, timeout=60):
    got, deadline = [], time.time() + timeout
    while len(got) < count and time.time() < deadline:
        got += writer.get_messages()
        time.sleep(0.02)
    return got


@pytest.fixture
def writer():
    w = TesselDiskcacheWriter("test")
    w.open()
    w.start()
    yield w
    w.close()
    assert w._process is None


def test_states_before_start():
    w = TesselDiskcacheWriter("s")
    assert w.id == "s" and w.is_alive() is False
    with pytest.raises(RuntimeError, match="^TesselDiskcacheWriter is not open.$"):
        w.start()
    with pytest.raises(RuntimeError, match="^TesselDiskcacheWriter is not alive.$"):
        w.get_messages()
    w.close()
    w.close()
    w.open()
    queue, process = w._queue, w._process
    w.open()
    assert w._queue is queue and w._process is process
    assert w.is_alive() is False
    with pytest.raises(RuntimeError, match="^TesselDiskcacheWriter is not alive.$"):
        w.put_task(todo("/tmp/x", 1))
    w.close()  # opened, never started: nothing to join
    assert w._process is None and w._queue is None
    w.open(daemon=False)
    w.__del__()
    with pytest.raises(TypeError, match="Argument 'identifier' has incorrect type"):
        TesselDiskcacheWriter(5)


def test_running_writer_process(writer):
    assert writer.is_alive()
    assert writer._process.name == "TesselDiskcacheWriter-test" and writer._process.daemon
    assert writer.get_messages() == []


READ = ("import sys, cloudpickle\nfrom tessel_core.cache import TesselDiskCache\n"
        "c = TesselDiskCache(cache_dir=sys.argv[1])\n"
        "print(cloudpickle.loads(c.last_output), c.captured[0].text)\n")


def test_tasks_are_written_and_readable_elsewhere(writer, tmp_path):
    task = todo(tmp_path / "one", 41)
    assert writer.put_task(task) is True
    [done] = wait_messages(writer, 1)
    assert done.successful and done.task_id == task.task_id and done.component_id == "c41"
    out = subprocess.run([sys.executable, "-c", READ, str(tmp_path / "one")],
                         capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["41", "41"]


def transfer_files(root):
    return [f for _, _, files in os.walk(root) for f in files if f.startswith(TRANSFER_PREFIX)]


def test_cancel_a_pending_task(writer, tmp_path):
    big = todo(tmp_path / "big", b"x" * 30_000_000)
    target = todo(tmp_path / "target", b"t" * 2_000_000)
    writer.put_task(big)
    writer.put_task(target)
    assert writer.cancel_task(TesselDiskCacheCancelModel(task_id=target.task_id))
    messages = {m.task_id: m for m in wait_messages(writer, 2)}
    assert messages[big.task_id].successful
    assert messages[target.task_id].cancelled and not messages[target.task_id].successful
    assert transfer_files(tmp_path) == []


@pytest.mark.parametrize("entry", ["last_output", "non_module_outputs"])
def test_large_entries_are_stored_as_a_direct_write_stores_them(writer, tmp_path, entry):
    blob = b"\x00\x01" * 3_000_000
    value = blob if entry == "last_output" else {"a": blob, "b": b"small"}
    result = TesselCacheModel(**{entry: value})
    writer.put_task(TesselDiskCacheTodoModel(component_id="c", cache_dir=str(tmp_path / "w"),
                                             result=result))
    assert wait_messages(writer, 1)[0].successful
    direct = TesselDiskCache(cache_dir=str(tmp_path / "d"))
    setattr(direct, entry, value)
    through = TesselDiskCache(cache_dir=str(tmp_path / "w"))
    assert getattr(through, entry) == value
    modes = "SELECT mode FROM Cache WHERE key = ?"
    assert (through._cache._sql(modes, (entry,)).fetchall()
            == direct._cache._sql(modes, (entry,)).fetchall())
    through.close()
    direct.close()
    assert transfer_files(tmp_path) == []


@pytest.mark.parametrize("packed", [False, True], ids=["bytes", "packed"])
@pytest.mark.parametrize("kill_first", [True, False], ids=["dead-before-put", "mid-transfer"])
def test_a_killed_worker_leaves_no_transfer_file(tmp_path, kill_first, packed):
    import numpy as np
    from tessel_core.common.packed import pack

    shm_before = set(os.listdir("/dev/shm"))
    w = TesselDiskcacheWriter("killed-transfer")
    w.open()
    w.start()
    value = pack(np.ones(25_000_000)) if packed else b"k" * 200_000_000
    task = TesselDiskCacheTodoModel(component_id="c", cache_dir=str(tmp_path),
                                    result=TesselCacheModel(last_output=value))
    if kill_first:
        os.kill(w._process.pid, signal.SIGKILL)
        w._process.join(10)
        w._queue.put("todo", task)
        w._queue.flush(timeout=60)
    else:
        w.put_task(task)
        os.kill(w._process.pid, signal.SIGKILL)
    w.close()
    time.sleep(0.5)  # a sender thread still writing sees the queue closed
    assert transfer_files(tmp_path) == []
    assert set(os.listdir("/dev/shm")) <= shm_before


def test_failures_are_reported_and_the_worker_goes_on(writer, tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("")
    bad = todo(blocker / "sub", 1)
    good = todo(tmp_path / "good", 2)
    writer.put_task(bad)
    writer.put_task(good)
    first, second = wait_messages(writer, 2)
    assert (first.task_id, first.successful) == (bad.task_id, False)
    assert "Error" in first.message
    assert (second.task_id, second.successful) == (good.task_id, True)


class UnstorableInWorker:
    """Pickles fine here; arrives in the worker as a lock, which cannot be stored."""

    def __reduce__(self):
        return (threading.Lock, ())


def test_a_task_is_written_whole_or_not_at_all(writer, tmp_path):
    directory = tmp_path / "cache"
    writer.put_task(todo(directory, 1))
    assert wait_messages(writer, 1)[0].successful
    broken = TesselDiskCacheTodoModel.construct(
        task_id="broken", component_id="c", cache_dir=str(directory),
        result=TesselCacheModel.construct(
            module_statements={}, non_module_outputs={"v": cloudpickle.dumps(2)},
            last_output=cloudpickle.dumps(2), captured=None,
            exception_msg=[UnstorableInWorker()], outputs_summary={}))
    writer.put_task(broken)
    [done] = wait_messages(writer, 1)
    assert not done.successful
    cache = TesselDiskCache(cache_dir=str(directory))
    assert cloudpickle.loads(cache.last_output) == 1  # the earlier result, untouched
    cache.close()


def test_unsendable_task_is_refused_at_once(writer):
    task = TesselDiskCacheTodoModel.construct(task_id="t", component_id="c", cache_dir="/tmp/n",
                                              result=lambda: None)
    assert writer.put_task(task) is False
    assert writer.is_alive()


def test_many_tasks_all_arrive(writer, tmp_path):
    tasks = [todo(tmp_path / f"d{i}", i) for i in range(40)]
    for t in tasks:
        assert writer.put_task(t)
    messages = wait_messages(writer, 40)
    assert [m.task_id for m in messages] == [t.task_id for t in tasks]
    assert all(m.successful for m in messages)


def test_killed_worker(tmp_path):
    w = TesselDiskcacheWriter("killed")
    w.open()
    w.start()
    os.kill(w._process.pid, signal.SIGKILL)
    w._process.join(10)
    assert w.is_alive() is False
    for call in (w.get_messages, lambda: w.put_task(todo(tmp_path, 1)),
                 lambda: w.cancel_task(TesselDiskCacheCancelModel(task_id="x"))):
        with pytest.raises(RuntimeError, match="^TesselDiskcacheWriter is not alive.$"):
            call()
    w.close()
    w.open()  # a closed writer can be opened and started again
    w.start()
    assert w.is_alive()
    w.close()


def test_queue_channels():
    q = TesselDiskcacheWriterQueue()
    assert bool(q) is True
    q.open()
    assert q.empty(queue_type="done")
    q.put(queue_type="done", obj=1)
    assert not q.empty(queue_type="done") and q.get(queue_type="done") == 1
    with pytest.raises(ValueError, match="unknown queue_type"):
        q.put(queue_type="other", obj=1)
    import queue as queue_module

    with pytest.raises(queue_module.Empty):
        q.get(queue_type="todo", timeout=0.05)
    q.close()


ORPHAN = """
import os
from tessel_core.executors.diskcache_writer import TesselDiskcacheWriter
if __name__ == "__main__":
    w = TesselDiskcacheWriter("orphan")
    w.open(daemon=False)
    w.start()
    print(w._process.pid, flush=True)
    os._exit(0)  # the parent dies without closing anything
"""


def test_worker_ends_when_its_parent_dies(tmp_path):
    script = tmp_path / "orphan.py"
    script.write_text(ORPHAN)
    out = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                         timeout=120, check=True)
    pid = int(out.stdout.split()[0])
    deadline = time.time() + 20
    while time.time() < deadline:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return
        time.sleep(0.1)
    os.kill(pid, signal.SIGKILL)
    pytest.fail("the worker outlived its parent")


CUT_OFF = """
import os, signal
from tessel_core.executors.diskcache_writer import TesselDiskcacheWriter
from tessel_core.misc.models import TesselCacheModel, TesselDiskCacheTodoModel
if __name__ == "__main__":
    w = TesselDiskcacheWriter("cut")
    w.open()
    w.start()
    big = TesselCacheModel(last_output=b"x" * 100_000_000)
    assert w.put_task(TesselDiskCacheTodoModel(component_id="c", cache_dir=%r, result=big))
    os.kill(w._process.pid, signal.SIGKILL)  # the worker dies while the task crosses
    print("exiting", flush=True)
"""


def test_exit_does_not_wait_for_a_dead_worker(tmp_path):
    script = tmp_path / "cut.py"
    script.write_text(CUT_OFF % str(tmp_path / "cache"))
    start = time.time()
    out = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                         timeout=120)
    assert "exiting" in out.stdout and out.returncode == 0, out.stderr
    assert time.time() - start < 60


def test_put_task_returns_before_the_transfer(writer, tmp_path):
    big = TesselCacheModel(last_output=b"y" * 50_000_000)
    task = TesselDiskCacheTodoModel(component_id="c", cache_dir=str(tmp_path / "big"), result=big)
    assert writer.put_task(task)
    writer._queue.flush(timeout=60)
    [done] = wait_messages(writer, 1)
    assert done.successful


def test_interrupting_the_kernel_does_not_kill_the_writer(writer, tmp_path):
    time.sleep(1.0)  # past the worker's start-up
    os.kill(writer._process.pid, signal.SIGINT)
    time.sleep(0.5)
    assert writer.is_alive()
    assert writer.put_task(todo(tmp_path / "after", 5))
    [done] = wait_messages(writer, 1)
    assert done.successful


class BrokenPipe:
    def __init__(self, real):
        self.close = real.close

    def send_bytes(self, data):
        raise BrokenPipeError("pipe closed")


def test_a_failed_transfer_is_reported(writer, tmp_path):
    channel = writer._queue._channels["todo"]
    channel._writer = BrokenPipe(channel._writer)
    task = todo(tmp_path / "lost", 6)
    assert writer.put_task(task)
    [done] = wait_messages(writer, 1)
    assert done.task_id == task.task_id and not done.successful
    assert "BrokenPipeError" in done.message


DISK_FULL = """
import resource, signal, sys
from tessel_core.cache import TesselDiskCache
from tessel_core.cache.diskcache import TRANSFER_PREFIX
from tessel_core.executors.diskcache_writer import TesselDiskcacheWriter
from tessel_core.misc.models import TesselCacheModel, TesselDiskCacheTodoModel
if __name__ == "__main__":
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails with EFBIG
    resource.setrlimit(resource.RLIMIT_FSIZE, (500_000, 500_000))  # inherited by the worker
    w = TesselDiskcacheWriter("full")
    w.open()
    w.start()
    for size in (2_000_000, 100_000):
        result = TesselCacheModel(last_output=b"z" * size)
        w.put_task(TesselDiskCacheTodoModel(component_id="c", cache_dir=sys.argv[1], result=result))
    done = []
    while len(done) < 2:
        done += w.get_messages()
    print([d.successful for d in done])
    w.close()
"""


def test_a_write_that_fails_leaves_no_partial_files(tmp_path):
    script, cache = tmp_path / "full.py", tmp_path / "cache"
    script.write_text(DISK_FULL)
    out = subprocess.run([sys.executable, str(script), str(cache)], capture_output=True,
                         text=True, timeout=120)
    assert out.stdout.strip() == "[False, True]", out.stderr
    values = [f for _, _, files in os.walk(cache) for f in files if f.endswith(".val")]
    assert len(values) == 1  # the second write's, none of the first
    disk = TesselDiskCache(cache_dir=str(cache))
    assert disk.last_output == b"z" * 100_000
    disk.close()


def test_orphans_are_swept_when_a_cache_is_opened(tmp_path):
    disk = TesselDiskCache(cache_dir=str(tmp_path))
    disk.last_output = b"k" * 100_000  # a value file of its own
    orphan = tmp_path / "aa" / "bb" / "orphan.val"
    orphan.parent.mkdir(parents=True)
    orphan.write_bytes(b"left by a killed write")
    os.utime(orphan, (time.time() - 3600, time.time() - 3600))
    gone = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                          capture_output=True, text=True, check=True).stdout.strip()
    transfers = {pid: tmp_path / f"{TRANSFER_PREFIX}{socket.gethostname()}-{pid}-ab12"
                 for pid in (gone, os.getpid())}
    for path in transfers.values():
        path.write_bytes(b"a transfer")
        os.utime(path, (time.time() - 3600, time.time() - 3600))
    disk.close()
    disk = TesselDiskCache(cache_dir=str(tmp_path))
    assert not orphan.exists() and disk.last_output == b"k" * 100_000
    assert not transfers[gone].exists() and transfers[os.getpid()].exists()
    disk.close()


def record(tag):
    blob = cloudpickle.dumps(tag)
    return TesselCacheModel(module_statements={tag: tag}, non_module_outputs={tag: blob},
                            last_output=blob, captured=[TesselCapturedModel(type="stream",
                                                                            text=tag)])


def fields_as_read(directory, how):
    """The record's fields, read in one go or field by field (as a component
    that loaded the cache reads them)."""
    disk = TesselDiskCache(cache_dir=directory)
    try:
        if how == "record":
            return read_record(disk)
        return {name: getattr(disk, name)
                for name in ("module_statements", "non_module_outputs", "last_output")}
    finally:
        disk.close()


@pytest.mark.parametrize("how", ["record", "field by field"])
def test_reads_of_a_record_are_consistent_with_a_writer_at_work(writer, tmp_path, how):
    directory = str(tmp_path / "shared")
    for i in range(200):
        writer.put_task(TesselDiskCacheTodoModel(component_id="c", cache_dir=directory,
                                                 result=record("AB"[i % 2] * 50_000)))
    seen, done = set(), 0
    deadline = time.time() + 120
    while done < 200 and time.time() < deadline:
        try:
            fields = fields_as_read(directory, how)
        except KeyError:
            continue  # nothing written yet
        if not fields["module_statements"]:
            continue  # nothing written yet: the defaults
        tags = set(fields["module_statements"]) | set(fields["non_module_outputs"])
        tags.add(cloudpickle.loads(fields["last_output"]))
        assert len(tags) == 1, "fields of two writes"
        seen |= tags
        done += len(writer.get_messages())
    assert done == 200 and len(seen) == 2
