// The backtest engine's numeric core: setup of the per-run state, the daily loop, the trade primitive,
// the rebalance and the trading-price check. Every read of a caller's array is checked with `at` or
// proven in range before it is made; the floating-point operations keep the order of the formulas
// they implement, since results are compared bit for bit.
#include "core/engine.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <utility>
#include <vector>

namespace zelvor::engine {

using numeric::Error;
using numeric::ErrorKind;
using numeric::out_of_bounds;
using numeric::Strided1D;
using numeric::Strided2D;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Hands the exception in flight to the host, which names `frame` in the traceback and rethrows.
// The compiler does not take [[noreturn]] from a virtual call; a host whose `fail` returned would
// break its contract, and the run cannot go on.
[[noreturn]] void fail_in(Host& host, Frame frame) {
    host.fail(frame);
    std::abort();
}

// NaN (a missing price) and positive finite prices are usable.
inline bool price_acceptable(double price) noexcept { return std::isnan(price) || (price > 0.0 && price < kInf); }

// Python float division: a zero divisor (of either sign) raises instead of giving inf.
inline double float_divide(double numerator, double divisor) {
    if (divisor == 0.0) throw Error{ErrorKind::zero_division, "float division by zero"};
    return numerator / divisor;
}

// ---- set_position -------------------------------------------------------------------------------

// The holding of `sid` as set_position finds it, before anything changes.
struct Holding {
    PositionMap::iterator at;     // positions.lower_bound(sid): the entry, or where it would go
    PositionMap::iterator found;  // the entry of `sid`, or positions.end()
    bool known;                   // a missing key counts as not held (check_held) or as a 0 holding
    bool held;                    // an entry whose value is not 0 (NaN counts as held)
};

Holding find_holding(PositionMap& positions, PositionMap::iterator at, int sid, bool check_held) {
    const auto found = at != positions.end() && at->first == sid ? at : positions.end();
    const bool present = found != positions.end();
    return {at, found, check_held ? present : true, present && found->second != 0.0};
}

// What the recorder was told, and the size it got with an entry.
struct Recorded {
    RecordEvent event = RecordEvent::none;
    double size = 0.0;
};

// The recorder hears of the trade before any money moves: an opening, a closing, or (a held stock
// kept at another value when the basis restarts at each rebalance) a closing and a new opening.
Recorded tell_recorder(Host& host, int sid, double target, bool held, double position_scale) {
    if (!held && target != 0.0) {
        const double size = float_divide(target, position_scale);
        host.record_entry(sid, size, 1);
        return {RecordEvent::entry, size};
    }
    if (held && target == 0.0) {
        host.record_exit(sid, 1);
        return {RecordEvent::exit, 0.0};
    }
    if (held && target != 0.0) {
        if (!host.retain_cost_flag() && host.resample_flag()) {
            host.record_exit(sid, 0);
            const double size = float_divide(target, position_scale);
            host.record_entry(sid, size, 0);
            return {RecordEvent::rebase, size};
        }
    }
    return {};
}

// A holding's change: the new cash and the holding's value before and after.
struct Moved {
    double cash;
    double value_before;
    double value_after;
};

// The entry of `sid`, inserted at 0 when missing.
PositionMap::iterator entry_of(PositionMap& positions, const Holding& holding, int sid) {
    return holding.found != positions.end() ? holding.found : positions.try_emplace(holding.at, sid, 0.0);
}

// Sells or covers the whole holding: fee and tax on its absolute value come out of the proceeds.
Moved close_holding(PositionMap& positions, const Holding& holding, int sid, double cash, double fee_ratio,
                    double tax_ratio, bool drop_zero) {
    if (!holding.known) return {cash, 0.0, 0.0};
    const auto it = entry_of(positions, holding, sid);
    const double v = it->second;
    const double new_cash = cash + (v - (fee_ratio + tax_ratio) * std::fabs(v));
    if (drop_zero) {
        positions.erase(it);
    } else {
        it->second = 0.0;
    }
    return {new_cash, v, 0.0};
}

// Moves the holding to a non-zero `target`.
Moved trade_to(PositionMap& positions, const Holding& holding, int sid, double target, double cash, double fee_ratio,
               double tax_ratio, bool drop_zero) {
    const auto it = entry_of(positions, holding, sid);
    const double v = it->second;
    const double diff = target - v;
    // Enlarging the holding in the target's direction pays the fee only; reducing it pays the tax too.
    const bool enlarges = (target >= 0.0 && diff > 0.0) || (target <= 0.0 && diff < 0.0);
    const double rate = enlarges ? fee_ratio : fee_ratio + tax_ratio;
    const double cost = rate * std::fabs(diff);
    double new_cash;
    if (diff > 0.0) {
        it->second = (diff - cost) + v;  // the buyer pays the full diff; the cost comes out of the holding
        new_cash = cash - diff;
    } else {
        it->second = diff + v;
        new_cash = cash + (-diff - cost);
    }
    const double value_after = it->second;
    if (drop_zero && it->second == 0.0) positions.erase(it);
    return {new_cash, v, value_after};
}

// Tells the fill log what a trade did: fee on every traded amount, tax too on reductions and closes.
void log_change(FillLog& log, const PositionMap& positions, int sid, int price_column, const Recorded& recorded,
                double target, double cash, const Moved& moved, double fee_ratio, double tax_ratio) {
    const double traded = std::fabs(target == 0.0 ? moved.value_before : target - moved.value_before);
    const double diff = target - moved.value_before;
    const bool enlarges = target != 0.0 && ((target >= 0.0 && diff > 0.0) || (target <= 0.0 && diff < 0.0));
    log.record({sid, price_column, recorded.event, target, recorded.size, moved.value_before, moved.value_after, cash,
                moved.cash, fee_ratio * traded, enlarges ? 0.0 : tax_ratio * traded},
               positions);
}

// `at` is positions.lower_bound(sid), which callers walking the map in key order have at hand.
double set_position_at(Host& host, const PriceColumns& columns, PositionMap& positions, PositionMap::iterator at,
                       int sid, double target, double cash, double fee_ratio, double tax_ratio,
                       const TradeOptions& trade) {
    try {
        // A NaN target counts as a holding: such a column must never be valued with another stock's prices.
        if (target != 0.0 && columns.of(sid) < 0) {
            if (sid < 0 || sid >= columns.n_labels) throw out_of_bounds(0);  // not even a label to name
            host.missing_price_column(sid);
        }
        const Holding holding = find_holding(positions, at, sid, trade.check_held);
        const Recorded recorded = tell_recorder(host, sid, target, holding.held, trade.position_scale);
        const Moved moved =
            target == 0.0 ? close_holding(positions, holding, sid, cash, fee_ratio, tax_ratio, trade.drop_zero)
                          : trade_to(positions, holding, sid, target, cash, fee_ratio, tax_ratio, trade.drop_zero);
        if (FillLog* log = host.fill_log()) {
            log_change(*log, positions, sid, columns.of(sid), recorded, target, cash, moved, fee_ratio, tax_ratio);
        }
        return moved.cash;
    } catch (...) {
        fail_in(host, Frame::set_position);
    }
}

// The daily loop's trades close single holdings: a touched exit keeps the key (at 0) so that the
// walk over the holdings stays valid; due exits and delistings erase it.
constexpr TradeOptions close_keeping_key{.check_held = false, .drop_zero = false};
constexpr TradeOptions close_and_erase{.check_held = false, .drop_zero = true};

// ---- the daily loop -----------------------------------------------------------------------------

// Exit levels as ratios to the cost basis; only the absolute values of the options count.
struct Levels {
    double take_profit_above;  // upper of a long
    double take_profit_below;  // lower of a short
    double stop_loss_below;    // lower of a long
    double stop_loss_above;    // upper of a short
    double trail_active_above;
    double trail_active_below;
    double trail_distance;

