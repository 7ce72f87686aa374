// The results of a runlet's last run, read from the in-memory holder or, when
// that is empty and the disk cache is in use and loaded, from the disk cache.
// Values of the cell's variables are stored serialized (large buffers kept
// out of band, see common/packed.py) and deserialized on every read.
#include "tessel_core/components/runlet/runlet.h"

namespace runlet {

bool reads_disk(nb::handle self) {
    if (!pyclass::truthy(self.attr("use_diskcache")))
        return false;
    if (self.attr(S("_diskcache")).is_none())
        return false;
    return pyclass::equal(self.attr(S("_quickhold")), G("TesselQuickhold")());
}

nb::object result_holder(nb::handle self) {
    return reads_disk(self) ? self.attr(S("_diskcache")) : self.attr(S("_quickhold"));
}

namespace {

// A value of its own, whatever else reads the same stored value.
nb::object loads(nb::handle blob) {
    return G("packed").attr("load")(blob);
}
nb::object dumps(nb::handle value) {
    return G("cloudpickle").attr("dumps")(value);
}

nb::object non_module_outputs(nb::handle self) {
    nb::dict result;
    nb::object src = result_holder(self).attr("non_module_outputs");
    if (!pyclass::truthy(src))
        return result;
    for (auto &[name, blob] : pyclass::items_of(src, "non_module_outputs"))
        result[name] = loads(blob);
    return result;
}

void set_non_module_outputs(nb::handle self, nb::handle value) {
    nb::object holder = self.attr(S("_quickhold"));
    holder.attr("non_module_outputs") = nb::dict();
    if (!pyclass::truthy(value))
        return;
    nb::dict serialized;
    for (auto &[name, item] : pyclass::items_of(value, "non_module_outputs"))
        serialized[name] = dumps(item);
    holder.attr("non_module_outputs") = serialized;
}

// Module symbols are evaluated in this module's namespace, and override a
// non-module output of the same name.
nb::object outputs(nb::handle self) {
    nb::object out = self.attr("non_module_outputs").attr("copy")();
    nb::object statements = self.attr("module_statements");
    nb::object builtins = pyclass::import("builtins");
    nb::object module_globals = nb::borrow(globals.dict);
    for (auto &[sym, stmt] : pyclass::items_of(statements, "module_statements")) {
        nb::dict locals;
        locals["outputs"] = out;
        locals["self"] = self;
        locals["stmt"] = stmt;
        locals["sym"] = sym;
        out[sym] = builtins.attr("eval")(stmt, module_globals, locals);
    }
    return out;
}

nb::object last_output(nb::handle self) {
    nb::object blob = result_holder(self).attr("last_output");
    return blob.is_none() ? nb::none() : loads(blob);
}

void set_last_output(nb::handle self, nb::handle value) {
    nb::object holder = self.attr(S("_quickhold"));
    holder.attr("last_output") = nb::none();
    if (!value.is_none())
        holder.attr("last_output") = dumps(value);
}

// A result read as it is stored (module statements, captured records, error
// lines); writes always go to the in-memory holder.
void plain_result(ClassDef &cls, const char *name, const char *doc) {
    nb::object key = pyclass::check(PyUnicode_InternFromString(name));
    cls.prop(
        name, [key](nb::handle self) { return result_holder(self).attr(key); },
        [key](nb::handle self, obj value) { self.attr(S("_quickhold")).attr(key) = value; }, doc);
}

} // namespace

void define_results(ClassDef &cls) {
    plain_result(cls, "module_statements", "Statements that bind the module outputs.");
    plain_result(cls, "captured", "Captured output records of the last run.");
    plain_result(cls, "exception_msg", "Error lines of the last run, or None.");
    cls.prop(
           "non_module_outputs", [](nb::handle self) { return non_module_outputs(self); },
           [](nb::handle self, obj value) { set_non_module_outputs(self, value); },
           "The other outputs, deserialized anew on every read.")
        .prop_ro(
            "outputs", [](nb::handle self) { return outputs(self); },
            "Every output: the non-module ones and the modules.")
        .prop(
            "last_output", [](nb::handle self) { return last_output(self); },
            [](nb::handle self, obj value) { set_last_output(self, value); },
            "Value of the cell's last expression, or None.")
        .prop(
            "outputs_summary",
            [](nb::handle self) -> nb::object {
                if (reads_disk(self))
                    return self.attr(S("_diskcache")).attr("outputs_summary");
                nb::object holder = self.attr(S("_quickhold"));
                if (holder.is_none())
                    return G("TesselComponentOutputsSummaryModel")();
                return holder.attr("outputs_summary");
            },
            [](nb::handle self, obj value) {
                self.attr(S("_quickhold")).attr("outputs_summary") = value;
            },
            "Classification of the outputs.");
}

} // namespace runlet
