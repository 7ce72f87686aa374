"""Running a component's code in this process."""

from .executor import TesselComponentExecutor

__all__ = ["TesselComponentExecutor"]
