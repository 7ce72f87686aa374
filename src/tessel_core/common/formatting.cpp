// Normalising a cell's code text before it is parsed or run.
#include "tessel_core/_native/pyclass.h"

#include <string>
#include <vector>

namespace {

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r') {
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            c = '\n';
        }
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    lines.push_back(line);
    return lines;
}

bool blank(const std::string &s) {
    return s.find_first_not_of(" \t\f\v") == std::string::npos;
}

// The indentation every non-blank line starts with ("" when they differ).
std::string common_prefix(const std::vector<std::string> &lines) {
    std::string prefix;
    bool first = true;
    for (const auto &l : lines) {
        if (blank(l))
            continue;
        std::string indent = l.substr(0, l.find_first_not_of(" \t"));
        if (first) {
            prefix = indent;
            first = false;
            continue;
        }
        size_t n = 0;
        while (n < prefix.size() && n < indent.size() && prefix[n] == indent[n])
            ++n;
        prefix.resize(n);
    }
    return prefix;
}

// Line endings become "\n", blank lines at the end go, and an indentation
// shared by every line is removed (a cell pasted from an indented block would
// not run otherwise). Nothing inside a line changes, so string literals keep
// their text.
std::string format_code(const std::string &code) {
    std::vector<std::string> lines = split_lines(code);
    while (!lines.empty() && blank(lines.back()))
        lines.pop_back();
    std::string prefix = common_prefix(lines);
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i > 0)
            out += '\n';
        const std::string &l = lines[i];
        out += l.compare(0, prefix.size(), prefix) == 0 ? l.substr(prefix.size()) : l;
    }
    return out;
}

} // namespace

NB_MODULE(formatting, m) {
    pyclass::def_function(
        m, "format_code",
        [](pyclass::obj code) -> nb::object {
            pyclass::require_str(code, "code");
            if (code.is_none())
                return nb::str("");
            return pyclass::from_utf8(format_code(pyclass::utf8_of(code)));
        },
        "code"_a, "Return the cell's code with normalised line endings and indentation.");
}
