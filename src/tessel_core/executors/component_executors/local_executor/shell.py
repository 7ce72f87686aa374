"""The IPython shell a component runs in when no kernel is there: the command
line's process and every pool or Celery worker process, so that a component
behaves the same wherever it runs (magics, `!cmd`, the inline backend,
values formatted as a kernel formats them).

A worker process has one shell of its own, made on its first run; each run
sets the shell's user namespace to its own (the executor does), and points
the shell's display publisher and the standard streams at the run's ZeroMQ
publisher, if it has one, so that what it prints and shows reaches the
kernel live (`forwarding`).
"""

import contextlib
import io
import os
import sys
import threading

from IPython.core.displaypub import DisplayPublisher
from IPython.core.interactiveshell import InteractiveShell
from traitlets import Type
from traitlets.config import Config

from tessel_core.common.text import shown_placeholder

INLINE_BACKEND = "module://matplotlib_inline.backend_inline"
STREAM_MIMES = {"application/vnd.jupyter.stdout", "application/vnd.jupyter.stderr"}


def inline_figures():
    """Figures as a kernel shows them: matplotlib's as image/png display data,
    plotly's as their own mime bundle (what a notebook and the report render),
    unless the user chose otherwise."""
    os.environ.setdefault("MPLBACKEND", INLINE_BACKEND)
    if os.environ.get("PLOTLY_RENDERER"):
        return
    if "plotly.io._renderers" not in sys.modules:
        # plotly reads this when its renderers are first imported, so a run
        # that draws no plotly figure does not import them. Its own guess is
        # not taken: where a web browser is installed it would open each
        # figure there (and wait for the page to be fetched) instead of
        # showing it.
        os.environ["PLOTLY_RENDERER"] = "plotly_mimetype"
        return
    import plotly.io  # already chosen in the process this one was forked from

    if not plotly.io.renderers.default:
        plotly.io.renderers.default = "plotly_mimetype"


class TerminalDisplayPublisher(DisplayPublisher):
    """Shows display calls on the terminal as their text form; a bundle with
    none (a plotly figure) is named, so that the terminal says something was
    shown (the notebook and the report carry the figure itself)."""

    def publish(self, data, metadata=None, source=None, *, transient=None, update=False,
                **kwargs):
        if "text/plain" in data or any(m.startswith("application/vnd.jupyter.std")
                                       for m in data):
            return super().publish(data, metadata, transient=transient, update=update,
                                   **kwargs)
        print(f"<{', '.join(sorted(data))}>")


class HeadlessShell(InteractiveShell):
    """A shell that takes the magics a notebook uses, with no GUI event loop
    to start for `%matplotlib`: figures are drawn with the inline backend, as
    in a kernel."""

    def enable_gui(self, gui=None):
        pass


class PipelineShell(HeadlessShell):
    """The shell components run in on the command line: what they show is
    shown on the terminal."""

    display_pub_class = Type(TerminalDisplayPublisher)


class ForwardingPublisher(DisplayPublisher):
    """A worker shell's display publisher: display calls go to the current
    run's ZeroMQ publisher (`target`), or nowhere when it has none (the run
    captures them either way)."""

    target = None

    def publish(self, data, metadata=None, source=None, *, transient=None, update=False,
                **kwargs):
        target = self.target
        if target is None or not set(data).difference(STREAM_MIMES):
            return  # printed text reaches the run's publisher through the streams
        target.publish(data=data, metadata=metadata, transient=transient, update=update)

    def clear_output(self, wait=False):
        pass  # a clear request is captured; the terminal has nothing to clear


class ForwardingStream(io.TextIOBase):
    """A worker's standard stream during a run: what is written goes to the
    run's ZeroMQ publisher as text of the stream `name`."""

    def __init__(self, name, target):
        self._name, self._target = name, target

    @property
    def name(self):
        return self._name

    def write(self, text):
        if not isinstance(text, str):
            raise TypeError(f"write() argument must be str, not {type(text).__name__}")
        if self._target is not None and text:
            self._target.send_text(self._name, text)
        return len(text)

    def writable(self):
        return True

    def isatty(self):
        return False

    @property
    def encoding(self):
        return "utf-8"


class WorkerShell(HeadlessShell):
    """A worker process's shell: what it shows is forwarded, never printed
    in the worker."""

    display_pub_class = Type(ForwardingPublisher)


_shell = None
_shell_lock = threading.Lock()  # runs of a thread pool may start at once


def worker_shell():
    """This process's worker shell, made on first use and made the process's
    InteractiveShell (what IPython.display and the inline backend show
    through). A forked worker may hold its parent's shell (a kernel's, whose
    sockets belong to the parent): it is replaced."""
    global _shell
    with _shell_lock:
        if _shell is None:
            inline_figures()
            if InteractiveShell.initialized():
                type(InteractiveShell.instance()).clear_instance()
            config = Config()
            config.HistoryManager.enabled = False  # no history database per worker
            _shell = WorkerShell.instance(config=config)
        return _shell


def format_value(shell, value):
    """(data, metadata) of `value` as the shell's display formatter makes
    them. A formatter that fails is noted, not printed as a traceback into
    the run's output; without a text form the value gets a placeholder."""
    failures = []

    def note(*args, **kwargs):
        failures.append(sys.exc_info()[1])

    own = vars(shell).get("showtraceback")
    shell.showtraceback = note
    try:
        data, metadata = shell.display_formatter.format(value)
    finally:
        if own is None:
            del shell.showtraceback
        else:
            shell.showtraceback = own
    if failures and "text/plain" not in data:
        data = {**data, "text/plain": shown_placeholder(value, failures[0])}
    return data, metadata


@contextlib.contextmanager
def forwarding(shell, publisher):
    """For one run: the worker shell's display calls and the process's
    standard streams go to `publisher` (a TesselDisplayPublisher, or None)."""
    saved = (shell.display_pub.target, sys.stdout, sys.stderr)
    shell.display_pub.target = publisher
    sys.stdout = ForwardingStream("stdout", publisher)
    sys.stderr = ForwardingStream("stderr", publisher)
    try:
        yield
    finally:
        shell.display_pub.target, sys.stdout, sys.stderr = saved
