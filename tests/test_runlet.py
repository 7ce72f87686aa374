"""The component runlet: state machine, results, execution, errors, caches."""

import os
import pickle
import sys
from http import HTTPStatus
from unittest import mock

import cloudpickle
import pytest

from tessel_core.cache import TesselQuickhold
from tessel_core.components import TesselComponentRunlet
from tessel_core.components import runlet as runlet_module
from tessel_core.misc import TesselComponentStatus as CS
from tessel_core.misc import TesselDiskcacheStatus as DS
from tessel_core.misc import TesselPipelineError
from tessel_core.misc.models import (
    TesselCacheModel,
    TesselCapturedModel,
    TesselComponentInOutModel,
    TesselComponentMetadataModel,
    TesselComponentModel,
    TesselComponentRemoteConfigModel,
    TesselExecutionRequestModel,
    TesselExecutionResponseModel,
)


def make(code="x = 1", **metadata):
    return TesselComponentRunlet(component=TesselComponentModel(
        id="c1", name="comp", code=code, metadata=TesselComponentMetadataModel(**metadata)))


class TesselComponentMine(TesselComponentRunlet):
    def __init__(self, component, tag=None):
        super().__init__(component)
        self.tag = tag


# --- construction and state ---------------------------------------------------------

def test_construction_defaults_and_metadata_none():
    model = TesselComponentModel(id="i", name="n", code="c")
    model.metadata = None
    r = TesselComponentRunlet(component=model)
    assert model.metadata is r.metadata and r.metadata == TesselComponentMetadataModel()
    assert (r.id, r.name, r.cell_code, r.component_type) == ("i", "n", "c", "Runlet")
    assert r.status == CS.INVALID and r.success_count == 0
    assert r.diskcache_status == DS.UNCACHED and r.diskcache_dir is None
    assert r.in_and_out == TesselComponentInOutModel()
    assert r.in_and_out.__fields_set__ == {"summary"} and not r.in_and_out.summary.__fields_set__
    r.in_and_out.inputs.append("mine")
    assert TesselComponentRunlet(component=model).in_and_out.inputs == []  # lists of its own
    assert r.info.last_execution == "" and r.info.identifier == "i"


def test_subclass_names_are_checked():
    model = TesselComponentModel(id="i", name="n", code="c")
    assert TesselComponentMine(model, tag=1).tag == 1

    class Other(TesselComponentRunlet):
        pass

    with pytest.raises(AssertionError, match="Class name must start with 'TesselComponent'."):
        Other(model)


def test_type_checks_of_str_parameters_and_getters():
    r = make()
    with pytest.raises(TypeError, match="Argument 'new_name' has incorrect type"):
        r.name = 3
    with pytest.raises(TypeError, match="Argument 'new_cell_code' has incorrect type"):
        r.cell_code = b"x"
    with pytest.raises(TypeError, match="Argument 'cache_dir' has incorrect type"):
        r.load_diskcache(cache_dir=1)
    r._name = 5
    with pytest.raises(TypeError, match="Expected unicode, got int"):
        r.name


def test_cell_code_change_invalidates():
    r = make()
    r.execute()
    assert r.status == CS.SUCCESSFUL
    r.cell_code = "x = 1"
    assert r.status == CS.SUCCESSFUL and r.last_output is None
    r.cell_code = "x = 2"
    assert r.status == CS.INVALID and r.non_module_outputs == {}


def test_status_machine():
    r = make()
    r.status = CS.SUCCESSFUL
    r.status = CS.SUCCESSFUL
    assert r.success_count == 1
    r.status = CS.RUNNING
    r.status = CS.SUCCESSFUL
    assert r.success_count == 2
    r.last_output = 5
    r.in_and_out = TesselComponentInOutModel(inputs=["a"])
    r.status = CS.FAILED
    assert r.in_and_out == TesselComponentInOutModel() and r.last_output == 5
    with pytest.raises(AssertionError, match="bogus is not a valid component status."):
        r.status = "bogus"
    r.status = "SUCCESSFUL"  # a status read back from a record is a plain string
    assert r.success_count == 3


def test_metadata_and_remote_config():
    remote = TesselComponentRemoteConfigModel(backend="b", broker="r")
    r = make(remoteExecution=remote)
    r.metadata = TesselComponentMetadataModel(headerColor="red")
    assert r.remote_config == remote and r.metadata.headerColor == "red"
    r.metadata = None
    assert r.remote_config == remote
    r.remote_config = None
    assert r.remote_config is None


def test_result_properties():
    r = make()
    r.non_module_outputs = {"x": [1]}
    first, second = r.non_module_outputs["x"], r.non_module_outputs["x"]
    assert first == [1] and first is not second
    r.non_module_outputs = None
    assert r.non_module_outputs == {}
    r.last_output = 0
    assert r.last_output == 0
    r.last_output = None
    assert r.last_output is None
    r.non_module_outputs = {"m": "stored"}
    r.module_statements = {"m": "__import__('math')"}
    assert r.outputs["m"].__name__ == "math"
    assert r.exception is None
    r.exception_msg = ["a", "b"]
    e1, e2 = r.exception, r.exception
    assert isinstance(e1, TesselPipelineError) and e1 is not e2 and e1.picked_stb == ["a", "b"]


