"""Records exchanged between the core's parts: captured output, cache
contents, execution requests and responses, graph descriptions, optimizer
reports and disk-cache writer tasks."""

import uuid
from http import HTTPStatus
from typing import Any, Dict, List, Optional

from pydantic import BaseModel, Field
from pydantic.validators import bytes_validator

from tessel_core.common.packed import Deferred, PackedValue

from ..enums import TesselPipelineCallbackProcedure, TesselPipelineCallbackStatus
from .component import (
    TesselComponentInfoModel,
    TesselComponentModel,
    TesselComponentOutputsSummaryModel,
)


_FIELDS_SET_SLOT = BaseModel.__dict__["__fields_set__"]


class _ExplicitFields:
    """The `__fields_set__` of a captured record.

    A record made on the capture path (one per write) leaves the slot empty:
    a set of its own would be as large as the rest of the record. Its fields
    set is then the fields that hold other than their default, which for
    those records is exactly the fields they were made with.
    """

    def __get__(self, obj, cls=None):
        if obj is None:
            return self
        try:
            return _FIELDS_SET_SLOT.__get__(obj, cls)
        except AttributeError:
            fields = type(obj).__fields__
            return {name for name, field in fields.items() if getattr(obj, name) != field.default}

    def __set__(self, obj, value):
        _FIELDS_SET_SLOT.__set__(obj, value)

    def __delete__(self, obj):
        _FIELDS_SET_SLOT.__delete__(obj)


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

    def __setattr__(self, name, value):
        # pydantic adds the name to the fields set in place: keep the set first.
        try:
            _FIELDS_SET_SLOT.__get__(self, type(self))
        except AttributeError:
            _FIELDS_SET_SLOT.__set__(self, self.__fields_set__)
        super().__setattr__(name, value)


TesselCapturedModel.__fields_set__ = _ExplicitFields()  # type: ignore[assignment]


class Serialized(bytes):
    """A serialized value: cloudpickle bytes, a PackedValue (its pickle and
    its buffers, kept as they are: validating must not copy them) or a
    Deferred one (read from a disk cache when first used)."""

    __slots__ = ()

    @classmethod
    def __get_validators__(cls):
        yield cls.validate

    @classmethod
    def validate(cls, value):
        if isinstance(value, (PackedValue, Deferred)):
            return value
        return bytes_validator(value)


class TesselCacheModel(BaseModel):
    """The six result entries of one component run, with their defaults."""

    module_statements: Dict[str, str] = {}
    non_module_outputs: Dict[str, Serialized] = {}
    last_output: Optional[Serialized] = None
    captured: Optional[List[TesselCapturedModel]] = None
    exception_msg: Optional[List[str]] = None
    outputs_summary: TesselComponentOutputsSummaryModel = TesselComponentOutputsSummaryModel()


class TesselExecutionRequestModel(BaseModel):
    """What an executor needs to run one cell."""

    cell_code: Optional[str] = None
    module_statements: Optional[Dict[str, str]] = None
    non_module_inputs: Dict[str, Serialized] = {}
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
