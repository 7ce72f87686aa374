"""Capture manager, capture context and replay, with fake streams/publishers
and with a real InteractiveShell."""

import contextlib
import pickle
import sys
import threading

import pytest

from tessel_core.capture import TesselCaptureManager, TesselCapturedIO, tessel_capture_output
from tessel_core.misc.models import TesselCapturedModel

STDOUT = "application/vnd.jupyter.stdout"
STDERR = "application/vnd.jupyter.stderr"


class FakeStream:
    def __init__(self, name):
        self.name = name
        self.written = []
        self.flushes = 0

    def write(self, text):
        self.written.append(text)
        return len(text)

    def flush(self):
        self.flushes += 1


class FakePublisher:
    def __init__(self):
        self.published = []
        self.cleared = []

    def publish(self, data, metadata=None, transient=None, update=False):
        self.published.append((data, metadata, transient, update))

    def clear_output(self, wait=False):
        self.cleared.append(wait)


class FakeShell:
    def __init__(self):
        self.display_pub = FakePublisher()


@contextlib.contextmanager
def fake_std():
    # Inside the test body: pytest puts its own sys.stdout back between a
    # fixture's setup and the test call.
    saved = sys.stdout, sys.stderr
    sys.stdout, sys.stderr = FakeStream("stdout"), FakeStream("stderr")
    try:
        yield sys.stdout, sys.stderr
    finally:
        sys.stdout, sys.stderr = saved


def test_without_shell_only_streams_are_wrapped():
    with fake_std() as streams:
        out, _ = streams
        manager = TesselCaptureManager()
        records = []
        manager.wrap_methods(records, send_to_front=True)
        assert not manager.is_unwrapped and manager.has_remaining_context
        assert sys.stdout.write("hi") == 2
        manager.wrap_methods(quiet := [], send_to_front=False)
        sys.stdout.write("hidden")
        manager.unwrap_methods()
        manager.unwrap_methods()
        assert manager.is_unwrapped and not manager.has_remaining_context
        assert out.written == ["hi"]
        assert [(r.type, r.name, r.text) for r in records] == [("stream", "stdout", "hi")]
        assert [r.text for r in quiet] == ["hidden"]


def test_with_shell_text_is_published_then_written():
    with fake_std() as streams:
        out, err = streams
        shell = FakeShell()
        manager = TesselCaptureManager(ipython_shell=shell, metadata={"component_id": "c"})
        records = []
        manager.wrap_methods(records)
        sys.stdout.write("text")
        sys.stderr.write("oops")
        manager.unwrap_methods()
        assert records[0] == TesselCapturedModel(type="stream", name="stdout", text="text")
        assert shell.display_pub.published == [
            ({STDOUT: "text"}, {"component_id": "c"}, {}, False),
            ({STDERR: "oops"}, {"component_id": "c"}, {}, False),
        ]
        assert out.written == ["text"] and err.written == ["oops"]


def test_write_rejects_non_str_before_recording():
    with fake_std() as streams:
        manager = TesselCaptureManager()
        records = []
        manager.wrap_methods(records)
        try:
            with pytest.raises(TypeError):
                sys.stdout.write(b"bytes")
        finally:
            manager.unwrap_methods()
        assert records == [] and streams[0].written == []


def test_a_captured_record_behaves_as_a_validated_one():
    with fake_std():
        manager = TesselCaptureManager()
        records = []
        manager.wrap_methods(records, send_to_front=False)
        try:
            sys.stdout.write("a")
            sys.stdout.write(string="")
            with pytest.raises(TypeError, match="exactly one argument"):
                sys.stdout.write("b", "c")
        finally:
            manager.unwrap_methods()
    assert [r.text for r in records] == ["a", ""]
    for r in records:
        same = TesselCapturedModel(type="stream", name="stdout", text=r.text)
        assert r == same and r.__fields_set__ == same.__fields_set__
        assert r.dict(exclude_unset=True) == same.dict(exclude_unset=True)
        back = pickle.loads(pickle.dumps(r))
        assert back == r and back.__fields_set__ == same.__fields_set__
    records[0].metadata = {"k": 1}
    assert records[0].__fields_set__ == {"type", "name", "text", "metadata"}
    assert records[1].__fields_set__ == {"type", "name", "text"}


