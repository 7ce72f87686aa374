"""A value that is already serialized."""


class SerializedValue:
    """The cloudpickle serialization of a value, handed on as it is.

    A component's inputs are its ancestors' outputs, which are stored
    serialized: wrapped in this type they go into the run's request without
    being deserialized and serialized again in the kernel, and without a copy
    of the bytes."""

    __slots__ = ("blob",)

    def __init__(self, blob):
        if not isinstance(blob, bytes):
            raise TypeError(f"SerializedValue holds bytes, not {type(blob).__name__}")
        self.blob = blob

    def __repr__(self):
        return f"<SerializedValue of {len(self.blob)} bytes>"
