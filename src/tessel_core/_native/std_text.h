// Text carried as display data: the two mime types, and writing such data
// to the process's own standard streams.
#pragma once
#include "tessel_core/_native/pyclass.h"

namespace pyclass {

inline const char *const kStdoutMime = "application/vnd.jupyter.stdout";
inline const char *const kStderrMime = "application/vnd.jupyter.stderr";

// Write the text under the stdout mime type to sys.stdout (or, failing that,
// the stderr one to sys.stderr) and flush; data with neither is not shown.
inline void write_text_to_std(nb::handle data) {
    nb::object sys = import("sys");
    for (const char *mime : {kStdoutMime, kStderrMime}) {
        int has = PySequence_Contains(data.ptr(), nb::str(mime).ptr());
        if (has < 0)
            throw error();
        if (!has)
            continue;
        nb::object stream = sys.attr(mime == kStdoutMime ? "stdout" : "stderr");
        stream.attr("write")(data[mime]);
        stream.attr("flush")();
        return;
    }
}

} // namespace pyclass
