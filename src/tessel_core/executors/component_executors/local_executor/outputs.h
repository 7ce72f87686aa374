// What a run leaves behind: the names it bound or changed, classified, and
// serialized (modules as statements that import them again, everything else
// cloudpickled, values with large buffers packed with them out of band).
#pragma once
#include "tessel_core/_native/module.h"
#include "tessel_core/executors/component_executors/local_executor/notebook.h"

namespace outputs {
namespace {

struct Outputs {
    nb::dict statements, serialized;
    nb::list objects, functions, classes, modules, problems;
    nb::dict left_out;     // output name -> why it could not be serialized
    nb::list star_modules; // names of modules the cell star-imported
};

// Modules the cell imported with `from M import *`. Names bound that way are
// attributes of M: they travel as statements that read them from M again,
// not as pickles (some such objects pickle but do not unpickle).
nb::list star_imported_modules(nb::handle code) {
    nb::list found;
    if (!PyUnicode_Check(code.ptr()) || !pyclass::truthy(code.attr("__contains__")("*")))
        return found;
    nb::object tree;
    try {
        tree = G("ast").attr("parse")(code);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_SyntaxError) && !e.matches(PyExc_ValueError))
            throw;
        return found; // IPython syntax: no star import is found
    }
    nb::object import_from = G("ast").attr("ImportFrom");
    for (nb::handle node : tree.attr("body")) {
        if (!pyclass::is_instance(node, import_from) ||
            !pyclass::equal(node.attr("level"), nb::int_(0)))
            continue;
        nb::object names = node.attr("names");
        if (nb::len(names) == 1 && pyclass::equal(names[0].attr("name"), S("*")))
            found.append(node.attr("module"));
    }
    return found;
}

// The statement that reads `key` from a star-imported module, if `value` is
// that module's attribute.
nb::object star_statement(nb::handle key, nb::handle value, const Outputs &o) {
    nb::object loaded = G("sys").attr("modules");
    for (nb::handle name : o.star_modules) {
        nb::object module = loaded.attr("get")(name);
        if (module.is_none() || !nb::getattr(module, key, nb::none()).is(value))
            continue;
        return nb::str("getattr(__import__('importlib').import_module({!r}), {!r})")
            .attr("format")(name, key);
    }
    return nb::none();
}

nb::object why_not_serialized(nb::python_error &e) {
    nb::object exc = nb::borrow(e.value());
    return nb::str("{}: {}").attr("format")(pyclass::type_of(exc).attr("__name__"),
                                            pyclass::safe_str(exc));
}

// Values the pickler writes itself, by their exact type, whatever pickler
// it is: for them cloudpickle's pickler (which only adds reductions for other
// types) writes the very bytes pickle.dumps writes, without its set-up cost,
// which is most of the time a small value takes.
bool pickled_natively(nb::handle value, int depth = 0) {
    PyObject *v = value.ptr();
    if (v == Py_None || PyBool_Check(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) ||
        PyUnicode_CheckExact(v) || PyBytes_CheckExact(v))
        return true;
    if (depth > 2)
        return false;
    if (PyTuple_CheckExact(v) || PyList_CheckExact(v) || PyAnySet_CheckExact(v)) {
        if (PySequence_Size(v) > 100)
            return false;
        for (nb::handle item : value)
            if (!pickled_natively(item, depth + 1))
                return false;
        return true;
    }
    if (PyDict_CheckExact(v)) {
        if (PyDict_Size(v) > 100)
            return false;
        Py_ssize_t pos = 0;
        PyObject *key, *item;
        while (PyDict_Next(v, &pos, &key, &item))
            if (!pickled_natively(key, depth + 1) || !pickled_natively(item, depth + 1))
                return false;
        return true;
    }
    return false;
}

// Values nothing can change in place: they are never outputs of a run that
// only read them.
bool is_immutable(nb::handle value, int depth = 0) {
    PyObject *v = value.ptr();
    if (v == Py_None || PyBool_Check(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) ||
        PyComplex_CheckExact(v) || PyUnicode_CheckExact(v) || PyBytes_CheckExact(v))
        return true;
    if (!PyTuple_CheckExact(v) || depth > 2 || PyTuple_GET_SIZE(v) > 100)
        return false;
    for (nb::handle item : value)
        if (!is_immutable(item, depth + 1))
            return false;
    return true;
}

// The value serialized: cloudpickle bytes, or its pickle and out-of-band
// buffers (packed), a buffer inside a region the run mapped (`maps`) kept as
// that region plus the pages the run wrote.
nb::object dumps(nb::handle value, nb::handle maps) {
    if (pickled_natively(value))
        return G("pickle").attr("dumps")(value, G("cloudpickle").attr("DEFAULT_PROTOCOL"));
    return G("packed").attr("pack")(value, maps);
}

