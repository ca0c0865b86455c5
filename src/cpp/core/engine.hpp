// The backtest engine's numeric core: per-run state, the daily loop, the trade primitive
// (set_position), the rebalance and the trading-price check. No Python here: everything the
// engine needs from the interpreter (the excursion recorder, the module flags, the truth of
// `stop_trading_next_period`, NumPy's gross weight, error reporting) goes through `Host`.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "core/errors.hpp"
#include "core/fill_log.hpp"
#include "core/positions.hpp"
#include "core/strided.hpp"

namespace zelvor::engine {

using ColumnMap = std::map<int, int>;  // position column -> price column

enum class StopSide : std::uint8_t { stop_loss, take_profit };

struct StopEntry {
    std::int32_t sid;
    StopSide side;
    bool operator==(const StopEntry&) const = default;
};

// The engine functions an error can pass through; the host names them in traceback entries.
enum class Frame { set_position, rebalance, validate_trade_price };

// A target-weight row handed to `rebalance`: a row of `pos_values`, or (when stopped stocks were
// zeroed out of it) a modified copy of that row.
struct TargetRow {
    std::int64_t pos_row = -1;                  // row of pos_values the weights come from
    const std::vector<double>* copy = nullptr;  // non-null: use these weights instead
};

// The host's failures: a Host method that fails throws an exception of the host's own kind, which
// the engine lets pass to the boundary of the engine function it is in; there `fail` names that
// function and throws again. The engine never looks at the exception.
class Host {
public:
    virtual ~Host() = default;

    // Excursion recorder. Each throws when the recorder reported a failure.
    virtual void record_date(int row) = 0;
    virtual void record_entry(int sid, double size, int transaction) = 0;
    virtual void record_exit(int sid, int transaction) = 0;
    virtual void end_analysis(PositionMap& positions) = 0;

    // Module flags RETAIN_COST_WHEN_REBALANCE and RESAMPLE, looked up by name each time.
    virtual bool retain_cost_flag() = 0;
    virtual bool resample_flag() = 0;

    // Truth value of the caller's `stop_trading_next_period` object, asked each time it is used.
    virtual bool stop_trading_next_period() = 0;

    // Sum of the absolute weights of a target row, as the array library computes it.
    virtual double gross_weight(const TargetRow& row) = 0;

    // Errors that need the stock's label (pos_columns[sid]): report it and throw.
    [[noreturn]] virtual void invalid_trade_price(double price, int sid, int row) = 0;
    [[noreturn]] virtual void missing_price_column(int sid) = 0;

    // Called from a `catch (...)` at the boundary of an engine function: turns the exception in
    // flight (numeric::Error, std::bad_alloc, or one of the host's own) into the host's failure,
    // names `frame` in it, and throws.
    [[noreturn]] virtual void fail(Frame frame) = 0;

    // Where the run's fills are logged; none by default.
    virtual FillLog* fill_log() noexcept { return nullptr; }
};

// The run's trading options (backtest_'s parameters of the same names; the defaults live there).
struct Options {
    double fee_ratio = 0.0;
    double tax_ratio = 0.0;
    double stop_loss = 0.0;
    double take_profit = 0.0;
    double trail_stop = 0.0;
    double trail_stop_activation = 0.0;
    bool touched_exit = false;
    double position_limit = 0.0;
    bool retain_cost_when_rebalance = false;
};

struct Market {
    numeric::Strided2D price, close, high, low, open;  // [price row, price column]
    numeric::Strided1D<std::int64_t> price_index;      // N = price_index.size
    numeric::Strided2D pos_values;                     // [position row, position column]
    numeric::Strided1D<std::int64_t> pos_index;
    numeric::Strided1D<std::int64_t> resample;
    std::int64_t n_labels = 0;  // C = len(pos_columns); labels are read only by the host
    bool has_delisting_bars = false;
    numeric::Strided1D<std::int64_t> delisting_bars;  // per position column; valid when has_delisting_bars
};

// The state the daily loop carries from row to row that the end-of-run report reads; after the last
// row, what the run leaves for that report.
struct RunOutcome {
    PositionMap positions;
    double cash = 1.0;
    std::vector<StopEntry> stop_exits;         // stops executed since the last rebalance
    std::vector<StopEntry> exits_due;          // stops detected on the previous row's close, due on this row
    std::int64_t pos_id = 0;                   // the current position row
    std::int64_t last_rebalanced_pos_id = -1;  // the position row of the last executed rebalance
    bool rebalance_due = false;                // the next row rebalances (after the last row: never executed)
    // What the last executed rebalance did.
    PositionMap last_positions;
    bool has_last_target = false;           // false: last_target is None (no rebalance executed)
    std::int64_t last_target_pos_row = -1;  // row of pos_values used by the last rebalance
    bool last_target_is_copy = false;       // true: last_target_copy holds the modified row
    std::vector<double> last_target_copy;
    std::int64_t last_date = 0;  // price_index[N - 1], set after the last row; meaningless when N == 0
};

// Dense position column -> price column table built from a ColumnMap, for the hot loop.
struct PriceColumns {
    std::vector<int> column;    // indexed by position column; -1: the label has no price column
    std::int64_t n_labels = 0;  // len(pos_columns): a position column at or past it has no label