# --- execution --------------------------------------------------------------------------

def test_execute_records_inputs_imports_and_outputs():
    r = make("import math\ny = math.floor(x) + k\ny * 2")
    statements = {"np": "__import__('math')", "os.path": "import os.path"}
    value = r.execute(module_statements=statements, non_module_inputs={"x": 2.5, "k": 1})
    assert value == 6 and r.status == CS.SUCCESSFUL
    assert r.in_and_out.inputs == ["x", "k"]
    assert r.in_and_out.imports == ["np = __import__('math')", "import os.path"]
    assert r.in_and_out.outputs == ["y"] and r.in_and_out.summary.modules == ["math"]


def fake_executor(response):
    executor = mock.Mock()
    executor.return_value.execute.return_value = response
    return executor


def test_execute_with_defaults_sends_the_plain_request(monkeypatch):
    response = TesselExecutionResponseModel(status=HTTPStatus.OK, result=TesselCacheModel())
    executor = fake_executor(response)
    monkeypatch.setattr(runlet_module, "TesselComponentExecutor", executor)
    r = make()
    assert r.execute() is None
    executor.assert_called_once_with(identifier="c1", name="comp", ipython_shell=None,
                                     display_sub_port=None)
    request = executor.return_value.execute.call_args.kwargs["request"]
    assert request == TesselExecutionRequestModel(cell_code="x = 1", module_statements=None,
                                                  non_module_inputs={}, parameters=None,
                                                  send_to_front=True)
    assert r.in_and_out.inputs == [] and r.in_and_out.imports == []


def test_partial_content_adds_one_stderr_record(monkeypatch):
    response = TesselExecutionResponseModel(status=HTTPStatus.PARTIAL_CONTENT,
                                            result=TesselCacheModel(), message="left out: g")
    monkeypatch.setattr(runlet_module, "TesselComponentExecutor", fake_executor(response))
    r = make()
    r.execute()
    assert r.status == CS.SUCCESSFUL
    assert r.captured == [TesselCapturedModel(type="stream", name="<stderr>", text="left out: g")]


def test_failed_response(monkeypatch):
    response = TesselExecutionResponseModel(
        status=HTTPStatus.INTERNAL_SERVER_ERROR,
        result=TesselCacheModel(exception_msg=["l1", "l2"]), message="it broke")
    monkeypatch.setattr(runlet_module, "TesselComponentExecutor", fake_executor(response))
    r = make()
    r.last_output = 3
    assert r.execute(non_module_inputs={"a": 1}) is None
    assert r.status == CS.FAILED and r.in_and_out == TesselComponentInOutModel()
    assert r.exception.picked_stb == ["l1", "l2"] and r.last_output is None
    assert [c.text for c in r.captured] == ["it broke"]


def test_output_names_are_listed_without_deserializing(monkeypatch):
    class Unloadable:
        def __reduce__(self):
            return (_explode, ())

    blob = cloudpickle.dumps(Unloadable())
    response = TesselExecutionResponseModel(
        status=HTTPStatus.OK, result=TesselCacheModel(non_module_outputs={"u": blob}))
    monkeypatch.setattr(runlet_module, "TesselComponentExecutor", fake_executor(response))
    r = make()
    r.execute()
    assert r.status == CS.SUCCESSFUL and r.in_and_out.outputs == ["u"]


def _explode():
    raise RuntimeError("cannot be loaded here")


def test_handle_error_record():
    r = make()
    try:
        raise ValueError("bad")
    except ValueError as e:
        r.handle_error(e)
    lines = r.exception_msg
    assert len(lines) == 4 and r.status == CS.FAILED
    assert lines[0] == "\x1b[0;31m" + "-" * 75 + "\x1b[0m"
    assert lines[1].startswith("\x1b[0;31mValueError\x1b[0m")
    assert lines[3] == "\x1b[0;31mTesselPipelineError\x1b[0m: bad"
    assert "raise ValueError" in lines[2]
    assert r.captured == [TesselCapturedModel(type="stream", name="<stderr>",
                                              text="\n".join(lines))]


@pytest.mark.parametrize("size, visible", [(42, 75), (50, 50 + 33)])
def test_error_line_width(size, visible):
    err_type = type("E" * size, (Exception,), {})
    r = make()
    try:
        raise err_type("x")
    except Exception as e:
        r.handle_error(e)
    line = r.exception_msg[1]
    assert len(line) - len("\x1b[0;31m\x1b[0m") == visible


def test_handle_error_keyboard_interrupt_and_unhandled_errors():
    r = make()
    try:
        raise KeyboardInterrupt
    except KeyboardInterrupt as e:
        r.handle_error(e)
    assert r.exception_msg[3].endswith("Interrupted at component 'comp'")
    # not the exception being handled: its own class and text are recorded
    try:
        raise KeyError("unrelated")
    except KeyError:
        r.handle_error(RuntimeError("the real one"))
    assert "RuntimeError" in r.exception_msg[1] and r.exception_msg[3].endswith("the real one")
    r.handle_error(OSError("outside any except"))
    assert r.exception_msg[3].endswith("outside any except") and r.status == CS.FAILED


