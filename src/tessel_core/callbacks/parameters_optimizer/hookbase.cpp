// ITesselHPOCallback: what the optimizer's callbacks share, the caller's
// pipeline callback.
#include "tessel_core/_native/pyclass.h"

using pyclass::ClassDef;
using pyclass::obj;

NB_MODULE(hookbase, m) {
    m.attr("TesselPipelineCallback") =
        pyclass::import("tessel_core.callbacks.pipeline_info").attr("TesselPipelineCallback");
    ClassDef(m, "ITesselHPOCallback", nb::make_tuple(pyclass::builtin(PyBaseObject_Type)),
             "Callback interface.", pyclass::import("abc").attr("ABCMeta"))
        .def(
            "__init__",
            [](nb::handle self, obj pipeline_callback) {
                self.attr("_pipeline_callback") = pipeline_callback;
            },
            "pipeline_callback"_a = nb::none(),
            "Keep the pipeline callback that trial reports go to.")
        .def_abstract(
            "__call__", [](nb::handle, obj, obj) {}, "self"_a, "study"_a, "trial"_a,
            "Called by optuna after every finished trial.")
        .finish();
}
