// What makes a component's run behave like the same cell in a notebook
// kernel: the main module's dunders, functions that look their globals up
// where they are called, inputs changed in place, a trailing semicolon,
// magics that see the component's names, inline figures.
#pragma once
#include "tessel_core/_native/module.h"
#include "tessel_core/executors/component_executors/local_executor/random_state.h"

namespace notebook {

constexpr const char *kMainDoc = "Automatically created module for IPython interactive environment";

// __name__, __doc__, __builtins__ and the other module dunders as the
// kernel's main module has them.
inline void seed_dunders(nb::dict ns, nb::handle shell) {
    ns["__name__"] = "__main__";
    ns["__builtins__"] = pyclass::import("builtins");
    ns["__doc__"] = kMainDoc;
    for (const char *key : {"__package__", "__spec__", "__loader__"})
        ns[key] = nb::none();
    if (shell.is_none())
        return;
    nb::object user_ns = nb::getattr(shell, "user_ns", nb::none());
    if (!PyDict_Check(user_ns.ptr()))
        return;
    for (const char *key : {"__doc__", "__package__", "__spec__", "__loader__"}) {
        PyObject *v = PyDict_GetItemString(user_ns.ptr(), key);
        if (v)
            ns[key] = nb::borrow(v);
    }
}

// Names the code reads; None when it may read any (globals(), eval, ...) or
// cannot be parsed: the package's one analysis of a cell (tessel_core.common.code).
inline nb::object names_read(nb::handle source) {
    return G("code_analysis").attr("names_read")(source);
}

// The global names a code object and the code nested in it look up.
inline void add_code_names(nb::handle code, nb::handle names, int depth = 0) {
    if (depth > 50)
        return;
    for (nb::handle name : code.attr("co_names"))
        if (PySet_Add(names.ptr(), name.ptr()) < 0)
            throw pyclass::error();
    for (nb::handle inner : code.attr("co_consts"))
        if (PyCode_Check(inner.ptr()))
            add_code_names(inner, names, depth + 1);
}

inline bool from_a_cell(nb::handle value);

// The code objects of a function from a cell, or of a cell class's methods.
inline nb::list cell_code_of(nb::handle value) {
    nb::list codes;
    nb::handle function_t = G("types").attr("FunctionType");
    if (pyclass::type_of(value).is(function_t)) {
        if (from_a_cell(value))
            codes.append(value.attr("__code__"));
    } else if (PyType_Check(value.ptr()) && from_a_cell(value)) {
        for (nb::handle member : pyclass::list_copy(value.attr("__dict__").attr("values")()))
            if (pyclass::type_of(member).is(function_t) && from_a_cell(member))
                codes.append(member.attr("__code__"));
    }
    return codes;
}

// `names` and the globals that the functions and classes from cells it
// names may read when called (`note(v)` appending to an upstream `log`), to
// the end of that chain: an input changed through them is changed by the run.
inline nb::object with_callee_names(nb::handle names, nb::dict ns) {
    if (names.is_none())
        return nb::none();
    nb::object all = pyclass::check(PySet_New(names.ptr()));
    nb::list pending = pyclass::list_copy(names);
    nb::object seen = pyclass::check(PySet_New(nullptr));
    while (nb::len(pending)) {
        nb::object name = pending.attr("pop")();
        if (PySet_Contains(seen.ptr(), name.ptr()) == 1)
            continue;
        PySet_Add(seen.ptr(), name.ptr());
        PyObject *value = PyDict_GetItemWithError(ns.ptr(), name.ptr());
        if (!value) {
            if (PyErr_Occurred())
                throw pyclass::error();
            continue;
        }
        nb::object found = pyclass::check(PySet_New(nullptr));
        for (nb::handle code : cell_code_of(value))
            add_code_names(code, found);
        for (nb::handle more : found)
            if (PySet_Contains(all.ptr(), more.ptr()) == 0) {
                PySet_Add(all.ptr(), more.ptr());
                pending.append(more);
            }
    }
    return all;
}

inline bool reads(nb::handle names, nb::handle name) {
    return names.is_none() || PySet_Contains(names.ptr(), name.ptr()) == 1;
}

// A function defined in a cell looks its globals up in the namespace it is
// called from, as in a notebook; unpickled, it would carry a frozen copy.
inline nb::object with_globals(nb::handle fn, nb::dict ns) {
    nb::object made =
        G("types").attr("FunctionType")(fn.attr("__code__"), ns, fn.attr("__name__"),
                                        fn.attr("__defaults__"), fn.attr("__closure__"));
    for (const char *attr : {"__kwdefaults__", "__qualname__", "__doc__", "__module__"})
        made.attr(attr) = fn.attr(attr);
    made.attr("__dict__").attr("update")(fn.attr("__dict__"));
    if (nb::hasattr(fn, "__annotations__"))
        made.attr("__annotations__") = fn.attr("__annotations__");
    return made;
}

inline bool from_a_cell(nb::handle value) {
    nb::object module = nb::getattr(value, "__module__", nb::none());
    return PyUnicode_Check(module.ptr()) && pyclass::equal(module, S("__main__"));
}

// A cell's class with its plain methods rebound to `ns`.
inline void bind_class_to_namespace(nb::handle cls, nb::dict ns) {
    nb::handle function_t = G("types").attr("FunctionType");
    for (nb::handle key : pyclass::list_copy(cls.attr("__dict__"))) {
        nb::object member = cls.attr("__dict__")[key];
        if (!pyclass::type_of(member).is(function_t) || !from_a_cell(member))
            continue;
        if (PyObject_SetAttr(cls.ptr(), key.ptr(), with_globals(member, ns).ptr()) < 0)
            throw pyclass::error();
    }
}

// The value to bind: a cell's function rebound to `ns`; a cell's class, or
// the class of an instance of one, with its methods rebound the same way
// (a method that evaluates a name by string finds it, as in one kernel).
inline nb::object bind_to_namespace(nb::handle value, nb::dict ns) {
    nb::handle function_t = G("types").attr("FunctionType");
    nb::handle type = pyclass::type_of(value);
    if (type.is(function_t))
        return from_a_cell(value) ? with_globals(value, ns) : nb::borrow(value);
    if (PyType_Check(value.ptr()) && from_a_cell(value))
        bind_class_to_namespace(value, ns);
    else if (!PyType_Check(value.ptr()) && from_a_cell(type))
        bind_class_to_namespace(type, ns);
    return nb::borrow(value);
}

// `3;` shows nothing in IPython: the value of a last expression followed by a
// semicolon is not the cell's value.
inline bool ends_with_semicolon(nb::handle source) {
    if (!pyclass::truthy(source.attr("__contains__")(";")))
        return false; // the common case, without tokenizing
    try {
        return pyclass::truthy(G("DisplayHook").attr("semicolon_at_end_of_expression")(source));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        return false; // untokenizable text: the compiler reports it
    }
}

// Figures drawn with the inline backend are shown at the end of the run, as
// a kernel shows them at the end of a cell, while the run's output is still
// captured.
inline void flush_inline_figures() {
    nb::object modules = G("sys").attr("modules");
    nb::object inline_backend = modules.attr("get")("matplotlib_inline.backend_inline");
    nb::object mpl = modules.attr("get")("matplotlib");
    if (inline_backend.is_none() || mpl.is_none())
        return;
    nb::object backend = nb::str(mpl.attr("get_backend")()).attr("lower")();
    if (!pyclass::truthy(backend.attr("__contains__")("inline")))
        return;
    inline_backend.attr("flush_figures")();
}

// Figure numbers pyplot has open (none when pyplot was never imported).
inline nb::object open_figures() {
    nb::object plt = G("sys").attr("modules").attr("get")("matplotlib.pyplot");
    if (plt.is_none())
        return pyclass::check(PySet_New(nullptr));
    return pyclass::check(PySet_New(plt.attr("get_fignums")().ptr()));
}

// Unpickling a figure registers it with pyplot, and the inline backend would
// show it again at the end of the run: an input figure is closed from
// pyplot's point of view, as the kernel closed it after the cell that drew
// it. It stays usable (display(fig), fig.savefig, drawing on its axes).
inline void close_input_figures(nb::handle before) {
    nb::object plt = G("sys").attr("modules").attr("get")("matplotlib.pyplot");
    if (plt.is_none())
        return;
    for (nb::handle num : plt.attr("get_fignums")())
        if (PySet_Contains(before.ptr(), num.ptr()) == 0)
            plt.attr("close")(num);
}

// The shell's user namespace is the component's while it runs: magics that
// evaluate code (%timeit, %%time, !cmd with $name) find its names.
struct UserNamespace {
    nb::object shell, saved;
    UserNamespace(nb::handle sh, nb::dict ns) : shell(nb::borrow(sh)) {
        saved = shell.attr("user_ns");
        shell.attr("user_ns") = ns;
    }
    ~UserNamespace() {
        if (PyObject_SetAttrString(shell.ptr(), "user_ns", saved.ptr()) < 0)
            PyErr_WriteUnraisable(shell.ptr());
    }
};

} // namespace notebook