    explicit Levels(const Options& o)
        : take_profit_above(1.0 + std::fabs(o.take_profit)),
          take_profit_below(1.0 - std::fabs(o.take_profit)),
          stop_loss_below(1.0 - std::fabs(o.stop_loss)),
          stop_loss_above(1.0 + std::fabs(o.stop_loss)),
          trail_active_above(1.0 + std::fabs(o.trail_stop_activation)),
          trail_active_below(1.0 - std::fabs(o.trail_stop_activation)),
          trail_distance(std::fabs(o.trail_stop)) {}
};

// Why a stop fired, for the fill log: the upper level is a long's take-profit and a short's stop; a
// stop level that moved off its fixed value is the trailing one.
FillReason stop_reason(const Levels& levels, bool is_long, bool hit_upper, double lower, double upper) noexcept {
    if (hit_upper == is_long) return FillReason::take_profit;
    const bool trailing = is_long ? lower != levels.stop_loss_below : upper != levels.stop_loss_above;
    return trailing ? FillReason::trail_stop : FillReason::stop_loss;
}

Strided1D<double> row_view(const Strided2D& matrix, std::int64_t row) {
    Strided1D<double> view;
    view.data = matrix.data + row * matrix.row_stride;
    view.size = matrix.cols;
    view.stride = matrix.col_stride;
    return view;
}

Strided1D<double> vector_view(const std::vector<double>& values) {
    Strided1D<double> view;
    view.data = reinterpret_cast<const char*>(values.data());
    view.size = static_cast<std::int64_t>(values.size());
    view.stride = sizeof(double);
    return view;
}

// What the loop changes from row to row. The parts the end-of-run report reads are handed over in a
// RunOutcome once the last row is done.
struct LoopState {
    PositionMap positions;
    double cash = 1.0;
    // Per position column: price ratios since the holding's basis was last reset, and their extremes.
    std::vector<double> cum_ratio, max_ratio, min_ratio;
    std::vector<double> ref_price;             // per price column: the last valid trading price
    std::vector<StopEntry> pending_exits;      // detected on today's close, executed tomorrow
    std::vector<StopEntry> exits_due;          // yesterday's pending_exits
    std::vector<StopEntry> stop_exits;         // executed since the last rebalance
    std::int64_t pos_id = 0;                   // the current position row
    std::int64_t last_rebalanced_pos_id = -1;  // the position row of the last executed rebalance
    bool rebalance_due = false;                // the next row rebalances
    // What the last executed rebalance did.
    PositionMap last_positions;
    bool has_last_target = false;
    std::int64_t last_target_pos_row = -1;
    bool last_target_is_copy = false;
    std::vector<double> last_target_copy;
    // Scratch lists of a single row, kept for their capacity.
    std::vector<int> delisted_today;
    std::vector<std::pair<int, double>> ref_updates;
};

class Simulation {
public:
    // The run's setup: the per-run state, the column table and the rows flagged for rebalancing.
    Simulation(const Market& market, const Options& options, const ColumnMap& columns, Host& host)
        : m_(market),
          o_(options),
          host_(host),
          levels_(options),
          n_rows_(market.price_index.size),
          n_stocks_(market.pos_values.cols),
          log_(host.fill_log()) {
        // Rows and stock indices travel as 32-bit ints (recorder calls, PositionMap keys).
        if (n_rows_ > INT_MAX || n_stocks_ > INT_MAX) {
            throw Error{ErrorKind::overflow, "value too large to convert to int"};
        }
        columns_ = make_price_columns(columns, n_stocks_, market.n_labels);
        s_.cum_ratio.assign(static_cast<std::size_t>(n_stocks_), 1.0);
        s_.max_ratio.assign(static_cast<std::size_t>(n_stocks_), 1.0);
        s_.min_ratio.assign(static_cast<std::size_t>(n_stocks_), 1.0);
        s_.ref_price.assign(static_cast<std::size_t>(market.price.cols), 1.0);

        if (market.has_delisting_bars) {
            for (std::int64_t k = 0; k < market.delisting_bars.size; ++k) {
                if (market.delisting_bars[k] >= 0) {
                    has_delisting_ = true;
                    break;
                }
            }
        }

        // Each rebalance date flags the last price row not later than it; the cursor never moves
        // back, so the dates are expected in ascending order. Without price rows nothing is flagged.
        resample_flags_.assign(static_cast<std::size_t>(n_rows_), 0);
        if (n_rows_ > 0) {
            std::int64_t j = 0;
            for (std::int64_t k = 0; k < market.resample.size; ++k) {
                const std::int64_t t = market.resample[k];
                while (j + 1 < n_rows_ && market.price_index[j + 1] <= t) ++j;
                resample_flags_[static_cast<std::size_t>(j)] = 1;
            }
        }
        if (log_) log_->start(n_stocks_, market.price);
    }

