// The function type of the package's C++ functions and methods.
//
// nanobind's own function and method types give no inspect.signature, prefix
// __doc__ with a generated signature, and bind methods to objects that never
// compare equal. This type wraps a nanobind function and behaves like a
// Python function where Python code looks:
// - it is a method descriptor (Py_TPFLAGS_METHOD_DESCRIPTOR): `obj.m(...)` is
//   one vectorcall with self in front, no bound object is made;
// - reading `obj.m` gives a standard bound method (types.MethodType), so
//   equality, hashing, weakref.WeakMethod, __self__ and __func__ work;
// - __doc__ is the docstring alone; __name__, __qualname__, __module__ are
//   set; __signature__ is the one the package's .pyi stub declares, read on
//   first use (the stubs are the single written form of the interface);
// - it pickles by module and qualified name, as a Python function does.
#pragma once
#include <nanobind/nanobind.h>

#include <structmember.h>

#include <cstddef>

namespace pyclass::fn {
namespace nb = nanobind;

struct Object {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject *impl;           // the nanobind function
    vectorcallfunc impl_call; // its vectorcall entry, called without a lookup
    PyObject *signature;      // cached; nullptr until first read
    PyObject *names;          // positional parameter names; nullptr until first needed
    PyObject *dict;
    PyObject *weakrefs;
};

inline nb::object stub_signature(nb::handle fn);   // defined in stubsig.h
inline PyObject *positional_names(PyObject *impl); // a tuple or None; in stubsig.h

inline Object *as_fn(PyObject *self) {
    return reinterpret_cast<Object *>(self);
}

// Index of keyword `key` among the positional parameter names, or -1.
inline Py_ssize_t name_index(PyObject *names, PyObject *key) {
    Py_ssize_t n = PyTuple_GET_SIZE(names);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyTuple_GET_ITEM(names, i) == key)
            return i;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyUnicode_Compare(PyTuple_GET_ITEM(names, i), key) == 0)
            return i;
    return -1;
}

// Keyword arguments that fill the positional parameters right after the
// positional arguments, with no gap, are passed by position: nanobind matches
// keywords by name on every call, which costs a call its speed. Anything else
// (unknown or repeated names, gaps, too many) takes nanobind's own path and
// its own error messages. Returns false when the fast path does not apply.
constexpr Py_ssize_t max_fast_args = 8;
inline bool keywords_as_positions(Object *f, PyObject *const *args, Py_ssize_t nargs,
                                  PyObject *kwnames, PyObject **out, Py_ssize_t *total) {
    if (!f->names)
        f->names = positional_names(f->impl);
    if (f->names == Py_None)
        return false;
    Py_ssize_t nk = PyTuple_GET_SIZE(kwnames);
    *total = nargs + nk;
    if (*total > max_fast_args || *total > PyTuple_GET_SIZE(f->names))
        return false;
    for (Py_ssize_t i = 0; i < *total; ++i)
        out[i] = i < nargs ? args[i] : nullptr;
    for (Py_ssize_t k = 0; k < nk; ++k) {
        Py_ssize_t j = name_index(f->names, PyTuple_GET_ITEM(kwnames, k));
        if (j < nargs || j >= *total || out[j])
            return false;
        out[j] = args[nargs + k];
    }
    return true; // every slot below *total filled exactly once
}

inline PyObject *vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                            PyObject *kwnames) {
    Object *f = as_fn(self);
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        PyObject *buf[max_fast_args + 1];
        Py_ssize_t total = 0;
        if (keywords_as_positions(f, args, PyVectorcall_NARGS(nargsf), kwnames, buf + 1, &total))
            return f->impl_call(f->impl, buf + 1, (size_t)total | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                nullptr);
        if (PyErr_Occurred())
            return nullptr;
    }
    return f->impl_call(f->impl, args, nargsf, kwnames);
}

inline PyObject *descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (!obj || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

inline int traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_fn(self)->impl);
    Py_VISIT(as_fn(self)->signature);
    Py_VISIT(as_fn(self)->names);
    Py_VISIT(as_fn(self)->dict);
    return 0;
}

inline int clear(PyObject *self) {
    Py_CLEAR(as_fn(self)->impl);
    Py_CLEAR(as_fn(self)->signature);
    Py_CLEAR(as_fn(self)->names);
    Py_CLEAR(as_fn(self)->dict);
    return 0;
}

inline void dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_fn(self)->weakrefs)
        PyObject_ClearWeakRefs(self);
    clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

