// TesselQuickhold: a component's six result entries in a dict in memory.
#include "tessel_core/_native/fast_model.h"
#include "tessel_core/_native/module.h"

namespace {

const char *const kKeys[] = {"module_statements", "non_module_outputs", "last_output",
                             "captured",          "exception_msg",      "outputs_summary"};

nb::dict store_of(nb::handle self) {
    return pyclass::expect<nb::dict>(self.attr(S("_cache")), "_cache");
}

void init(nb::handle cls, nb::handle self, nb::handle cache_arg) {
    pyclass::super_(cls, self).attr(S("__init__"))();
    nb::object cache = nb::borrow(cache_arg);
    if (!pyclass::truthy(cache)) // the summary given: a model default is deep-copied
        cache = pyclass::construct_compact(
            G("TesselCacheModel"),
            {{"outputs_summary",
              pyclass::construct_compact(G("TesselComponentOutputsSummaryModel"))}});
    nb::dict store;
    for (const char *key : kKeys)
        store[key] = cache.attr(key); // held by reference, no copy
    self.attr(S("_cache")) = store;
}

nb::object equals(nb::handle self, nb::handle other) {
    if (!pyclass::is_instance(other, G("TesselQuickhold")))
        return nb::borrow(Py_NotImplemented);
    return nb::bool_(pyclass::equal(store_of(self), other.attr(S("_cache"))));
}

nb::object get(nb::handle self, nb::handle key, nb::handle dflt) {
    pyclass::require_str(key, "key");
    nb::dict store = store_of(self);
    PyObject *v = PyDict_GetItemWithError(store.ptr(), key.ptr());
    if (v)
        return nb::borrow(v);
    if (PyErr_Occurred())
        throw pyclass::error();
    return nb::borrow(dflt);
}

void set(nb::handle self, nb::handle key, nb::handle value) {
    pyclass::require_str(key, "key");
    nb::dict store = store_of(self);
    if (PyDict_SetItem(store.ptr(), key.ptr(), value.ptr()) < 0)
        throw pyclass::error();
}

nb::object pop(nb::handle self, nb::handle key) {
    pyclass::require_str(key, "key");
    return store_of(self).attr("pop")(key, nb::none());
}

void clear(nb::handle self) {
    nb::dict store = store_of(self);
    PyDict_Clear(store.ptr());
    // The dict form: a nested model default is stored as a plain dict.
    store.attr("update")(G("TesselCacheModel")().attr("dict")());
}

void define_quickhold(nb::module_ m) {
    ClassDef cls(m, "TesselQuickhold", nb::make_tuple(G("ITesselCache")),
                 "Data structure to managing in-memory cache.");
    cls.repr({{"outputs",
               [](nb::handle s) {
                   return nb::object(pyclass::list_copy(store_of(s)["non_module_outputs"]));
               }},
              {"failed", [](nb::handle s) {
                   return nb::object(nb::bool_(!store_of(s)["exception_msg"].is_none()));
               }}});
    pyclass::Cell cell = cls.cell();
    cls.def(
           "__init__",
           [cell](nb::handle self, pyclass::obj cache) { init(cell->get(), self, cache); },
           "cache"_a = nb::none(), "Hold the six entries of `cache` (or of an empty record).")
        .def(
            "__eq__", [](nb::handle self, pyclass::obj other) { return equals(self, other); },
            "other"_a, "True when other is an in-memory cache holding equal entries.")
        .def(
            "_get_from_cache",
            [](nb::handle self, pyclass::obj key, pyclass::obj dflt) {
                return get(self, key, dflt);
            },
            "key"_a, "default"_a = nb::none(), "Return the value under key, or default.")
        .def(
            "_set_to_cache",
            [](nb::handle self, pyclass::obj key, pyclass::obj value) { set(self, key, value); },
            "key"_a, "value"_a, "Store value under key.")
        .def(
            "pop_from_cache", [](nb::handle self, pyclass::obj key) { return pop(self, key); },
            "key"_a, "Remove the value under key and return it, or None.")
        .def(
            "clear_cache", [](nb::handle self) { clear(self); },
            "Reset to the default record, in place.")
        .finish();
}

} // namespace

NB_MODULE(quickhold, m) {
    globals.init(m);
    m.attr("TesselCacheModel") =
        pyclass::import("tessel_core.misc.models").attr("TesselCacheModel");
    m.attr("TesselComponentOutputsSummaryModel") =
        pyclass::import("tessel_core.misc.models").attr("TesselComponentOutputsSummaryModel");
    m.attr("ITesselCache") = pyclass::import("tessel_core.cache.hoardbase").attr("ITesselCache");
    define_quickhold(m);
}
