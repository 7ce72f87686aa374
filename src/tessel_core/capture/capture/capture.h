// tessel_core.capture.capture, output capture in the kernel: the capture
// manager that wraps the kernel's write, publish and clear-output methods
// (manager.cpp), the holder that replays captured records (replay.cpp) and
// the capture context manager (context.cpp). This header is what they share.
#pragma once
#include "tessel_core/_native/fast_model.h"
#include "tessel_core/_native/std_text.h"

using pyclass::ClassDef;
using pyclass::kStderrMime;
using pyclass::kStdoutMime;
using pyclass::obj;
#define S PYCLASS_S

namespace capture {

// The module namespace: classes and modules are looked up at call time.
extern pyclass::ModuleGlobals globals;
#define G(name) capture::globals.get(S(name))

// `needle in haystack`, as Python's `in`.
bool contains(nb::handle haystack, const char *needle);

void define_manager(nb::module_ m);
void define_captured_io(nb::module_ m);
void define_capture_context(nb::module_ m);

} // namespace capture
