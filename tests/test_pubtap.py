"""The display subscriber: real ZeroMQ sockets, a pool worker's output."""

import multiprocessing
import os
import time

import pytest
import zmq

from tessel_core.misc.pubtap import TesselDisplayPublisher, TesselZMQDisplaySubscriber

STDOUT = "application/vnd.jupyter.stdout"


class FakePublisher:
    def __init__(self):
        self.calls = []

    def publish(self, **kwargs):
        self.calls.append(kwargs)


class FakeShell:
    def __init__(self):
        self.display_pub = FakePublisher()


@pytest.fixture
def pub_socket():
    """A raw PUB socket factory, connected and given time to join."""
    ctx = zmq.Context()
    sockets = []

    def connect(port):
        s = ctx.socket(zmq.PUB)
        s.connect(f"tcp://127.0.0.1:{port}")
        sockets.append(s)
        time.sleep(0.5)  # ZeroMQ drops what is sent before the subscription arrives
        return s

    yield connect
    for s in sockets:
        s.close(linger=0)
    ctx.term()


def wait_for(predicate, timeout=5):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if predicate():
            return True
        time.sleep(0.02)
    return False


def message(payload):
    return [b"display_data", repr(payload).encode()]


def test_state_and_stop():
    sub = TesselZMQDisplaySubscriber()
    assert isinstance(sub.port, int) and sub.stopped() is False
    sub.stop()
    assert sub.stopped() is True
    sub.start()  # run() clears an earlier stop
    assert wait_for(sub.is_alive)
    sub.stop()
    start = time.time()
    sub.join(3)
    assert not sub.is_alive() and time.time() - start < 1.5
    assert sub._display_sub_socket.closed


def test_text_without_shell_and_bad_messages(pub_socket, capsys):
    sub = TesselZMQDisplaySubscriber()
    sub.start()
    try:
        pub = pub_socket(sub.port)
        pub.send_multipart([b"other", repr({"data": {STDOUT: "ignored"}}).encode()])
        pub.send_multipart([b"display_data", b"{not a literal"])
        pub.send_multipart([b"display_data", repr({"metadata": {}}).encode()])
        pub.send_multipart([b"display_data"])
        pub.send_multipart([b"display_data", b"middle", repr({"data": {STDOUT: "three"}}).encode()])
        pub.send_multipart(message({"data": {STDOUT: "hello\n"}}))
        time.sleep(0.5)
        assert sub.is_alive()  # the malformed messages were skipped
    finally:
        sub.stop()
        sub.join(3)
    out = capsys.readouterr().out
    assert "three" in out and "hello\n" in out and "ignored" not in out


def test_three_frames_and_order_without_shell(pub_socket, capfd):
    sub = TesselZMQDisplaySubscriber()
    sub.start()
    try:
        pub = pub_socket(sub.port)
        pub.send_multipart([b"display_data", b"middle", repr({"data": {STDOUT: "three;"}}).encode()])
        pub.send_multipart(message({"data": {STDOUT: "two;"}}))
        time.sleep(0.5)
    finally:
        sub.stop()
        sub.join(3)
    assert "three;two;" in capfd.readouterr().out


def test_with_shell_publish_gets_the_keywords(pub_socket):
    shell = FakeShell()
    sub = TesselZMQDisplaySubscriber(ipython_shell=shell)
    sub.start()
    try:
        pub = pub_socket(sub.port)
        payload = {"data": {"text/plain": "x"}, "metadata": {"a": 1}, "update": False}
        pub.send_multipart([b"display_data", b"{broken"])
        pub.send_multipart(message({"data": {}, "unknown_keyword": 1}))  # publish() accepts it
        pub.send_multipart(message(payload))
        assert wait_for(lambda: payload in shell.display_pub.calls)
    finally:
        sub.stop()
        sub.join(3)


def test_publisher_handshake_keeps_first_messages(capfd):
    sub = TesselZMQDisplaySubscriber()
    sub.start()
    try:
        pub = TesselDisplayPublisher(port=sub.port)
        assert pub.ready is True
        pub.send_text("stdout", "first line\n")  # sent at once, not lost
        pub.close()
        time.sleep(0.5)
    finally:
        sub.stop()
        sub.join(3)
    assert "first line" in capfd.readouterr().out


def _run_in_worker(port):
    from tessel_core.executors import TesselComponentExecutor
    from tessel_core.misc.models import TesselExecutionRequestModel

    ex = TesselComponentExecutor(identifier="w", name="worker comp", display_sub_port=port)
    code = "import sys\nprint('from the pool worker')\nprint('to stderr', file=sys.stderr)"
    resp = ex.execute(TesselExecutionRequestModel(cell_code=code))
    return [r.text for r in resp.result.captured]


def test_pool_worker_output_reaches_the_shell():
    shell = FakeShell()
    sub = TesselZMQDisplaySubscriber(ipython_shell=shell)
    sub.start()
    try:
        with multiprocessing.get_context("spawn").Pool(1) as pool:
            texts = pool.apply_async(_run_in_worker, (sub.port,)).get(timeout=120)
        assert "from the pool worker" in texts
        assert wait_for(lambda: len(shell.display_pub.calls) >= 4)
    finally:
        sub.stop()
        sub.join(3)
    data = [c["data"] for c in shell.display_pub.calls]
    assert data[0] == {STDOUT: "from the pool worker"}
    assert {"application/vnd.jupyter.stderr": "to stderr"} in data


def _print_lines(port, count):
    from tessel_core.executors import TesselComponentExecutor
    from tessel_core.misc.models import TesselExecutionRequestModel

    ex = TesselComponentExecutor(identifier="w", name="loud", display_sub_port=port)
    code = f"for i in range({count}):\n    print(i)"
    return ex.execute(TesselExecutionRequestModel(cell_code=code)).status


def test_no_printed_line_is_lost_under_load():
    shell = FakeShell()
    sub = TesselZMQDisplaySubscriber(ipython_shell=shell)
    sub.start()
    try:
        with multiprocessing.get_context("spawn").Pool(1) as pool:
            assert pool.apply_async(_print_lines, (sub.port, 20_000)).get(timeout=120) == 200
        assert wait_for(lambda: len(shell.display_pub.calls) >= 40_000, timeout=60)
    finally:
        sub.stop()
        sub.join(3)
    texts = [c["data"][STDOUT] for c in shell.display_pub.calls]
    assert "".join(texts) == "".join(f"{i}\n" for i in range(20_000))


def os_threads():
    return len(os.listdir("/proc/self/task"))


def test_subscribers_and_publishers_leave_no_threads():
    before = os_threads()
    for _ in range(5):
        sub = TesselZMQDisplaySubscriber()
        sub.start()
        pub = TesselDisplayPublisher(port=sub.port)
        pub.close()
        sub.stop()
        sub.join(3)
    assert wait_for(lambda: os_threads() <= before, timeout=5)
    with pytest.raises(Exception):
        TesselDisplayPublisher(port="not a port")
    assert wait_for(lambda: os_threads() <= before, timeout=5)
