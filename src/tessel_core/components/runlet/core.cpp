// Construction, destruction, identity and state of a runlet, and the module.
#include "tessel_core/_native/fast_model.h"
#include "tessel_core/components/runlet/runlet.h"

namespace runlet {

pyclass::ModuleGlobals globals;

namespace {

// A new, empty record of inputs and outputs, as validation would make it
// with a new summary given (a model default would be deep-copied): built
// directly, as every component of a graph has one.
nb::object empty_in_out() {
    return pyclass::construct_compact(
        G("TesselComponentInOutModel"),
        {{"summary", pyclass::construct_compact(G("TesselComponentOutputsSummaryModel"))}});
}

void init(nb::handle cls, nb::handle self, nb::handle component) {
    pyclass::super_(cls, self).attr("__init__")();
    if (pyclass::assertions_enabled()) {
        nb::object qualname = pyclass::type_of(self).attr("__qualname__");
        if (!pyclass::truthy(qualname.attr("startswith")("TesselComponent")))
            pyclass::raise(PyExc_AssertionError, "Class name must start with 'TesselComponent'.");
    }
    if (component.attr("metadata").is_none())
        component.attr("metadata") = G("TesselComponentMetadataModel")();
    self.attr(S("_id")) = component.attr("id");
    self.attr(S("_name")) = component.attr("name");
    self.attr(S("_cell_code")) = component.attr("code");
    self.attr(S("_metadata")) = component.attr("metadata");
    self.attr(S("_status")) = component_status("INVALID");
    self.attr(S("_success_count")) = 0;
    self.attr(S("_in_and_out")) = empty_in_out();
    self.attr(S("_quickhold")) = G("TesselQuickhold")();
    self.attr(S("_diskcache")) = nb::none();
    self.attr(S("_diskcache_status")) = disk_status("UNCACHED");
}

// Never raises: not for a runlet whose construction failed half-way, not at
// interpreter shutdown when module globals may already be gone.
void destroy(nb::handle self) {
    try {
        nb::object state = self.attr("__dict__");
        if (!pyclass::truthy(state.attr("__contains__")("_diskcache")))
            return;
        self.attr("clear_diskcache")();
    } catch (nb::python_error &) {
        // nothing to report to: a finalizer has no caller
    }
}

void set_status(nb::handle self, nb::handle new_status) {
    assert_member(G("TesselComponentStatus"), new_status, "component status");
    nb::object current = self.attr(S("_status"));
    if (pyclass::equal(new_status, current))
        return;
    if (!pyclass::equal(new_status, component_status("SUCCESSFUL"))) {
        if (pyclass::equal(new_status, component_status("INVALID"))) {
            self.attr("clear_cache")();
            self.attr("diskcache_status") = disk_status("UNCACHED");
        }
        self.attr("in_and_out") = empty_in_out();
    } else {
        if (pyclass::equal(current, component_status("SUCCESSFUL")))
            return;
        self.attr(S("_success_count")) = self.attr(S("_success_count")) + nb::int_(1);
    }
    self.attr(S("_status")) = new_status;
}

void set_metadata(nb::handle self, nb::handle new_metadata_arg) {
    nb::object current = self.attr(S("_metadata"));
    if (pyclass::equal(current, new_metadata_arg))
        return;
    nb::object new_metadata = new_metadata_arg.is_none() ? G("TesselComponentMetadataModel")()
                                                         : nb::borrow(new_metadata_arg);
    // An update without remote settings keeps the existing ones.
    if (new_metadata.attr("remoteExecution").is_none() &&
        !current.attr("remoteExecution").is_none())
        new_metadata.attr("remoteExecution") = current.attr("remoteExecution");
    self.attr(S("_metadata")) = new_metadata;
}

nb::object last_expr(nb::handle self) {
    nb::object code = G("format_code")(self.attr(S("_cell_code")));
    nb::object parsed = G("parse_last_expr_from_code")(code);
    nb::object items = pyclass::list_copy(parsed);
    if (nb::len(items) != 2)
        pyclass::raise_fmt(PyExc_ValueError, "expected 2 values to unpack, got %zd",
                           (Py_ssize_t)nb::len(items));
    return pyclass::str_result(items[0]);
}

nb::object info(nb::handle self) {
    nb::object io = self.attr("in_and_out");
    return G("TesselComponentInfoModel")(
        "identifier"_a = self.attr("id"), "name"_a = self.attr("name"),
        "code"_a = self.attr("cell_code"), "metadata"_a = self.attr("metadata"),
        "execution_status"_a = self.attr("status"),
        "diskcache_status"_a = self.attr("diskcache_status"),
        "diskcache_dir"_a = self.attr("diskcache_dir"), "inputs"_a = io.attr("inputs"),
        "outputs"_a = io.attr("outputs"), "imports"_a = io.attr("imports"),
        "summary"_a = self.attr("outputs_summary"), "last_execution"_a = "");
}

void define_identity(ClassDef &cls) {
    cls.prop_ro(
           "id", [](nb::handle self) { return pyclass::str_result(self.attr(S("_id"))); },
           "Component identifier.")
        .prop(
            "name", [](nb::handle self) { return pyclass::str_result(self.attr(S("_name"))); },
            [](nb::handle self, obj new_name) {
                pyclass::require_str(new_name, "new_name");
                if (!pyclass::equal(new_name, self.attr(S("_name"))))
                    self.attr(S("_name")) = new_name;
            },
            "Display name.")
        .prop(
            "cell_code",
            [](nb::handle self) { return pyclass::str_result(self.attr(S("_cell_code"))); },
            [](nb::handle self, obj new_code) {
                pyclass::require_str(new_code, "new_cell_code");
                if (pyclass::equal(new_code, self.attr(S("_cell_code"))))
                    return;
                self.attr(S("_cell_code")) = new_code;
                self.attr("status") = component_status("INVALID");
            },
            "Source code of the cell; changing it invalidates the component.")
        .prop_ro(
            "last_expr", [](nb::handle self) { return last_expr(self); },
            "Text of the cell's last expression, or None.")
        .prop_ro(
            "component_type",
            [](nb::handle self) {
                return pyclass::str_result(self.attr(S("_metadata")).attr("componentType"));
            },
            "The metadata's componentType.");
}

void define_status(ClassDef &cls) {
    cls.prop(
           "metadata", [](nb::handle self) { return self.attr(S("_metadata")); },
           [](nb::handle self, obj new_metadata) { set_metadata(self, new_metadata); },
           "Metadata; an update without remote settings keeps the current ones.")
        .prop(
            "status", [](nb::handle self) { return self.attr(S("_status")); },
            [](nb::handle self, obj new_status) { set_status(self, new_status); },
            "Execution status.")
        .prop_ro(
            "success_count", [](nb::handle self) { return self.attr(S("_success_count")); },
            "Number of transitions into SUCCESSFUL.")
        .prop(
            "in_and_out", [](nb::handle self) { return self.attr(S("_in_and_out")); },
            [](nb::handle self, obj new_info) {
                if (pyclass::equal(new_info, self.attr("in_and_out")))
                    return;
                self.attr(S("_in_and_out")) =
                    new_info.is_none() ? empty_in_out() : nb::object(new_info);
            },
            "Inputs, outputs, imports and summary of the last run.")
        .prop(
            "remote_config",
            [](nb::handle self) { return self.attr(S("_metadata")).attr("remoteExecution"); },
            [](nb::handle self, obj value) {
                if (pyclass::equal(value, self.attr("remote_config")))
                    return;
                self.attr(S("_metadata")).attr("remoteExecution") =
                    pyclass::truthy(value) ? nb::object(value) : nb::none();
            },
            "Remote execution settings, or None.")
        .prop_ro(
            "exception",
            [](nb::handle self) -> nb::object {
                nb::object lines = self.attr("exception_msg");
                if (!pyclass::truthy(lines))
                    return nb::none();
                return G("TesselPipelineError")("picked_stb"_a = lines);
            },
            "The failure of the last run as an error object, or None.")
        .prop_ro(
            "info", [](nb::handle self) { return info(self); },
            "Information snapshot of the component.");
}

} // namespace

void define_state(ClassDef &cls) {
    pyclass::Cell cell = cls.cell();
    cls.def(
           "__init__",
           [cell](nb::handle self, obj component) { init(cell->get(), self, component); },
           "component"_a, "Make a component from its creating record.")
        .def(
            "__del__", [](nb::handle self) { destroy(self); },
            "Close the disk cache, if one is open, and drop the in-memory results.");
    define_identity(cls);
    define_status(cls);
}

} // namespace runlet