// The value serialized, or None with a note in `problems` (and, for the
// output called `name`, in `left_out`).
nb::object serialize(nb::handle value, nb::handle what, Outputs &o, nb::handle maps,
                     nb::handle name = nb::handle()) {
    try {
        return dumps(value, maps);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_KeyboardInterrupt))
            throw;
        nb::object why = why_not_serialized(e);
        o.problems.append(nb::str("{} ({})").attr("format")(what, why));
        if (name.is_valid())
            o.left_out[name] = why;
        return nb::none();
    }
}

// inspect's ismodule, isclass and isroutine, without a Python call each.
bool instance_of(nb::handle value, PyTypeObject &type) {
    int r = PyObject_IsInstance(value.ptr(), (PyObject *)&type);
    if (r < 0)
        throw pyclass::error();
    return r == 1;
}

bool is_module(nb::handle value) {
    return instance_of(value, PyModule_Type);
}

bool is_class(nb::handle value) {
    return instance_of(value, PyType_Type);
}

bool is_method_descriptor(nb::handle value) {
    if (is_class(value) || instance_of(value, PyMethod_Type) || instance_of(value, PyFunction_Type))
        return false;
    nb::handle type = pyclass::type_of(value);
    return nb::hasattr(type, "__get__") && !nb::hasattr(type, "__set__");
}

bool is_routine(nb::handle value) {
    return instance_of(value, PyCFunction_Type) || instance_of(value, PyFunction_Type) ||
           instance_of(value, PyMethod_Type) || is_method_descriptor(value);
}

void add_output(nb::handle key, nb::handle value, Outputs &o, nb::handle maps,
                nb::handle blob_done = nb::handle()) {
    if (is_module(value)) {
        o.statements[key] = nb::str("__import__('importlib').import_module({!r})")
                                .attr("format")(value.attr("__name__"));
        o.modules.append(key);
        return;
    }
    nb::object statement = star_statement(key, value, o);
    if (!statement.is_none())
        o.statements[key] = statement;
    else {
        nb::object blob = blob_done
                              ? nb::borrow(blob_done)
                              : serialize(value, nb::str("'{}'").attr("format")(key), o, maps, key);
        if (blob.is_none())
            return; // left out, reported in the message
        o.serialized[key] = blob;
    }
    if (is_class(value))
        o.classes.append(key);
    else if (is_routine(value))
        o.functions.append(key);
    else
        o.objects.append(key);
}

// An input the code read and changed in place (`df["c"] = ...`,
// `model.fit(...)`) without rebinding it: it no longer packs as it came in
// (the same head, the same regions, the same pages). Returns the new
// serialization, or None when unchanged.
nb::object changed_in_place(nb::handle key, nb::handle value, nb::handle inputs, nb::handle names,
                            nb::handle maps) {
    if (!PyDict_Check(inputs.ptr()) || !notebook::reads(names, key))
        return nb::none();
    PyObject *blob_in = PyDict_GetItemWithError(inputs.ptr(), key.ptr());
    if (!blob_in)
        return nb::none();
    if (is_routine(value) || is_class(value) || is_module(value))
        return nb::none();
    if (is_immutable(value))
        return nb::none();
    try {
        if (pickled_natively(value)) {
            nb::object blob = dumps(value, maps);
            if (pyclass::equal(blob, nb::handle(blob_in)))
                return nb::none();
            // pickled elsewhere (another process, a store's reference): as this
            // process pickles the value it came in as
            nb::object again = dumps(G("packed").attr("load")(nb::handle(blob_in)), maps);
            return pyclass::equal(blob, again) ? nb::none() : blob;
        }
        return G("packed").attr("changed")(value, nb::handle(blob_in), maps);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        return nb::none(); // cannot tell; it came in serializable and stays as it came
    }
}

// The names the run bound or rebound, in binding order, and the inputs it
// changed in place.
Outputs collect_outputs(nb::dict before, nb::dict ns, nb::handle source, nb::handle inputs,
                        nb::handle names, nb::handle maps) {
    Outputs o;
    o.star_modules = star_imported_modules(source);
    for (auto kv : pyclass::list_copy(ns.attr("items")())) {
        auto [key, value] = pyclass::unpack_pair(kv, "namespace item");
        if (!PyUnicode_Check(key.ptr()) ||
            (PyUnicode_GET_LENGTH(key.ptr()) > 0 && PyUnicode_READ_CHAR(key.ptr(), 0) == '_'))
            continue;
        PyObject *prev = PyDict_GetItemWithError(before.ptr(), key.ptr());
        if (prev != value.ptr()) {
            add_output(key, value, o, maps);
            continue;
        }
        nb::object blob = changed_in_place(key, value, inputs, names, maps);
        if (!blob.is_none())
            add_output(key, value, o, maps, blob);
    }
    return o;
}

// Lists of str, made for this record: nothing to validate or copy.
nb::object summary_of(const Outputs &o) {
    return G("TesselComponentOutputsSummaryModel")
        .attr("construct")("objects"_a = o.objects, "functions"_a = o.functions,
                           "classes"_a = o.classes, "modules"_a = o.modules);
}

} // namespace
} // namespace outputs
