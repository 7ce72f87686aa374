"""What a cached result depended on besides its key, and why a run cannot
use an entry: the files a run read (size, modification time, content hash)
and the modules it used (a distribution's version, else the content hash of
the module's source). Stored beside each entry as `tessel-entry.json`,
written last, so that an entry without one is incomplete.

Thread contract: a Stamps object belongs to one run of the command line and
is used from the thread that runs the scheduler.
"""

import contextlib
import importlib.metadata
import json
import os
import tempfile
from typing import Dict, Optional

import xxhash

MANIFEST = "tessel-entry.json"
CHUNK = 1 << 20


def file_hash(path):
    digest = xxhash.xxh3_128()
    with open(path, "rb") as f:
        while True:
            chunk = f.read(CHUNK)
            if not chunk:
                return digest.hexdigest()
            digest.update(chunk)


def blob_hash(blob):
    data = blob if isinstance(blob, (bytes, bytearray, memoryview)) else str(blob).encode()
    return xxhash.xxh3_128_hexdigest(data)


def source_files(path):
    """The source files of a module: its file, or every .py file of its package."""
    if os.path.basename(path) != "__init__.py":
        return [path]
    found = []
    for root, dirs, files in os.walk(os.path.dirname(path)):
        dirs[:] = sorted(d for d in dirs if d != "__pycache__")
        found += [os.path.join(root, f) for f in sorted(files) if f.endswith(".py")]
    return found


class Stamps:
    """Stamps of files and modules, each taken once per run."""

    def __init__(self) -> None:
        self.files: Dict[str, Optional[list]] = {}
        self.modules: Dict[str, dict] = {}

    def file(self, path):
        """[size, mtime_ns, hash] of a file now; None when it is gone."""
        if path not in self.files:
            try:
                st = os.stat(path)
                self.files[path] = [st.st_size, st.st_mtime_ns, file_hash(path)]
            except OSError:
                self.files[path] = None
        return self.files[path]

    def file_unchanged(self, path, stored):
        """Same size and time, or else the same content (a touch changes nothing)."""
        try:
            st = os.stat(path)
        except OSError:
            return False
        if [st.st_size, st.st_mtime_ns] == list(stored[:2]):
            return True
        now = self.file(path)
        return now is not None and now[2] == stored[2]

    def distributions_of(self, name):
        """The distributions that ship top-level module `name`: the one of
        the same name when it does (most do: found without looking at any
        other), else every installed one whose file list names it."""
        named = distribution_named(name)
        return [named] if named else distributions_shipping(name)

    def module(self, name, path):
        """{"version": "dist version"} of an installed distribution's module,
        else {"hash": ..., "file": name of its source}."""
        if name not in self.modules:
            self.modules[name] = self.stamp_module(name, path)
        return self.modules[name]

    def stamp_module(self, name, path):
        for dist in self.distributions_of(name):
            try:
                return {"version": importlib.metadata.version(dist), "distribution": dist}
            except importlib.metadata.PackageNotFoundError:
                continue
        if not path or not os.path.exists(path):
            return {"hash": None, "file": name}
        digest = xxhash.xxh3_128()
        for source in source_files(path):
            try:
                digest.update(file_hash(source).encode())
            except OSError:
                pass
        return {"hash": digest.hexdigest(), "path": path, "file": os.path.basename(
            os.path.dirname(path) if path.endswith("__init__.py") else path)}


def ships(dist, name):
    """Whether installed distribution `dist` ships top-level module `name`."""
    top_level = dist.read_text("top_level.txt")
    if top_level is not None:
        return name in top_level.split()
    record = "\n" + (dist.read_text("RECORD") or "")
    return f"\n{name}/" in record or f"\n{name}.py," in record


def distribution_named(name):
    """The installed distribution called `name`, if it ships module `name`."""
    try:
        dist = importlib.metadata.distribution(name)
    except (importlib.metadata.PackageNotFoundError, ValueError):
        return None
    return dist.metadata["Name"] if ships(dist, name) else None


