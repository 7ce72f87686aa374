"""Component models and the supporting records."""

import pickle
from http import HTTPStatus

import pydantic
import pytest

from tessel_core.misc import (
    TesselComponentStatus,
    TesselDiskcacheStatus,
    TesselPipelineCallbackProcedure,
    TesselPipelineError,
)
from tessel_core.misc.models import (
    TesselCacheModel,
    TesselCapturedModel,
    TesselComponentCommentModel,
    TesselComponentInfoModel,
    TesselComponentInOutModel,
    TesselComponentMetadataModel,
    TesselComponentModel,
    TesselComponentOutputsSummaryModel,
    TesselComponentRemoteConfigModel,
    TesselDagComponentInfoModel,
    TesselDagModel,
    TesselExecutionRequestModel,
    TesselExecutionResponseModel,
    TesselPipelineCallbackDataModel,
)
from tessel_core.misc.models import component


def test_models_are_declared_in_the_component_module_in_order():
    names = [
        "TesselComponentCommentModel",
        "TesselComponentRemoteConfigModel",
        "TesselComponentMetadataModel",
        "TesselComponentModel",
        "TesselComponentOutputsSummaryModel",
        "TesselComponentInOutModel",
        "TesselComponentInfoModel",
    ]
    for name in names:
        cls = getattr(component, name)
        assert cls.__module__ == "tessel_core.misc.models.component"
        assert cls.__qualname__ == name
        assert cls.__bases__ == (pydantic.BaseModel,)
    assert TesselComponentModel.__doc__ == "Model definition for creating TesselRunlet."


def test_metadata_defaults():
    md = TesselComponentMetadataModel()
    assert md.componentType == "Runlet" and md.headerColor == "inherit"
    assert md.comments == [] and md.diskcache is False and md.remoteExecution is None


def test_component_model_defaults_are_per_instance():
    a = TesselComponentModel(id="a", name="n", code="c")
    b = TesselComponentModel(id="b", name="n", code="c")
    assert a.metadata == TesselComponentMetadataModel()
    assert a.metadata is not b.metadata
    assert a.metadata.comments is not b.metadata.comments


def test_required_fields_fail_validation():
    with pytest.raises(pydantic.ValidationError):
        TesselComponentModel(name="n", code="c")
    with pytest.raises(pydantic.ValidationError):
        TesselComponentCommentModel(writer="w")


def test_remote_execution_from_dict():
    md = TesselComponentMetadataModel(remoteExecution={"backend": "b", "broker": "r"})
    assert isinstance(md.remoteExecution, TesselComponentRemoteConfigModel)
    with pytest.raises(pydantic.ValidationError):
        TesselComponentMetadataModel(remoteExecution={"backend": "b"})


def test_info_model_defaults_and_dict_order():
    info = TesselComponentInfoModel(identifier="i", name="n", code="c")
    assert info.execution_status == TesselComponentStatus.INVALID
    assert info.diskcache_status == TesselDiskcacheStatus.UNCACHED
    assert info.inputs == info.outputs == info.imports == []
    assert info.summary == TesselComponentOutputsSummaryModel()
    assert info.diskcache_dir is None and info.last_execution is None
    assert info.kfp_component is None
    d = info.dict()
    assert list(d) == [
        "identifier", "name", "code", "metadata", "execution_status", "diskcache_status",
        "diskcache_dir", "inputs", "outputs", "imports", "summary", "last_execution",
        "kfp_component",
    ]
    assert isinstance(d["metadata"], dict) and isinstance(d["summary"], dict)
    # a status member passed explicitly is accepted by the str field
    assert TesselComponentInfoModel(
        identifier="i", name="n", code="c", execution_status=TesselComponentStatus.FAILED
    ).execution_status == "FAILED"


def test_models_match_the_same_models_written_in_python():
    class PyInOut(pydantic.BaseModel):
        inputs: list = []
        outputs: list = []
        imports: list = []
        summary: TesselComponentOutputsSummaryModel = TesselComponentOutputsSummaryModel()

    assert TesselComponentInOutModel(inputs=["a"]).dict() == PyInOut(inputs=["a"]).dict()
    with pytest.raises(pydantic.ValidationError) as cpp_err:
        TesselComponentInOutModel(inputs=5)
    assert cpp_err.value.errors()[0]["loc"] == ("inputs",)


def test_status_enums_membership_and_string_values():
    assert TesselComponentStatus.RUNNING in TesselComponentStatus
    assert "FAILED" in TesselComponentStatus
    assert "bogus" not in TesselComponentStatus and 3 not in TesselDiskcacheStatus
    assert [] not in TesselDiskcacheStatus
    assert isinstance(TesselDiskcacheStatus.CACHED, str)
    assert format(TesselComponentStatus.FAILED) == "FAILED"


def test_records_pickle():
    req = TesselExecutionRequestModel(
        cell_code="x = 1", module_statements={"np": "__import__('numpy')"},
        non_module_inputs={"a": b"\x80"}, parameters={"p": 1}, send_to_front=False,
    )
    assert pickle.loads(pickle.dumps(req)) == req
    resp = TesselExecutionResponseModel(status=HTTPStatus.PARTIAL_CONTENT, message="m")
    back = pickle.loads(pickle.dumps(resp))
    assert back.status is HTTPStatus.PARTIAL_CONTENT and back.result == TesselCacheModel()
    dag = TesselDagModel(nodes=[{"id": "a", "name": "A", "code": ""}],
                         edges=[{"parent": "a", "child": "a"}])
    assert pickle.loads(pickle.dumps(dag)) == dag


def test_pipeline_error_keeps_lines_through_pickling():
    err = TesselPipelineError(picked_stb=["l1", "l2"])
    assert err.picked_stb == ["l1", "l2"]
    back = pickle.loads(pickle.dumps(err))
    assert type(back) is TesselPipelineError and back.picked_stb == ["l1", "l2"]
    assert str(back) == str(err)


def test_captured_and_callback_records_keep_the_callers_dicts():
    meta = {"a": 1}
    rec = TesselCapturedModel(type="display_data", data={"text/plain": "x"}, metadata=meta)
    assert rec.metadata is meta
    copy = rec.copy()
    copy.metadata.update({"component_id": "c"})
    assert rec.metadata["component_id"] == "c"
    log = {"trials": 1}
    report = TesselPipelineCallbackDataModel(
        procedure=TesselPipelineCallbackProcedure.HPO_TRIAL_EXECUTED, status="SUCCESSFUL",
        successful=log)
    assert report.successful is log


def test_cache_model_iterates_fields_in_order():
    assert [k for k, _ in TesselCacheModel()] == [
        "module_statements", "non_module_outputs", "last_output", "captured",
        "exception_msg", "outputs_summary"]


def test_dag_component_info_adds_parents():
    info = TesselComponentInfoModel(identifier="i", name="n", code="c")
    rec = TesselDagComponentInfoModel(**info.dict(), parent_ids=["p"], parent_names=["P"])
    assert rec.parent_ids == ["p"] and rec.identifier == "i"


def test_contrib_exposes_diskcache():
    import diskcache

    from tessel_core.contrib import diskcache as exposed

    assert exposed is diskcache
