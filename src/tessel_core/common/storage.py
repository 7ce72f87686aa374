"""The sealed shared-memory files that hold the large buffers of packed
values, and the storages alive in this process by where they were made."""

import mmap
import os
import weakref
from typing import List, Tuple


PAGE = mmap.PAGESIZE
LARGE = 1 << 20  # bytes: a buffer from this size is stored in shared memory and mapped
SEALS = ("F_SEAL_SHRINK", "F_SEAL_GROW", "F_SEAL_WRITE", "F_SEAL_SEAL")


def _pagemap_available() -> bool:
    try:
        os.close(os.open("/proc/self/pagemap", os.O_RDONLY))
        return hasattr(os, "memfd_create")
    except OSError:
        return False


SHARED_MEMORY = _pagemap_available()  # else large buffers are kept as bytes


Origin = Tuple[int, int, int]  # (pid, fd, inode) of the process that made a storage


class Storage:
    """A sealed shared-memory file of buffers at page-aligned offsets. Its
    pages are never written after it is made; the file closes when no value
    refers to it (a process that ends, however it ends, leaves nothing).

    Another process on the machine opens it through /proc/PID/fd of the
    process that made it (its `origin`), while that process holds it."""

    __slots__ = ("fd", "size", "view", "origin", "__weakref__")

    def __init__(self, buffers: List[memoryview]):
        import fcntl

        offsets, size = [], 0
        for buf in buffers:
            offsets.append(size)
            size += -(-buf.nbytes // PAGE) * PAGE
        fd = os.memfd_create("tessel-value", os.MFD_CLOEXEC | os.MFD_ALLOW_SEALING)
        weakref.finalize(self, os.close, fd)
        os.ftruncate(fd, size)
        for buf, offset in zip(buffers, offsets):
            write_all(fd, buf, offset)
        seals = 0
        for name in SEALS:
            seals |= getattr(fcntl, name, 0)
        fcntl.fcntl(fd, getattr(fcntl, "F_ADD_SEALS", 1033), seals)
        self.adopt(fd, (os.getpid(), fd, os.fstat(fd).st_ino))

    def adopt(self, fd: int, origin: Origin) -> None:
        self.fd, self.origin = fd, origin
        self.size = os.fstat(fd).st_size
        self.view = memoryview(mmap.mmap(fd, self.size, access=mmap.ACCESS_READ))
        _KNOWN[origin] = self

    @classmethod
    def of(cls, origin: Origin) -> "Storage":
        """The storage made at `origin`: this process's own, or opened from
        the process that made it."""
        found = _KNOWN.get(origin)
        if found is not None:
            return found
        pid, fd, inode = origin
        try:
            opened = os.open(f"/proc/{pid}/fd/{fd}", os.O_RDONLY | os.O_CLOEXEC)
        except OSError as err:
            raise LookupError(f"a value shared by process {pid} is gone ({err.strerror})") \
                from None
        storage = cls.__new__(cls)
        weakref.finalize(storage, os.close, opened)
        if os.fstat(opened).st_ino != inode:
            raise LookupError(f"a value shared by process {pid} is gone")
        storage.adopt(opened, origin)
        return storage

    def page(self, index: int) -> memoryview:
        return self.view[index * PAGE:(index + 1) * PAGE]


# Storages alive in this process, by origin. Thread contract: with the GIL.
_KNOWN: "weakref.WeakValueDictionary[Origin, Storage]" = weakref.WeakValueDictionary()


def write_all(fd: int, buf: memoryview, offset: int) -> None:
    done = 0
    while done < buf.nbytes:
        done += os.pwrite(fd, buf[done:], offset + done)