def distributions_shipping(name):
    """Every installed distribution that ships module `name`, by name. Only
    each one's list of files is read (the metadata of the ones that match):
    a few hundredths of a second, where mapping every module to its
    distributions parses every distribution's metadata."""
    found = [dist.metadata["Name"] for dist in importlib.metadata.distributions()
             if ships(dist, name)]
    return list(dict.fromkeys(found))


def depends_on(reads, stamps, ignored_dirs):
    """The manifest's part for what a run read: files and modules."""
    from tessel_core.executors.component_executors.local_executor.reads import data_files

    files = {}
    for path in data_files((reads or {}).get("files") or [], ignored_dirs):
        stamp = stamps.file(path)
        if stamp is not None:
            files[path] = stamp
    modules = {name: stamps.module(name, path)
               for name, path in sorted(((reads or {}).get("modules") or {}).items())}
    return {"files": files, "modules": modules}


def shown_path(path):
    return os.path.relpath(path) if not os.path.relpath(path).startswith("..") else path


def stale_because(manifest, stamps):
    """Why an entry's dependencies no longer hold (a file changed or gone, a
    module upgraded or edited); None when they all do."""
    for path, stored in sorted((manifest.get("files") or {}).items()):
        if not os.path.exists(path):
            return f"{shown_path(path)} is gone"
        if not stamps.file_unchanged(path, stored):
            return f"{shown_path(path)} changed"
    for name, stored in sorted((manifest.get("modules") or {}).items()):
        module_path = (stored or {}).get("path")
        now = stamps.module(name, module_path)
        if "version" in stored and now.get("version") != stored["version"]:
            return f"{name} {stored['version']} -> {now.get('version') or 'not installed'}"
        if "hash" in stored and now.get("hash") != stored["hash"]:
            return f"{stored.get('file') or name} changed"
    return None


def key_changed_because(manifest, previous):
    """Why a run's key differs from the previous entry's: code, a parameter,
    an input (and where it came from)."""
    if previous is None:
        return "new"
    if previous.get("code") != manifest.get("code"):
        return "code changed"
    for name in sorted(set(previous.get("params") or {}) | set(manifest.get("params") or {})):
        if (previous.get("params") or {}).get(name) != (manifest.get("params") or {}).get(name):
            return f"parameter {name} changed"
    before, now = previous.get("inputs") or {}, manifest.get("inputs") or {}
    for name in sorted(set(before) | set(now)):
        if before.get(name, [None])[0] != now.get(name, [None])[0]:
            origin = (now.get(name) or before.get(name))[1]
            return f"input {name} changed" + (f" (from {origin})" if origin else "")
    return "inputs changed"


def read_manifest(entry):
    try:
        with open(os.path.join(entry, MANIFEST), encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def write_manifest(entry, manifest):
    """Written last and atomically (beside, then renamed into place): an
    entry with a manifest is complete."""
    path = os.path.join(entry, MANIFEST)
    tmp = f"{path}.{os.getpid()}.tmp"
    try:
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump(manifest, f, sort_keys=True)
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(tmp)
        raise


def entry_files(entry):
    """The entry's files as they are: [path in it, size, inode, modification
    time] each (the manifest's time left out: a run that uses the entry
    touches it). Another entry written in its place, or one damaged, differs."""
    found = []
    for root, dirs, files in os.walk(entry):
        dirs.sort()
        for name in sorted(files):
            path = os.path.join(root, name)
            try:
                st = os.stat(path)
            except OSError:
                continue
            found.append([os.path.relpath(path, entry), st.st_size, st.st_ino,
                          None if name == MANIFEST else st.st_mtime_ns])
    return found


def last_used(entry):
    try:
        return os.stat(os.path.join(entry, MANIFEST)).st_mtime
    except OSError:
        return 0.0


def touch_manifest(entry):
    """Note that an entry was used now (what pruning keeps longest)."""
    try:
        os.utime(os.path.join(entry, MANIFEST))
    except OSError:
        pass


def check_writable(directory):
    """Raise OSError unless files can be made in the directory (made if
    missing). Each probe has a name of its own: runs that start together
    each remove only theirs."""
    os.makedirs(directory, exist_ok=True)
    with tempfile.NamedTemporaryFile(dir=directory, prefix=".write-test-"):
        pass
