// Python classes with C++ bodies.
//
// Every class of the package is a real Python class: it is created at module
// init by calling its metaclass with a namespace of C++ functions and
// properties, so it can be subclassed in Python, pickled by module and
// qualified name, keeps instance state in __dict__ and takes part in super()
// chains. pydantic v1 models are declared the same way (annotations plus
// defaults in the namespace).
#pragma once
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "tessel_core/_native/pyfunc.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace nb = nanobind;
using namespace nanobind::literals;

namespace pyclass {
using error = nb::python_error;

inline nb::module_ import(const char *name) {
    return nb::module_::import_(name);
}

// Parameter type meaning "any Python object, None included". nanobind rejects
// None for nb::object parameters unless every nb::arg is marked .none();
// has_arg_defaults<obj> (at the end of this file) makes None acceptable.
inline bool any_object(PyObject *) {
    return true;
}
class obj : public nb::object {
    NB_OBJECT_DEFAULT(obj, object, "object", any_object)
};

// Interned attribute-name string, created once per call site and never freed.
#define PYCLASS_S(lit)                                                                             \
    ([]() -> nb::handle {                                                                          \
        static PyObject *s_ = PyUnicode_InternFromString(lit);                                     \
        return nb::handle(s_);                                                                     \
    }())

[[noreturn]] inline void raise(PyObject *type, const char *msg) {
    PyErr_SetString(type, msg);
    throw error();
}

[[noreturn]] inline void raise_fmt(PyObject *type, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    PyErr_FormatV(type, fmt, ap);
    va_end(ap);
    throw error();
}

// Steal a new reference, or throw the Python error that is set.
inline nb::object check(PyObject *o) {
    if (!o)
        throw error();
    return nb::steal(o);
}

inline nb::handle type_of(nb::handle o) {
    return nb::handle((PyObject *)Py_TYPE(o.ptr()));
}

inline bool truthy(nb::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0)
        throw error();
    return r == 1;
}

// list(iterable): a new list (nb::list(x) would share x when it is a list).
inline nb::list list_copy(nb::handle iterable) {
    return nb::steal<nb::list>(check(PySequence_List(iterable.ptr())).release());
}

inline bool is_instance(nb::handle o, nb::handle cls) {
    int r = PyObject_IsInstance(o.ptr(), cls.ptr());
    if (r < 0)
        throw error();
    return r == 1;
}

inline bool equal(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0)
        throw error();
    return r == 1;
}

// ---- checked views of a caller's objects ------------------------------------
// A caller may pass anything where a dict, a list or a pair is expected; these
// turn a wrong shape into a TypeError or ValueError instead of a crash.

template <typename T> struct type_name;
template <> struct type_name<nb::tuple> { static constexpr const char *value = "tuple"; };
template <> struct type_name<nb::list> { static constexpr const char *value = "list"; };
template <> struct type_name<nb::dict> { static constexpr const char *value = "dict"; };

// `o` as a T (exact type or subclass), or TypeError naming `what`.
template <typename T> T expect(nb::handle o, const char *what) {
    if (!nb::isinstance<T>(o))
        raise_fmt(PyExc_TypeError, "%.200s must be a %s, not %.200s", what, type_name<T>::value,
                  Py_TYPE(o.ptr())->tp_name);
    return nb::borrow<T>(o);
}

// `k, v = item` as Python unpacks it: any iterable of exactly two items.
inline std::pair<nb::object, nb::object> unpack_pair(nb::handle item, const char *what) {
    PyObject *seq = PySequence_Fast(item.ptr(), "");
    if (!seq) {
        PyErr_Clear();
        raise_fmt(PyExc_TypeError, "%.200s: cannot unpack non-iterable %.200s object into a pair",
                  what, Py_TYPE(item.ptr())->tp_name);
    }
    nb::object owner = nb::steal(seq);
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    if (n != 2)
        raise_fmt(PyExc_ValueError, "%.200s: expected pairs of (key, value), got %zd item(s)", what,
                  n);
    PyObject **items = PySequence_Fast_ITEMS(seq);
    return {nb::borrow(items[0]), nb::borrow(items[1])};
}

// The (key, value) pairs of `mapping.items()`, checked, taken before any is used.
inline std::vector<std::pair<nb::object, nb::object>> items_of(nb::handle mapping,
                                                               const char *what) {
    nb::object items = nb::getattr(mapping, "items", nb::none());
    if (items.is_none())
        raise_fmt(PyExc_TypeError, "%.200s must be a mapping, not %.200s", what,
                  Py_TYPE(mapping.ptr())->tp_name);
    std::vector<std::pair<nb::object, nb::object>> pairs;
    for (nb::handle item : list_copy(items()))
        pairs.push_back(unpack_pair(item, what));
    return pairs;
}

