"""A directory of disk-cache entries: what the command line (and any caller
running a DAG) asks of the cache.

An entry lives in DIRECTORY/<component id>/<key>-<deps>/ as a plain disk
cache (TesselDiskCache) with its manifest (cache.manifest). The key covers
the component's code, the parameters its code reads and the contents of the
inputs it gets (so a parent that reran and made the same values leaves it
cached); the manifest adds what the run read besides: files and modules. A
run uses the most recently used entry of its key whose files and modules are
unchanged, and otherwise says why it runs. Entries are written by the
disk-cache writer process and read as one consistent record; other entries
are left alone (another run on the same directory may be using them).
"""

import functools
import json
import os
import time

from tessel_core.cache.diskcache import TRANSFER_PREFIX, TesselDiskCache, read_record
from tessel_core.cache.manifest import (
    Stamps,
    blob_hash,
    depends_on,
    entry_files,
    key_changed_because,
    last_used,
    read_manifest,
    stale_because,
    touch_manifest,
    write_manifest,
)
from tessel_core.cache.pages import (
    Placements,
    entry_rows,
    outputs_name,
    share_pages,
    value_file_intact,
)
from tessel_core.cache.quickhold import TesselQuickhold
from tessel_core.cache.upkeep import Lease
from tessel_core.common.code import names_read
from tessel_core.common.packed import Deferred, content_hash
from tessel_core.components.runlet import stored_results
from tessel_core.common.text import describe
from tessel_core.executors.component_executors.store import materialize
from tessel_core.misc import TesselComponentStatus
from tessel_core.misc.models import TesselCacheModel, TesselDiskCacheTodoModel

RESULT_FIELDS = list(TesselCacheModel.__fields__)  # the record's six fields, in its order
RESULTS = RESULT_FIELDS[:4]  # those that hold what a successful run left
WRITE_TIMEOUT = 120.0  # seconds to wait for the disk-cache writer at the end
WRITE_POLL = 0.005  # seconds between asking the writer what it has written


def read_cache_record(path):
    """The six entries of the disk cache at `path`, read consistently; None
    for an entry never written (a run killed before its write committed)."""
    disk = TesselDiskCache(cache_dir=path)  # opening it sweeps what a dead run left
    try:
        fields = read_record(disk)
    except KeyError:
        if never_written(path):
            return None
        raise
    finally:
        disk.close()
    TesselCacheModel(**fields)  # a field of the wrong shape is damage too
    for blob in list(fields["non_module_outputs"].values()) + [fields["last_output"]]:
        if blob is not None and not isinstance(blob, bytes):
            raise ValueError("a stored output is not serialized data")
    return fields


def read_deferred(path, hashes, shares=None):
    """The entry's record with its outputs deferred: read when a run first
    needs one (`hashes`, output name -> content hash, from its manifest, are
    what keys need; `shares`, each entry it refers to for pages with the name
    of its outputs file then, are checked now). None for an entry never
    written."""
    for entry, name in (shares or {}).items():
        if outputs_name(entry) != name:
            raise ValueError(f"the cache entry {entry} it shares pages with was written again")
    rows = entry_rows(path)
    if rows is None or stray_files(path, rows):
        TesselDiskCache(cache_dir=path).close()  # opening it sweeps what a dead run left
        rows = entry_rows(path) or {}
    if any(name not in rows for name in RESULT_FIELDS):
        if never_written(path):
            return None
        raise KeyError("a disk cache entry is missing")
    if not value_file_intact(path, rows["non_module_outputs"]):
        raise ValueError("the file of its outputs is missing or truncated")
    import diskcache

    disk = diskcache.Disk(path)
    fields = {name: disk.fetch(*rows[name][:3], False)
              for name in RESULT_FIELDS if name != "non_module_outputs"}
    outputs = StoredOutputs(path)
    fields["non_module_outputs"] = {name: Deferred(functools.partial(outputs.take, name), h)
                                    for name, h in hashes.items()}
    TesselCacheModel(**fields)  # a field of the wrong shape is damage too
    return fields


def stray_files(path, rows):
    """Whether the entry holds a value file no row names or a transfer file:
    what a dead run can leave, and opening the cache sweeps."""
    named = {os.path.normpath(row[1]) for row in rows.values() if row[1]}
    for root, _, files in os.walk(path):
        for name in files:
            if name.startswith(TRANSFER_PREFIX):
                return True
            if name.endswith(".val") and os.path.relpath(os.path.join(root, name), path) \
                    not in named:
                return True
    return False


