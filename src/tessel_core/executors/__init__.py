"""Executors of component runs."""

from typing import TYPE_CHECKING

from .component_executors.local_executor import TesselComponentExecutor

if TYPE_CHECKING:
    from .component_executors.remote_executor import TesselRemoteComponentExecutor

__all__ = ["TesselComponentExecutor", "TesselRemoteComponentExecutor"]


def __getattr__(name):
    # The remote executor brings Celery, kombu and ssl (a tenth of a second):
    # imported when first asked for, not by every run that never goes remote.
    if name == "TesselRemoteComponentExecutor":
        from .component_executors.remote_executor import TesselRemoteComponentExecutor

        return TesselRemoteComponentExecutor
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