    // The daily loop, then end_analysis.
    void run(double* portfolio_value) {
        if (n_rows_ > 0 && m_.pos_index.size == 0) throw out_of_bounds(0);
        for (std::int64_t i = 0; i < n_rows_; ++i) {
            const std::int64_t date = m_.price_index[i];
            // Before the first position date the portfolio is untouched cash.
            if (date < m_.pos_index[0]) {
                portfolio_value[i] = 1.0;
                continue;
            }
            host_.record_date(static_cast<int>(i));
            if (log_) log_->set_row(i);
            prefetch_prices(i + 1);
            revalue(i);
            execute_due_exits();
            s_.exits_due.swap(s_.pending_exits);
            s_.pending_exits.clear();
            if (s_.rebalance_due) rebalance_row(i);
            if (has_delisting_) delist(i);
            portfolio_value[i] = value_row(i);
            schedule(i);
        }
        host_.end_analysis(s_.positions);
        if (log_) log_->finish(s_.positions, n_rows_ - 1, m_.close, columns_.column);
    }

    // What the run leaves for the end-of-run report; the state is spent.
    RunOutcome outcome() && {
        RunOutcome out;
        out.positions = std::move(s_.positions);
        out.last_positions = std::move(s_.last_positions);
        out.cash = s_.cash;
        out.has_last_target = s_.has_last_target;
        out.last_target_pos_row = s_.last_target_pos_row;
        out.last_target_is_copy = s_.last_target_is_copy;
        out.last_target_copy = std::move(s_.last_target_copy);
        out.stop_exits = std::move(s_.stop_exits);
        out.exits_due = std::move(s_.exits_due);
        out.pos_id = s_.pos_id;
        out.last_rebalanced_pos_id = s_.last_rebalanced_pos_id;
        out.rebalance_due = s_.rebalance_due;
        if (n_rows_ > 0) out.last_date = m_.price_index[n_rows_ - 1];
        return out;
    }

private:
    int price_column(int sid) {
        const int pid = columns_.of(sid);
        if (pid < 0) {  // a key only enters the map through a trade that checked its price column
            check_label(sid);
            host_.missing_price_column(sid);
        }
        return pid;
    }

