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

namespace pyclass {

class FastModel {
  public:
    nb::object make(nb::handle cls, nb::dict values) {
        if (cls.ptr() != cls_.ptr())
            learn(cls);
        if (!usable_)
            return check(PyObject_Call(cls.ptr(), nb::tuple().ptr(), values.ptr()));
        PyTypeObject *tp = (PyTypeObject *)cls.ptr();
        nb::object inst = check(tp->tp_new(tp, nb::tuple().ptr(), nullptr));
        nb::object dict = check(PyDict_Copy(templ_.ptr()));
        if (PyDict_Update(dict.ptr(), values.ptr()) < 0)
            throw error();
        if (PyObject_GenericSetDict(inst.ptr(), dict.ptr(), nullptr) < 0)
            throw error();
        nb::object fields_set = check(PySet_New(values.ptr()));
        if (PyObject_GenericSetAttr(inst.ptr(), PYCLASS_S("__fields_set__").ptr(),
                                    fields_set.ptr()) < 0)
            throw error();
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
        if (pyclass::truthy(nb::getattr(cls, "__private_attributes__", nb::dict())))
            return;
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

    nb::object cls_;
    nb::dict templ_;
    bool usable_ = false;
};

} // namespace pyclass