def test_line_constants_are_read_at_call_time(monkeypatch):
    monkeypatch.setattr(runlet_module, "EXC_LINE_LENGTH", 10)
    r = make()
    r.handle_error(ValueError("v"))
    assert r.exception_msg[0] == "\x1b[0;31m" + "-" * 10 + "\x1b[0m"


def test_show_last_output_and_captured(capsys):
    r = make("print('shown')\n3")
    r.show_last_output(None)
    assert capsys.readouterr().out == ""
    r.execute()
    r.show_last_output(None)
    r.show_captured()
    assert capsys.readouterr().out == "3shown\n"


def test_show_last_output_into_a_kernel_session():
    r = make("{'a': 1}")
    r.execute()
    shell = mock.Mock()
    shell.display_formatter.format.return_value = ({"text/plain": "{'a': 1}"}, {})
    r.show_last_output(shell)
    hook = shell.displayhook
    calls = hook.session.send.call_args_list
    assert len(calls) == 2
    args, kwargs = calls[0]
    assert args[:2] == (hook.pub_socket, "execute_result")
    assert args[2] == {"execution_count": 0, "data": {"text/plain": "{'a': 1}"},
                       "metadata": {"component_id": "c1"}}
    assert kwargs == {"parent": hook.parent_header, "ident": b"execute_result"}


def test_remote_ping_failure_is_recorded():
    r = make(remoteExecution={"backend": "redis://127.0.0.1:1/0", "broker": "redis://127.0.0.1:1/0"})
    assert r.execute() is None
    assert r.status == CS.FAILED
    assert r.exception_msg[3].startswith(
        "\x1b[0;31mTesselPipelineError\x1b[0m: An error occurred creating "
        "TesselRemoteComponentExecutor: ")
    pool = mock.Mock()
    with pytest.raises(RuntimeError, match="An error occurred creating"):
        r.execute_async(pool)
    pool.apply_async.assert_not_called()


# --- cache control ------------------------------------------------------------------------

def test_diskcache_load_and_unload(tmp_path):
    d = str(tmp_path / "cache")
    writer = make(diskcache=True)
    writer.execute()
    assert writer.load_diskcache(d)  # empty cache: status INVALID, directory removed
    assert writer.status == CS.INVALID and writer.diskcache_dir is None

    from tessel_core.cache import TesselDiskCache

    disk = TesselDiskCache(cache_dir=d)
    disk.non_module_outputs = {"x": cloudpickle.dumps(41)}
    disk.last_output = cloudpickle.dumps(42)
    disk.close()
    r = make(diskcache=True)
    r.diskcache_dir = d
    assert r.status == CS.SUCCESSFUL and r.diskcache_status == DS.CACHED
    assert r.non_module_outputs == {"x": 41} and r.last_output == 42
    r._diskcache_status = DS.FAILED
    assert r.diskcache_status == DS.CACHED
    r.last_output = 7  # now memory is read
    assert r.last_output == 7 and r.non_module_outputs == {}
    r.use_diskcache = True
    assert os.path.isdir(d)
    r.use_diskcache = False
    assert not os.path.exists(d) and r.diskcache_dir is None
    assert r.diskcache_status == DS.UNCACHED


def test_load_diskcache_refused_while_disk_cache_is_off(tmp_path):
    d = tmp_path / "keep"
    d.mkdir()
    (d / "marker").write_text("x")
    r = make()
    r.execute()
    assert r.load_diskcache(str(d)) is False
    assert (d / "marker").exists() and r.status == CS.SUCCESSFUL
    assert r.diskcache_status == DS.FAILED and r.diskcache_dir is None


def test_unload_and_clear_without_disk_cache_and_bad_dirs(tmp_path):
    r = make(diskcache=True)
    r.clear_diskcache()
    r._diskcache_status = DS.FAILED
    r.unload_diskcache()
    assert r._diskcache_status == DS.UNCACHED
    blocker = tmp_path / "file"
    blocker.write_text("")
    assert r.load_diskcache(str(blocker / "sub")) is False
    assert r.diskcache_status == DS.FAILED
    with pytest.raises(AssertionError, match="x is not a valid diskcache status."):
        r.diskcache_status = "x"


def test_clear_cache_empties_the_holder_in_place():
    r = make()
    r.execute()
    holder = r._quickhold
    r.clear_cache()
    assert holder == TesselQuickhold()


def test_del_never_raises(tmp_path):
    r = make(diskcache=True)
    r._diskcache = mock.Mock()
    r._diskcache.clear_cache.side_effect = OSError("disk gone")
    r.__del__()
    half = TesselComponentRunlet.__new__(TesselComponentRunlet)
    half.__del__()


def test_runlet_pickles():
    r = TesselComponentMine(TesselComponentModel(id="p", name="P", code="v = 2"), tag="t")
    r.execute()
    back = pickle.loads(pickle.dumps(r))
    assert back.tag == "t" and back.non_module_outputs == {"v": 2}
    assert back.status == CS.SUCCESSFUL
