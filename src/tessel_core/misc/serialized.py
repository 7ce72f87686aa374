"""Moved beside the executors that use it: tessel_core.executors.component_executors.serialized."""

from tessel_core.executors.component_executors.serialized import SerializedValue  # noqa: F401
