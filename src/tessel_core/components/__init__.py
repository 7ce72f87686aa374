"""Pipeline components."""

from .runlet import TesselComponentRunlet

__all__ = ["TesselComponentRunlet"]
