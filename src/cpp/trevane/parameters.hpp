// backtest_'s 25 parameters, described once: name, kind, default, the element type and dimensions of
// an array, and what help() says of it. The binding order, the conversions and their defaults, the
// text signature, the docstring and the loops over the arrays all come from this table.
#pragma once

#include <array>
#include <cstddef>
#include <limits>
#include <string>
#include <string_view>

#include "pyglue/args.hpp"
#include "pyglue/buffer.hpp"

namespace zelvor::trevane::backtest_parameters {

enum class Kind {
    array,            // an ndarray (a subclass passes) whose buffer holds `element` in `ndim` dimensions
    real,             // a number, held as a double
    truth,            // any object, held as its truth value
    int32,            // an int, or anything with __int__, held as a 32-bit signed int
    object,           // any object, passed on as it is and asked for its truth value where it is used
    optional_buffer,  // None, or any object exporting a buffer of `element` in `ndim` dimensions
};

struct Parameter {
    const char* name;
    Kind kind;
    // real and int32: the value; truth and object: 0 is False, anything else True. An infinite default
    // is the value of org_np.inf when the module was initialised.
    double default_value = 0.0;
    const glue::ElementType* element = nullptr;  // array and optional_buffer
    int ndim = 0;                                // array and optional_buffer
    const char* doc = "";                        // what help() says of it
};

inline constexpr double inf = std::numeric_limits<double>::infinity();

constexpr Parameter array(const char* name, const glue::ElementType& element, int ndim, const char* doc) {
    return {.name = name, .kind = Kind::array, .element = &element, .ndim = ndim, .doc = doc};
}

constexpr Parameter option(const char* name, Kind kind, double default_value, const char* doc) {
    return {.name = name, .kind = kind, .default_value = default_value, .doc = doc};
}

constexpr Parameter optional_buffer(const char* name, const glue::ElementType& element, int ndim, const char* doc) {
    return {.name = name, .kind = Kind::optional_buffer, .element = &element, .ndim = ndim, .doc = doc};
}

inline constexpr std::array<Parameter, 25> table{
    array("price_values", glue::float64_element, 2,
          "Trading prices, one row per price date and one column per stock (NaN: missing). Holdings are "
          "carried, revalued and traded at these prices; a missing price keeps a holding's value."),
    array("close_values", glue::float64_element, 2,
          "Closing prices, same shape. The portfolio is valued at the close, and without touched_exit the "
          "close is what the exit levels are compared with."),
    array("high_values", glue::float64_element, 2, "Daily highs, same shape; read only when touched_exit is true."),
    array("low_values", glue::float64_element, 2, "Daily lows, same shape; read only when touched_exit is true."),
    array("open_values", glue::float64_element, 2, "Daily opens, same shape; read only when touched_exit is true."),
    array("price_index", glue::int64_element, 1,
          "The date of each price row, in nanoseconds since the epoch, ascending."),
    array("price_columns", glue::label_element, 1, "The stock label (str) of each price column."),
    array("pos_values", glue::float64_element, 2,
          "Target weights, one row per position date and one column per stock: signed fractions of the "
          "portfolio's value (negative: short). A row's gross weight is scaled down to 1, never up. "
          "Weights dated on price row i (or between rows i and i + 1) are traded on row i + 1, at its "
          "trading price, when row i is a rebalance row (see resample); otherwise on the row after the "
          "next rebalance row, unless later weights replace them."),
    array("pos_index", glue::int64_element, 1,
          "The date of each weights row, in nanoseconds since the epoch, ascending. Before the first one "
          "the portfolio is cash worth 1.0."),
    array("pos_columns", glue::label_element, 1,
          "The stock label of each weights column, matched to price_columns by its UTF-8 text."),
    array("resample", glue::int64_element, 1,
          "Rebalance dates in nanoseconds, ascending. Each makes the last price row not later than it a "
          "rebalance row: a weights row not yet traded is traded on the row after it. Empty: never "
          "rebalance (the portfolio stays in cash)."),
    option("fee_ratio", Kind::real, 0.001425,
           "Fee paid on every traded amount, as a fraction of it (0.001425 is 0.1425%). 0: no fee."),
    option("tax_ratio", Kind::real, 0.003,
           "Tax paid in addition on every amount that reduces or closes a holding, as a fraction of it. "
           "0: no tax."),
    option("stop_loss", Kind::real, 1.0,
           "Stop-loss level as a fraction of the holding's cost basis (0.08: a long is closed once it has "
           "lost 8%, a short once its price has risen 8%); the sign is ignored. 1.0: off for longs (a "
           "short is still closed when its price doubles)."),
    option("take_profit", Kind::real, inf,
           "Take-profit level as a fraction of the cost basis (0.3: a long is closed once it has gained "
           "30%, a short once its price has fallen 30%); the sign is ignored. inf: off."),
    option("trail_stop", Kind::real, inf,
           "Trailing stop: a long is closed once its price ratio to the cost basis falls this far below "
           "its highest since the basis (0.1: a long that rose to 1.3 times its basis is closed at 1.2); a "
           "short once the ratio rises this far above its lowest. The sign is ignored. inf: off."),
    option("trail_stop_activation", Kind::real, 0.0,
           "The trailing stop applies once the holding has gained this fraction since its basis (0.05: "
           "5%); the sign is ignored. 0.0: from the start."),
    option("touched_exit", Kind::truth, 0.0,
           "True: an exit fires within the row whose high, low or open reaches an exit level, filled at "
           "that level (or at the open beyond it). False: the close is compared with the levels and the "
           "exit is traded on the next row at its trading price. Pass the same flag to get_trade_stocks()."),
    option("position_limit", Kind::real, 1.0,
           "Largest absolute holding of one stock at a rebalance, as a fraction of the portfolio's value. "
           "1.0: no limit below the whole portfolio."),
    option("retain_cost_when_rebalance", Kind::truth, 0.0,
           "True: a holding kept through a rebalance keeps its trade record and, unless its direction "
           "flips, its cost basis (its stop levels and trailing high carry on). False: every rebalance "
           "starts all holdings from a new basis. Stored in the module flag RETAIN_COST_WHEN_REBALANCE."),
    option("stop_trading_next_period", Kind::object, 1.0,
           "Taken by its truth value wherever it is used. True: a stock stopped out since the last "
           "rebalance gets weight 0 at the next one, and a stop due on a rebalance row is carried out. "
           "False: the next rebalance may buy the stock back, and a stop due on a rebalance row whose "
           "weights keep the stock is skipped. Also shapes the next-period report."),
    option("quelmo_window", Kind::int32, 0,
           "Rows after each trade's entry over which its excursion statistics are also reported, every "
           "quelmo_window_step rows (zelvor.core.quelmo.quelmo). 0: only the statistics at the exit."),
    option("quelmo_window_step", Kind::int32, 1, "Spacing in rows of those reports."),
    option("periodically_rebalance", Kind::truth, 1.0,
           "True: unless retain_cost_when_rebalance, a rebalance closes the trade record of every holding "
           "it keeps (at any non-zero weight) and opens a new one without costs, so trades are cut at "
           "rebalances. False: a kept holding's record runs on until it is closed. Stored in the module "
           "flag RESAMPLE; when rebalances happen is set by resample."),
    optional_buffer("delisting_bars", glue::const_int64_element, 1,
                    "None: no delistings. Otherwise int64 per weights column: the price row on which a holding in "
                    "that stock is closed as delisted, at that row's trading price with fee and tax; a negative "
                    "entry: never."),
};

inline constexpr std::size_t count = table.size();

// The index of the parameter called `name`; a name not in the table does not compile.
consteval std::size_t index_of(std::string_view name) {
    for (std::size_t i = 0; i < count; ++i) {
        if (name == table[i].name) return i;
    }
    throw "not a parameter of backtest_";
}

// The leading parameters without a default: the arrays.
inline constexpr std::size_t n_arrays = [] {
    std::size_t n = 0;
    while (n < count && table[n].kind == Kind::array) ++n;
    return n;
}();

// Binding by position needs every parameter without a default before those with one.
static_assert([] {
    for (std::size_t i = n_arrays; i < count; ++i) {
        if (table[i].kind == Kind::array) return false;
    }
    return true;
}());

inline constexpr std::array<const char*, count> names = [] {
    std::array<const char*, count> result{};
    for (std::size_t i = 0; i < count; ++i) result[i] = table[i].name;
    return result;
}();

inline constexpr glue::Signature signature{"backtest_", names, static_cast<Py_ssize_t>(n_arrays)};

// The docstring, text signature first.
std::string docstring();

// The text signature's entries for table[first, last): ", name" for an array, ", name=default"
// otherwise, the defaults written as the docstring's signature writes them.
std::string signature_entries(std::size_t first, std::size_t last);

}  // namespace zelvor::trevane::backtest_parameters