def test_display_and_clear_with_send_flag_off():
    with fake_std() as streams:
        shell = FakeShell()
        manager = TesselCaptureManager(ipython_shell=shell, metadata={"component_id": "c"})
        records = []
        manager.wrap_methods(records, send_to_front=False)
        meta = {"k": "v", "component_id": "old"}
        shell.display_pub.publish({"text/plain": "x"}, meta)
        shell.display_pub.clear_output(wait=True)
        shell.display_pub.publish({"text/plain": "y"})  # no metadata of its own
        manager.unwrap_methods()
        assert shell.display_pub.published == [] and shell.display_pub.cleared == []
        assert meta == {"k": "v", "component_id": "c"} and records[0].metadata is meta
        assert records[1].type == "clear_output" and records[1].wait is True
        assert records[2].metadata == {"component_id": "c"}
        # the shell's own methods are back
        shell.display_pub.publish({"text/plain": "z"})
        assert len(shell.display_pub.published) == 1


def test_display_forwarded_with_send_flag_on():
    with fake_std() as streams:
        shell = FakeShell()
        manager = TesselCaptureManager(ipython_shell=shell)
        with tessel_capture_output(send_to_front=True, capture_manager=manager) as captured:
            shell.display_pub.publish({"text/plain": "x"}, None, {"display_id": "d"}, True)
            shell.display_pub.clear_output()
        assert shell.display_pub.published == [({"text/plain": "x"}, None, {"display_id": "d"}, True)]
        assert shell.display_pub.cleared == [False]
        assert [r.type for r in captured.outputs] == ["display_data", "clear_output"]


def test_nested_contexts_route_to_innermost():
    with fake_std() as streams:
        manager = TesselCaptureManager(ipython_shell=FakeShell())
        with tessel_capture_output(False, manager) as outer:
            print("a")
            with tessel_capture_output(False, manager) as inner:
                print("b")
            assert not manager.is_unwrapped
            print("c")
        assert manager.is_unwrapped
        assert "".join(r.text for r in outer.outputs) == "a\nc\n"
        assert "".join(r.text for r in inner.outputs) == "b\n"


def test_replaced_stdout_is_not_wrapped(monkeypatch):
    with fake_std() as streams:
        manager = TesselCaptureManager()
        monkeypatch.setattr(sys, "stdout", FakeStream("stdout"))
        assert not manager.is_unwrapped
        records = []
        manager.wrap_methods(records)
        print("not captured")
        manager.unwrap_methods()
        assert records == [] and sys.stdout.written == ["not captured", "\n"]


def test_context_without_manager_captures_nothing():
    with fake_std() as streams:
        write = sys.stdout.write
        with tessel_capture_output(capture_manager=None) as captured:
            assert sys.stdout.write == write
        assert captured is None
        with tessel_capture_output(capture_manager=TesselCaptureManager()) as captured:
            pass
        assert captured is None  # a manager without a shell captures nothing here


def test_exception_closes_context_and_propagates():
    with fake_std() as streams:
        manager = TesselCaptureManager(ipython_shell=FakeShell())
        manager.wrap_methods([])
        with pytest.raises(KeyError):
            with tessel_capture_output(capture_manager=manager):
                assert len(manager._outputs_list) == 2
                raise KeyError("x")
        assert len(manager._outputs_list) == 1
        manager.unwrap_methods()
        assert manager.is_unwrapped


def test_empty_store_raises_index_error():
    manager = TesselCaptureManager()
    with pytest.raises(IndexError):
        manager.outputs
    with pytest.raises(IndexError):
        manager.unwrap_methods()


class ThreadedManager(TesselCaptureManager):
    @property
    def is_multithread(self):
        return True


def test_multithread_store_keys_by_thread():
    with fake_std() as streams:
        manager = ThreadedManager()
        mine = []
        manager.wrap_methods(mine, send_to_front=False)
        result = {}

        def other():
            result["outputs"] = manager.outputs
            result["flag"] = manager.send_to_front

        t = threading.Thread(target=other)
        t.start()
        t.join()
        sys.stdout.write("x")
        manager.unwrap_methods()
        assert result == {"outputs": [], "flag": False}
        assert [r.text for r in mine] == ["x"]
        # the other thread's read made it an (empty) context of its own
        assert manager.has_remaining_context and not manager.is_unwrapped
        manager._outputs_dict.clear()
        manager.wrap_methods([])
        manager.unwrap_methods()
        assert manager.is_unwrapped


