"""Descriptors that a forked worker passes to the process that forked it.

A pool worker answers with values whose large buffers lie in its own sealed
shared-memory files. Sending their bytes through the result pipe copied a
100 MB frame three times; instead the worker sends the file's descriptor
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
from typing import Dict, Optional

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
