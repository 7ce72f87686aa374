"""Executors of component runs."""

from .component_executors.local_executor import TesselComponentExecutor
from .component_executors.remote_executor import TesselRemoteComponentExecutor

__all__ = ["TesselComponentExecutor", "TesselRemoteComponentExecutor"]
