// What a run reads besides its inputs: the files it opens for reading and the
// modules it imports, seen through the interpreter's audit hook. The hook is
// a C function (installed once per process; audit hooks cannot be removed):
// every audit event of the process passes it (`id()` raises one), so it must
// cost next to nothing when no run records.
// Thread contract: the hook runs with the GIL held in the thread raising the
// event; each thread records into its own sets (thread_local), set by the
// Recording that brackets a run in that thread.
#pragma once
#include "tessel_core/_native/module.h"

#include <cstring>
#include <fcntl.h>
#include <utility>

namespace reads {

inline thread_local PyObject *t_files = nullptr;   // set of absolute paths, borrowed
inline thread_local PyObject *t_imports = nullptr; // set of module names, borrowed

inline bool opened_for_writing(PyObject *args) {
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    PyObject *mode = n > 1 ? PyTuple_GET_ITEM(args, 1) : Py_None;
    if (PyUnicode_Check(mode)) {
        const char *m = PyUnicode_AsUTF8(mode);
        return !m || std::strpbrk(m, "wax+") != nullptr;
    }
    PyObject *flags = n > 2 ? PyTuple_GET_ITEM(args, 2) : nullptr;
    if (flags && PyLong_Check(flags)) {
        long f = PyLong_AsLong(flags);
        return f == -1 || (f & (O_WRONLY | O_RDWR)) != 0;
    }
    return false;
}

inline void add_path(PyObject *path) {
    PyObject *os_path = PyImport_ImportModule("os.path");
    if (!os_path)
        return PyErr_Clear();
    PyObject *absolute = PyObject_CallMethod(os_path, "abspath", "O", path);
    Py_DECREF(os_path);
    if (absolute && PyBytes_Check(absolute)) {
        PyObject *text = PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(absolute),
                                                          PyBytes_GET_SIZE(absolute));
        Py_SETREF(absolute, text);
    }
    if (!absolute || PySet_Add(t_files, absolute) < 0)
        PyErr_Clear(); // recording is best effort: the run itself must not fail
    Py_XDECREF(absolute);
}

inline void note_open(PyObject *args) {
    PyObject *path = PyTuple_GET_ITEM(args, 0);
    if (!(PyUnicode_Check(path) || PyBytes_Check(path)) || opened_for_writing(args))
        return;                         // a file descriptor, or a file opened to write
    PyObject *type, *value, *traceback; // an exception on its way stays as it was
    PyErr_Fetch(&type, &value, &traceback);
    add_path(path);
    PyErr_Restore(type, value, traceback);
}

inline int audit_hook(const char *event, PyObject *args, void *) {
    if (!t_files || !PyTuple_Check(args) || PyTuple_GET_SIZE(args) == 0)
        return 0;
    if (std::strcmp(event, "open") == 0)
        note_open(args);
    else if (std::strcmp(event, "import") == 0 &&
             PySet_Add(t_imports, PyTuple_GET_ITEM(args, 0)) < 0)
        PyErr_Clear();
    return 0;
}

inline void install_hook() {
    static bool installed = false; // under the GIL
    if (installed)
        return;
    if (PySys_AddAuditHook(audit_hook, nullptr) < 0)
        throw pyclass::error();
    installed = true;
}

// Records what this thread opens and imports from its construction until
// stop() (or its end); a nested Recording adds what it saw to the outer one.
struct Recording {
    nb::object files = pyclass::check(PySet_New(nullptr));
    nb::object imports = pyclass::check(PySet_New(nullptr));
    PyObject *outer_files, *outer_imports;
    bool active = true;
    Recording() : outer_files(t_files), outer_imports(t_imports) {
        install_hook();
        t_files = files.ptr();
        t_imports = imports.ptr();
    }
    void stop() {
        if (!active)
            return;
        active = false;
        t_files = outer_files;
        t_imports = outer_imports;
        if (!outer_files)
            return;
        for (auto [outer, mine] :
             {std::pair{outer_files, files.ptr()}, std::pair{outer_imports, imports.ptr()}}) {
            PyObject *r = PyObject_CallMethod(outer, "update", "O", mine);
            if (!r)
                PyErr_Clear();
            Py_XDECREF(r);
        }
    }
    ~Recording() { stop(); }
    Recording(const Recording &) = delete;
    Recording &operator=(const Recording &) = delete;
};

} // namespace reads
