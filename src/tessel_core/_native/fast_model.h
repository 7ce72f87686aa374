// Building pydantic v1 records on hot paths (one per captured write).
//
// A validated construction costs microseconds, which would make every
// print() of a captured cell several times slower. When the values are known
// to be of the field types already, build the instance the way pydantic's own
// construct() does (new object, every field set from the values or the field
// defaults, __fields_set__), from the defaults cached per class. Classes
// where that would not be equivalent (a custom __init__, private attributes,
// mutable or factory defaults) take the validated path.
//
// The fields are set one by one, in field order, rather than as a __dict__
// of their own: the object then keeps its values in the compact form the
// interpreter shares among instances of a class (a fraction of a dict's
// size). A class whose `__fields_set__` derives itself when unset is left
// without one.
#pragma once
#include "tessel_core/_native/pyclass.h"

#include <initializer_list>
#include <utility>
#include <vector>

namespace pyclass {

class FastModel {
  public:
    using Item = std::pair<nb::handle, nb::handle>; // (interned field name, value)

    nb::object make(nb::handle cls, std::initializer_list<Item> items) {
        if (cls.ptr() != cls_.ptr())
            learn(cls);
        if (!usable_)
            return validated(cls, items);
        // object.__new__ itself (learn() checked nothing overrides it): the
        // type's own slot would look __new__ up by name on every call.
        PyTypeObject *tp = (PyTypeObject *)cls.ptr();
        nb::object inst = check(PyBaseObject_Type.tp_new(tp, empty_.ptr(), nullptr));
        Py_ssize_t n = PyTuple_GET_SIZE(names_.ptr());
        size_t matched = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *name = PyTuple_GET_ITEM(names_.ptr(), i);
            PyObject *value = PyTuple_GET_ITEM(defaults_.ptr(), i);
            for (const Item &it : items)
                if (it.first.ptr() == name) {
                    value = it.second.ptr();
                    ++matched;
                }
            if (PyObject_GenericSetAttr(inst.ptr(), name, value) < 0)
                throw error();
        }
        if (matched != items.size()) // a name that is no field, or not interned
            return validated(cls, items);
        if (!lazy_fields_set_) {
            nb::object fields_set = check(PySet_New(nullptr));
            for (const Item &it : items)
                if (PySet_Add(fields_set.ptr(), it.first.ptr()) < 0)
                    throw error();
            if (PyObject_GenericSetAttr(inst.ptr(), PYCLASS_S("__fields_set__").ptr(),
                                        fields_set.ptr()) < 0)
                throw error();
            // The set only ever receives field names.
            untrack(fields_set);
        }
        // A record made of atomic values (strings, numbers, None) cannot be
        // part of a reference cycle, so the collector need not walk it; a
        // capture of many writes would otherwise have it walk every record
        // again and again.
        if (all_atomic(items))
            untrack(inst);
        return inst;
    }

  private:
    static nb::object validated(nb::handle cls, std::initializer_list<Item> items) {
        nb::dict kwargs;
        for (const Item &it : items)
            kwargs[it.first] = it.second;
        return check(PyObject_Call(cls.ptr(), nb::tuple().ptr(), kwargs.ptr()));
    }

    static bool immutable(nb::handle v) {
        return v.is_none() || PyBool_Check(v.ptr()) || PyLong_CheckExact(v.ptr()) ||
               PyFloat_CheckExact(v.ptr()) || PyUnicode_CheckExact(v.ptr()) ||
               PyBytes_CheckExact(v.ptr());
    }

    void learn(nb::handle cls) {
        cls_ = nb::borrow(cls);
        usable_ = false;
        nb::object base_init = import("pydantic").attr("BaseModel").attr("__init__");
        if (!cls.attr("__init__").is(base_init))
            return;
        if (!cls.attr("__new__").is(nb::handle((PyObject *)&PyBaseObject_Type).attr("__new__")))
            return;
        if (pyclass::truthy(nb::getattr(cls, "__private_attributes__", nb::dict())))
            return;
        // Only plain field values: no defaults that are containers. The
        // names are interned, so that the callers' interned names match
        // them by identity.
        nb::list names, defaults;
        nb::object fields = cls.attr("__fields__");
        for (auto kv : nb::borrow<nb::dict>(fields)) {
            nb::handle field = kv.second;
            if (!field.attr("default_factory").is_none())
                return;
            nb::object dflt = field.attr("default");
            if (!immutable(dflt) || !PyUnicode_CheckExact(kv.first.ptr()))
                return;
            PyObject *name = kv.first.ptr();
            Py_INCREF(name);
            PyUnicode_InternInPlace(&name);
            names.append(nb::steal(name));
            defaults.append(dflt);
        }
        names_ = nb::tuple(names);
        defaults_ = nb::tuple(defaults);
        nb::object base_slot =
            import("pydantic").attr("BaseModel").attr("__dict__")["__fields_set__"];
        lazy_fields_set_ = !cls.attr("__fields_set__").is(base_slot);
        usable_ = true;
    }

    static bool all_atomic(std::initializer_list<Item> items) {
        for (const Item &it : items)
            if (!immutable(it.second))
                return false;
        return true;
    }

    static void untrack(nb::handle o) {
        if (PyObject_GC_IsTracked(o.ptr()))
            PyObject_GC_UnTrack(o.ptr());
    }

    nb::object cls_;
    nb::tuple names_, defaults_, empty_;
    bool usable_ = false;
    bool lazy_fields_set_ = false;
};

// What pydantic's construct() builds (the values given, every other field
// from its default as get_default() gives it, __fields_set__ the names
// given), with the fields set one by one in field order so that they take
// the compact layout instead of a dict of their own. For records made in
// large numbers (two per component of a graph).
using Given = std::vector<std::pair<const char *, nb::object>>;

inline nb::object construct_compact(nb::handle cls, const Given &values = {}) {
    nb::object inst =
        check(PyBaseObject_Type.tp_new((PyTypeObject *)cls.ptr(), nb::tuple().ptr(), nullptr));
    nb::object fields_set = check(PySet_New(nullptr));
    size_t next = 0, matched = 0; // values given in field order match at `next`
    for (auto kv : nb::borrow<nb::dict>(cls.attr("__fields__"))) {
        nb::object value;
        for (size_t k = 0; k < values.size() && !value.is_valid(); ++k) {
            size_t i = (next + k) % values.size();
            if (PyUnicode_CompareWithASCIIString(kv.first.ptr(), values[i].first) != 0)
                continue;
            value = values[i].second;
            next = i + 1;
            ++matched;
            if (PySet_Add(fields_set.ptr(), kv.first.ptr()) < 0)
                throw error();
        }
        if (!value.is_valid())
            value = kv.second.attr("get_default")();
        if (PyObject_GenericSetAttr(inst.ptr(), kv.first.ptr(), value.ptr()) < 0)
            throw error();
    }
    if (matched != values.size())
        raise(PyExc_TypeError, "construct_compact: a value was given for no field");
    if (PyObject_GenericSetAttr(inst.ptr(), PYCLASS_S("__fields_set__").ptr(), fields_set.ptr()) <
        0)
        throw error();
    return inst;
}

} // namespace pyclass