class StoredOutputs:
    """The outputs of one disk cache entry, read once, when the first of them
    is needed; each is handed out once (its Deferred keeps it)."""

    def __init__(self, path):
        self.path, self.values = path, None

    def take(self, name):
        if self.values is None:
            import diskcache

            with diskcache.Cache(self.path) as store:
                self.values = dict(store["non_module_outputs"])
        return self.values.pop(name)


def never_written(path):
    """Whether the disk cache at `path` holds no entry at all."""
    import diskcache

    with diskcache.Cache(path) as store:
        return len(store) == 0



def params_read(code, params):
    """Parameters the code reads (a parameter it never mentions cannot change it)."""
    read = names_read(code)
    return set(params) if read is None else read & set(params)


class CacheDirectory:
    """The entries of one cache directory for the components of `dag` run
    with `params` (read when a key is computed: a search changes them)."""

    def __init__(self, directory, dag, params):
        self.directory = os.path.abspath(os.path.expanduser(directory))
        self.dag, self.params = dag, params
        self.writer, self.pending = None, {}
        self.stamps = Stamps()  # files and modules, stamped once per run
        self.lease = Lease(self.directory)  # entries this run reads or writes
        self.runs = {}  # component id -> (key, manifest head) of its run now
        self.chosen = {}  # entry path -> its manifest, for the entries this run uses
        self.used = {}  # entry path -> its files as they were read, for those loaded
        self.placements = Placements()  # storage ranges the entries written hold
        self.committed = set()  # entries this run completed

    def head(self, node_id, inputs):
        """What the key covers, as stored in the manifest: code, parameters
        read, and per input the hash of its value and where it came from."""
        code = self.dag.nodes[node_id].cell_code
        used = sorted(params_read(code, self.params))
        values = {name: [content_hash(v.blob), inputs.sources.get(name)]
                  for name, v in inputs.values.items()}
        values.update({name: [blob_hash(stmt), None] for name, stmt in inputs.statements.items()})
        return {"code": code, "params": {k: repr(self.params[k]) for k in used},
                "inputs": values, "random_state": self.random_origin(inputs)}

    def random_origin(self, inputs):
        """What the global random state a run starts from depends on: the key
        of the component that left it. Not the state itself: a first import
        of numpy seeds it from the system, differently in every process."""
        origin = inputs.random_from
        if origin is None:
            return None
        if origin in self.runs:
            return self.runs[origin][0]
        return blob_hash(self.dag.nodes[origin].cell_code or "")

    @staticmethod
    def key_of(head):
        hashes = {name: value[0] for name, value in head["inputs"].items()}
        blob = json.dumps([head["code"], head["params"], hashes, head["random_state"]],
                          sort_keys=True)
        return blob_hash(blob)[:16]

    def entries(self, node_id):
        """(path, manifest) of the component's complete entries, most
        recently used first."""
        folder = os.path.join(self.directory, node_id)
        try:
            names = os.listdir(folder)
        except OSError:
            return []
        found = []
        for name in names:
            path = os.path.join(folder, name)
            manifest = read_manifest(path)
            if manifest is not None:
                found.append((last_used(path), path, manifest))
        return [(path, manifest) for _, path, manifest in sorted(found, reverse=True)]

    def lookup(self, node_id, inputs):
        """(path of a usable entry, None) or (None, why the component runs)."""
        head = self.head(node_id, inputs)
        key = self.key_of(head)
        self.runs[node_id] = (key, head)
        entries = self.entries(node_id)
        same = [(path, m) for path, m in entries if m.get("key") == key]
        for path, manifest in same:
            if stale_because(manifest, self.stamps) is None:
                self.lease.hold(path)  # pruning leaves it to this run
                self.chosen[path] = manifest
                return path, None
        if same:
            return None, stale_because(same[0][1], self.stamps)
        return None, key_changed_because(head, entries[0][1] if entries else None)

    def load_cached(self, comp, path):
        """Results from the disk cache into memory (loading the cache into the
        component would delete it when the component goes away). A damaged or
        incomplete entry is a miss: the component runs again."""
        if not os.path.isdir(path):
            return False
        manifest = self.chosen.get(path, {})
        hashes = manifest.get("outputs")
        files = entry_files(path)
        try:
            fields = read_cache_record(path) if hashes is None else \
                read_deferred(path, hashes, manifest.get("shares", {}))
        except Exception as err:
            print(f"warning: the disk cache of {comp.id} is damaged and is not used "
                  f"({type(err).__name__}: {describe(err)})", flush=True)
            return False
        if fields is None:
            return False
        has_results = any(fields[name] for name in RESULTS)
        if fields["exception_msg"] is not None or not has_results:
            return False
        comp.status = TesselComponentStatus.RUNNING
        comp.load_quickhold(TesselQuickhold(cache=TesselCacheModel(**fields)))
        comp.in_and_out.outputs = list(fields["non_module_outputs"])
        comp.in_and_out.summary = comp.outputs_summary
        comp.status = TesselComponentStatus.SUCCESSFUL
        touch_manifest(path)
        self.used[path] = files
        return True

    def entry_for(self, comp, node_id):
        """Where the run of `node_id` now goes, and its manifest: its key,
        and what the run read (files, modules), stamped now."""
        key, head = self.runs[node_id]
        reads = next((r.data for r in comp.captured or [] if r.type == "reads"), None)
        deps = depends_on(reads, self.stamps, [self.directory])
        manifest = {**head, **deps, "key": key}
        sig = blob_hash(json.dumps(deps, sort_keys=True))[:12]
        return os.path.join(self.directory, node_id, f"{key}-{sig}"), manifest

    def start_writer(self):
        """Start the disk-cache writer, if not yet. Called as soon as a
        component is known to run: the writer's process imports the package
        while the component runs, instead of after it, when its entry waits."""
        if self.writer is None:
            from tessel_core.executors.diskcache_writer import TesselDiskcacheWriter

            self.writer = TesselDiskcacheWriter("cli")
            self.writer.open()
            self.writer.start()

    def save(self, comp, node_id):
        path, manifest = self.entry_for(comp, node_id)
        self.lease.hold(path)
        self.start_writer()
        holder = stored_results(comp)
        fields = {name: getattr(holder, name) for name in RESULT_FIELDS}
        # the cache holds the values themselves, not references into a store
        try:
            fields["non_module_outputs"] = {name: materialize(blob) for name, blob
                                            in (fields["non_module_outputs"] or {}).items()}
            if fields["last_output"] is not None:
                fields["last_output"] = materialize(fields["last_output"])
        except Exception as err:
            print(f"warning: the disk cache of {comp.id} is not written: a value in the "
                  f"workers' store cannot be read here ({type(err).__name__}: "
                  f"{describe(err)})", flush=True)
            return
        # a child's key needs its inputs' hashes: kept, they spare reading the values
        manifest["outputs"] = {name: content_hash(blob)
                               for name, blob in fields["non_module_outputs"].items()}
        fields["non_module_outputs"], shares, placed = share_pages(
            fields["non_module_outputs"], path, self.placements)
        if shares:
            manifest["shares"] = shares
        result = TesselCacheModel(**fields)
        task = TesselDiskCacheTodoModel(component_id=comp.id, cache_dir=path, result=result)
        if self.writer.put_task(task):
            self.placements.add(placed)
            self.pending[task.task_id] = (comp.id, path, manifest)
        else:
            print(f"warning: the disk cache of {comp.id} is not written: the writer "
                  f"did not take it", flush=True)
        self.settle_written()

    def settle_written(self):
        """Complete the entries written so far: as the run goes, so that few
        are left for its end and an interrupted run leaves them whole. How
        many the writer reported."""
        messages = self.writer.get_messages() if self.writer.is_alive() else []
        for done in messages:
            self.settle(done)
        return len(messages)

    def finish_writes(self):
        deadline = time.time() + WRITE_TIMEOUT
        while self.pending and self.writer.is_alive() and time.time() < deadline:
            if not self.settle_written() and self.pending:
                # the writer only answers when asked: a short poll, so that
                # the run ends soon after its last entry is written
                time.sleep(WRITE_POLL)
        for node_id, _, _ in self.pending.values():
            print(f"warning: the disk cache of {node_id} was not written")

    def settle(self, done):
        """Complete the entry the writer wrote (or say why it is not)."""
        node_id, path, manifest = self.pending.pop(done.task_id, (None, None, None))
        if not done.successful:
            print(f"warning: could not write the disk cache of {node_id}: {done.message}")
        elif path is not None and not set(manifest.get("shares", ())) <= self.committed:
            print(f"warning: the disk cache of {node_id} was not written: an entry it "
                  "shares pages with was not")
        elif path is not None:
            self.commit(node_id, path, manifest)

    def commit(self, node_id, path, manifest):
        """Write the manifest (last: the entry is complete), naming the
        outputs files of the entries it shares pages with as they are now."""
        try:
            shares = {entry: outputs_name(entry) for entry in manifest.get("shares", ())}
        except ValueError as err:
            print(f"warning: the disk cache of {node_id} was not written: {describe(err)}",
                  flush=True)
            return
        if shares:
            manifest["shares"] = shares
        write_manifest(path, manifest)
        self.committed.add(path)

    def close(self):
        """Wait for what was handed to the writer (bounded), then stop it."""
        try:
            if self.writer is not None:
                self.finish_writes()
                self.writer.close()
                self.writer = None
        finally:
            self.lease.release()
