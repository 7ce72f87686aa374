// Reports sent to the caller's pipeline callback.
#pragma once
#include "tessel_core/_native/pyclass.h"

namespace pyclass {

// Build a TesselPipelineCallbackDataModel and pass it to the callback held in
// `_pipeline_callback`, when there is one. `successful` is passed only when
// given (valid handle).
inline void report(nb::handle self, nb::handle data_model, nb::handle procedure, nb::handle status,
                   nb::handle msg, nb::handle successful = nb::handle()) {
    nb::object callback = self.attr("_pipeline_callback");
    if (!truthy(callback))
        return;
    nb::dict kwargs;
    kwargs["procedure"] = procedure;
    kwargs["status"] = status;
    kwargs["msg"] = msg;
    if (successful.is_valid())
        kwargs["successful"] = successful;
    // Every value is already of its field's type: build the record without
    // validating it again (this runs after every trial of a search).
    nb::object construct = data_model.attr("construct");
    callback(check(PyObject_Call(construct.ptr(), nb::tuple().ptr(), kwargs.ptr())));
}

// Names a callback module binds: its base class and what reports are made of.
inline nb::object bind_callback_names(nb::module_ m) {
    nb::object base =
        import("tessel_core.callbacks.parameters_optimizer.hookbase").attr("ITesselHPOCallback");
    m.attr("ITesselHPOCallback") = base;
    m.attr("TesselPipelineCallback") =
        import("tessel_core.callbacks.pipeline_info").attr("TesselPipelineCallback");
    nb::module_ misc = import("tessel_core.misc");
    m.attr("TesselPipelineCallbackProcedure") = misc.attr("TesselPipelineCallbackProcedure");
    m.attr("TesselPipelineCallbackStatus") = misc.attr("TesselPipelineCallbackStatus");
    m.attr("TesselPipelineCallbackDataModel") =
        import("tessel_core.misc.models").attr("TesselPipelineCallbackDataModel");
    return base;
}

} // namespace pyclass
