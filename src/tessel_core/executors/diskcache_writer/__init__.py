"""Writing disk caches in a process of their own."""

from .writer import TesselDiskcacheWriter

__all__ = ["TesselDiskcacheWriter"]