// float(o) as a C++ double, or the TypeError float() raises.
inline double as_double(nb::handle o) {
    double v = PyFloat_AsDouble(o.ptr());
    if (v == -1.0 && PyErr_Occurred())
        throw error();
    return v;
}

// A str as UTF-8 bytes, embedded NULs and lone surrogates included (encoded
// with "surrogatepass"); from_utf8 turns such bytes back into the same str.
inline std::string utf8_of(nb::handle text) {
    nb::object b = check(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
    return std::string(PyBytes_AS_STRING(b.ptr()), (size_t)PyBytes_GET_SIZE(b.ptr()));
}
inline nb::object from_utf8(const std::string &bytes, size_t n = std::string::npos) {
    return check(
        PyUnicode_DecodeUTF8(bytes.data(), (Py_ssize_t)std::min(n, bytes.size()), "surrogatepass"));
}

// str(o) that never raises: a value whose __str__ fails is shown as the
// traceback module shows such an exception.
inline nb::object safe_str(nb::handle o) {
    PyObject *s = PyObject_Str(o.ptr());
    if (s)
        return nb::steal(s);
    PyErr_Clear();
    return nb::str("<exception str() failed>");
}

// Calls `target.<method>()` when the scope ends, however it ends ("__exit__"
// gets the three Nones of a context left without an exception): capture
// contexts, publishers and transactions are never left open by an exception.
// A destructor cannot raise, so an error there is reported as unraisable.
struct Finally {
    nb::object target;
    const char *method;
    ~Finally() {
        if (!target.is_valid() || target.is_none())
            return;
        bool exit = std::strcmp(method, "__exit__") == 0;
        PyObject *r =
            exit ? PyObject_CallMethod(target.ptr(), method, "OOO", Py_None, Py_None, Py_None)
                 : PyObject_CallMethod(target.ptr(), method, nullptr);
        if (r)
            Py_DECREF(r);
        else
            PyErr_WriteUnraisable(target.ptr());
    }
};

// A parameter annotated `str` accepts a str or None only:
//   TypeError: Argument 'new_name' has incorrect type (expected str, got int)
inline void require_str(nb::handle value, const char *argname) {
    if (value.is_none() || PyUnicode_Check(value.ptr()))
        return;
    raise_fmt(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
              argname, "str", Py_TYPE(value.ptr())->tp_name);
}

// A getter annotated `-> str` returns a stored str or None unchanged.
inline nb::object str_result(nb::object value) {
    if (!value.is_none() && !PyUnicode_Check(value.ptr()))
        raise_fmt(PyExc_TypeError, "Expected %s, got %.200s", "unicode",
                  Py_TYPE(value.ptr())->tp_name);
    return value;
}

// Whether `assert` statements run (false under python -O).
inline bool assertions_enabled() {
    // Thread contract: GIL held; racing first calls store the same value.
    static int optimize = -1;
    if (optimize < 0)
        optimize = nb::cast<int>(import("sys").attr("flags").attr("optimize"));
    return optimize == 0;
}

// super(cls, self): the explicit two-argument form (C++ has no __class__ cell).
inline nb::object super_(nb::handle cls, nb::handle self) {
    return check(
        PyObject_CallFunctionObjArgs((PyObject *)&PySuper_Type, cls.ptr(), self.ptr(), nullptr));
}

// The module's namespace, looked up at call time as Python code would, so
// callers and tests can replace imported classes and constants.
struct ModuleGlobals {
    PyObject *dict = nullptr; // strong, never released: modules live until exit

    void init(nb::module_ m);
    nb::object get(nb::handle name) const {
        PyObject *v = PyDict_GetItemWithError(dict, name.ptr());
        if (!v) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
            throw error();
        }
        return nb::borrow(v);
    }
};