    int of(std::int64_t sid) const noexcept {
        return sid >= 0 && sid < static_cast<std::int64_t>(column.size()) ? column[sid] : -1;
    }
};

// `n_positions` is the number of position columns (entries of the map at or past it are never read).
PriceColumns make_price_columns(const ColumnMap& columns, std::int64_t n_positions, std::int64_t n_labels);

// Runs the whole simulation (setup of the per-run state, the daily loop, end_analysis).
// `portfolio_value` has room for market.price_index.size doubles and receives one value per row.
// The caller has already called the recorder's start_analysis. Throws numeric::Error, or the host's
// failure, on failure.
RunOutcome run_backtest(const Market& market, const Options& options, const ColumnMap& columns, Host& host,
                        double* portfolio_value);
// The same with the column table made once for many runs: make_price_columns(columns,
// market.pos_values.cols, market.n_labels).
RunOutcome run_backtest(const Market& market, const Options& options, const PriceColumns& columns, Host& host,
                        double* portfolio_value);

// The engine's functions, exposed for tests of the core. Each reports a failure through host.fail(),
// which names it.

// How set_position treats the holding, and what the fill log is told of the change. The defaults are
// those of a rebalance's trades; the daily loop closes single holdings with `check_held` false.
struct TradeOptions {
    bool check_held = true;       // false: a missing key counts as a holding of 0 (and is inserted)
    bool drop_zero = false;       // true: a holding that ends at exactly 0 is erased from the map
    double position_scale = 1.0;  // divisor turning the target into the size told to the recorder
    // For the fill log (read only when the host keeps one):
    FillReason reason = FillReason::rebalance;        // why the holding changes
    std::optional<double> fill_price = std::nullopt;  // none: the row's trading price (else an intraday exit's fill)
    std::optional<double> balance = std::nullopt;     // the portfolio value the change's weight refers to (a
                                                      // rebalance's); none: cash plus holdings before the change
};

// The trade primitive: moves `sid` to `target` (money), charges fee and tax, tells the recorder.
// Returns the new cash. A non-zero target for a column without a price column fails through
// host.missing_price_column before anything changes.
double set_position(Host& host, const PriceColumns& columns, PositionMap& positions, int sid, double target,
                    double cash, double fee_ratio, double tax_ratio, const TradeOptions& trade = {});

// Moves the portfolio to the weights of `row`; `weights` views the same numbers (a row of pos_values
// or the modified copy). Returns the new cash.
double rebalance(Host& host, const PriceColumns& columns, PositionMap& positions, const TargetRow& row,
                 numeric::Strided1D<double> weights, double cash, double fee_ratio, double tax_ratio,
                 double position_limit);

// Accepts NaN and positive finite prices; anything else fails through host.invalid_trade_price.
void validate_trade_price(Host& host, double price, int sid, int row);

}  // namespace zelvor::engine
