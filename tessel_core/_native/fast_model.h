// Building pydantic v1 records on hot paths (one per captured write).
//
// A validated construction costs microseconds, which would make every
// print() of a captured cell several times slower. When the values are known
// to be of the field types already, build the instance the way pydantic's own
// construct() does (new object, __dict__ filled from the field defaults and
// the values, __fields_set__), from a template of the defaults cached per
// class. Classes where that would not be equivalent (a custom __init__,
// private attributes, mutable or factory defaults) take the validated path.
#pragma once
#include "tessel_core/_native/pyclass.h"

#include <initializer_list>
#include <utility>

namespace pyclass {

class FastModel {
  public:
    using Item = std::pair<nb::handle, nb::handle>; // (interned field name, value)

    nb::object make(nb::handle cls, std::initializer_list<Item> items) {
        if (cls.ptr() != cls_.ptr())
            learn(cls);
        if (!usable_) {
            nb::dict kwargs;
            for (const Item &it : items)
                kwargs[it.first] = it.second;
            return check(PyObject_Call(cls.ptr(), nb::tuple().ptr(), kwargs.ptr()));
        }
        // object.__new__ itself (learn() checked nothing overrides it): the
        // type's own slot would look __new__ up by name on every call.
        PyTypeObject *tp = (PyTypeObject *)cls.ptr();
        nb::object inst = check(PyBaseObject_Type.tp_new(tp, empty_.ptr(), nullptr));
        nb::object dict = check(PyDict_Copy(templ_.ptr()));
        nb::object fields_set = check(PySet_New(nullptr));
        for (const Item &it : items) {
            if (PyDict_SetItem(dict.ptr(), it.first.ptr(), it.second.ptr()) < 0 ||
                PySet_Add(fields_set.ptr(), it.first.ptr()) < 0)
                throw error();
        }
        if (PyObject_GenericSetDict(inst.ptr(), dict.ptr(), nullptr) < 0)
            throw error();
        if (PyObject_GenericSetAttr(inst.ptr(), PYCLASS_S("__fields_set__").ptr(),
                                    fields_set.ptr()) < 0)
            throw error();
        // A record made of atomic values (strings, numbers, None) cannot be
        // part of a reference cycle, so the collector need not walk it; a
        // capture of many writes would otherwise have it walk every record
        // again and again. The set only ever receives field names, and the
        // dict tracks itself again as soon as a container is stored in it.
        untrack(fields_set);
        if (all_atomic(items)) {
            untrack(dict);
            untrack(inst);
        }
        return inst;
    }

  private:
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
        // Only plain field values: no defaults that are containers.
        nb::dict templ;
        nb::object fields = cls.attr("__fields__");
        for (auto kv : nb::borrow<nb::dict>(fields)) {
            nb::handle field = kv.second;
            if (!field.attr("default_factory").is_none())
                return;
            nb::object dflt = field.attr("default");
            if (!immutable(dflt))
                return;
            templ[kv.first] = dflt;
        }
        templ_ = templ;
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
    nb::dict templ_;
    nb::tuple empty_;
    bool usable_ = false;
};

} // namespace pyclass