    // The label pos_columns[sid] is evaluated before each price check.
    void check_label(int sid) const {
        if (sid >= m_.n_labels) throw out_of_bounds(0);
    }

    void check_price(double price, int sid, std::int64_t row) {
        check_label(sid);
        if (!price_acceptable(price)) validate_trade_price(host_, price, sid, static_cast<int>(row));
    }

    void reset_ratios(int sid) {
        s_.cum_ratio[sid] = 1.0;
        s_.max_ratio[sid] = 1.0;
        s_.min_ratio[sid] = 1.0;
    }

    // Closes a holding the caller has in hand (`at` points at it).
    double close_position(PositionMap::iterator at, const TradeOptions& trade) {
        return set_position_at(host_, columns_, s_.positions, at, at->first, 0.0, s_.cash, o_.fee_ratio, o_.tax_ratio,
                               trade);
    }

    // The holdings sit in scattered columns of matrices far larger than the cache, so each row's walk
    // would wait on a memory load per holding and price. The loads of the next row are started a
    // whole row of work ahead instead, for the stocks held now (nearly always the ones held then).
    void prefetch_prices(std::int64_t row) const noexcept {
        if (row >= n_rows_) return;
        for (const auto& [sid, value] : s_.positions) {
            const int pid = columns_.of(sid);
            m_.price.prefetch(row, pid);
            if (o_.touched_exit) {
                m_.high.prefetch(row, pid);
                m_.low.prefetch(row, pid);
                m_.open.prefetch(row, pid);
            } else {
                m_.close.prefetch(row, pid);
            }
        }
    }

