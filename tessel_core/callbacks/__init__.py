"""Callbacks of the parameter optimizer and the pipeline callback type."""

from .pipeline_info import TesselPipelineCallback

__all__ = ["TesselPipelineCallback"]
