// Splitting a cell into the code before its last statement and, when that
// statement is an expression, the expression's text (its value is what the
// cell shows).
#include "tessel_core/_native/module.h"

namespace {

// The shell whose IPython syntax (magics, !cmd) the code may use, if any.
nb::object current_shell(nb::handle given) {
    if (!given.is_none())
        return nb::borrow(given);
    return G("get_ipython")();
}

// Text of `source` before (lineno, col_offset) of `node`; ast counts lines
// the way the tokenizer does and columns in UTF-8 bytes.
nb::object text_before(nb::handle source, nb::handle node) {
    std::string text = pyclass::utf8_of(source);
    long lineno = nb::cast<long>(node.attr("lineno"));
    size_t col = nb::cast<size_t>(node.attr("col_offset"));
    size_t pos = 0;
    for (long line = 1; line < lineno && pos < text.size(); ++pos) {
        if (text[pos] == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n')
            ++pos;
        if (text[pos] == '\n' || text[pos] == '\r')
            ++line;
    }
    pos = std::min(pos + col, text.size());
    return pyclass::from_utf8(text, pos);
}

nb::tuple parse_last_expr(nb::handle code, nb::handle shell_arg) {
    pyclass::require_str(code, "code");
    nb::object source = code.is_none() ? nb::object(nb::str("")) : nb::borrow(code);
    nb::object shell = current_shell(shell_arg);
    if (!shell.is_none())
        source = shell.attr("transform_cell")(source);
    nb::object tree;
    try {
        tree = G("ast").attr("parse")(source);
    } catch (nb::python_error &e) {
        // A NUL or a lone surrogate makes the text unparseable as well
        // (ValueError, UnicodeEncodeError): no statement can be found.
        if (!e.matches(PyExc_SyntaxError) && !e.matches(PyExc_ValueError))
            throw;
        return nb::make_tuple(nb::none(), source);
    }
    nb::object last = G("code_analysis").attr("last_expression")(tree.attr("body"));
    if (last.is_none())
        return nb::make_tuple(nb::none(), source);
    nb::object text = G("ast").attr("get_source_segment")(source, last);
    return nb::make_tuple(text, text_before(source, last));
}

} // namespace

NB_MODULE(utils, m) {
    globals.init(m);
    m.attr("ast") = pyclass::import("ast");
    m.attr("get_ipython") = pyclass::import("IPython").attr("get_ipython");
    m.attr("code_analysis") = pyclass::import("tessel_core.common.code");
    pyclass::def_function(
        m, "parse_last_expr_from_code",
        [](pyclass::obj code, pyclass::obj shell) { return parse_last_expr(code, shell); },
        "code"_a, "ipython_shell"_a = nb::none(),
        "Return (text of the last top-level statement if it is an expression, else None; "
        "the code before it). IPython syntax is transformed by the shell when there is one.");
}
