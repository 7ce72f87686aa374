"""How a packed value travels to another process of this machine.

A region of a storage goes by reference (the receiver maps it through
/proc/PID/fd of the process that made it), small buffers as bytes. A pool
worker answers with values whose large buffers lie in its own sealed
shared-memory files. Rather than their bytes through the result pipe (a
100 MB frame copied three times), a forked worker sends the file's descriptor
over a datagram socket pair that the parent opened before forking, under a
random token, and the pickle of the value carries the token. The kernel
keeps a descriptor in flight alive, so the memory outlives a worker that
ends as soon as it has answered; nothing is named in the file system, and
only processes forked from the owner hold the socket.

Thread contract: `send` from any thread of a worker; `take` from any thread
of the owner (receiving is under a lock).
"""

import os
import socket
import threading
from typing import Callable, Dict, List, Optional, Tuple, Union

from tessel_core.common.packed import (
    LARGE,
    PAGE,
    SHARED_MEMORY,
    Blob,
    Deferred,
    Origin,
    PackedValue,
    Region,
    Segment,
    Storage,
    segment_bytes,
)

TOKEN = 16  # bytes
WAIT = 10.0  # seconds: a descriptor is sent before the pickle that names it


class Channel:
    def __init__(self) -> None:
        self.owner = os.getpid()
        self.ours, self.theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.ours.settimeout(WAIT)
        self.lock = threading.Lock()
        self.arrived: Dict[bytes, int] = {}  # token -> descriptor not taken yet

    def send(self, fd: int) -> bytes:
        """In a worker: pass `fd` to the owner; the token that names it."""
        token = os.urandom(TOKEN)
        socket.send_fds(self.theirs, [token], [fd])
        return token

    def take(self, token: bytes) -> int:
        """In the owner: the descriptor sent under `token`, now ours."""
        if self.owner != os.getpid():
            raise LookupError("a descriptor was passed to another process")
        with self.lock:
            while token not in self.arrived:
                self.receive()
            return self.arrived.pop(token)

    def receive(self) -> None:
        data, fds, _, _ = socket.recv_fds(self.ours, TOKEN, 1)
        for fd in fds:
            os.set_inheritable(fd, False)
        if len(data) == TOKEN and len(fds) == 1:
            self.arrived[data] = fds[0]
        else:  # not one of ours: nothing to keep
            for fd in fds:
                os.close(fd)


_channel: Optional[Channel] = None  # Thread contract: set before workers are forked


def open_channel() -> None:
    """Open this process's channel (once), before forking workers."""
    global _channel
    if _channel is None or _channel.owner != os.getpid():
        _channel = Channel()


def to_parent() -> Optional[Channel]:
    """The channel the process that forked this one opened, if it did."""
    import multiprocessing

    parent = multiprocessing.parent_process()
    if _channel is not None and parent is not None and _channel.owner == parent.pid:
        return _channel
    return None


def take(token: bytes) -> int:
    if _channel is None:
        raise LookupError("no descriptor was passed to this process")
    return _channel.take(token)


# ---- a packed value on the wire ----------------------------------------------------

Wire = Union[bytes, Tuple[Union[Origin, bytes], int, int, Tuple[Tuple[int, bytes], ...]]]


def wire(segment: Segment, passed: Optional[Dict[Storage, bytes]] = None) -> Wire:
    """A segment as it travels to another process: a region by reference,
    but one of a worker's own storage (gone once it has answered) as its
    bytes, or, given `passed` (storage -> token, for multiprocessing's
    pickler) and a channel to the parent, as a descriptor passed to it."""
    if not isinstance(segment, Region):
        return segment
    import multiprocessing

    storage = segment.storage
    if storage.origin[0] == os.getpid() and multiprocessing.parent_process() is not None:
        channel = to_parent() if passed is not None else None
        if channel is None or passed is None:
            return segment_bytes(segment)
        if storage not in passed:
            passed[storage] = channel.send(storage.fd)
        return (passed[storage], segment.offset, segment.length, segment.patches)
    return (storage.origin, segment.offset, segment.length, segment.patches)


def to_process(value: PackedValue):
    """How multiprocessing pickles a packed value (a pool's tasks and
    results): as `PackedValue.__reduce__` does, except that a forked
    worker's own storage goes to its parent as a descriptor, not as bytes
    through the pipe."""
    passed: Dict[Storage, bytes] = {}
    return (rebuilt, (value.head, tuple(wire(s, passed) for s in value.segments)))


def rebuilt(head: bytes, wires: Tuple[Wire, ...]) -> Blob:
    """A packed value from another process: regions of storages it shares
    are mapped from there; large buffers it sent go to a storage here (they
    are sent once, and mapped by whoever reads them next). Never raises: it
    runs in a pool's result thread, which would stop for good; a value whose
    sender is gone fails when it is used."""
    segments: List[Segment] = []
    large = [i for i, w in enumerate(wires) if isinstance(w, bytes) and len(w) >= LARGE]
    taken: Dict[bytes, Storage] = {}  # token -> the storage passed under it
    try:
        for w in wires:
            if isinstance(w, bytes):
                segments.append(w)
                continue
            where, offset, length, patches = w
            if isinstance(where, bytes):
                if where not in taken:
                    taken[where] = Storage.taken(take(where))
                storage = taken[where]
            else:
                storage = Storage.of(where)
            segments.append(Region(storage, offset, length, tuple(patches)))
    except Exception as err:
        return Deferred(gone(err), f"gone:{os.getpid()}:{id(err)}")
    if large and SHARED_MEMORY:
        storage, offset = Storage([memoryview(wires[i]) for i in large]), 0  # type: ignore
        for i in large:
            size = len(wires[i])
            segments[i] = Region(storage, offset, size, ())
            offset += -(-size // PAGE) * PAGE
    return PackedValue(head, tuple(segments))


def gone(err: Exception) -> Callable[[], bytes]:
    from tessel_core.common.text import describe

    text = f"a value another process sent is gone ({type(err).__name__}: {describe(err)})"

    def read() -> bytes:
        raise LookupError(text)
    return read


def _register() -> None:
    from multiprocessing.reduction import ForkingPickler

    ForkingPickler.register(PackedValue, to_process)


_register()
