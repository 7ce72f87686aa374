"""Values kept as their pickle and their buffers, handed on without a copy.

A value with large buffers (numpy arrays, pandas columns, bytearrays) is
pickled with protocol 5 and its buffers kept out of the pickle stream: a
`PackedValue` is the small pickle (`head`) plus one segment per buffer.
Large buffers live in sealed shared-memory files (`Storage`); a run that
reads the value maps them copy-on-write, so it gets writable arrays at once,
and what it writes is copied page by page by the kernel, never seen by the
stored value, a sibling or a later run.

After the run, packing the value again is cheap: its head is small, and a
buffer that still lies where it was mapped is described as the same
storage plus the pages the run wrote (read from /proc/self/pagemap where the
kernel offers it, compared with the stored bytes) instead of being copied.
So handing a 100 MB frame down a chain of cells costs what the cells change,
not its size. A value without such buffers stays plain cloudpickle bytes.

Thread contract: `load`, `pack` and `changed` need the GIL (they run Python
pickling); a `Mapped` list belongs to one run.
"""

import io
import mmap
import os
import pickle
from typing import Callable, List, NamedTuple, Optional, Tuple, Union

import cloudpickle
import xxhash

from tessel_core.common.storage import LARGE, PAGE, SHARED_MEMORY, Origin, Storage


OUT_OF_BAND = 1 << 16  # bytes: a smaller buffer stays in the pickle stream


class Region(NamedTuple):
    """A buffer that is a range of a storage, with the pages that differ
    from it (storage page index -> the page's bytes)."""

    storage: Storage
    offset: int
    length: int
    patches: Tuple[Tuple[int, bytes], ...]


Segment = Union[bytes, Region]


class Mapped(NamedTuple):
    """A region mapped copy-on-write for a run: where it is in memory."""

    region: Region
    memory: mmap.mmap
    base: int  # address of the mapping's first byte
    start: int  # storage offset of the mapping's first byte


class PackedValue:
    """A value as its protocol-5 pickle and its out-of-band buffers."""

    __slots__ = ("head", "segments", "_digest")

    def __init__(self, head: bytes, segments: Tuple[Segment, ...],
                 digest: Optional[str] = None):
        self.head, self.segments = head, tuple(segments)
        self._digest = digest  # content_hash, when known

    def __repr__(self):
        return f"<PackedValue of {size_of(self)} bytes>"

    def __reduce__(self):
        # To another process on this machine: regions by reference (it maps
        # them), but for a worker's own storage, gone once it has answered.
        return (rebuilt, (self.head, tuple(wire(s) for s in self.segments)))

    def digest(self) -> str:
        """XXH3-128 of the value's cloudpickle bytes (see `as_bytes`)."""
        if self._digest is None:
            h = xxhash.xxh3_128()
            for piece in inband_pieces(self):
                h.update(piece)
            self._digest = h.hexdigest()
        return self._digest

    def same_as(self, other: "PackedValue") -> bool:
        return self.head == other.head and len(self.segments) == len(other.segments) and \
            all(same_segment(a, b) for a, b in zip(self.segments, other.segments))


class Deferred:
    """A serialized value not read yet (an output in a disk cache): its content
    hash is known, its bytes are read when a run or a caller first needs them.
    A large one is then packed once, for every run that reads it."""

    __slots__ = ("read", "hash", "_blob")

    def __init__(self, read: Optional[Callable[[], bytes]], content_hash: str,
                 blob: Union[bytes, PackedValue, None] = None):
        self.read, self.hash = read, content_hash
        self._blob = blob  # read already, when given

    def __repr__(self):
        return f"<Deferred value {self.hash}>"

    def __reduce__(self):
        return (Deferred, (None, self.hash, self.resolve()))

    def resolve(self) -> Union[bytes, PackedValue]:
        if self._blob is None:
            assert self.read is not None
            blob = self.read()
            if not isinstance(blob, bytes):
                raise ValueError("a stored output is not serialized data")
            found = repacked(blob)
            self._blob, self.read = found, None
            return found
        return self._blob


Blob = Union[bytes, PackedValue, Deferred]


def resolved(blob: Blob) -> Union[bytes, PackedValue]:
    """The blob itself, read first if it is deferred."""
    return blob.resolve() if isinstance(blob, Deferred) else blob