namespace detail {
template <typename F, typename... Extra> constexpr bool check_arg_count(size_t self_params);
#define PYCLASS_CHECK_ARGS(self_params) static_assert(check_arg_count<F, Extra...>(self_params))

// The package's function type (pyfunc.h) around a nanobind function named
// `name` in `scope` (a class's stand-in scope or a module).
inline nb::object wrap(nb::object impl, nb::handle scope, const char *name, const char *doc) {
    nb::str n(name);
    nb::object qualname = n;
    if (!PyModule_Check(scope.ptr()))
        qualname = nb::str("{}.{}").format(scope.attr("__qualname__"), n);
    nb::object module =
        PyModule_Check(scope.ptr()) ? scope.attr("__name__") : scope.attr("__module__");
    return fn::make(std::move(impl), n, qualname, module, doc);
}

// Method: self first, the way a Python function defined in a class is.
template <typename F, typename... Extra>
nb::object make_method(nb::handle scope, const char *name, F &&f, const Extra &...extra) {
    PYCLASS_CHECK_ARGS(1);
    nb::object impl = nb::cpp_function(std::forward<F>(f), nb::scope(scope), nb::name(name),
                                       nb::is_method(), extra...);
    return wrap(std::move(impl), scope, name, fn::doc_of(extra...));
}
// Function whose parameters are all explicit (module functions, static and
// class methods).
template <typename F, typename... Extra>
nb::object make_function(nb::handle scope, const char *name, F &&f, const Extra &...extra) {
    PYCLASS_CHECK_ARGS(0);
    nb::object impl = nb::cpp_function(std::forward<F>(f), nb::name(name), extra...);
    return wrap(std::move(impl), scope, name, fn::doc_of(extra...));
}
// Property accessors stay nanobind functions (the property carries the doc).
// They are made without a scope: nanobind merges same-named functions of one
// scope into an overload chain, and a getter and its setter share a name.
template <typename F> nb::object make_accessor(const char *name, F &&f) {
    return nb::cpp_function(std::forward<F>(f), nb::name(name));
}
} // namespace detail

// Stand-in for Python's __class__ cell, filled in by ClassDef::finish().
// A weak reference: the class owns every function that captures the cell, but
// a function taken out of the class (`f = C.__init__; del C`) can outlive it.
struct ClassCell {
    PyObject *ref = nullptr; // weakref to the class, never released
    void set(nb::handle cls) { ref = check(PyWeakref_NewRef(cls.ptr(), nullptr)).release().ptr(); }
    nb::handle get() const {
        if (!ref)
            raise(PyExc_RuntimeError, "class not finished yet");
        PyObject *cls = PyWeakref_GetObject(ref);
        if (cls == Py_None)
            raise(PyExc_RuntimeError, "the class of this method no longer exists");
        return nb::handle(cls);
    }
};
using Cell = std::shared_ptr<ClassCell>;

// Same rule as type.__new__: the most derived metaclass wins.
inline nb::handle calculate_meta(nb::handle explicit_meta, nb::tuple bases) {
    PyTypeObject *winner = explicit_meta ? (PyTypeObject *)explicit_meta.ptr() : &PyType_Type;
    for (nb::handle b : bases) {
        PyTypeObject *t = Py_TYPE(b.ptr());
        if (PyType_IsSubtype(winner, t))
            continue;
        if (PyType_IsSubtype(t, winner)) {
            winner = t;
            continue;
        }
        raise(PyExc_TypeError, "metaclass conflict: the metaclass of a derived class must be a "
                               "(non-strict) subclass of the metaclasses of all its bases");
    }
    return nb::handle((PyObject *)winner);
}

class ClassDef;
inline nb::object
repr_text(nb::handle self,
          const std::vector<std::pair<const char *, nb::object (*)(nb::handle)>> &fields) {
    nb::object text = type_of(self).attr("__name__");
    nb::object enum_t = import("enum").attr("Enum");
    for (const auto &[label, read] : fields) {
        nb::object shown;
        try {
            nb::object value = read(self);
            shown = is_instance(value, enum_t) ? nb::object(value.attr("name")) : nb::repr(value);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception))
                throw;
            shown = nb::str("?");
        }
        text = text + nb::str(" ") + nb::str(label) + nb::str("=") + shown;
    }
    return nb::str("<") + text + nb::str(">");
}

class ClassDef {
  public:
    ClassDef(nb::module_ m, const char *name, nb::tuple bases, const char *doc = nullptr,
             nb::handle metaclass = nb::handle())
        : m_(m), name_(name), bases_(bases), meta_(metaclass),
          cell_(std::make_shared<ClassCell>()) {
        nb::object modname = m.attr("__name__");
        ns_["__module__"] = modname;
        ns_["__qualname__"] = name_;
        if (doc)
            ns_["__doc__"] = nb::str(doc);
        // Scope that gives the functions the class's __qualname__/__module__
        // before the class exists. Kept alive by the module.
        scope_ = import("types").attr("SimpleNamespace")("__qualname__"_a = name_,
                                                         "__module__"_a = modname);
        if (!PyObject_HasAttrString(m.ptr(), "_pyclass_scopes"))
            m.attr("_pyclass_scopes") = nb::list();
        m.attr("_pyclass_scopes").attr("append")(scope_);
    }
    const Cell &cell() const { return cell_; }

