// tessel_capture_output: the context manager that opens and closes a capture.
#include "tessel_core/capture/capture/capture.h"

namespace capture {

namespace {
// ---- capture context -------------------------------------------------------

bool captures(nb::handle self) {
    nb::object manager = self.attr(S("_capture_manager"));
    return pyclass::truthy(manager) && !manager.attr("ipython_shell").is_none();
}

} // namespace

void define_capture_context(nb::module_ m) {
    ClassDef(m, "tessel_capture_output", nb::make_tuple(pyclass::builtin(PyBaseObject_Type)),
             "context manager for capturing Tessel stdout/err IO & display")
        .def(
            "__init__",
            [](nb::handle self, obj send_to_front, obj manager) {
                self.attr(S("_send_to_front")) = send_to_front;
                self.attr(S("_capture_manager")) = manager;
                if (captures(self)) {
                    G("sys").attr("stdout").attr("_exc") = nb::none();
                    G("sys").attr("stderr").attr("_exc") = nb::none();
                }
            },
            "send_to_front"_a = true, "capture_manager"_a = nb::none(),
            "Capture through capture_manager, also sending the output on when send_to_front.")
        .def(
            "__enter__",
            [](nb::handle self) -> nb::object {
                if (!captures(self))
                    return nb::none();
                nb::list outputs;
                self.attr(S("_capture_manager"))
                    .attr("wrap_methods")(outputs, self.attr(S("_send_to_front")));
                return G("TesselCapturedIO")("outputs"_a = outputs);
            },
            "Open a capture context; the TesselCapturedIO its records go to, or None "
            "without a manager that has a shell.")
        .def(
            "__exit__",
            [](nb::handle self, obj, obj, obj) {
                if (captures(self))
                    self.attr(S("_capture_manager")).attr("unwrap_methods")();
            },
            "exc_type"_a, "exc_value"_a, "traceback"_a,
            "Close the capture context; exceptions propagate.")
        .finish();
}

} // namespace capture