# --- replay --------------------------------------------------------------------

def stream(text, name="stdout"):
    return TesselCapturedModel(type="stream", name=name, text=text)


def test_captured_io_holds_the_given_list():
    assert TesselCapturedIO().outputs == []
    records = [stream("a")]
    assert TesselCapturedIO(outputs=records).outputs is records
    assert TesselCapturedIO.__call__ is TesselCapturedIO.show


def test_replay_after_last_clear():
    with fake_std() as streams:
        out, err = streams
        clear = TesselCapturedModel(type="clear_output")
        TesselCapturedIO([stream("a"), clear, stream("b"), stream("e", "<stderr>")]).show()
        assert out.written == ["b"] and err.written == ["e"]
        assert out.flushes == 1 and err.flushes == 1
        TesselCapturedIO([stream("a"), clear])()
        assert out.written == ["b"]


def test_replay_writes_each_run_of_one_stream_at_once():
    with fake_std() as (out, err):
        records = [stream("a"), stream("b"), stream("c", "<stderr>"), stream("d"),
                   TesselCapturedModel(type="display_data", data={"text/plain": "x"}),
                   stream("e"), stream("f")]
        TesselCapturedIO(records).show()
        assert (out.written, err.written) == (["ab", "d", "ef"], ["c"])
        assert (out.flushes, err.flushes) == (3, 1)


def test_replay_without_shell_skips_displays():
    with fake_std() as streams:
        display = TesselCapturedModel(type="display_data", data={"text/plain": "x"})
        TesselCapturedIO([display, stream("t")]).show()
        assert streams[0].written == ["t"]


def test_replay_into_shell_carries_component_id():
    with fake_std() as streams:
        shell = FakeShell()
        meta = {"m": 1}
        display = TesselCapturedModel(type="display_data", data={"text/plain": "x"}, metadata=meta)
        records = [stream("o"), stream("e", "<stderr>"), display]
        TesselCapturedIO(records).show(ipython_shell=shell, component_id="c1")
        published = shell.display_pub.published
        assert [p[0] for p in published] == [{STDOUT: "o"}, {STDERR: "e"}, {"text/plain": "x"}]
        assert all(p[1]["component_id"] == "c1" for p in published)
        assert records[0].data is None  # stored stream records are untouched
        assert meta == {"m": 1, "component_id": "c1"}  # shared by the shallow copy
        TesselCapturedIO([stream("o")])(ipython_shell=shell)
        assert shell.display_pub.published[-1][1] == {"component_id": None}


class CopiedRecord(TesselCapturedModel):
    """A record of another class: replayed through a copy of its own."""


@pytest.mark.parametrize("with_shell", [False, True], ids=["streams", "shell"])
def test_replay_without_copies_matches_replay_through_copies(with_shell):
    def replay(cls):
        meta = {"m": 1}
        records = [cls(type="stream", name="<stdout>", text="a"),
                   cls(type="stream", name="<stderr>", text="b", metadata=meta),
                   cls(type="display_data", data={STDOUT: "d"}),
                   cls(type="stream", name="<stdout>", text="c")]
        with fake_std() as (out, err):
            shell = FakeShell() if with_shell else None
            TesselCapturedIO(records).show(ipython_shell=shell, component_id="k")
            seen = (shell.display_pub.published if shell
                    else (out.written, out.flushes, err.written, err.flushes))
        return seen, meta, [r.dict() for r in records]

    assert replay(TesselCapturedModel) == replay(CopiedRecord)


# --- a real IPython shell --------------------------------------------------------

def test_plain_interactive_shell_with_send_to_front(capsys):
    from IPython.core.interactiveshell import InteractiveShell

    shell = InteractiveShell.instance()
    manager = TesselCaptureManager(ipython_shell=shell, metadata={"component_id": "s"})
    with tessel_capture_output(send_to_front=True, capture_manager=manager) as captured:
        print("first print")
        from IPython.display import display

        display({"a": 1})
    assert manager.is_unwrapped
    texts = [r.text for r in captured.outputs if r.type == "stream"]
    assert "first print" in texts
    displays = [r for r in captured.outputs if r.type == "display_data"]
    assert displays and displays[0].metadata == {"component_id": "s"}
    assert "first print" in capsys.readouterr().out
