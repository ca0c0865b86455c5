// Runs the excursion statistics core on trades read from stdin and prints each result exactly, so the
// Python tests can compare it with hand-worked values and with a reference model.
//
// Input: the number of trades, then per trade
//   price_rows close_rows cols column_major
//   price values (price_rows * cols, row by row), close values (close_rows * cols, row by row)
//   price_column entry_row exit_row is_long entry_transaction exit_transaction window window_step fee tax
// Numbers may be written as hexadecimal floats, nan or inf. Output: one line per trade,
//   "ok <n> <value>..." with every value as a hexadecimal float, or "error <kind> <message>".
// One analyser serves all trades, as in the module, so a trade that misreads leftover tracks of the
// one before it shows up here.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "core/excursion.hpp"

namespace {

using namespace zelvor;

double read_number() {
    std::string token;
    std::cin >> token;
    return std::strtod(token.c_str(), nullptr);
}

long read_int() {
    long value = 0;
    std::cin >> value;
    return value;
}

// A matrix stored row- or column-major, seen through a strided view.
struct Matrix {
    std::vector<double> data;
    numeric::Strided2D view;

    Matrix(long rows, long cols, bool column_major) : data(static_cast<std::size_t>(rows * cols)) {
        for (long r = 0; r < rows; ++r) {
            for (long c = 0; c < cols; ++c) {
                const long at = column_major ? c * rows + r : r * cols + c;
                data[static_cast<std::size_t>(at)] = read_number();
            }
        }
        const auto item = static_cast<std::int64_t>(sizeof(double));
        view = {reinterpret_cast<const char*>(data.data()), rows, cols, column_major ? item : cols * item,
                column_major ? rows * item : item};
    }
};

// The Python exception the glue turns each error kind into (pyglue/errors.cpp), by name.
const char* kind_name(numeric::ErrorKind kind) {
    static_assert(static_cast<int>(numeric::ErrorKind::runtime) == 6, "one Python exception per error kind");
    const char* const names[] = {"IndexError", "ZeroDivisionError", "OverflowError", "ValueError",
                                 "TypeError",  "MemoryError",       "RuntimeError"};
    return names[static_cast<int>(kind)];
}

}  // namespace

int main() {
    excursion::Analyzer analyzer;
    const long n_trades = read_int();
    for (long t = 0; t < n_trades; ++t) {
        const long price_rows = read_int();
        const long close_rows = read_int();
        const long cols = read_int();
        const bool column_major = read_int() != 0;
        const Matrix price(price_rows, cols, column_major);
        const Matrix close(close_rows, cols, column_major);
        excursion::Trade trade;
        trade.price_column = static_cast<std::int32_t>(read_int());
        trade.entry_row = static_cast<std::int32_t>(read_int());
        trade.exit_row = static_cast<std::int32_t>(read_int());
        trade.is_long = read_int() != 0;
        trade.entry_transaction = static_cast<std::int32_t>(read_int());
        trade.exit_transaction = static_cast<std::int32_t>(read_int());
        excursion::Settings settings;
        settings.window = static_cast<std::int32_t>(read_int());
        settings.window_step = static_cast<std::int32_t>(read_int());
        settings.fee_ratio = read_number();
        settings.tax_ratio = read_number();
        if (!std::cin) {
            std::fprintf(stderr, "bad input at trade %ld\n", t);
            return 2;
        }
        try {
            const std::vector<double> stats = analyzer.analyse(price.view, close.view, trade, settings);
            std::printf("ok %zu", stats.size());
            for (double value : stats) std::printf(" %a", value);
            std::printf("\n");
        } catch (const numeric::Error& error) {
            std::printf("error %s %s\n", kind_name(error.kind), error.message.c_str());
        }
    }
    return 0;
}
