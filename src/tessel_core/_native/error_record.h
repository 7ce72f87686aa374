// The four-line, ANSI-coloured record of a failed component run:
//   1. a red rule of `width` dashes
//   2. the error class name in red, then `title` right-aligned to `width`
//   3. the traceback lines, concatenated
//   4. "TesselPipelineError: " in red, then the error text
#pragma once
#include "tessel_core/_native/pyclass.h"

namespace pyclass {

inline nb::list error_record(nb::handle exc_name, nb::handle exc_string, nb::handle stb,
                             nb::handle width, nb::handle title) {
    nb::str red("\x1b[0;31m"), reset("\x1b[0m");
    nb::object dashes = nb::str("-") * nb::borrow(width);
    nb::object pad_to = nb::borrow(width) - nb::int_(nb::len(exc_name));
    nb::object padded = title.attr("rjust")(pad_to, " ");
    nb::object body = nb::str("").attr("join")(stb);
    nb::list lines;
    lines.append(red + dashes + reset);
    lines.append(red + nb::borrow(exc_name) + reset + padded);
    lines.append(reset + body + reset);
    lines.append(nb::str("\x1b[0;31mTesselPipelineError\x1b[0m: ") + nb::borrow(exc_string));
    return lines;
}

} // namespace pyclass
