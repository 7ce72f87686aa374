"""The pipeline graph."""

from ._dag import TesselDagBase, TesselNodeView

__all__ = ["TesselDagBase", "TesselNodeView"]
