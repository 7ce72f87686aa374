"""A value that is already serialized."""

from tessel_core.common.packed import Deferred, PackedValue


class SerializedValue:
    """The serialization of a value (cloudpickle bytes, a PackedValue or a
    Deferred one),
    handed on as it is.

    A component's inputs are its ancestors' outputs, which are stored
    serialized: wrapped in this type they go into the run's request without
    being deserialized and serialized again in the kernel, and without a copy
    of the bytes."""

    __slots__ = ("blob",)

    def __init__(self, blob):
        if not isinstance(blob, (bytes, PackedValue, Deferred)):
            raise TypeError(f"SerializedValue holds bytes, not {type(blob).__name__}")
        self.blob = blob

    def __repr__(self):
        size = len(self.blob) if isinstance(self.blob, bytes) else repr(self.blob)
        return f"<SerializedValue of {size} bytes>"
