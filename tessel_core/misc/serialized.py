"""A value that is already serialized."""


class SerializedValue(bytes):
    """The cloudpickle serialization of a value, handed on as it is.

    A component's inputs are its ancestors' outputs, which are stored
    serialized: wrapped in this type they go into the run's request without
    being deserialized and serialized again in the kernel (a plain `bytes`
    input is a value like any other and is serialized)."""

    __slots__ = ()
