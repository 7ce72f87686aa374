"""A directory of disk-cache entries, one per component and key: what the
command line (and any caller running a DAG) asks of the cache.

An entry lives in DIRECTORY/<component id>/<key>/ as a plain disk cache
(TesselDiskCache). The key covers the component's code, the parameters its
code reads and its parents' keys, so a later run finds the entry unless one
of those changed. Entries are written by the disk-cache writer process and
read as one consistent record; entries of other keys are left alone (another
run on the same directory may be using them).
"""

import hashlib
import json
import os
import time

from tessel_core.cache.diskcache import TesselDiskCache, read_record
from tessel_core.cache.quickhold import TesselQuickhold
from tessel_core.common.code import names_read
from tessel_core.components.runlet import stored_results
from tessel_core.common.text import describe
from tessel_core.executors.component_executors.store import materialize
from tessel_core.misc import TesselComponentStatus
from tessel_core.misc.models import TesselCacheModel, TesselDiskCacheTodoModel

RESULT_FIELDS = list(TesselCacheModel.__fields__)  # the record's six fields, in its order
RESULTS = RESULT_FIELDS[:4]  # those that hold what a successful run left
WRITE_TIMEOUT = 120.0  # seconds to wait for the disk-cache writer at the end


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

    def key(self, node_id, memo):
        """The component's key; `memo` holds the keys of one run's plan."""
        if node_id not in memo:
            comp = self.dag.nodes[node_id]
            used = sorted(params_read(comp.cell_code, self.params))
            parents = sorted(self.key(p, memo) for p in self.dag.nx_graph.predecessors(node_id))
            blob = json.dumps([comp.cell_code, [(k, repr(self.params[k])) for k in used], parents])
            memo[node_id] = hashlib.sha256(blob.encode()).hexdigest()[:16]
        return memo[node_id]

    def path(self, node_id, memo):
        return os.path.join(self.directory, node_id, self.key(node_id, memo))

    def load_cached(self, comp, path):
        """Results from the disk cache into memory (loading the cache into the
        component would delete it when the component goes away). A damaged or
        incomplete entry is a miss: the component runs again."""
        if not os.path.isdir(path):
            return False
        try:
            fields = read_cache_record(path)
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
        return True

    def save(self, comp, path):
        if self.writer is None:
            from tessel_core.executors.diskcache_writer import TesselDiskcacheWriter

            self.writer = TesselDiskcacheWriter("cli")
            self.writer.open()
            self.writer.start()
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
        result = TesselCacheModel(**fields)
        task = TesselDiskCacheTodoModel(component_id=comp.id, cache_dir=path, result=result)
        if self.writer.put_task(task):
            self.pending[task.task_id] = (comp.id, path)

    def finish_writes(self):
        deadline = time.time() + WRITE_TIMEOUT
        while self.pending and self.writer.is_alive() and time.time() < deadline:
            # Entries of other fingerprints stay: another run on the same
            # directory may be reading or writing them at this moment.
            for done in self.writer.get_messages():
                node_id, path = self.pending.pop(done.task_id, (None, None))
                if not done.successful:
                    print(f"warning: could not write the disk cache of {node_id}: {done.message}")
            time.sleep(0.02)
        for node_id, _ in self.pending.values():
            print(f"warning: the disk cache of {node_id} was not written")

    def close(self):
        """Wait for what was handed to the writer (bounded), then stop it."""
        if self.writer is not None:
            self.finish_writes()
            self.writer.close()
            self.writer = None
