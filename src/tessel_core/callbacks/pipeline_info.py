"""The caller's progress callback type."""

from typing import Callable

from ..misc.models import TesselPipelineCallbackDataModel

TesselPipelineCallback = Callable[[TesselPipelineCallbackDataModel], None]