using namespace runlet;

namespace {

void bind_imports(nb::module_ m) {
    for (const char *name : {"os", "shutil", "sys", "traceback"})
        m.attr(name) = pyclass::import(name);
    m.attr("HTTPStatus") = pyclass::import("http").attr("HTTPStatus");
    nb::module_ typing = pyclass::import("typing");
    for (const char *name : {"TYPE_CHECKING", "Any", "Dict", "List", "Optional"})
        m.attr(name) = typing.attr(name);
    m.attr("cloudpickle") = pyclass::import("cloudpickle");
    m.attr("InteractiveShell") =
        pyclass::import("IPython.core.interactiveshell").attr("InteractiveShell");
    nb::module_ cache = pyclass::import("tessel_core.cache");
    m.attr("TesselDiskCache") = cache.attr("TesselDiskCache");
    m.attr("TesselQuickhold") = cache.attr("TesselQuickhold");
    m.attr("TesselCapturedIO") = pyclass::import("tessel_core.capture").attr("TesselCapturedIO");
    m.attr("format_code") = pyclass::import("tessel_core.common").attr("format_code");
    m.attr("LoggingMixin") = pyclass::import("tessel_core.common.mixins").attr("LoggingMixin");
    nb::module_ executors = pyclass::import("tessel_core.executors");
    m.attr("TesselComponentExecutor") = executors.attr("TesselComponentExecutor");
    m.attr("_executor_choice") = pyclass::import("tessel_core.executors.choice");
    m.attr("_poolwatch") =
        pyclass::import("tessel_core.executors.component_executors.local_executor.poolwatch");
    m.attr("packed") = pyclass::import("tessel_core.common.packed");
    m.attr("SerializedValue") =
        pyclass::import("tessel_core.executors.component_executors.serialized")
            .attr("SerializedValue");
    m.attr("parse_last_expr_from_code") =
        pyclass::import("tessel_core.executors.component_executors.utils")
            .attr("parse_last_expr_from_code");
    nb::module_ misc = pyclass::import("tessel_core.misc");
    for (const char *name :
         {"TesselComponentStatus", "TesselDiskcacheStatus", "TesselPipelineError"})
        m.attr(name) = misc.attr(name);
    nb::module_ models = pyclass::import("tessel_core.misc.models");
    for (const char *name :
         {"TesselCapturedModel", "TesselComponentInfoModel", "TesselComponentInOutModel",
          "TesselComponentMetadataModel", "TesselComponentModel",
          "TesselComponentOutputsSummaryModel", "TesselComponentRemoteConfigModel",
          "TesselExecutionRequestModel", "TesselExecutionResponseModel"})
        m.attr(name) = models.attr(name);
}

// Names bound on first use rather than at import: the remote executor brings
// Celery, kombu and ssl (a tenth of a second) that a run without a remote
// component never needs. Once looked up, the name is an ordinary module
// attribute (a caller may replace it).
nb::object lazy_name(nb::handle name) {
    if (!pyclass::equal(name, nb::str("TesselRemoteComponentExecutor")))
        pyclass::raise_fmt(PyExc_AttributeError,
                           "module 'tessel_core.components.runlet' has no attribute %R",
                           name.ptr());
    nb::object cls = pyclass::import("tessel_core.executors").attr("TesselRemoteComponentExecutor");
    if (PyDict_SetItem(globals.dict, name.ptr(), cls.ptr()) < 0)
        throw pyclass::error();
    return cls;
}

} // namespace

