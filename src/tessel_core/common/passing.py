"""How a packed value travels to another process of this machine.

`PackedValue.__reduce__` (`packed.wire`, `packed.rebuilt`) sends a region of
a storage by reference (the receiver maps it through /proc/PID/fd of the
process that made it), other buffers as bytes. A pool worker answers with values whose large buffers lie in its own sealed
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
import weakref
from typing import Dict, List, Optional, Tuple, Union

from tessel_core.common.packed import (
    Blob,
    PackedValue,
    Region,
    Wire,
    gone,
    rebuilt,
    wire,
)
from tessel_core.common.storage import Storage

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


def storage_of(fd: int) -> Storage:
    """The storage of descriptor `fd`, passed by another process, now ours."""
    storage = Storage.__new__(Storage)
    weakref.finalize(storage, os.close, fd)
    storage.adopt(fd, (os.getpid(), fd, os.fstat(fd).st_ino))
    return storage


def take(token: bytes) -> int:
    if _channel is None:
        raise LookupError("no descriptor was passed to this process")
    return _channel.take(token)


# ---- a packed value through multiprocessing ------------------------------------------

Passed = Tuple[bytes, int, int, Tuple[Tuple[int, bytes], ...]]  # a region under a token


def to_process(value: PackedValue):
    """How multiprocessing pickles a packed value (a pool's tasks and
    results): as `PackedValue.__reduce__` does, except that a forked
    worker's own storage goes to its parent as a descriptor, not as bytes
    through the pipe."""
    channel = to_parent()
    if channel is None:
        return value.__reduce__()
    tokens: Dict[Storage, bytes] = {}
    wires: List[Union[Wire, Passed]] = []
    for segment in value.segments:
        if isinstance(segment, Region) and segment.storage.origin[0] == os.getpid():
            storage = segment.storage
            if storage not in tokens:
                tokens[storage] = channel.send(storage.fd)
            wires.append((tokens[storage], segment.offset, segment.length, segment.patches))
        else:
            wires.append(wire(segment))
    return (received, (value.head, tuple(wires)))


def received(head: bytes, wires: Tuple[Union[Wire, Passed], ...]) -> Blob:
    """`rebuilt`, once the descriptors passed under tokens are taken. Never
    raises (see `rebuilt`)."""
    held: Dict[bytes, Storage] = {}  # alive until the value refers to them
    plain: List[Wire] = []
    try:
        for w in wires:
            if isinstance(w, tuple) and isinstance(w[0], bytes):
                token, offset, length, patches = w
                if token not in held:
                    held[token] = storage_of(take(token))
                plain.append((held[token].origin, offset, length, patches))
            else:
                plain.append(w)
    except Exception as err:
        return gone(err)
    return rebuilt(head, tuple(plain))


def _register() -> None:
    from multiprocessing.reduction import ForkingPickler

    ForkingPickler.register(PackedValue, to_process)


_register()