    // Revalues every holding at the row's trading price and looks for stops. All holdings are measured
    // against the reference prices as they stood at the start of the row, so position columns sharing
    // a price column are each revalued; the reference prices move once the walk is done.
    void revalue(std::int64_t i) {
        s_.ref_updates.clear();
        double held_value = 0.0;  // the holdings at today's trading prices, for the fill log
        for (auto it = s_.positions.begin(); it != s_.positions.end(); ++it) {
            const int sid = it->first;
            const int pid = price_column(sid);
            const double price = m_.price.at(i, pid);
            check_price(price, sid, i);

            double& ref = s_.ref_price[static_cast<std::size_t>(pid)];
            if (std::isnan(ref)) ref = price;
            double r = price / ref;
            if (std::isnan(r)) r = 1.0;  // a missing price keeps the holding's value

            double& position = it->second;
            double& cum = s_.cum_ratio[sid];
            double& max_ratio = s_.max_ratio[sid];
            double& min_ratio = s_.min_ratio[sid];
            position *= r;
            cum *= r;
            if (cum > max_ratio) max_ratio = cum;
            if (cum < min_ratio) min_ratio = cum;

            const double base_value = position / cum;
            double upper;
            double lower;
            if (base_value > 0.0) {
                const bool trail_active = max_ratio >= levels_.trail_active_above;
                upper = levels_.take_profit_above;
                lower = levels_.stop_loss_below;
                if (trail_active && max_ratio - levels_.trail_distance > lower) {
                    lower = max_ratio - levels_.trail_distance;
                }
            } else {
                const bool trail_active = min_ratio <= levels_.trail_active_below;
                upper = levels_.stop_loss_above;
                if (trail_active && min_ratio + levels_.trail_distance < upper) {
                    upper = min_ratio + levels_.trail_distance;
                }
                lower = levels_.take_profit_below;
            }

            if (o_.touched_exit) {
                // Intraday exit, filled at once at the touched level (or at the open beyond it).
                const double prior = cum / r;
                const double high_ratio = prior * m_.high.at(i, pid) / ref;
                const double low_ratio = prior * m_.low.at(i, pid) / ref;
                const double open_ratio = prior * m_.open.at(i, pid) / ref;
                const bool touched_lower = low_ratio <= lower;
                const bool touched_upper = high_ratio >= upper;
                const bool open_touched = open_ratio >= upper || open_ratio <= lower;
                if (open_touched) {
                    position = base_value * open_ratio;
                } else if (touched_upper) {
                    position = base_value * upper;
                } else if (touched_lower) {
                    position = base_value * lower;
                }
                if (open_touched || touched_upper || touched_lower) {
                    const bool stop_loss = (touched_lower && position > 0.0) || (touched_upper && position < 0.0);
                    s_.stop_exits.push_back({sid, stop_loss ? StopSide::stop_loss : StopSide::take_profit});
                    if (log_) {
                        const bool hit_upper = open_touched ? open_ratio >= upper : touched_upper;
                        log_->set_reason(stop_reason(levels_, base_value > 0.0, hit_upper, lower, upper));
                        log_->set_fill_price(open_touched ? m_.open(i, pid)
                                                          : (hit_upper ? upper : lower) * ref / prior);
                    }
                    s_.cash = close_position(it, close_keeping_key);
                }
            } else {
                // Close-based detection, executed on the next row.
                const double close_ratio = cum * m_.close.at(i, pid) / price;
                if (close_ratio >= upper) {
                    s_.pending_exits.push_back({sid, StopSide::take_profit});
                    if (log_) log_->note_stop(sid, stop_reason(levels_, base_value > 0.0, true, lower, upper));
                } else if (close_ratio < lower) {
                    s_.pending_exits.push_back({sid, StopSide::stop_loss});
                    if (log_) log_->note_stop(sid, stop_reason(levels_, base_value > 0.0, false, lower, upper));
                }
            }
            if (!std::isnan(price)) s_.ref_updates.emplace_back(pid, price);
            held_value += position;
        }
        for (const auto& [pid, price] : s_.ref_updates) s_.ref_price[static_cast<std::size_t>(pid)] = price;
        if (log_) log_->revalued(s_.cash + held_value);
    }

    // Executes the stops detected on the previous row, unless today's rebalance keeps the stock.
    void execute_due_exits() {
        for (const StopEntry& entry : s_.exits_due) {
            const int sid = entry.sid;
            bool keep = false;
            if (s_.rebalance_due && !host_.stop_trading_next_period()) {
                keep = m_.pos_values.at(s_.pos_id, sid) != 0.0;  // a NaN target keeps it
            }
            auto found = s_.positions.find(sid);
            if (found == s_.positions.end() || found->second == 0.0 || keep) continue;
            if (log_) log_->set_reason(log_->due_stop(sid));
            s_.cash = close_position(found, close_and_erase);
            s_.stop_exits.push_back(entry);
            reset_ratios(sid);
            auto again = std::find_if(s_.pending_exits.begin(), s_.pending_exits.end(),
                                      [sid](const StopEntry& e) { return e.sid == sid; });
            if (again != s_.pending_exits.end()) s_.pending_exits.erase(again);
        }
    }

