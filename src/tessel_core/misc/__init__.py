"""Enumerations, errors and records shared across the core."""

from .enums import (
    TesselComponentStatus,
    TesselDiskcacheStatus,
    TesselPipelineCallbackProcedure,
    TesselPipelineCallbackStatus,
)
from .errors import TesselPipelineError

__all__ = [
    "TesselComponentStatus",
    "TesselDiskcacheStatus",
    "TesselPipelineCallbackProcedure",
    "TesselPipelineCallbackStatus",
    "TesselPipelineError",
]
