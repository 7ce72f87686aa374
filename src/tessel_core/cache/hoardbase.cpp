// ITesselCache: the record of one component run (six entries) as typed
// properties over four storage primitives that subclasses supply.
#include "tessel_core/_native/module.h"

namespace {

struct Entry {
    const char *name;
    const char *doc;
};
const Entry kEntries[] = {
    {"module_statements", "Statements that bind each module output, by output name."},
    {"non_module_outputs", "Serialized values of the other outputs, by output name."},
    {"last_output", "Serialized value of the code's last expression, or None."},
    {"captured", "Captured stream, display and clear-output records of the run."},
    {"exception_msg", "Formatted error lines of a failed run, or None."},
    {"outputs_summary", "Classification of the outputs."},
};

// The default of an entry: what a new TesselCacheModel() holds in that field.
// pydantic fills a field without a value from a deep copy of its default, so
// asking the field directly gives the same value without building a record.
// A model default that holds only its own defaults is built anew instead:
// the same value, without a deep copy on every read of an entry.
nb::object entry_default(nb::handle key) {
    nb::object field = G("TesselCacheModel").attr("__fields__")[key];
    nb::object dflt = field.attr("default");
    if (pyclass::is_instance(dflt, G("BaseModel")) && !pyclass::truthy(dflt.attr("__fields_set__")))
        return pyclass::type_of(dflt)();
    return field.attr("get_default")();
}

nb::object read_entry(nb::handle self, nb::handle key) {
    return self.attr(S("_get_from_cache"))("key"_a = key, "default"_a = entry_default(key));
}

void add_entry_properties(ClassDef &cls) {
    for (const Entry &e : kEntries) {
        nb::object key = pyclass::check(PyUnicode_InternFromString(e.name));
        cls.prop(
            e.name, [key](nb::handle self) { return read_entry(self, key); },
            [key](nb::handle self, pyclass::obj value) {
                self.attr(S("_set_to_cache"))("key"_a = key, "value"_a = value);
            },
            e.doc);
    }
}

[[noreturn]] void invalid_cache(nb::handle cache) {
    nb::object msg = nb::str("Invalid cache: {}. Validate by custom field.").attr("format")(cache);
    nb::object cause = pyclass::check(PyObject_CallNoArgs(PyExc_AssertionError));
    nb::object err = pyclass::check(PyObject_CallOneArg(PyExc_ValueError, msg.ptr()));
    PyException_SetCause(err.ptr(), cause.inc_ref().ptr());
    PyException_SetContext(err.ptr(), cause.inc_ref().ptr());
    PyErr_SetObject(PyExc_ValueError, err.ptr());
    throw pyclass::error();
}

bool has_valid_shape(nb::handle cache) {
    nb::handle dict_t = pyclass::builtin(PyDict_Type), list_t = pyclass::builtin(PyList_Type);
    if (!pyclass::is_instance(cache.attr("module_statements"), dict_t))
        return false;
    if (!pyclass::is_instance(cache.attr("non_module_outputs"), dict_t))
        return false;
    nb::object captured = cache.attr("captured");
    if (!captured.is_none() && !pyclass::is_instance(captured, list_t))
        return false;
    nb::object exception_msg = cache.attr("exception_msg");
    if (!exception_msg.is_none() && !pyclass::is_instance(exception_msg, list_t))
        return false;
    return pyclass::is_instance(cache.attr("outputs_summary"),
                                G("TesselComponentOutputsSummaryModel"));
}

nb::object validate_cache(nb::handle, pyclass::obj cache) {
    // These checks are assertions: python -O skips them.
    if (pyclass::assertions_enabled() && !has_valid_shape(cache))
        invalid_cache(cache);
    return std::move(cache);
}

void define_cache_interface(nb::module_ m) {
    ClassDef cls(m, "ITesselCache", nb::make_tuple(pyclass::builtin(PyBaseObject_Type)),
                 "Data structure to managing cache.", G("ABCMeta"));
    cls.def_classmethod(
           "__get_validators__",
           [](nb::handle cls) -> nb::object {
               return pyclass::check(
                   PyObject_GetIter(nb::make_tuple(cls.attr("validate_cache")).ptr()));
           },
           "cls"_a, "Yield the pydantic validator of a field whose type is a cache class.")
        .def_classmethod(
            "validate_cache",
            [](nb::handle cls, pyclass::obj cache) { return validate_cache(cls, cache); }, "cls"_a,
            "cache"_a, "Check the shape of a cache and return it unchanged.")
        .def_abstract(
            "__init__", [](nb::handle) {}, "self"_a, "Subclasses set up their store after this.")
        .def_abstract(
            "_get_from_cache",
            [](nb::handle, pyclass::obj key, pyclass::obj) -> nb::object {
                pyclass::require_str(key, "key");
                return nb::none();
            },
            "self"_a, "key"_a, "default"_a = nb::none(),
            "Return the value stored under key, or default.")
        .def_abstract(
            "_set_to_cache",
            [](nb::handle, pyclass::obj key, pyclass::obj) { pyclass::require_str(key, "key"); },
            "self"_a, "key"_a, "value"_a, "Store value under key.")
        .def(
            "pop_from_cache",
            [](nb::handle, pyclass::obj key) -> nb::object {
                pyclass::require_str(key, "key");
                PyErr_SetNone(PyExc_NotImplementedError);
                throw pyclass::error();
            },
            "key"_a, "Remove the value under key and return it, or None.")
        .def(
            "clear_cache",
            [](nb::handle) {
                PyErr_SetNone(PyExc_NotImplementedError);
                throw pyclass::error();
            },
            "Reset the store to the default record.");
    add_entry_properties(cls);
    cls.finish();
}

} // namespace

NB_MODULE(hoardbase, m) {
    globals.init(m);
    nb::module_ abc = pyclass::import("abc");
    m.attr("ABCMeta") = abc.attr("ABCMeta");
    m.attr("abstractmethod") = abc.attr("abstractmethod");
    m.attr("BaseModel") = pyclass::import("pydantic").attr("BaseModel");
    nb::module_ models = pyclass::import("tessel_core.misc.models");
    for (const char *name :
         {"TesselCacheModel", "TesselCapturedModel", "TesselComponentOutputsSummaryModel"})
        m.attr(name) = models.attr(name);
    define_cache_interface(m);
}
