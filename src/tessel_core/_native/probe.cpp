// A module that exercises every feature of the class builder, for its own
// tests and for the benchmark that compares it with plain Python classes.
#include "tessel_core/_native/pyclass.h"

using pyclass::ClassDef;
#define S PYCLASS_S

namespace {

long g_del_count = 0;

void define_probe(nb::module_ m) {
    ClassDef cls(m, "Probe", nb::make_tuple(pyclass::builtin(PyBaseObject_Type)),
                 "A class with every kind of member.");
    pyclass::Cell cell = cls.cell();
    cls.def(
           "__init__",
           [cell](nb::handle self, pyclass::obj name) {
               pyclass::super_(cell->get(), self).attr(S("__init__"))();
               pyclass::require_str(name, "name");
               self.attr(S("_name")) = name;
               self.attr(S("_label")) = name;
           },
           "name"_a = nb::none(), "Make a probe.")
        .prop(
            "name", [](nb::handle self) { return pyclass::str_result(self.attr(S("_name"))); },
            [](nb::handle self, pyclass::obj new_name) {
                pyclass::require_str(new_name, "new_name");
                self.attr(S("_name")) = new_name;
            },
            "Name (str or None).")
        .prop_ro(
            "label", [](nb::handle self) { return pyclass::str_result(self.attr(S("_label"))); },
            "Read-only label.")
        .def(
            "combine",
            [](nb::handle, pyclass::obj a, pyclass::obj b, pyclass::obj c) {
                return pyclass::check(
                    PyNumber_Add(pyclass::check(PyNumber_Add(a.ptr(), b.ptr())).ptr(), c.ptr()));
            },
            "a"_a, "b"_a = 2, "c"_a = 3, "Return a + b + c.")
        .def_static(
            "twice", [](pyclass::obj x) { return pyclass::check(PyNumber_Add(x.ptr(), x.ptr())); },
            "x"_a, "Return x + x.")
        .def_classmethod(
            "make", [](nb::handle cls, pyclass::obj name) { return cls(name); }, "cls"_a, "name"_a,
            "Build an instance of cls.")
        .def(
            "__del__", [](nb::handle) { ++g_del_count; }, "Count the finalizer run.");
    nb::object probe = cls.finish();
    pyclass::def_function(
        m, "del_count", []() { return g_del_count; }, "Number of Probe finalizers run so far.");
}

void define_abstract(nb::module_ m) {
    ClassDef(m, "AbstractProbe", nb::make_tuple(pyclass::builtin(PyBaseObject_Type)),
             "Abstract base; subclasses implement __init__.",
             pyclass::import("abc").attr("ABCMeta"))
        .def_abstract(
            "__init__", [](nb::handle self, pyclass::obj v) { self.attr(S("value")) = v; },
            "self"_a, "value"_a, "Store value.")
        .finish();
}

void define_model(nb::module_ m) {
    nb::object base = pyclass::import("pydantic").attr("BaseModel");
    nb::handle str_t = pyclass::builtin(PyUnicode_Type), int_t = pyclass::builtin(PyLong_Type);
    ClassDef(m, "ProbeModel", nb::make_tuple(base), "A pydantic model.")
        .field("title", str_t)
        .field("count", int_t, nb::int_(1))
        .field("tags", nb::object(pyclass::import("typing").attr("List")[str_t]), nb::list())
        .def_after(
            "summary",
            [](nb::handle self) {
                return nb::str("{}:{}").attr("format")(self.attr("title"), self.attr("count"));
            },
            "One-line summary.")
        .finish();
}

} // namespace

NB_MODULE(probe, m) {
    define_probe(m);
    define_abstract(m);
    define_model(m);
}