    void rebalance_row(std::int64_t i) {
        const std::int64_t pos_id = s_.pos_id;
        if (!o_.retain_cost_when_rebalance) {
            std::fill(s_.cum_ratio.begin(), s_.cum_ratio.end(), 1.0);
            std::fill(s_.max_ratio.begin(), s_.max_ratio.end(), 1.0);
            std::fill(s_.min_ratio.begin(), s_.min_ratio.end(), 1.0);
        } else {
            // Only new holdings and holdings whose direction flips start from a fresh basis.
            for (std::int64_t k = 0; k < n_stocks_; ++k) {
                const double w = m_.pos_values.at(pos_id, k);
                if (w == 0.0) continue;
                const int sid = static_cast<int>(k);
                auto found = s_.positions.find(sid);
                if (found == s_.positions.end() || found->second * w <= 0.0) reset_ratios(sid);
            }
        }

        if (!m_.pos_values.row_in_range(pos_id)) throw out_of_bounds(0);
        TargetRow target{pos_id, nullptr};
        Strided1D<double> weights = row_view(m_.pos_values, pos_id);
        if (host_.stop_trading_next_period() && !s_.stop_exits.empty()) {
            // Stocks stopped out since the last rebalance stay out of this one.
            std::vector<double>& copy = s_.last_target_copy;
            copy.resize(static_cast<std::size_t>(weights.size));
            for (std::int64_t k = 0; k < weights.size; ++k) copy[static_cast<std::size_t>(k)] = weights[k];
            for (const StopEntry& entry : s_.stop_exits) {
                if (entry.sid >= 0 && entry.sid < weights.size) {
                    copy[static_cast<std::size_t>(entry.sid)] = 0.0;
                }
            }
            target.copy = &copy;
            weights = vector_view(copy);
        }

        if (log_) log_->set_reason(FillReason::rebalance);
        s_.cash = rebalance(host_, columns_, s_.positions, target, weights, s_.cash, o_.fee_ratio, o_.tax_ratio,
                            o_.position_limit);

        s_.stop_exits.clear();
        s_.last_positions = s_.positions;
        s_.has_last_target = true;
        s_.last_target_pos_row = pos_id;
        s_.last_target_is_copy = target.copy != nullptr;
        // Tomorrow's ratios are measured from today's trading prices, NaN entries included.
        if (!m_.price.row_in_range(i)) throw out_of_bounds(0);
        for (std::int64_t c = 0; c < m_.price.cols; ++c) {
            s_.ref_price[static_cast<std::size_t>(c)] = m_.price(i, c);
        }
        s_.last_rebalanced_pos_id = pos_id;
    }

    void delist(std::int64_t i) {
        s_.delisted_today.clear();
        for (const auto& [sid, value] : s_.positions) {
            if (m_.delisting_bars.at_wrapped(sid) == i && value != 0.0) s_.delisted_today.push_back(sid);
        }
        if (log_ && !s_.delisted_today.empty()) log_->set_reason(FillReason::delisted);
        for (const int sid : s_.delisted_today) {
            s_.cash = set_position(host_, columns_, s_.positions, sid, 0.0, s_.cash, o_.fee_ratio, o_.tax_ratio,
                                   close_and_erase);
            reset_ratios(sid);
        }
        s_.delisted_today.clear();
    }

    // The portfolio's value at the close; holdings are carried at the trading price.
    double value_row(std::int64_t i) {
        double value = s_.cash;
        for (const auto& [sid, holding] : s_.positions) {
            const int pid = price_column(sid);
            const double price = m_.price.at(i, pid);
            check_price(price, sid, i);
            const double close = m_.close.at(i, pid);
            if (std::isnan(price) || std::isnan(close)) {
                value += holding;
            } else {
                value += holding * close / price;
            }
        }
        return value;
    }

    // A position row becomes current once the next price date is strictly later than its date; the
    // last row consumes every remaining position row.
    void schedule(std::int64_t i) {
        const std::int64_t last_pos = m_.pos_index.size - 1;
        std::int64_t pos_id = s_.pos_id;
        if (i < n_rows_ - 1) {
            const std::int64_t next_date = m_.price_index[i + 1];
            while (pos_id < last_pos && m_.pos_index[pos_id + 1] < next_date) ++pos_id;
        } else if (pos_id < last_pos) {
            pos_id = last_pos;
        }
        s_.pos_id = pos_id;
        s_.rebalance_due = pos_id != s_.last_rebalanced_pos_id && resample_flags_[static_cast<std::size_t>(i)] != 0;
    }

