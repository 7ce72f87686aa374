"""Every record of the core, importable from one place."""

from .component import (
    TesselComponentCommentModel,
    TesselComponentInfoModel,
    TesselComponentInOutModel,
    TesselComponentMetadataModel,
    TesselComponentModel,
    TesselComponentOutputsSummaryModel,
    TesselComponentRemoteConfigModel,
)
from .records import (
    TesselCacheModel,
    TesselCapturedModel,
    TesselDagComponentInfoModel,
    TesselDagEdgeModel,
    TesselDagInfoModel,
    TesselDagModel,
    TesselDiskCacheCancelModel,
    TesselDiskCacheDoneModel,
    TesselDiskCacheTodoModel,
    TesselExecutionRequestModel,
    TesselExecutionResponseModel,
    TesselPipelineCallbackDataModel,
)

__all__ = [
    "TesselCacheModel",
    "TesselCapturedModel",
    "TesselComponentCommentModel",
    "TesselComponentInfoModel",
    "TesselComponentInOutModel",
    "TesselComponentMetadataModel",
    "TesselComponentModel",
    "TesselComponentOutputsSummaryModel",
    "TesselComponentRemoteConfigModel",
    "TesselDagComponentInfoModel",
    "TesselDagEdgeModel",
    "TesselDagInfoModel",
    "TesselDagModel",
    "TesselDiskCacheCancelModel",
    "TesselDiskCacheDoneModel",
    "TesselDiskCacheTodoModel",
    "TesselExecutionRequestModel",
    "TesselExecutionResponseModel",
    "TesselPipelineCallbackDataModel",
]
