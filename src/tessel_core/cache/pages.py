"""Pages shared between the entries of a cache directory.

A chain of cells that edit a large value in place leaves one version of it
per cell, each differing from the one before by a few pages. Written whole,
every entry would hold the whole value again. Instead, an entry whose value
lies mostly in a shared-memory storage that an earlier entry of the same run
wrote whole refers to those bytes: its outputs file keeps, for that value, a
call `joined(parts)` where a part is bytes or a reference (entry, offset,
length, hash) into the outputs file of the other entry. Unpickling it gives
the value's bytes, so the entry still reads back with a plain disk cache;
the hash makes a reference to bytes that are no longer there fail instead of
giving other bytes. An entry's manifest names the entries it refers to
("shares"): it is complete only once they are, and removing one of them
removes it too (cache.upkeep).

The entries' databases are read on a connection of our own: opening a disk
cache costs ten times more than the one query a read needs.

Thread contract: a Placements object belongs to the thread that runs the
scheduler; `joined` may run in any thread.
"""

import contextlib
import os
import time
import weakref
from typing import Dict, List, Optional, Tuple

import xxhash

from tessel_core.common.packed import (
    Located,
    PackedValue,
    dict_stream,
    in_band,
    located_pieces,
    resolved,
)

OUTPUTS = "non_module_outputs"  # the disk cache key of an entry's outputs
SHARED_FROM = 1 << 16  # bytes: a shorter range of a storage is written again, not referred to
BLOCK = 1 << 20  # bytes of storage per hash: a storage's blocks are hashed once per run
HASH = 16  # hex digits of an XXH3-64
# entry, offset in its outputs file, length, length of its first block, block hashes
Reference = Tuple[str, int, int, int, str]


def entry_rows(path):
    """key -> (mode, filename, value, size) of a disk cache's entries, read
    in one statement (one consistent state of the cache). None when there is
    no database."""
    import sqlite3

    db = os.path.join(path, "cache.db")
    if not os.path.exists(db):
        return None
    with contextlib.closing(sqlite3.connect(db, timeout=60)) as con:
        rows = con.execute("SELECT key, mode, filename, value, size FROM Cache WHERE raw = 1 "
                           "AND (expire_time IS NULL OR expire_time > ?)",
                           (time.time(),)).fetchall()
    return {row[0]: row[1:] for row in rows}


def value_file_intact(path, row):
    """Whether the file diskcache keeps a value in (if any) is there with the
    size it wrote."""
    _, filename, _, size = row
    if filename is None:
        return True
    try:
        return os.path.getsize(os.path.join(path, filename)) == size
    except OSError:
        return False


def outputs_name(entry):
    """The name of the file holding an entry's outputs, checked whole;
    ValueError if it is not."""
    row = (entry_rows(entry) or {}).get(OUTPUTS)
    if row is None or row[1] is None or not value_file_intact(entry, row):
        raise ValueError(f"the cache entry {entry} that a value shares pages with is gone "
                         "or damaged")
    return row[1]


def outputs_file(entry):
    return os.path.join(entry, outputs_name(entry))


def joined(parts) -> bytes:
    """A value's bytes from its parts: bytes, or references into another
    entry's outputs file (checked against their hashes)."""
    files: Dict[str, str] = {}
    chunks = []
    for part in parts:
        if isinstance(part, bytes):
            chunks.append(part)
            continue
        entry, offset, length, first, hashes = part
        if entry not in files:
            files[entry] = outputs_file(entry)
        with open(files[entry], "rb") as f:
            data = os.pread(f.fileno(), length, offset)
        if len(data) != length or block_hashes(memoryview(data), first) != hashes:
            raise ValueError(f"the pages a value shares with the cache entry {entry} changed")
        chunks.append(data)
    return b"".join(chunks)


def block_hashes(data: memoryview, first: int, known=None) -> str:
    """Hashes of `data` cut after `first` bytes and then every BLOCK bytes;
    `known(i)` gives the hash of whole block i (after the first) if known."""
    cuts = [0] + list(range(min(first, data.nbytes), data.nbytes, BLOCK)) + [data.nbytes]
    hashes = []
    for i, (a, b) in enumerate(zip(cuts, cuts[1:])):
        if b > a:
            whole = b - a == BLOCK and (i > 0 or first == BLOCK)  # an aligned block
            found = known(i, data[a:b]) if known and whole else None
            hashes.append(found or xxhash.xxh3_64_hexdigest(data[a:b]))
    return "".join(hashes)


