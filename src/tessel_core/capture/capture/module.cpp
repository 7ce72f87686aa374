// The module's namespace and its classes.
#include "tessel_core/capture/capture/capture.h"

namespace capture {

pyclass::ModuleGlobals globals;

bool contains(nb::handle haystack, const char *needle) {
    int r = PySequence_Contains(haystack.ptr(), nb::str(needle).ptr());
    if (r < 0)
        throw pyclass::error();
    return r == 1;
}

} // namespace capture

using namespace capture;

NB_MODULE(capture, m) {
    globals.init(m);
    m.attr("sys") = pyclass::import("sys");
    m.attr("threading") = pyclass::import("threading");
    m.attr("inspect") = pyclass::import("inspect");
    nb::module_ collections = pyclass::import("collections");
    m.attr("defaultdict") = collections.attr("defaultdict");
    m.attr("deque") = collections.attr("deque");
    nb::module_ types = pyclass::import("types");
    m.attr("MethodType") = types.attr("MethodType");
    m.attr("TracebackType") = types.attr("TracebackType");
    m.attr("TesselCapturedModel") =
        pyclass::import("tessel_core.misc.models").attr("TesselCapturedModel");
    define_manager(m);
    define_captured_io(m);
    define_capture_context(m);
}