inline PyObject *repr(PyObject *self) {
    PyObject *qualname = PyObject_GetAttrString(self, "__qualname__");
    if (!qualname)
        return nullptr;
    PyObject *r = PyUnicode_FromFormat("<function %S at %p>", qualname, self);
    Py_DECREF(qualname);
    return r;
}

// None when no stub declares the function: inspect then raises ValueError.
inline PyObject *get_signature(PyObject *self, void *) {
    Object *f = as_fn(self);
    if (!f->signature) {
        try {
            f->signature = stub_signature(nb::handle(self)).release().ptr();
        } catch (nb::python_error &e) {
            e.restore();
            return nullptr;
        }
    }
    Py_INCREF(f->signature);
    return f->signature;
}

// The nanobind function, as functools.wraps would name it.
inline PyObject *get_wrapped(PyObject *self, void *) {
    Py_INCREF(as_fn(self)->impl);
    return as_fn(self)->impl;
}

inline int set_signature(PyObject *self, PyObject *value, void *) {
    Py_XINCREF(value);
    Py_XSETREF(as_fn(self)->signature, value);
    return 0;
}

inline PyObject *reduce(PyObject *self, PyObject *) {
    return PyObject_GetAttrString(self, "__qualname__");
}

inline PyTypeObject *type() {
    static PyMemberDef members[] = {
        {"__vectorcalloffset__", T_PYSSIZET, offsetof(Object, vectorcall), READONLY, nullptr},
        {"__dictoffset__", T_PYSSIZET, offsetof(Object, dict), READONLY, nullptr},
        {"__weaklistoffset__", T_PYSSIZET, offsetof(Object, weakrefs), READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr}};
    static PyGetSetDef getset[] = {
        {"__wrapped__", get_wrapped, nullptr, nullptr, nullptr},
        {"__signature__", get_signature, set_signature, nullptr, nullptr},
        {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr}};
    static PyMethodDef methods[] = {{"__reduce__", reduce, METH_NOARGS, nullptr},
                                    {nullptr, nullptr, 0, nullptr}};
    static PyType_Slot slots[] = {{Py_tp_call, (void *)PyVectorcall_Call},
                                  {Py_tp_descr_get, (void *)descr_get},
                                  {Py_tp_traverse, (void *)traverse},
                                  {Py_tp_clear, (void *)clear},
                                  {Py_tp_dealloc, (void *)dealloc},
                                  {Py_tp_repr, (void *)repr},
                                  {Py_tp_members, members},
                                  {Py_tp_getset, getset},
                                  {Py_tp_methods, methods},
                                  {0, nullptr}};
    static PyType_Spec layout = {"tessel_core.native_function", sizeof(Object), 0,
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                                     Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL |
                                     Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                                 slots};
    static PyTypeObject *tp = nullptr; // one per extension module, never freed
    if (!tp) {
        tp = (PyTypeObject *)PyType_FromSpec(&layout);
        if (!tp)
            throw nb::python_error();
    }
    return tp;
}

// Wrap `impl` under the given names; `doc` may be null (no docstring).
inline nb::object make(nb::object impl, nb::handle name, nb::handle qualname, nb::handle module,
                       const char *doc) {
    PyTypeObject *tp = type();
    Object *f = PyObject_GC_New(Object, tp);
    if (!f)
        throw nb::python_error();
    f->vectorcall = vectorcall;
    f->impl_call = PyVectorcall_Function(impl.ptr());
    if (!f->impl_call)
        f->impl_call = PyObject_Vectorcall; // not reached with nanobind 3
    f->impl = impl.release().ptr();
    f->signature = nullptr;
    f->names = nullptr;
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track((PyObject *)f);
    nb::object self = nb::steal((PyObject *)f);
    self.attr("__name__") = name;
    self.attr("__qualname__") = qualname;
    self.attr("__module__") = module;
    self.attr("__doc__") = doc ? nb::object(nb::str(doc)) : nb::none();
    return self;
}

// The last string literal among nanobind's extras: the docstring.
inline const char *pick_doc(const char *s, const char *) {
    return s;
}
template <size_t N> const char *pick_doc(const char (&s)[N], const char *) {
    return s;
}
template <typename T> const char *pick_doc(const T &, const char *d) {
    return d;
}
template <typename... Extra> const char *doc_of(const Extra &...extra) {
    const char *d = nullptr;
    ((d = pick_doc(extra, d)), ...);
    return d;
}

} // namespace pyclass::fn
