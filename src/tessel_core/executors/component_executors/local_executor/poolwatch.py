"""Notice a process-pool worker that dies in the middle of a component's run.

``multiprocessing.pool.Pool`` replaces a worker that exits (``os._exit`` in a
cell, the OOM killer) but never completes the task it was running: the
``ApplyResult`` would never be ready and the component would stay RUNNING.
The executor notes its worker's pid in a marker file when the run starts; a
small watcher thread per run checks, a few times a second and only while the
run is pending, that this worker is still one of the pool's live processes.
When it is gone (or the pool was terminated), the result is completed with an
error, which runs the component's error callback (status FAILED, with the
record) and makes ``get()`` raise instead of waiting forever.
"""

import atexit
import multiprocessing.pool
import os
import sys
import tempfile
import threading
import time
import uuid
from typing import Set

POLL_SECONDS = 0.2
# A worker that exits normally right after its last task (maxtasksperchild)
# has already sent its result; give the pool's result thread this long to
# deliver it before the run is declared lost.
GRACE_SECONDS = 2.0


class PoolWorkerLost(RuntimeError):
    """The pool worker that ran a component ended before the run finished."""


def _watchable(pool):
    return (isinstance(pool, multiprocessing.pool.Pool)
            and not isinstance(pool, multiprocessing.pool.ThreadPool))


# Markers of runs still watched. A watcher removes its marker when the run
# ends; one interrupted with the process (Ctrl-C ends the daemon watchers
# where they stand) is removed at exit. Guarded by _markers_lock: watcher
# threads and the main thread change it.
_markers: Set[str] = set()
_markers_lock = threading.Lock()


def new_marker(pool):
    """A fresh marker path for a run in `pool`, or None when it is not watched."""
    if not _watchable(pool):
        return None
    marker = os.path.join(tempfile.gettempdir(), f"tessel-run-{uuid.uuid4().hex}.pid")
    with _markers_lock:
        _markers.add(marker)
    return marker


def _remove_marker(marker):
    with _markers_lock:
        _markers.discard(marker)
    try:
        os.remove(marker)
    except OSError:
        pass


@atexit.register
def _remove_markers_left():
    with _markers_lock:
        left = list(_markers)
    for marker in left:
        _remove_marker(marker)


def note_worker(marker):
    """Called by the executor in the worker as the run starts."""
    if not marker:
        return
    try:
        with open(marker, "w") as f:
            f.write(str(os.getpid()))
    except OSError:
        pass  # without the note the run is just not watched


def _read_pid(marker):
    try:
        with open(marker) as f:
            return int(f.read() or 0) or None
    except (OSError, ValueError):
        return None


def _live_pids():
    # A pool's workers are children of the process that made the pool: the
    # live ones are among this process's live children.
    return {p.pid for p in multiprocessing.active_children()}


def _pool_terminated(pool):
    # Pool keeps no public state: its `_state` is the only record of terminate().
    return getattr(pool, "_state", None) == multiprocessing.pool.TERMINATE


def _why_lost(pool, pid):
    """Why the run cannot finish any more, or None while it still can."""
    if _pool_terminated(pool):
        return "the process pool was terminated before the run finished"
    if pid is not None and pid not in _live_pids():
        return f"the pool worker (pid {pid}) running it ended before the run finished"
    return None


def _fail(result, runlet, why):
    if result.ready():
        return
    name = getattr(runlet, "name", None)
    err = PoolWorkerLost(f"component '{name}': {why}")
    try:
        # ApplyResult offers no public way to complete it; `_set` is what the
        # pool's own result thread calls (runs the error callback, wakes get()).
        result._set(0, (False, err))
    except KeyError:
        pass  # the real result arrived at the same moment


def _watch(pool, result, marker, runlet):
    # Thread contract: runs in its own daemon thread, one per watched run.
    pid = None
    lost_since = None
    try:
        while not result.ready() and not sys.is_finalizing():
            if pid is None:
                pid = _read_pid(marker)
            why = _why_lost(pool, pid)
            if why is None:
                lost_since = None
            elif lost_since is None:
                lost_since = time.monotonic()
            elif time.monotonic() - lost_since >= GRACE_SECONDS:
                _fail(result, runlet, why)
                return
            result.wait(POLL_SECONDS)
    finally:
        _remove_marker(marker)


def watch(pool, result, marker, runlet):
    """Watch `result` of a run in `pool` until it is ready (or lost)."""
    if marker is None:
        return
    threading.Thread(target=_watch, args=(pool, result, marker, runlet),
                     name="TesselPoolWatch", daemon=True).start()
