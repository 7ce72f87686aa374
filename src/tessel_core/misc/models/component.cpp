// The records that describe a pipeline component: what creates it, its
// metadata, what a run found out about its code, and its information snapshot.
#include "tessel_core/_native/pyclass.h"

using pyclass::ClassDef;

namespace {

struct Types {
    nb::handle str_t = pyclass::builtin(PyUnicode_Type);
    nb::handle bool_t = pyclass::builtin(PyBool_Type);
    nb::object base, list_of, optional;
    nb::object List_str;

    Types() {
        base = pyclass::import("pydantic").attr("BaseModel");
        nb::module_ typing = pyclass::import("typing");
        list_of = typing.attr("List");
        optional = typing.attr("Optional");
        List_str = list_of[str_t];
    }
};

nb::object comment_model(nb::module_ m, const Types &t) {
    return ClassDef(m, "TesselComponentCommentModel", nb::make_tuple(t.base),
                    "Model definition for comment in metadata of TesselRunlet.")
        .field("writer", t.str_t)
        .field("message", t.str_t)
        .finish();
}

nb::object remote_config_model(nb::module_ m, const Types &t) {
    return ClassDef(m, "TesselComponentRemoteConfigModel", nb::make_tuple(t.base),
                    "Model definition for remote execution config in metadata of TesselRunlet.")
        .field("backend", t.str_t)
        .field("broker", t.str_t)
        .finish();
}

nb::object metadata_model(nb::module_ m, const Types &t, nb::handle comment, nb::handle remote) {
    return ClassDef(m, "TesselComponentMetadataModel", nb::make_tuple(t.base),
                    "Model definition for metadata of TesselRunlet.")
        .field("componentType", t.str_t, nb::str("Runlet"))
        .field("headerColor", t.str_t, nb::str("inherit"))
        .field("comments", nb::object(t.list_of[comment]), nb::list())
        .field("diskcache", t.bool_t, nb::bool_(false))
        .field("remoteExecution", nb::object(t.optional[remote]), nb::none())
        .finish();
}

nb::object component_model(nb::module_ m, const Types &t, nb::handle metadata) {
    return ClassDef(m, "TesselComponentModel", nb::make_tuple(t.base),
                    "Model definition for creating TesselRunlet.")
        .field("id", t.str_t)
        .field("name", t.str_t)
        .field("code", t.str_t)
        .field("metadata", metadata, metadata())
        .finish();
}

nb::object summary_model(nb::module_ m, const Types &t) {
    return ClassDef(m, "TesselComponentOutputsSummaryModel", nb::make_tuple(t.base),
                    "Model definition for summary about the results of running TesselRunlet.")
        .field("objects", t.List_str, nb::list())
        .field("functions", t.List_str, nb::list())
        .field("classes", t.List_str, nb::list())
        .field("modules", t.List_str, nb::list())
        .finish();
}

nb::object in_out_model(nb::module_ m, const Types &t, nb::handle summary) {
    return ClassDef(m, "TesselComponentInOutModel", nb::make_tuple(t.base),
                    "Model definition for inputs and outputs of running TesselRunlet.")
        .field("inputs", t.List_str, nb::list())
        .field("outputs", t.List_str, nb::list())
        .field("imports", t.List_str, nb::list())
        .field("summary", summary, summary())
        .finish();
}

nb::object info_model(nb::module_ m, const Types &t, nb::handle metadata, nb::handle summary) {
    nb::module_ enums = pyclass::import("tessel_core.misc.enums");
    nb::object status = enums.attr("TesselComponentStatus");
    nb::object disk_status = enums.attr("TesselDiskcacheStatus");
    // Bind the enumerations in the module namespace, as a Python module
    // importing them would.
    m.attr("TesselComponentStatus") = status;
    m.attr("TesselDiskcacheStatus") = disk_status;
    nb::object opt_str = t.optional[t.str_t];
    return ClassDef(m, "TesselComponentInfoModel", nb::make_tuple(t.base),
                    "Information of TesselComponent.")
        .field("identifier", t.str_t)
        .field("name", t.str_t)
        .field("code", t.str_t)
        .field("metadata", metadata, metadata())
        .field("execution_status", t.str_t, status.attr("INVALID"))
        .field("diskcache_status", t.str_t, disk_status.attr("UNCACHED"))
        .field("diskcache_dir", opt_str, nb::none())
        .field("inputs", t.List_str, nb::list())
        .field("outputs", t.List_str, nb::list())
        .field("imports", t.List_str, nb::list())
        .field("summary", summary, summary())
        .field("last_execution", opt_str, nb::none())
        .field("kfp_component", opt_str, nb::none())
        .finish();
}

} // namespace

NB_MODULE(component, m) {
    Types t;
    m.attr("BaseModel") = t.base;
    m.attr("List") = t.list_of;
    m.attr("Optional") = t.optional;
    nb::object comment = comment_model(m, t);
    nb::object remote = remote_config_model(m, t);
    nb::object metadata = metadata_model(m, t, comment, remote);
    component_model(m, t, metadata);
    nb::object summary = summary_model(m, t);
    in_out_model(m, t, summary);
    info_model(m, t, metadata, summary);
}
