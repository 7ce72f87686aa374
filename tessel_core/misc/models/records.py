"""Records exchanged between the core's parts: captured output, cache
contents, execution requests and responses, graph descriptions, optimizer
reports and disk-cache writer tasks."""

import uuid
from http import HTTPStatus
from typing import Any, Dict, List, Optional

from pydantic import BaseModel, Field

from ..enums import TesselPipelineCallbackProcedure, TesselPipelineCallbackStatus
from .component import (
    TesselComponentInfoModel,
    TesselComponentModel,
    TesselComponentOutputsSummaryModel,
)


class TesselCapturedModel(BaseModel):
    """One captured stream write, display call or clear-output request."""

    type: str
    name: Optional[str] = None
    text: Optional[str] = None
    # Plain `dict` keeps the caller's dictionary object (no copy), so metadata
    # merged in place stays shared with the display call that produced it.
    data: Optional[dict] = None
    metadata: Optional[dict] = None
    transient: Optional[dict] = None
    update: bool = False
    wait: bool = False


class TesselCacheModel(BaseModel):
    """The six result entries of one component run, with their defaults."""

    module_statements: Dict[str, str] = {}
    non_module_outputs: Dict[str, bytes] = {}
    last_output: Optional[bytes] = None
    captured: Optional[List[TesselCapturedModel]] = None
    exception_msg: Optional[List[str]] = None
    outputs_summary: TesselComponentOutputsSummaryModel = TesselComponentOutputsSummaryModel()


class TesselExecutionRequestModel(BaseModel):
    """What an executor needs to run one cell."""

    cell_code: Optional[str] = None
    module_statements: Optional[Dict[str, str]] = None
    non_module_inputs: Dict[str, bytes] = {}
    parameters: Optional[Dict[str, Any]] = None
    send_to_front: bool = True


class TesselExecutionResponseModel(BaseModel):
    """An executor's answer: HTTP-like status, results, readable message."""

    status: HTTPStatus = HTTPStatus.OK
    result: TesselCacheModel = TesselCacheModel()
    message: str = ""


class TesselDagEdgeModel(BaseModel):
    """A dependency: `child` reads the results of `parent`."""

    parent: str
    child: str


class TesselDagModel(BaseModel):
    """Complete description of a pipeline graph."""

    nodes: List[TesselComponentModel] = []
    edges: List[TesselDagEdgeModel] = []


class TesselDagComponentInfoModel(TesselComponentInfoModel):
    """A component's information together with its parents."""

    parent_ids: List[str] = []
    parent_names: List[str] = []


class TesselDagInfoModel(BaseModel):
    """Information of a pipeline graph, components in topological order."""

    identifier: str
    components: Dict[str, TesselDagComponentInfoModel] = {}


class TesselPipelineCallbackDataModel(BaseModel):
    """A progress report sent to the caller's pipeline callback."""

    procedure: TesselPipelineCallbackProcedure
    status: TesselPipelineCallbackStatus
    msg: str = ""
    # Plain `dict`: the report carries the sender's own dictionary.
    successful: Optional[dict] = None


def _new_task_id() -> str:
    return str(uuid.uuid4())


class TesselDiskCacheTodoModel(BaseModel):
    """A request to write one component's results into a disk cache."""

    task_id: str = Field(default_factory=_new_task_id)
    component_id: str
    cache_dir: str
    result: TesselCacheModel = TesselCacheModel()


class TesselDiskCacheCancelModel(BaseModel):
    """Withdraws a write request that has not been carried out yet."""

    task_id: str


class TesselDiskCacheDoneModel(BaseModel):
    """Outcome of one write request."""

    task_id: str
    component_id: Optional[str] = None
    cache_dir: Optional[str] = None
    successful: bool
    cancelled: bool = False
    message: str = ""
