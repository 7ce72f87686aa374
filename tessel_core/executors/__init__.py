"""Executors of component runs."""

from .component_executors.local_executor import TesselComponentExecutor

__all__ = ["TesselComponentExecutor"]