nb::object runlet::remote_executor_class() {
    nb::str name("TesselRemoteComponentExecutor");
    PyObject *bound = PyDict_GetItemWithError(globals.dict, name.ptr());
    if (bound)
        return nb::borrow(bound);
    if (PyErr_Occurred())
        throw nb::python_error();
    return lazy_name(name);
}

NB_MODULE(runlet, m) {
    globals.init(m);
    bind_imports(m);
    pyclass::def_function(
        m, "__getattr__", [](pyclass::obj name) { return lazy_name(name); }, "name"_a,
        "A module attribute bound on first use.");
    m.attr("EXC_LINE_LENGTH") = pyclass::kExcLineLength;
    m.attr("EXC_TRACEBACK") = pyclass::kExcTraceback;
    ClassDef cls(m, "TesselComponentRunlet", nb::make_tuple(G("LoggingMixin")),
                 "Data structure to represent a runlet in a pipeline (or a graph node.)");
    define_state(cls);
    cls.repr({{"id", [](nb::handle s) { return nb::object(s.attr("id")); }},
              {"name", [](nb::handle s) { return nb::object(s.attr("name")); }},
              {"status", [](nb::handle s) { return nb::object(s.attr("status")); }}});
    define_results(cls);
    define_execution(cls);
    define_async(cls);
    define_cache_control(cls);
    nb::object runlet_cls = cls.finish();
    pyclass::def_function(
        m, "stored_results", [](pyclass::obj comp) { return runlet::result_holder(comp); },
        "component"_a,
        "The holder a component's results are read from (its in-memory holder, or its disk "
        "cache when that holder is empty and the disk cache is in use): the stored record, "
        "values still serialized.");
}