Wire = Union[bytes, Tuple[Origin, int, int, Tuple[Tuple[int, bytes], ...]]]


def wire(segment: Segment) -> Wire:
    """A segment as it travels to another process: a region by reference,
    but one of a worker's own storage (gone once it has answered) as its
    bytes (a forked pool worker passes a descriptor instead: `passing`)."""
    if not isinstance(segment, Region):
        return segment
    import multiprocessing

    if segment.storage.origin[0] == os.getpid() and multiprocessing.parent_process() is not None:
        return segment_bytes(segment)
    return (segment.storage.origin, segment.offset, segment.length, segment.patches)


def rebuilt(head: bytes, wires: Tuple[Wire, ...]) -> Blob:
    """A packed value from another process: regions of storages it shares
    are mapped from there; large buffers it sent go to a storage here (they
    are sent once, and mapped by whoever reads them next). Never raises: it
    runs in a pool's result thread, which would stop for good; a value whose
    sender is gone fails when it is used."""
    segments: List[Segment] = []
    large = [i for i, w in enumerate(wires) if isinstance(w, bytes) and len(w) >= LARGE]
    try:
        for w in wires:
            if isinstance(w, bytes):
                segments.append(w)
            else:
                origin, offset, length, patches = w
                segments.append(Region(Storage.of(origin), offset, length, tuple(patches)))
    except Exception as err:
        return gone(err)
    if large and SHARED_MEMORY:
        storage, offset = Storage([memoryview(wires[i]) for i in large]), 0  # type: ignore
        for i in large:
            size = len(wires[i])
            segments[i] = Region(storage, offset, size, ())
            offset += -(-size // PAGE) * PAGE
    return PackedValue(head, tuple(segments))


def gone(err: Exception) -> Deferred:
    """In place of a value another process sent that cannot be had: one that
    says why when it is used."""
    from tessel_core.common.text import describe

    text = f"a value another process sent is gone ({type(err).__name__}: {describe(err)})"

    def read() -> bytes:
        raise LookupError(text)
    return Deferred(read, f"gone:{os.getpid()}:{id(err)}")


def same_segment(a: Segment, b: Segment) -> bool:
    if isinstance(a, Region) and isinstance(b, Region):
        return a.storage is b.storage and a.offset == b.offset and a.length == b.length \
            and dict(a.patches) == dict(b.patches)
    return a is b or (isinstance(a, bytes) and isinstance(b, bytes) and a == b)


def segment_parts(segment: Segment):
    """The segment's content, as consecutive memory pieces (no copy): the
    storage between patched pages, and each patched page."""
    return [piece for piece, _ in located_parts(segment)]


Located = Tuple[memoryview, Optional[Tuple[Storage, int]]]  # a piece, and where it is stored


def located_parts(segment: Segment) -> List[Located]:
    """`segment_parts`, each with (storage, offset) when it is a range of a
    storage (not a patched page, not bytes)."""
    if not isinstance(segment, Region):
        return [(memoryview(segment), None)]
    parts: List[Located] = []
    storage, position, end = segment.storage, segment.offset, segment.offset + segment.length
    for page, data in sorted(segment.patches):
        start, stop = max(position, page * PAGE), min(end, (page + 1) * PAGE)
        if stop <= start:
            continue
        if position < start:
            parts.append((storage.view[position:start], (storage, position)))
        parts.append((memoryview(data)[start - page * PAGE:stop - page * PAGE], None))
        position = stop
    if position < end:
        parts.append((storage.view[position:end], (storage, position)))
    return parts


def segment_bytes(segment: Segment) -> bytes:
    if isinstance(segment, bytes):
        return segment
    return b"".join(segment_parts(segment))


# ---- loading ---------------------------------------------------------------------


def load(blob: Blob, maps: Optional[List[Mapped]] = None):
    """The value, with writable buffers of its own: a region mapped
    copy-on-write (noted in `maps`, for packing what the run left), other
    buffers copied."""
    blob = resolved(blob)
    if not isinstance(blob, PackedValue):
        return cloudpickle.loads(blob)
    buffers = [writable(s, maps) for s in blob.segments]
    return pickle.loads(blob.head, buffers=buffers)


def load_input(blob: Blob, maps: List[Mapped]):
    """(value, the blob it is now an unchanged copy of). Bytes of a value with
    large buffers (from a disk cache, another process) are packed first, so
    that the run maps them and what it leaves is found as cheaply as for a
    value packed here."""
    found = resolved(blob)
    kept = found if isinstance(found, PackedValue) else repacked(found)
    return load(kept, maps), kept


def repacked(blob: bytes) -> Union[bytes, PackedValue]:
    """Cloudpickle bytes of a value with large buffers, packed (mapped by
    whoever reads it next); other bytes as they are."""
    if len(blob) < LARGE or not SHARED_MEMORY:
        return blob
    return pack(cloudpickle.loads(blob))


def writable(segment: Segment, maps: Optional[List[Mapped]]):
    if not isinstance(segment, Region):
        return bytearray(segment)
    start = segment.offset // PAGE * PAGE
    end = -(-(segment.offset + segment.length) // PAGE) * PAGE
    try:
        memory = mmap.mmap(segment.storage.fd, max(end - start, PAGE),
                           access=mmap.ACCESS_COPY, offset=start)
    except OSError:  # out of descriptors or mappings: a copy still does
        return bytearray(segment_bytes(segment))
    for page, data in segment.patches:
        memory[page * PAGE - start:(page + 1) * PAGE - start] = data
    if maps is not None:
        maps.append(Mapped(segment, memory, address_of(memoryview(memory)), start))
    return memoryview(memory)[segment.offset - start:segment.offset - start + segment.length]


def address_of(buffer) -> int:
    if not buffer.nbytes:
        return 0
    import numpy  # here: a run that reads no array need not import it

    return numpy.frombuffer(buffer, dtype=numpy.uint8).__array_interface__["data"][0]


# ---- packing ---------------------------------------------------------------------


class _Pickler(cloudpickle.Pickler):
    """cloudpickle's pickler, with large `bytes` out of band too."""

    def reducer_override(self, obj):
        if type(obj) is bytes and len(obj) >= LARGE:
            return bytes, (pickle.PickleBuffer(obj),)
        return super().reducer_override(obj)


def pickled(value, buffers: Optional[list]) -> bytes:
    """The pickle of `value`, its buffers of OUT_OF_BAND bytes or more left
    out and appended to `buffers` (smaller ones cost less in the stream)."""
    out = io.BytesIO()

    def out_of_band(buffer: pickle.PickleBuffer) -> bool:
        with memoryview(buffer) as view:
            if view.nbytes < OUT_OF_BAND:
                return True
        buffers.append(buffer)  # type: ignore[union-attr]
        return False

    _Pickler(out, protocol=5, buffer_callback=None if buffers is None else out_of_band).dump(value)
    return out.getvalue()


def pack(value, maps: Optional[List[Mapped]] = None,
         like: Optional[PackedValue] = None) -> Union[bytes, PackedValue]:
    """The value packed: plain cloudpickle bytes when it has no out-of-band
    buffers. A buffer inside a region the run mapped stays that region plus
    the pages that now differ; one equal to the segment of `like` at its
    place is that segment; other large buffers go to one new storage."""
    found: List[pickle.PickleBuffer] = []
    head = pickled(value, found)
    if not found:
        return head
    try:
        raws = [b.raw() for b in found]
    except BufferError:  # not contiguous: in band, as cloudpickle would
        return pickled(value, None)
    segments: List[Optional[Segment]] = [None] * len(raws)
    fresh = []
    for i, raw in enumerate(raws):
        segments[i] = known_segment(raw, i, maps or [], like)
        if segments[i] is None:
            if SHARED_MEMORY and raw.nbytes >= LARGE:
                fresh.append(i)
            else:
                segments[i] = bytes(raw)
    if fresh:
        try:
            storage: Optional[Storage] = Storage([raws[i] for i in fresh])
        except OSError:  # out of descriptors or shared memory: kept as bytes
            storage = None
        offset = 0
        for i in fresh:
            if storage is None:
                segments[i] = bytes(raws[i])
                continue
            segments[i] = Region(storage, offset, raws[i].nbytes, ())
            offset += -(-raws[i].nbytes // PAGE) * PAGE
    return PackedValue(head, tuple(s for s in segments if s is not None))


def known_segment(raw: memoryview, index: int, maps: List[Mapped],
                  like: Optional[PackedValue]) -> Optional[Segment]:
    address = address_of(raw)
    for m in maps:
        if m.base <= address and address + raw.nbytes <= m.base + len(m.memory):
            return region_now(m, address - m.base, raw.nbytes)
    if like is not None and index < len(like.segments):
        old = like.segments[index]
        if not isinstance(old, Region) and len(old) == raw.nbytes and raw == old:
            return old
    return None


def region_now(m: Mapped, at: int, length: int) -> Region:
    """The range [at, at + length) of mapping `m` (offsets in the mapping) as
    its storage plus the pages that differ from it."""
    storage = m.region.storage
    first, last = at // PAGE, (at + length - 1) // PAGE
    patches = []
    for page in written_pages(m, first, last):
        data = m.memory[page * PAGE:(page + 1) * PAGE]
        storage_page = (m.start // PAGE) + page
        if data != storage.page(storage_page):
            patches.append((storage_page, data))
    return Region(storage, m.start + at, length, tuple(patches))


def written_pages(m: Mapped, first: int, last: int) -> List[int]:
    """Pages (of the mapping) in [first, last] the process may have written:
    private copies or swapped out, by /proc/self/pagemap."""
    base = m.base // PAGE
    try:
        fd = os.open("/proc/self/pagemap", os.O_RDONLY)
        try:
            raw = os.pread(fd, (last - first + 1) * 8, (base + first) * 8)
        finally:
            os.close(fd)
    except OSError:
        return list(range(first, last + 1))
    import numpy

    entries = numpy.frombuffer(raw, dtype=numpy.uint64)
    present = (entries >> numpy.uint64(63)) & numpy.uint64(1)
    swapped = (entries >> numpy.uint64(62)) & numpy.uint64(1)
    shared = (entries >> numpy.uint64(61)) & numpy.uint64(1)
    private = ((present == 1) & (shared == 0)) | (swapped == 1)
    return [first + int(i) for i in numpy.nonzero(private)[0]]


def changed(value, blob_in: Blob,
            maps: Optional[List[Mapped]] = None) -> Optional[Union[bytes, PackedValue]]:
    """None when `value` is still what `blob_in` held; else its new packing.

    Equal objects may still pickle differently (a strided view, a value
    pickled by another process): then the value as this process packs an
    unchanged copy decides. A spurious change is harmless, a missed one not."""
    blob_in = resolved(blob_in)
    like = blob_in if isinstance(blob_in, PackedValue) else None
    now = pack(value, maps, like)
    if same_blob(now, blob_in):
        return None
    if head_of(now) == head_of(blob_in):
        return now  # the same structure, other buffer contents
    try:
        mapped: List[Mapped] = []
        again = pack(load(blob_in, mapped), mapped, like)
    except Exception:
        return now
    return None if same_content(now, again) else now


def same_content(a: Blob, b: Blob) -> bool:
    if same_blob(a, b):
        return True
    return isinstance(a, PackedValue) and isinstance(b, PackedValue) and \
        a.head == b.head and a.digest() == b.digest()


def head_of(blob: Union[bytes, PackedValue]) -> bytes:
    return blob.head if isinstance(blob, PackedValue) else blob


def same_blob(a: Blob, b: Blob) -> bool:
    if isinstance(a, PackedValue) and isinstance(b, PackedValue):
        return a.same_as(b)
    if isinstance(a, PackedValue) or isinstance(b, PackedValue):
        return False
    return a == b


# ---- at the edges ------------------------------------------------------------------


def as_bytes(blob: Blob) -> bytes:
    """The value as cloudpickle bytes: what a disk cache, a store or another
    machine keeps and reads back with cloudpickle alone."""
    found = resolved(blob)
    if not isinstance(found, PackedValue):
        return found
    return b"".join(inband_pieces(found))


FRAME, NEXT_BUFFER, READONLY_BUFFER = "\x95", "\x97", "\x98"
BYTEARRAY8, BINBYTES8 = b"\x96", b"\x8e"


def inband_pieces(blob: PackedValue) -> List[memoryview]:
    """The pickle with every buffer in band, as pieces in order (the buffers
    are not copied): NEXT_BUFFER becomes BYTEARRAY8 with the data, and
    NEXT_BUFFER READONLY_BUFFER becomes BINBYTES8, as pickle writes a buffer
    it is given no callback for. FRAME opcodes (optional, and their sizes no
    longer true) are left out."""
    return [piece for piece, _ in located_pieces(blob)]


def located_pieces(blob: PackedValue) -> List[Located]:
    """`inband_pieces`, each with where it is stored (see `located_parts`)."""
    import pickletools

    head, done, index = memoryview(blob.head), 0, 0
    pieces: List[Located] = []
    ops = [(op.code, pos or 0) for op, _, pos in pickletools.genops(blob.head)]
    for k, (code, pos) in enumerate(ops):
        if code == FRAME:
            pieces.append((head[done:pos], None))
            done = pos + 9
            continue
        if code != NEXT_BUFFER:
            continue
        readonly = k + 1 < len(ops) and ops[k + 1][0] == READONLY_BUFFER
        segment = blob.segments[index]
        index += 1
        size = segment.length if isinstance(segment, Region) else len(segment)
        pieces.append((head[done:pos], None))
        opcode = BINBYTES8 if readonly else BYTEARRAY8
        pieces.append((memoryview(opcode + size.to_bytes(8, "little")), None))
        pieces.extend(located_parts(segment))
        done = pos + (2 if readonly else 1)
    pieces.append((head[done:], None))
    return [(p, where) for p, where in pieces if p.nbytes]


def dict_item(blob: Blob) -> List[Located]:
    """A serialized value as an item of the pickle of a dict of them: its
    cloudpickle bytes in band (BINBYTES8), located. A value that writes
    itself otherwise (see cache.pages) says how."""
    blob = resolved(blob)
    if hasattr(blob, "dict_item"):
        return blob.dict_item()
    return in_band(located_pieces(blob) if isinstance(blob, PackedValue)
                   else [(memoryview(blob), None)])


def in_band(pieces: List[Located]) -> List[Located]:
    """Pieces as one bytes object of a pickle (BINBYTES8, its size, them)."""
    size = sum(p.nbytes for p, _ in pieces)
    header: Located = (memoryview(BINBYTES8 + size.to_bytes(8, "little")), None)
    return [header] + pieces


def dict_stream(value: dict):
    """The pickle of a dict of str to serialized values, as diskcache keeps
    it (every value as its cloudpickle bytes), as located pieces in order."""
    yield memoryview(b"\x80\x05}("), None  # PROTO 5, EMPTY_DICT, MARK
    for name, blob in value.items():
        encoded = name.encode("utf-8", "surrogatepass")
        yield memoryview(b"\x8d" + len(encoded).to_bytes(8, "little") + encoded), None
        yield from dict_item(blob)
    yield memoryview(b"u."), None  # SETITEMS, STOP


def write_inband(file, value) -> None:
    """Write `value` (a serialized value, or a dict of str to serialized
    values) to `file` as diskcache keeps it: the raw bytes of one value, or
    the pickle of the dict with every value as its cloudpickle bytes. The
    buffers go from memory to the file without a copy."""
    value = resolved(value) if not isinstance(value, dict) else value
    if isinstance(value, bytes):
        file.write(value)
        return
    pieces = inband_pieces(value) if isinstance(value, PackedValue) else \
        [piece for piece, _ in dict_stream(value)]
    for piece in pieces:
        file.write(piece)


def as_plain(value):
    """`value` (a serialized value, or a dict of them) with every packed or
    deferred value as its cloudpickle bytes."""
    if isinstance(value, (PackedValue, Deferred)):
        return as_bytes(value)
    if isinstance(value, dict) and any(isinstance(v, (PackedValue, Deferred))
                                       for v in value.values()):
        return {name: as_bytes(v) for name, v in value.items()}
    return value


def content_hash(blob: Blob) -> str:
    """XXH3-128 of the value's cloudpickle bytes (hashed piece by piece for a
    packed value: no copy), the same for a value packed here and for what a
    disk cache wrote of it (a deferred value's is known without reading it)."""
    if isinstance(blob, Deferred):
        return blob.hash
    if isinstance(blob, PackedValue):
        return blob.digest()
    return xxhash.xxh3_128_hexdigest(blob)


def size_of(blob: Blob) -> int:
    """Bytes of the value's serialization, buffers included."""
    blob = resolved(blob)
    if isinstance(blob, bytes):
        return len(blob)
    return len(blob.head) + sum(s.length if isinstance(s, Region) else len(s)
                                for s in blob.segments)
