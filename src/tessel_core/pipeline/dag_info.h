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
#include "tessel_core/_native/fast_model.h"
#include "tessel_core/_native/module.h"

namespace dag_info {

struct Unknown {}; // a value or class this path does not vouch for

// A record of `cls` with every field given, as validation from a full dict
// leaves it (every field marked set); a class with fields not given here is
// not vouched for.
inline nb::object record(nb::handle cls, const pyclass::Given &values) {
    if (nb::len(nb::object(cls.attr("__fields__"))) != values.size())
        throw Unknown{};
    return pyclass::construct_compact(cls, values);
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
    pyclass::Given values;
    for (nb::handle name : cls.attr("__fields__")) {
        nb::object v = value.attr(name);
        const char *field = PyUnicode_AsUTF8(name.ptr()); // held by the class's fields
        if (!field)
            throw pyclass::error();
        if (PyBool_Check(v.ptr()))
            values.emplace_back(field, v);
        else if (PyList_Check(v.ptr()))
            values.emplace_back(field, str_list(v));
        else
            values.emplace_back(field, str_value(v));
    }
    return record(cls, values);
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
    return record(
        G("TesselComponentMetadataModel"),
        {{"componentType", str_value(metadata.attr("componentType"))},
         {"headerColor", str_value(metadata.attr("headerColor"))},
         {"comments", comment_copies},
         {"diskcache", diskcache},
         {"remoteExecution", remote.is_none()
                                 ? nb::none()
                                 : flat_record(remote, G("TesselComponentRemoteConfigModel"))}});
}

// The component's info record with its parents, as the validated way gives
// it; throws Unknown for anything that way might treat differently.
inline nb::object component_info(nb::handle component, nb::handle parent_ids,
                                 nb::handle parent_names) {
    nb::object io = component.attr("in_and_out");
    if (!is_exact(io, G("TesselComponentInOutModel")))
        throw Unknown{};
    return record(G("TesselDagComponentInfoModel"),
                  {{"identifier", str_value(component.attr("id"))},
                   {"name", str_value(component.attr("name"))},
                   {"code", str_value(component.attr("cell_code"))},
                   {"metadata", metadata_copy(component.attr("metadata"))},
                   {"execution_status", status_value(component.attr("status"))},
                   {"diskcache_status", status_value(component.attr("diskcache_status"))},
                   {"diskcache_dir", optional_str(component.attr("diskcache_dir"))},
                   {"inputs", str_list(io.attr("inputs"))},
                   {"outputs", str_list(io.attr("outputs"))},
                   {"imports", str_list(io.attr("imports"))},
                   {"summary", flat_record(component.attr("outputs_summary"),
                                           G("TesselComponentOutputsSummaryModel"))},
                   {"last_execution", nb::str("")},
                   {"kfp_component", nb::none()},
                   {"parent_ids", str_list(parent_ids)},
                   {"parent_names", str_list(parent_names)}});
}

} // namespace dag_info
