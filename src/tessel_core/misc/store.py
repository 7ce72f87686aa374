"""Moved beside the executors that use it: tessel_core.executors.component_executors.store."""

from tessel_core.executors.component_executors.store import (  # noqa: F401
    DEFAULT_THRESHOLD,
    ENV_THRESHOLD,
    ENV_URL,
    StoredValue,
    get,
    load,
    location_of,
    materialize,
    offload,
    offload_response,
    put,
    reference,
    remove_quietly,
    worker_store,
)
