// The four-line, ANSI-coloured record of a failed component run, built in one
// place for the executor and the runlet:
//   1. a red rule of `width` dashes
//   2. the error class name in red, then `title` right-aligned to `width`
//   3. the traceback lines, concatenated
//   4. "TesselPipelineError: " in red, then the error text
#pragma once
#include "tessel_core/_native/pyclass.h"

namespace pyclass {

// The record's width and title; the runlet exposes them as module constants
// that its formatting reads at call time.
constexpr long kExcLineLength = 75;
constexpr const char *kExcTraceback = "Traceback (most recent call last)";

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

// The lines of the full report of `exc` (chained exceptions included) between
// its header and its final "Name: text" line. A report without a header (a
// SyntaxError raised by the compiler, an exception never raised) keeps its
// first line, which names the file and line or the chained cause.
inline nb::list traceback_body(nb::handle exc) {
    nb::list lines = list_copy(
        import("traceback").attr("format_exception")(type_of(exc), exc, exc.attr("__traceback__")));
    size_t n = nb::len(lines), first = 0;
    if (n && truthy(lines[0].attr("startswith")("Traceback")))
        first = 1;
    nb::list body;
    for (size_t i = first; i + 1 < n; ++i)
        body.append(lines[i]);
    return body;
}

} // namespace pyclass
