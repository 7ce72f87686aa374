"""Keeping a cache directory: listing, pruning and clearing its entries,
safely while runs use it.

A run leases the entries it reads or writes (a file per run under
DIRECTORY/.leases/ naming them, removed when it ends); an entry leased by a
live run is never removed. An entry is removed by renaming it out of the
way first (DIRECTORY/.trash/), so that no run ever reads half of one; a
lease that appears meanwhile puts it back.

Thread contract: a Lease belongs to the thread that runs the scheduler.
"""

import os
import re
import shutil
import socket
import uuid
from typing import List, NamedTuple, Tuple

from tessel_core.cache.manifest import MANIFEST, read_manifest

LEASES, TRASH = ".leases", ".trash"
RUNS = ".runs"  # records of runs served wholly from the cache (cli.run_record)
UNITS = {"": 1, "b": 1, "k": 1e3, "kb": 1e3, "m": 1e6, "mb": 1e6, "g": 1e9, "gb": 1e9,
         "t": 1e12, "tb": 1e12}


class Entry(NamedTuple):
    component: str
    path: str
    size: int
    last_used: float
    shares: Tuple[str, ...] = ()  # entries whose pages its values refer to


def parse_size(text):
    """`500MB`, `2GB`, `1.5G`, `100k` or a number of bytes."""
    m = re.fullmatch(r"\s*([0-9]*\.?[0-9]+)\s*([a-zA-Z]*)\s*", text or "")
    if not m or m[2].lower() not in UNITS:
        raise ValueError(f"not a size: {text!r} (examples: 500MB, 2GB, 1.5G, 100k, 4096)")
    return int(float(m[1]) * UNITS[m[2].lower()])


def shown_size(size):
    for unit, scale in (("GB", 1e9), ("MB", 1e6), ("kB", 1e3)):
        if size >= scale:
            return f"{size / scale:.1f} {unit}"
    return f"{size} B"


def tree_size(path):
    total = 0
    for root, _, files in os.walk(path):
        for name in files:
            try:
                total += os.lstat(os.path.join(root, name)).st_size
            except OSError:
                pass
    return total


def entries(directory: str) -> List[Entry]:
    """Every entry of the directory (complete or not), by component."""
    directory = os.path.abspath(directory)  # as runs name the entries they hold
    found: List[Entry] = []
    for component in sorted(os.listdir(directory)):
        folder = os.path.join(directory, component)
        if component in (LEASES, TRASH, RUNS) or not os.path.isdir(folder):
            continue
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            if not os.path.isdir(path):
                continue
            manifest = os.path.join(path, MANIFEST)
            try:
                used = os.stat(manifest if os.path.exists(manifest) else path).st_mtime
            except OSError:
                continue
            shares = tuple((read_manifest(path) or {}).get("shares") or ())
            found.append(Entry(component, path, tree_size(path), used, shares))
    return found


class Lease:
    """The entries one run reads or writes, for as long as it runs."""

    def __init__(self, directory):
        folder = os.path.join(directory, LEASES)
        self.path = os.path.join(folder, f"{socket.gethostname()}-{os.getpid()}-"
                                         f"{uuid.uuid4().hex[:8]}")
        self.held = set()

    def hold(self, entry):
        if entry in self.held:
            return
        self.held.add(entry)
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        with open(self.path, "a", encoding="utf-8") as f:
            f.write(entry + "\n")

    def release(self):
        try:
            os.remove(self.path)
        except OSError:
            pass


def alive(lease_name):
    """Whether the run that wrote a lease may still run (another host's: yes)."""
    parts = lease_name.rsplit("-", 2)
    if len(parts) != 3:
        return False
    host, pid = parts[0], parts[1]
    if host != socket.gethostname():
        return True
    try:
        os.kill(int(pid), 0)
    except (ValueError, ProcessLookupError):
        return False
    except PermissionError:
        return True
    return True


def leased(directory):
    """Entries that live runs hold; leases of dead runs are removed."""
    folder, held = os.path.join(directory, LEASES), set()
    try:
        names = os.listdir(folder)
    except OSError:
        return held
    for name in names:
        path = os.path.join(folder, name)
        if not alive(name):
            try:
                os.remove(path)
            except OSError:
                pass
            continue
        try:
            with open(path, encoding="utf-8") as f:
                held.update(line.strip() for line in f if line.strip())
        except OSError:
            pass
    return held


def remove(directory, entry):
    """Remove an entry unless a live run holds it; whether it was removed."""
    if entry.path in leased(directory):
        return False
    trash = os.path.join(directory, TRASH, uuid.uuid4().hex)
    os.makedirs(os.path.dirname(trash), exist_ok=True)
    try:
        os.rename(entry.path, trash)
    except OSError:
        return False
    if entry.path in leased(directory):  # a run took it meanwhile: it stays
        os.rename(trash, entry.path)
        return False
    shutil.rmtree(trash, ignore_errors=True)
    return True


def with_sharers(entry, found):
    """The entry and every entry whose values refer to its pages, directly
    or not: those first, since they cannot be read without it."""
    group, todo = [entry], [entry]
    while todo:
        base = todo.pop()
        for other in found:
            if base.path in other.shares and other not in group:
                group.append(other)
                todo.append(other)
    return group[::-1]


def remove_with_sharers(directory, entry, found):
    """Remove an entry and the entries that refer to its pages, unless a
    live run holds one of them; the entries removed. An entry stays while
    one that refers to it does."""
    group = with_sharers(entry, found)
    held = leased(directory)
    if any(e.path in held for e in group):
        return []
    removed = []
    for e in group:
        if not remove(directory, e):
            break
        removed.append(e)
    return removed


def to_prune(found, keep=None, max_size=None):
    """Entries to remove: beyond the `keep` most recently used of each
    component, then the least recently used until the total is `max_size`."""
    chosen, kept = [], []
    by_component = {}
    for entry in sorted(found, key=lambda e: -e.last_used):
        by_component.setdefault(entry.component, []).append(entry)
    for group in by_component.values():
        limit = len(group) if keep is None else keep
        chosen += group[limit:]
        kept += group[:limit]
    if max_size is not None:
        total = sum(e.size for e in kept)
        for entry in sorted(kept, key=lambda e: e.last_used):
            if total <= max_size:
                break
            chosen.append(entry)
            total -= entry.size
    return chosen
