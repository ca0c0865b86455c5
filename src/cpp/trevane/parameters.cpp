#include "trevane/parameters.hpp"

#include <charconv>
#include <cmath>
#include <sstream>

namespace zelvor::trevane::backtest_parameters {

namespace {

// A double as Python's repr writes the defaults: the shortest text that reads back, with ".0" on a
// whole number.
std::string real_text(double value) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    std::string result(text, end);
    if (result.find_first_of(".en") == std::string::npos) result += ".0";
    return result;
}

// How the default reads in the text signature (`in_signature`) or in the docstring.
std::string default_text(const Parameter& p, bool in_signature) {
    switch (p.kind) {
        case Kind::real:
            if (std::isinf(p.default_value)) return in_signature ? "org_np.inf" : "inf";
            return real_text(p.default_value);
        case Kind::int32:
            return std::to_string(static_cast<int>(p.default_value));
        case Kind::truth:
        case Kind::object:
            return p.default_value != 0.0 ? "True" : "False";
        case Kind::optional_buffer:
            return "None";
        case Kind::array:
            break;
    }
    return "";
}

std::string element_text(const glue::ElementType* element) {
    if (element == &glue::float64_element) return "float64";
    if (element == &glue::label_element) return "object (str labels)";
    return "int64";
}

std::string type_text(const Parameter& p) {
    const std::string dims = std::to_string(p.ndim) + "-D";
    switch (p.kind) {
        case Kind::array:
            return std::string("ndarray of ").append(element_text(p.element)).append(", ").append(dims);
        case Kind::real:
            return "float";
        case Kind::truth:
            return "bool";
        case Kind::int32:
            return "int";
        case Kind::object:
            return "object";
        case Kind::optional_buffer:
            return element_text(p.element) + " buffer, " + dims + ", or None";
    }
    return "";
}

// `text` broken into lines of at most `width` characters, each indented by four blanks.
std::string indented(std::string_view text, std::size_t width) {
    std::istringstream words{std::string(text)};
    std::string out;
    std::string line;
    std::string word;
    while (words >> word) {
        if (!line.empty() && line.size() + 1 + word.size() > width) {
            out.append("    ").append(line).append("\n");
            line.clear();
        }
        line.append(line.empty() ? "" : " ").append(word);
    }
    if (!line.empty()) out.append("    ").append(line).append("\n");
    return out;
}

}  // namespace

std::string signature_entries(std::size_t first, std::size_t last) {
    std::string text;
    for (std::size_t i = first; i < last && i < count; ++i) {
        const Parameter& p = table[i];
        text.append(", ").append(p.name);
        if (p.kind != Kind::array) text.append("=").append(default_text(p, true));
    }
    return text;
}

std::string docstring() {
    std::string text = "backtest_($module, /" + signature_entries(0, count);
    text +=
        ")\n--\n\n"
        "Simulate a portfolio day by day and return its value at the close of every price row.\n\n"
        "Trades, their excursion statistics and the next-period report stay in module state: read them\n"
        "with get_trade_stocks(), get_stock_operations() and zelvor.core.quelmo.quelmo.\n\n"
        "Threads: one backtest_ runs at a time in the process; a call from another thread waits, without\n"
        "holding the interpreter lock, until the running one has finished. A call made from inside a\n"
        "running backtest on the same thread (from a label's or a truth value's method) raises\n"
        "RuntimeError. Reading the results afterwards is a separate step that another thread's run can\n"
        "overwrite in between; the Python layer's zelvor.backtest holds its own lock over the run and the\n"
        "reading of its results.\n\n"
        "Money is counted in units of the starting cash (1.0). Every trade of a row is filled at the\n"
        "row's trading price (a touched exit at its level), and the portfolio is valued at the row's close.\n\n"
        "Parameters\n----------\n";
    for (const Parameter& p : table) {
        text.append(p.name).append(" : ").append(type_text(p));
        if (p.kind != Kind::array) text.append(", default ").append(default_text(p, false));
        text.append("\n").append(indented(p.doc, 92));
    }
    text +=
        "\nReturns\n-------\n"
        "ndarray of float64, 1-D\n"
        "    The portfolio's value at the close of each price row (1.0 on the rows before the first\n"
        "    weights date).";
    return text;
}

}  // namespace zelvor::trevane::backtest_parameters