    // Instance method; f receives (nb::handle self, ...).
    template <typename F, typename... Extra>
    ClassDef &def(const char *name, F &&f, const Extra &...extra) {
        ns_[name] = detail::make_method(scope_, name, std::forward<F>(f), extra...);
        return *this;
    }
    // Set on the class after the metaclass ran (pydantic v1 would take a
    // namespace value that is not a plain function for a field).
    template <typename F, typename... Extra>
    ClassDef &def_after(const char *name, F &&f, const Extra &...extra) {
        late_[name] = detail::make_method(scope_, name, std::forward<F>(f), extra...);
        return *this;
    }
    template <typename F, typename... Extra>
    ClassDef &def_static(const char *name, F &&f, const Extra &...extra) {
        nb::object fn = detail::make_function(scope_, name, std::forward<F>(f), extra...);
        ns_[name] = import("builtins").attr("staticmethod")(fn);
        return *this;
    }
    // classmethod; f receives (nb::handle cls, ...), "cls"_a given.
    template <typename F, typename... Extra>
    ClassDef &def_classmethod(const char *name, F &&f, const Extra &...extra) {
        nb::object fn = detail::make_function(scope_, name, std::forward<F>(f), extra...);
        ns_[name] = import("builtins").attr("classmethod")(fn);
        return *this;
    }
    // abc.abstractmethod-marked method (body still callable through super()).
    template <typename F, typename... Extra>
    ClassDef &def_abstract(const char *name, F &&f, const Extra &...extra) {
        ns_[name] = import("abc").attr("abstractmethod")(
            detail::make_function(scope_, name, std::forward<F>(f), extra...));
        return *this;
    }
    template <typename G, typename S>
    ClassDef &prop(const char *name, G &&get, S &&set, const char *doc) {
        ns_[name] = import("builtins")
                        .attr("property")(detail::make_accessor(name, std::forward<G>(get)),
                                          detail::make_accessor(name, std::forward<S>(set)),
                                          nb::none(), nb::str(doc));
        return *this;
    }
    template <typename G> ClassDef &prop_ro(const char *name, G &&get, const char *doc) {
        ns_[name] = import("builtins")
                        .attr("property")(detail::make_accessor(name, std::forward<G>(get)),
                                          nb::none(), nb::none(), nb::str(doc));
        return *this;
    }
    // Annotated class attribute (pydantic field), with or without a default.
    ClassDef &field(const char *name, nb::handle annotation) {
        ann_[name] = annotation;
        return *this;
    }
    ClassDef &field(const char *name, nb::handle annotation, nb::handle dflt) {
        ann_[name] = annotation;
        ns_[name] = dflt;
        return *this;
    }
    ClassDef &attr(const char *name, nb::handle value) {
        ns_[name] = value;
        return *this;
    }
    nb::object ns_item(const char *name) const { return ns_[name]; }

    // __repr__ as "<Type label=value ...>", the values read by `fields`; an
    // enumeration member shows as its name. A value that cannot be read (a
    // half-built object) shows as "?": repr never raises.
    using ReprField = std::pair<const char *, nb::object (*)(nb::handle)>;
    ClassDef &repr(std::vector<ReprField> fields) {
        return def("__repr__", [fields](nb::handle self) { return repr_text(self, fields); });
    }

    // metaclass(name, bases, ns); publishes the class on the module.
    nb::object finish() {
        nb::handle meta = calculate_meta(meta_, bases_);
        nb::object ns = meta.attr("__prepare__")(name_, bases_);
        if (PyDict_Size(ann_.ptr()) > 0)
            ns["__annotations__"] = ann_;
        for (auto kv : ns_)
            ns[kv.first] = kv.second;
        nb::object cls = meta(name_, bases_, ns);
        for (auto kv : late_)
            if (PyObject_SetAttr(cls.ptr(), kv.first.ptr(), kv.second.ptr()) < 0)
                throw error();
        cell_->set(cls);
        m_.attr(name_) = cls;
        return cls;
    }

  private:
    nb::module_ m_;
    nb::str name_;
    nb::tuple bases_;
    nb::handle meta_;
    nb::dict ns_, ann_, late_;
    nb::object scope_;
    Cell cell_;
};

inline void ModuleGlobals::init(nb::module_ m) {
    dict = PyModule_GetDict(m.ptr());
    Py_INCREF(dict);
}

// Module function `name`, with the package's function type.
template <typename F, typename... Extra>
void def_function(nb::module_ m, const char *name, F &&f, const Extra &...extra) {
    m.attr(name) = detail::make_function(m, name, std::forward<F>(f), extra...);
}

// A plain type object as a handle: builtin(PyUnicode_Type) and so on.
inline nb::handle builtin(PyTypeObject &t) {
    return nb::handle((PyObject *)&t);
}

} // namespace pyclass

#include "tessel_core/_native/nb_internals.h"
#include "tessel_core/_native/stubsig.h"
