// The graph's info record built from the components' own records, without
// validation. Validating them is what the straightforward way costs: each
// component's info is validated, turned into a dict, and validated again
// with its parents. The values here are known good (they come from the
// package's own records), so the result is built the way validation would
// leave it: every nested record a copy of its own with every field marked
// set, every list new, enumeration members as their values. Anything of
// another shape (a subclass record, a value that validation would convert
// or refuse) makes the caller take the validated way.
#pragma once
#include "tessel_core/_native/module.h"

namespace dag_info {

struct Unknown {}; // a value or class this path does not vouch for

// A new instance of the model class `cls` (object.__new__, so that its
// values take the interpreter's compact layout), fields set in field order.
inline nb::object model_with(nb::handle cls, const std::vector<nb::object> &values) {
    nb::object inst = pyclass::check(
        PyBaseObject_Type.tp_new((PyTypeObject *)cls.ptr(), nb::tuple().ptr(), nullptr));
    nb::object fields_set = pyclass::check(PySet_New(nullptr));
    size_t i = 0;
    for (nb::handle name : cls.attr("__fields__")) {
        if (i >= values.size())
            throw Unknown{};
        if (PySet_Add(fields_set.ptr(), name.ptr()) < 0 ||
            PyObject_GenericSetAttr(inst.ptr(), name.ptr(), values[i++].ptr()) < 0)
            throw pyclass::error();
    }
    if (i != values.size())
        throw Unknown{}; // the class has fields this code does not know
    if (PyObject_GenericSetAttr(inst.ptr(), PYCLASS_S("__fields_set__").ptr(), fields_set.ptr()) <
        0)
        throw pyclass::error();
    return inst;
}

inline bool is_exact(nb::handle value, nb::handle cls) {
    return pyclass::type_of(value).is(cls);
}

inline nb::object str_value(nb::handle value) {
    if (PyUnicode_CheckExact(value.ptr()))
        return nb::borrow(value);
    throw Unknown{};
}

inline nb::object optional_str(nb::handle value) {
    return value.is_none() ? nb::none() : str_value(value);
}

// A str-valued enumeration member validates to its value.
inline nb::object status_value(nb::handle value) {
    if (PyUnicode_Check(value.ptr()) && pyclass::is_instance(value, G("Enum")))
        return str_value(value.attr("value"));
    return str_value(value);
}

inline nb::object str_list(nb::handle value) {
    if (!PyList_CheckExact(value.ptr()))
        throw Unknown{};
    nb::list copy = pyclass::list_copy(value);
    for (nb::handle item : copy)
        str_value(item);
    return std::move(copy);
}

// A record whose fields are all str, bool or lists of str, of exactly the
// expected class.
inline nb::object flat_record(nb::handle value, nb::handle cls) {
    if (!is_exact(value, cls))
        throw Unknown{};
    std::vector<nb::object> values;
    for (nb::handle name : cls.attr("__fields__")) {
        nb::object v = value.attr(name);
        if (PyBool_Check(v.ptr()))
            values.push_back(v);
        else if (PyList_Check(v.ptr()))
            values.push_back(str_list(v));
        else
            values.push_back(str_value(v));
    }
    return model_with(cls, values);
}

inline nb::object metadata_copy(nb::handle metadata) {
    if (!is_exact(metadata, G("TesselComponentMetadataModel")))
        throw Unknown{};
    nb::object comments = metadata.attr("comments");
    if (!PyList_CheckExact(comments.ptr()))
        throw Unknown{};
    nb::list comment_copies;
    for (nb::handle comment : comments)
        comment_copies.append(flat_record(comment, G("TesselComponentCommentModel")));
    nb::object remote = metadata.attr("remoteExecution");
    nb::object diskcache = metadata.attr("diskcache");
    if (!PyBool_Check(diskcache.ptr()))
        throw Unknown{};
    return model_with(G("TesselComponentMetadataModel"),
                      {str_value(metadata.attr("componentType")),
                       str_value(metadata.attr("headerColor")), comment_copies, diskcache,
                       remote.is_none()
                           ? nb::none()
                           : flat_record(remote, G("TesselComponentRemoteConfigModel"))});
}

// The component's info record with its parents, as the validated way gives
// it; throws Unknown for anything that way might treat differently.
inline nb::object component_info(nb::handle component, nb::handle parent_ids,
                                 nb::handle parent_names) {
    nb::object io = component.attr("in_and_out");
    if (!is_exact(io, G("TesselComponentInOutModel")))
        throw Unknown{};
    return model_with(
        G("TesselDagComponentInfoModel"),
        {str_value(component.attr("id")), str_value(component.attr("name")),
         str_value(component.attr("cell_code")), metadata_copy(component.attr("metadata")),
         status_value(component.attr("status")), status_value(component.attr("diskcache_status")),
         optional_str(component.attr("diskcache_dir")), str_list(io.attr("inputs")),
         str_list(io.attr("outputs")), str_list(io.attr("imports")),
         flat_record(component.attr("outputs_summary"), G("TesselComponentOutputsSummaryModel")),
         nb::str(""), nb::none(), str_list(parent_ids), str_list(parent_names)});
}

} // namespace dag_info
