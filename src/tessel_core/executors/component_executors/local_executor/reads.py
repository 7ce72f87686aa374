"""What a component's run read besides its inputs, from what the executor's
audit hook recorded (reads.h: every way Python code opens a file passes it,
open, io.open, os.open, numpy, pandas, pickle): the regular files it opened
for reading, and the modules its code used (those it imported, and those of
the modules, functions, classes and objects it read from its namespace).
Pure functions: any thread may call them.
"""

import os
import stat
import sys
import sysconfig
import types

# Where the interpreter and installed packages live: files read there are
# code, tracked by module versions instead.
_ignored_roots = tuple(sorted({os.path.realpath(p) + os.sep for p in (
    sys.prefix, sys.base_prefix, sys.exec_prefix, sysconfig.get_paths().get("purelib", sys.prefix),
    sysconfig.get_paths().get("platlib", sys.prefix)) if p}))
# The package's own files (logs, transfer files) are never a run's data.
_ignored_names = (".tessel-transfer-", "tessel-run-")
# Files of the kernel's virtual file systems (/proc/PID/cmdline read by a
# library) describe the process, not data; they look like regular files.
_virtual_roots = ("/proc/", "/sys/", "/dev/")


def what_it_read(files, imports, ns, names):
    """The data record of a run: the files it read, the modules it used
    (`files` and `imports` as the executor's audit hook recorded them)."""
    if names is None:  # any name: those of the cell, not the namespace's own
        names = [n for n in ns if not n.startswith("_") and n != "get_ipython"]
    values = [v for v in (ns[n] for n in names if n in ns) if type(v) not in PLAIN]
    return {"files": data_files(files) if files else [],
            "modules": modules_used(imports, values) if imports or values else {}}


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
        if real.startswith(roots + _virtual_roots) or \
                os.path.basename(real).startswith(_ignored_names) or \
                real.endswith((".pyc", ".pyo")):
            continue  # compiled code is tracked as the module it is
        found.add(path)
    return sorted(found)


STDLIB = frozenset(sys.stdlib_module_names) | {"__main__", "builtins", "tessel_core"}
# Values of these types use no module's code (the common case, checked first).
PLAIN = frozenset({int, float, str, bytes, bool, type(None), list, dict, tuple, set, complex})


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