    // The run's inputs and its fixed derived values.
    const Market& m_;
    const Options& o_;
    Host& host_;
    const Levels levels_;
    const std::int64_t n_rows_;
    const std::int64_t n_stocks_;
    PriceColumns columns_;
    std::vector<unsigned char> resample_flags_;
    bool has_delisting_ = false;
    FillLog* const log_;  // null: the host keeps no fill log

    LoopState s_;
};

}  // namespace

PriceColumns make_price_columns(const ColumnMap& columns, std::int64_t n_positions, std::int64_t n_labels) {
    PriceColumns result;
    result.n_labels = n_labels;
    result.column.assign(static_cast<std::size_t>(std::max<std::int64_t>(n_positions, 0)), -1);
    for (const auto& [sid, pid] : columns) {
        if (sid >= 0 && sid < n_positions) result.column[static_cast<std::size_t>(sid)] = pid;
    }
    return result;
}

double set_position(Host& host, const PriceColumns& columns, PositionMap& positions, int sid, double target,
                    double cash, double fee_ratio, double tax_ratio, const TradeOptions& trade) {
    return set_position_at(host, columns, positions, positions.lower_bound(sid), sid, target, cash, fee_ratio,
                           tax_ratio, trade);
}

double rebalance(Host& host, const PriceColumns& columns, PositionMap& positions, const TargetRow& row,
                 Strided1D<double> weights, double cash, double fee_ratio, double tax_ratio, double position_limit) {
    try {
        double balance = cash;
        for (const auto& kv : positions) balance += kv.second;
        const double gross = host.gross_weight(row);
        const double divisor = 1.0 > gross ? 1.0 : gross;  // weights are scaled down, never up
        double ratio = float_divide(balance, divisor);
        if (std::isnan(ratio)) ratio = 1.0;
        const double cap = position_limit * balance;
        FillLog* const log = host.fill_log();
        if (log) log->set_balance(balance);
        // A negative balance cannot fund holdings: close everything, open nothing.
        const bool close_all = balance < 0.0;
        // A zero weight gives a zero target (0 × a finite ratio), and a zero target for a column that
        // is not held changes nothing (no trade, no record): such columns are skipped without a trade.
        const bool zero_weight_is_no_trade = close_all || std::isfinite(ratio);
        const std::int64_t n = weights.size;
        // The holdings are walked beside the row: `next_held` indexes the first holding at or after
        // column k, so no column needs a search.
        std::size_t next_held = static_cast<std::size_t>(positions.lower_bound(0) - positions.begin());
        auto next_held_sid = [&]() -> std::int64_t {
            return next_held < positions.size() ? (positions.begin() + next_held)->first : n;
        };
        std::int64_t held_sid = next_held_sid();
        for (std::int64_t k = 0; k < n; ++k) {
            if (zero_weight_is_no_trade) {
                const std::int64_t stop = std::min(held_sid, n);
                while (k < stop && weights[k] == 0.0) ++k;
                if (k == n) break;
            }
            const int sid = static_cast<int>(k);
            double value = 0.0;
            if (!close_all) {
                value = weights[k] * ratio;
                if (std::fabs(value) > cap) value = cap * (value > 0.0 ? 1.0 : -1.0);  // NaN is not capped
            }
            const bool present = held_sid == k;
            if (value == 0.0 && !present) continue;
            cash = set_position_at(host, columns, positions, positions.begin() + static_cast<std::ptrdiff_t>(next_held),
                                   sid, value, cash, fee_ratio, tax_ratio,
                                   {.check_held = true, .drop_zero = true, .position_scale = balance});
            // The trade only inserts, keeps or erases `sid`: step past it when it is there.
            if (next_held < positions.size() &&
                (positions.begin() + static_cast<std::ptrdiff_t>(next_held))->first == sid) {
                ++next_held;
            }
            held_sid = next_held_sid();
        }
        if (log) log->clear_balance();
        return cash;
    } catch (...) {
        fail_in(host, Frame::rebalance);
    }
}

void validate_trade_price(Host& host, double price, int sid, int row) {
    try {
        if (price_acceptable(price)) return;
        host.invalid_trade_price(price, sid, row);
    } catch (...) {
        fail_in(host, Frame::validate_trade_price);
    }
}

RunOutcome run_backtest(const Market& market, const Options& options, const ColumnMap& columns, Host& host,
                        double* portfolio_value) {
    Simulation simulation(market, options, columns, host);
    simulation.run(portfolio_value);
    return std::move(simulation).outcome();
}

}  // namespace zelvor::engine
