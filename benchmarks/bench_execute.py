"""Running cells through the local executor, against IPython doing the same.

(a) a trivial cell through the executor in an InteractiveShell, against
    shell.run_cell of the same code (target <= 1.0)
(b) a cell producing a 200 MB numpy array, against run_cell plus one
    cloudpickle.dumps of that array (target <= 1.2)
(c) 10,000 captured print calls with send-to-front off, against the same
    under IPython's capture_output (target <= 3)
(d) memory of a captured short line (tracemalloc), against the same record
    built by validation (target <= 0.5: records used to take as much)
(e) replaying 100,000 captured lines (show, no shell) onto an in-memory
    sys.stdout, against printing the same lines to it (target <= 2); onto a
    file for information: there each record's flush is a system call
Each ratio is ours / baseline, measured in this process, best of repeats.
"""

import contextlib
import gc
import io
import os
import tempfile
import sys
import time
import tracemalloc

import cloudpickle
from IPython.core.interactiveshell import InteractiveShell
from IPython.utils.capture import capture_output

from tessel_core.capture import TesselCaptureManager, TesselCapturedIO, tessel_capture_output
from tessel_core.executors import TesselComponentExecutor
from tessel_core.misc.models import TesselCapturedModel, TesselExecutionRequestModel


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def interleaved(ours, base, repeat):
    a, b = [], []
    for _ in range(3):
        a.append(best(ours, repeat))
        b.append(best(base, repeat))
    return min(a) / min(b)


def captured_lines(shell, lines):
    manager = TesselCaptureManager(ipython_shell=shell)
    with tessel_capture_output(send_to_front=False, capture_manager=manager) as captured:
        for line in lines:
            sys.stdout.write(line)
    return captured.outputs


def validated_lines(shell, lines):
    return [TesselCapturedModel(type="stream", name="<stdout>", text=line) for line in lines]


def bytes_per_record(shell, make):
    """Traced bytes per record; the lines exist before, so only records count."""
    lines = [str(i) for i in range(20_000)]
    gc.collect()
    tracemalloc.start()
    records = make(shell, lines)
    size = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    return size / len(records)


@contextlib.contextmanager
def stdout_to(open_stream):
    saved = sys.stdout
    with open_stream() as stream:
        sys.stdout = stream
        try:
            yield
        finally:
            sys.stdout = saved


def replay_vs_print(shell, open_stream):
    lines = [f"line {i}" for i in range(100_000)]
    with tessel_capture_output(send_to_front=False,
                               capture_manager=TesselCaptureManager(ipython_shell=shell)) as captured:
        for line in lines:
            print(line)
    replay = TesselCapturedIO(outputs=captured.outputs)

    def shown():
        with stdout_to(open_stream):
            replay.show()

    def printed():
        with stdout_to(open_stream):
            for line in lines:
                print(line)

    return interleaved(shown, printed, 2)


def main():
    shell = InteractiveShell.instance()
    executor = TesselComponentExecutor(identifier="b", name="bench", ipython_shell=shell)

    trivial = "x = 1\ny = x + 1"
    req = TesselExecutionRequestModel(cell_code=trivial, send_to_front=False)
    a = interleaved(lambda: [executor.execute(req) for _ in range(50)],
                    lambda: [shell.run_cell(trivial, store_history=False) for _ in range(50)], 5)

    big = "import numpy as np\narr = np.ones(25_000_000)"  # 200 MB of float64
    req_big = TesselExecutionRequestModel(cell_code=big, send_to_front=False)

    def baseline_big():
        shell.run_cell(big, store_history=False)
        cloudpickle.dumps(shell.user_ns["arr"])
        del shell.user_ns["arr"]

    b = interleaved(lambda: executor.execute(req_big), baseline_big, 2)

    def ours_prints():
        manager = TesselCaptureManager(ipython_shell=shell)
        with tessel_capture_output(send_to_front=False, capture_manager=manager):
            for i in range(10_000):
                print(i)

    def ipython_prints():
        with capture_output():
            for i in range(10_000):
                print(i)

    c = interleaved(ours_prints, ipython_prints, 5)
    e = replay_vs_print(shell, io.StringIO)
    path = os.path.join(tempfile.mkdtemp(prefix="bench-replay-"), "out.txt")
    e_file = replay_vs_print(shell, lambda: open(path, "w"))
    os.remove(path)
    os.rmdir(os.path.dirname(path))
    d = bytes_per_record(shell, captured_lines) / bytes_per_record(shell, validated_lines)
    print(f"{'case':44} {'ratio':>6}  target")
    print(f"{'(a) trivial cell vs run_cell':44} {a:6.2f}  <= 1.0")
    print(f"{'(b) 200 MB array vs run_cell + dumps':44} {b:6.2f}  <= 1.2")
    print(f"{'(c) 10,000 captured prints vs capture_output':44} {c:6.2f}  <= 3")
    print(f"{'(d) bytes per captured line vs validated':44} {d:6.2f}  <= 0.5")
    print(f"{'(e) replay of 100,000 lines vs printing them':44} {e:6.2f}  <= 2")
    print(f"{'(e) the same onto a file':44} {e_file:6.2f}  <= 2")


if __name__ == "__main__":
    main()
