"""Large values by reference, through a store both ends reach.

A serialized value above a threshold is written to the store (a directory, or
an fsspec URL such as s3://bucket/prefix) and replaced by a small serialized
reference: unpickling the reference reads the value back from the store. So
only the reference travels through the broker and the result backend, and
whoever deserializes it (the client reading an output, a worker receiving an
input) reads the value from the store without knowing it was one.

Workers offload their outputs when started with `--store` (which sets
TESSEL_STORE for their processes); the client offloads the inputs it sends
when given a store. The store keeps what was written: a later read of an
output, or a disk cache written with the reference resolved, needs nothing
else from the run.
"""

import io
import os
import pickle
import uuid

from tessel_core.common.packed import (
    Deferred,
    PackedValue,
    as_bytes,
    as_plain,
    resolved,
    size_of,
    write_inband,
)

ENV_URL = "TESSEL_STORE"
ENV_THRESHOLD = "TESSEL_STORE_THRESHOLD"
DEFAULT_THRESHOLD = 64 * 2**20  # bytes: below this a value travels as it is


def _filesystem(url):
    """(fsspec filesystem or None for a plain directory, path)."""
    if "://" not in url:
        return None, url
    import fsspec

    return fsspec.core.url_to_fs(url)


def put(blob, url):
    """Write `blob` (serialized: bytes, or a packed value written from its
    buffers as cloudpickle bytes) under a new name in the store at `url`;
    its location."""
    fs, root = _filesystem(url)
    name = f"{uuid.uuid4().hex}.pickle"
    if fs is None:
        location = os.path.join(os.path.abspath(root), name)
        partial = location + ".partial"
        try:
            with open(partial, "wb") as f:  # a reader never sees half a value
                write_inband(f, blob)
            os.replace(partial, location)
        except BaseException:
            remove_quietly(partial)  # a full disk keeps nothing of a failed write
            raise
        return location
    path = root.rstrip("/") + "/" + name
    try:
        fs.pipe_file(path, as_bytes(blob))
    except BaseException:
        try:
            fs.rm_file(path)
        except Exception:
            pass  # nothing was written, or the store cannot say
        raise
    return fs.unstrip_protocol(path)


def remove_quietly(path):
    try:
        os.remove(path)
    except OSError:
        pass


def get(location):
    fs, path = _filesystem(location)
    if fs is None:
        with open(path, "rb") as f:
            return f.read()
    return fs.cat_file(path)


def load(location):
    """What a reference unpickles to: the value stored at `location`."""
    return pickle.loads(get(location))


class StoredValue:
    """Stands for the value at `location`; pickles as a call to `load`."""

    __slots__ = ("location",)

    def __init__(self, location):
        self.location = location

    def __reduce__(self):
        return load, (self.location,)


def reference(blob, url):
    """Store `blob`; the serialized reference that replaces it."""
    return pickle.dumps(StoredValue(put(blob, url)), protocol=pickle.HIGHEST_PROTOCOL)


class _Location(str):
    """What the reader makes of a reference: a location, by its type."""


class _LocationReader(pickle.Unpickler):
    """Unpickles a reference to its location without reading the store;
    anything else is refused."""

    def find_class(self, module, name):
        if (module, name) == (__name__, "load"):
            return _Location
        raise pickle.UnpicklingError("not a reference")


def location_of(blob):
    """The store location a serialized reference points to, or None. A value
    is a reference only if it unpickles through `load`: a string that merely
    mentions this module, or names a file, is a value like any other."""
    if not isinstance(blob, bytes) or len(blob) > 4096 or __name__.encode() not in blob:
        return None
    try:
        location = _LocationReader(io.BytesIO(blob)).load()
    except Exception:
        return None
    return str(location) if type(location) is _Location else None


def materialize(blob):
    """The serialized value itself, read from the store for a reference."""
    if isinstance(blob, (PackedValue, Deferred)):
        return blob
    location = location_of(blob)
    return blob if location is None else get(location)


def offload(blob, url, threshold=DEFAULT_THRESHOLD):
    """`blob`, or a reference to it in the store when it is larger than threshold."""
    if url and isinstance(blob, (bytes, PackedValue, Deferred)) and size_of(blob) > threshold:
        return reference(resolved(blob), url)  # what cloudpickle alone reads back
    return blob


def worker_store():
    """(store URL, threshold) this worker process was started with, or (None, 0)."""
    url = os.environ.get(ENV_URL) or None
    threshold = int(os.environ.get(ENV_THRESHOLD) or DEFAULT_THRESHOLD)
    return url, threshold


def leaving_the_machine(request):
    """A request whose inputs are cloudpickle bytes (or store references), as
    a worker on another machine reads them: packed values share memory only
    on this machine."""
    inputs = getattr(request, "non_module_inputs", None)
    if inputs:
        request = request.copy(update={"non_module_inputs": as_plain(inputs)})
    return request


def offload_response(response):
    """A worker's response, its outputs as cloudpickle bytes, the large ones
    moved to the worker's store."""
    url, threshold = worker_store()
    result = getattr(response, "result", None)
    if result is not None:
        result.non_module_outputs = as_plain(result.non_module_outputs)
        result.last_output = as_plain(result.last_output)
    if not url or result is None:
        return response
    outputs = result.non_module_outputs
    if outputs:
        result.non_module_outputs = {name: offload(blob, url, threshold)
                                     for name, blob in outputs.items()}
    result.last_output = offload(result.last_output, url, threshold)
    return response
