"""What a component's run read besides its inputs: the regular files it
opened for reading (seen through the interpreter's audit hook, which every
way Python code opens a file passes: open, io.open, os.open, numpy, pandas,
pickle) and the modules its code used (those it imported, and those of the
modules, functions, classes and objects it read from its namespace).

The hook is installed once per process (audit hooks cannot be removed) and
records only while a run is recording, in the thread that runs it.
Thread contract: `recording` may be used from any thread, each thread
records its own run; the hook runs with the GIL held in the opening thread.
"""

import contextlib
import os
import stat
import sys
import sysconfig
import threading
import types

_state = threading.local()  # .run: the Recording of this thread's run, or absent
_installed = False
_install_lock = threading.Lock()

# Where the interpreter and installed packages live: files read there are
# code, tracked by module versions instead.
_ignored_roots = tuple(sorted({os.path.realpath(p) + os.sep for p in (
    sys.prefix, sys.base_prefix, sys.exec_prefix, sysconfig.get_paths().get("purelib", sys.prefix),
    sysconfig.get_paths().get("platlib", sys.prefix)) if p}))
# The package's own files (logs, transfer files) are never a run's data.
_ignored_names = (".tessel-transfer-", "tessel-run-")


class Recording:
    """What one run opened for reading (absolute paths) and imported."""

    __slots__ = ("files", "imports")

    def __init__(self):
        self.files, self.imports = set(), set()


def _hook(event, args):
    if event != "open" and event != "import":
        return
    run = getattr(_state, "run", None)
    if run is None or not args:
        return
    if event == "import":
        run.imports.add(args[0])
        return
    if not isinstance(args[0], (str, bytes, os.PathLike)):
        return  # an open file descriptor
    mode, flags = (args[1] if len(args) > 1 else None), (args[2] if len(args) > 2 else 0)
    if isinstance(mode, str):
        if any(c in mode for c in "wax+"):
            return
    elif isinstance(flags, int) and flags & (os.O_WRONLY | os.O_RDWR):
        return
    try:
        run.files.add(os.path.abspath(os.fsdecode(args[0])))
    except (TypeError, ValueError):
        pass


def _install():
    global _installed
    with _install_lock:
        if not _installed:
            sys.addaudithook(_hook)
            _installed = True


@contextlib.contextmanager
def recording():
    """A Recording of the files this thread opens for reading and the modules
    it imports while inside (a nested recording records into both)."""
    _install()
    outer, run = getattr(_state, "run", None), Recording()
    _state.run = run
    try:
        yield run
    finally:
        _state.run = outer
        if outer is not None:
            outer.files |= run.files
            outer.imports |= run.imports


def what_it_read(run, ns, names):
    """The data record of a run: the files it read, the modules it used."""
    if names is None:  # any name: those of the cell, not the namespace's own
        names = [n for n in ns if not n.startswith("_") and n != "get_ipython"]
    values = [ns[n] for n in names if n in ns]
    return {"files": data_files(run.files), "modules": modules_used(run.imports, values)}


def data_files(opened, ignored_dirs=()):
    """The regular files among the paths opened, absolute, sorted; files of
    the Python installation, of site-packages and under `ignored_dirs` left out."""
    roots = _ignored_roots + tuple(os.path.realpath(d) + os.sep for d in ignored_dirs if d)
    found = set()
    for path in opened:
        try:
            path = os.fsdecode(path)
            real = os.path.realpath(path)
            if not stat.S_ISREG(os.stat(real).st_mode):
                continue
        except (OSError, ValueError, TypeError):
            continue
        if real.startswith(roots) or os.path.basename(real).startswith(_ignored_names) or \
                real.endswith((".pyc", ".pyo")):
            continue  # compiled code is tracked as the module it is
        found.add(path)
    return sorted(found)


STDLIB = frozenset(sys.stdlib_module_names) | {"__main__", "builtins", "tessel_core"}


def top_module(name):
    return (name or "").partition(".")[0]


def modules_used(imported, values):
    """Top-level modules outside the standard library that a run used: those
    it imported and those of the values it read -> the file of the module."""
    names = {top_module(n) for n in imported}
    for value in values:
        if isinstance(value, types.ModuleType):
            names.add(top_module(value.__name__))
        else:
            owner = value if isinstance(value, type) or callable(value) else type(value)
            names.add(top_module(getattr(owner, "__module__", None)))
    found = {}
    for name in sorted(names - STDLIB - {""}):
        module = sys.modules.get(name)
        path = getattr(module, "__file__", None)
        if module is not None:
            found[name] = os.path.abspath(path) if path else None
    return found