class SharedPages(PackedValue):
    """A packed value that an entry writes as references to the pages other
    entries hold (`refs`: storage offset -> reference, for the ranges
    referred to)."""

    __slots__ = ("refs",)

    def __init__(self, blob: PackedValue, refs: Dict[Tuple[int, int], Reference]):
        super().__init__(blob.head, blob.segments, blob.digest())  # the same content
        self.refs = refs

    def dict_item(self) -> List[Located]:
        # GLOBAL joined, MARK, the parts, TUPLE, TUPLE1, REDUCE
        items: List[Located] = [(memoryview(b"ctessel_core.cache.pages\njoined\n("), None)]
        inline: List[Located] = []
        for piece, where in located_pieces(self):
            ref = self.refs.get((id(where[0]), where[1])) if where else None
            if ref is None:
                inline.append((piece, where))
                continue
            items += (in_band(inline) if inline else []) + \
                [(memoryview(reference_pickle(ref)), None)]
            inline = []
        return items + (in_band(inline) if inline else []) + [(memoryview(b"t\x85R"), None)]


def reference_pickle(ref: Reference) -> bytes:
    """The pickle of the tuple `ref` (MARK, its items, TUPLE)."""
    entry, offset, length, first, hashes = ref
    numbers = [b"\x8a\x08" + n.to_bytes(8, "little", signed=True)  # LONG1
               for n in (offset, length, first)]
    return b"".join([b"(", unicode8(entry), *numbers, unicode8(hashes), b"t"])


def unicode8(text: str) -> bytes:
    encoded = text.encode("utf-8", "surrogatepass")
    return b"\x8d" + len(encoded).to_bytes(8, "little") + encoded  # BINUNICODE8


class Placements:
    """Where the entries this run wrote hold ranges of storages, so that a
    later entry refers to them. Storages are held weakly: one that is gone
    can have no value referring to it."""

    def __init__(self) -> None:
        self.where: "weakref.WeakKeyDictionary" = weakref.WeakKeyDictionary()
        self.hashes: "weakref.WeakKeyDictionary" = weakref.WeakKeyDictionary()  # of blocks

    def find(self, storage, start: int, length: int) -> Optional[Reference]:
        for begin, stop, entry, at in self.where.get(storage, ()):
            if begin <= start and start + length <= stop:
                first = -start % BLOCK or BLOCK  # the range's first block ends aligned
                memo = self.hashes.setdefault(storage, {})
                block0 = (start + first) // BLOCK - 1  # storage block of piece 0

                def known(i, data):
                    if block0 + i not in memo:
                        memo[block0 + i] = xxhash.xxh3_64_hexdigest(data)
                    return memo[block0 + i]

                hashes = block_hashes(storage.view[start:start + length], first, known)
                return entry, at + start - begin, length, first, hashes
        return None

    def add(self, placed) -> None:
        for storage, first, stop, entry, at in placed:
            self.where.setdefault(storage, []).append((first, stop, entry, at))


def share_pages(outputs: dict, entry: str, placements: Placements):
    """The outputs as the entry at `entry` writes them: a packed value with a
    large storage range an earlier entry holds refers to it. Also the
    entries referred to, and where this entry's file will hold storage
    ranges (for `Placements.add` once the write is under way)."""
    shared, referred = {}, set()
    for name, blob in outputs.items():
        blob = resolved(blob)
        refs = {}
        if isinstance(blob, PackedValue):
            for piece, where in located_pieces(blob):
                if where is None or piece.nbytes < SHARED_FROM:
                    continue
                ref = placements.find(where[0], where[1], piece.nbytes)
                if ref is not None:
                    refs[(id(where[0]), where[1])] = ref
                    referred.add(ref[0])
        shared[name] = SharedPages(blob, refs) if refs and isinstance(blob, PackedValue) else blob
    return shared, sorted(referred), placed_in(shared, entry)


def placed_in(outputs: dict, entry: str):
    """(storage, start, stop, entry, file offset) of each large storage range
    written in band in the entry's outputs file."""
    placed, offset = [], 0
    for piece, where in dict_stream(outputs):
        if where is not None and piece.nbytes >= SHARED_FROM:
            placed.append((where[0], where[1], where[1] + piece.nbytes, entry, offset))
        offset += piece.nbytes
    return placed
