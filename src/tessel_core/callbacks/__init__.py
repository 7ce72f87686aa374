"""Callbacks of the parameter optimizer and the pipeline callback type."""

from .parameters_optimizer.haltwatch import TesselHPOHaltwatchCallback
from .parameters_optimizer.trialfeed import TesselHPOTrialfeedCallback
from .pipeline_info import TesselPipelineCallback

__all__ = ["TesselHPOHaltwatchCallback", "TesselHPOTrialfeedCallback", "TesselPipelineCallback"]
