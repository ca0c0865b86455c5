// The daily loop: the run's setup, then one row after another the revaluation of the holdings and
// the stops it finds, the exits due, the scheduled rebalance, delistings, the row's value and the
// scheduling of the next rebalance. Every read of a caller's array is checked with `at` or proven
// in range before it is made; the floating-point operations keep the order of the formulas they
// implement, since results are compared bit for bit.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "core/engine.hpp"
#include "core/stops.hpp"
#include "core/trade.hpp"

namespace zelvor::engine {

using numeric::Error;
using numeric::ErrorKind;
using numeric::out_of_bounds;
using numeric::Strided1D;
using numeric::Strided2D;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// NaN (a missing price) and positive finite prices are usable.
inline bool price_acceptable(double price) noexcept { return std::isnan(price) || (price > 0.0 && price < kInf); }

// The daily loop's trades close single holdings: a touched exit keeps the key (at 0) so that the
// walk over the holdings stays valid; due exits and delistings erase it. A stop's reason and an
// intraday fill's price are set per trade.
constexpr TradeOptions close_keeping_key{.check_held = false, .drop_zero = false};
constexpr TradeOptions close_and_erase{.check_held = false, .drop_zero = true};
constexpr TradeOptions close_delisted{.check_held = false, .drop_zero = true, .reason = FillReason::delisted};

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

// What the loop changes from row to row besides the RunOutcome it hands to the end-of-run report.
struct LoopState {
    // Per position column: price ratios since the holding's basis was last reset, and their extremes.
    std::vector<double> cum_ratio, max_ratio, min_ratio;
    std::vector<double> ref_price;         // per price column: the last valid trading price
    std::vector<StopEntry> pending_exits;  // detected on today's close, executed tomorrow
    // Scratch lists of a single row, kept for their capacity.
    std::vector<int> delisted_today;
    std::vector<std::pair<int, double>> ref_updates;
};

class Simulation {
public:
    // The run's setup: the per-run state, the column table and the rows flagged for rebalancing.
    // `columns` is make_price_columns of the run's ColumnMap, for market.pos_values.cols positions.
    Simulation(const Market& market, const Options& options, const PriceColumns& columns, Host& host)
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
        columns_ = columns;
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
            revalue_and_find_stops(i);
            execute_due_exits();
            out_.exits_due.swap(s_.pending_exits);
            s_.pending_exits.clear();
            if (out_.rebalance_due) rebalance_row(i);
            const bool delisted = has_delisting_ && delist(i);
            portfolio_value[i] = walk_value_ && !delisted ? *walk_value_ : value_row(i);
            schedule(i);
        }
        host_.end_analysis(out_.positions);
        if (log_) log_->finish(out_.positions, n_rows_ - 1, m_.close, columns_.column);
    }

    // What the run leaves for the end-of-run report; the simulation is spent.
    RunOutcome outcome() && {
        if (n_rows_ > 0) out_.last_date = m_.price_index[n_rows_ - 1];
        return std::move(out_);
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
        return set_position_at(host_, columns_, out_.positions, at, at->first, 0.0, out_.cash, o_.fee_ratio,
                               o_.tax_ratio, trade);
    }

    // The holdings sit in scattered columns of matrices far larger than the cache, so each row's walk
    // would wait on a memory load per holding and price. The loads of the next row are started a
    // whole row of work ahead instead, for the stocks held now (nearly always the ones held then).
    void prefetch_prices(std::int64_t row) const noexcept {
        if (row >= n_rows_) return;
        for (const auto& [sid, value] : out_.positions) {
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

    // Step 2 of a row: every holding in stock order is revalued at the row's trading price, then closed
    // at once where the row touched an exit level (touched_exit) or noted for the next row where the
    // close crossed one. All holdings are measured against the reference prices as they stood at the
    // start of the row, so position columns sharing a price column are each revalued; the reference
    // prices move once the walk is done.
    void revalue_and_find_stops(std::int64_t i) {
        s_.ref_updates.clear();
        double held_value = 0.0;  // the holdings at today's trading prices, for the fill log
        // On a row without due exits or a rebalance (nearly every row of a monthly strategy) the
        // holdings met here are the ones the row is valued with, unless a delisting trades: the
        // walk sums the row's value too, term by term in the same order, and saves a second walk.
        const bool value_here = !o_.touched_exit && !out_.rebalance_due && out_.exits_due.empty();
        double value = out_.cash;
        for (auto it = out_.positions.begin(); it != out_.positions.end(); ++it) {
            const int sid = it->first;
            const int pid = price_column(sid);
            const double price = m_.price.at(i, pid);
            check_price(price, sid, i);
            const Revalued moved = revalue(*it, pid, price);
            const ExitLevels exit = exit_levels(levels_, {moved.base_value, s_.max_ratio[sid], s_.min_ratio[sid]});
            if (o_.touched_exit) {
                close_if_touched(it, i, pid, moved, exit);
            } else {
                const double close = note_close_stop(sid, i, pid, price, exit);
                if (value_here) value += holding_value_at_close(it->second, price, close);
            }
            if (!std::isnan(price)) s_.ref_updates.emplace_back(pid, price);
            held_value += it->second;
        }
        for (const auto& [pid, price] : s_.ref_updates) s_.ref_price[static_cast<std::size_t>(pid)] = price;
        if (log_) log_->revalued(out_.cash + held_value);
        walk_value_ = value_here ? std::optional<double>(value) : std::nullopt;
    }

    // A holding after its revaluation: the row's price ratio, the reference price it was measured
    // from, and its value at its cost basis.
    struct Revalued {
        double r;
        double ref;
        double base_value;
    };

    // Carries the holding (and its cumulative ratio and their extremes) to the row's trading price. A
    // reference price still missing is taken from this row; a missing price keeps the value (ratio 1).
    Revalued revalue(PositionMap::value_type& holding, int pid, double price) {
        const int sid = holding.first;
        double& ref = s_.ref_price[static_cast<std::size_t>(pid)];
        if (std::isnan(ref)) ref = price;
        double r = price / ref;
        if (std::isnan(r)) r = 1.0;

        double& cum = s_.cum_ratio[sid];
        holding.second *= r;
        cum *= r;
        if (cum > s_.max_ratio[sid]) s_.max_ratio[sid] = cum;
        if (cum < s_.min_ratio[sid]) s_.min_ratio[sid] = cum;
        return {r, ref, holding.second / cum};
    }

    // Intraday exit: a holding whose row reached an exit level is sold at once, at the level (or at the
    // open beyond it), not at the trading price. Its key stays in the map at 0; the ratios are not reset.
    void close_if_touched(PositionMap::iterator it, std::int64_t i, int pid, const Revalued& moved,
                          const ExitLevels& exit) {
        const int sid = it->first;
        const double prior = s_.cum_ratio[sid] / moved.r;  // the ratio at the reference price
        const double high_ratio = prior * m_.high.at(i, pid) / moved.ref;
        const double low_ratio = prior * m_.low.at(i, pid) / moved.ref;
        const double open_ratio = prior * m_.open.at(i, pid) / moved.ref;
        const TouchedExit touched = touched_exit(exit, moved.base_value, open_ratio, high_ratio, low_ratio);
        if (!touched.fired) return;
        it->second = touched.fill_value;
        out_.stop_exits.push_back({sid, touched.side});
        TradeOptions trade = close_keeping_key;
        trade.reason = stop_reason(levels_, exit, touched.at_upper);
        trade.fill_price =
            touched.at_open ? m_.open(i, pid) : (touched.at_upper ? exit.upper : exit.lower) * moved.ref / prior;
        out_.cash = close_position(it, trade);
    }

    // Close-based detection: a level crossed at the close is executed on the next row.
    // Returns the row's close.
    double note_close_stop(int sid, std::int64_t i, int pid, double price, const ExitLevels& exit) {
        const double close = m_.close.at(i, pid);
        const double close_ratio = s_.cum_ratio[sid] * close / price;
        const std::optional<StopSide> side = close_crossing(exit, close_ratio);
        if (!side) return close;
        s_.pending_exits.push_back({sid, *side});
        if (log_) log_->note_stop(sid, stop_reason(levels_, exit, *side == StopSide::take_profit));
        return close;
    }

    // Executes the stops detected on the previous row, unless today's rebalance keeps the stock.
    void execute_due_exits() {
        for (const StopEntry& entry : out_.exits_due) {
            const int sid = entry.sid;
            bool keep = false;
            if (out_.rebalance_due && !host_.stop_trading_next_period()) {
                keep = m_.pos_values.at(out_.pos_id, sid) != 0.0;  // a NaN target keeps it
            }
            auto found = out_.positions.find(sid);
            if (found == out_.positions.end() || found->second == 0.0 || keep) continue;
            TradeOptions trade = close_and_erase;
            trade.reason = log_ ? log_->due_stop(sid) : FillReason::stop_loss;
            out_.cash = close_position(found, trade);
            out_.stop_exits.push_back(entry);
            reset_ratios(sid);
            auto again = std::find_if(s_.pending_exits.begin(), s_.pending_exits.end(),
                                      [sid](const StopEntry& e) { return e.sid == sid; });
            if (again != s_.pending_exits.end()) s_.pending_exits.erase(again);
        }
    }

    void rebalance_row(std::int64_t i) {
        const std::int64_t pos_id = out_.pos_id;
        if (!o_.retain_cost_when_rebalance) {
            // Every basis restarts. Only a held stock's ratios move (the revaluation walks the
            // holdings) and a stock leaves the holdings only with its ratios reset (a due exit, a
            // delisting, or this very rebalance), so the stocks not held are at 1 already.
            for (const auto& [sid, value] : out_.positions) reset_ratios(sid);
        } else {
            // Only new holdings and holdings whose direction flips start from a fresh basis.
            for (std::int64_t k = 0; k < n_stocks_; ++k) {
                const double w = m_.pos_values.at(pos_id, k);
                if (w == 0.0) continue;
                const int sid = static_cast<int>(k);
                auto found = out_.positions.find(sid);
                if (found == out_.positions.end() || found->second * w <= 0.0) reset_ratios(sid);
            }
        }

        if (!m_.pos_values.row_in_range(pos_id)) throw out_of_bounds(0);
        TargetRow target{pos_id, nullptr};
        Strided1D<double> weights = row_view(m_.pos_values, pos_id);
        if (host_.stop_trading_next_period() && !out_.stop_exits.empty()) {
            // Stocks stopped out since the last rebalance stay out of this one.
            std::vector<double>& copy = out_.last_target_copy;
            copy.resize(static_cast<std::size_t>(weights.size));
            for (std::int64_t k = 0; k < weights.size; ++k) copy[static_cast<std::size_t>(k)] = weights[k];
            for (const StopEntry& entry : out_.stop_exits) {
                if (entry.sid >= 0 && entry.sid < weights.size) {
                    copy[static_cast<std::size_t>(entry.sid)] = 0.0;
                }
            }
            target.copy = &copy;
            weights = vector_view(copy);
        }

        out_.cash = rebalance(host_, columns_, out_.positions, target, weights, out_.cash, o_.fee_ratio, o_.tax_ratio,
                              o_.position_limit);

        out_.stop_exits.clear();
        out_.last_positions = out_.positions;
        out_.has_last_target = true;
        out_.last_target_pos_row = pos_id;
        out_.last_target_is_copy = target.copy != nullptr;
        // Tomorrow's ratios are measured from today's trading prices, NaN entries included. Only
        // the revaluation reads a reference price, for a held stock's column, and stocks enter the
        // holdings only here: the columns held now are all that tomorrow can read.
        if (!m_.price.row_in_range(i)) throw out_of_bounds(0);
        for (const auto& [sid, value] : out_.positions) {
            const int pid = columns_.of(sid);
            if (m_.price.col_in_range(pid)) s_.ref_price[static_cast<std::size_t>(pid)] = m_.price(i, pid);
        }
        out_.last_rebalanced_pos_id = pos_id;
    }

    // Returns whether a holding was delisted.
    bool delist(std::int64_t i) {
        s_.delisted_today.clear();
        for (const auto& [sid, value] : out_.positions) {
            if (m_.delisting_bars.at_wrapped(sid) == i && value != 0.0) s_.delisted_today.push_back(sid);
        }
        for (const int sid : s_.delisted_today) {
            out_.cash = set_position(host_, columns_, out_.positions, sid, 0.0, out_.cash, o_.fee_ratio, o_.tax_ratio,
                                     close_delisted);
            reset_ratios(sid);
        }
        const bool any = !s_.delisted_today.empty();
        s_.delisted_today.clear();
        return any;
    }

    // The portfolio's value at the close; holdings are carried at the trading price.
    double value_row(std::int64_t i) {
        double value = out_.cash;
        for (const auto& [sid, holding] : out_.positions) {
            const int pid = price_column(sid);
            const double price = m_.price.at(i, pid);
            check_price(price, sid, i);
            value += holding_value_at_close(holding, price, m_.close.at(i, pid));
        }
        return value;
    }

    // A holding carried at the trading price, at the close; a missing price keeps its value.
    static double holding_value_at_close(double holding, double price, double close) noexcept {
        return std::isnan(price) || std::isnan(close) ? holding : holding * close / price;
    }

    // A position row becomes current once the next price date is strictly later than its date; the
    // last row consumes every remaining position row.
    void schedule(std::int64_t i) {
        const std::int64_t last_pos = m_.pos_index.size - 1;
        std::int64_t pos_id = out_.pos_id;
        if (i < n_rows_ - 1) {
            const std::int64_t next_date = m_.price_index[i + 1];
            while (pos_id < last_pos && m_.pos_index[pos_id + 1] < next_date) ++pos_id;
        } else if (pos_id < last_pos) {
            pos_id = last_pos;
        }
        out_.pos_id = pos_id;
        out_.rebalance_due = pos_id != out_.last_rebalanced_pos_id && resample_flags_[static_cast<std::size_t>(i)] != 0;
    }

    // The run's inputs and its fixed derived values.
    const Market& m_;
    const Options& o_;
    Host& host_;
    const StopLevels levels_;
    const std::int64_t n_rows_;
    const std::int64_t n_stocks_;
    PriceColumns columns_;
    std::vector<unsigned char> resample_flags_;
    bool has_delisting_ = false;
    FillLog* const log_;                // null: the host keeps no fill log
    std::optional<double> walk_value_;  // the row's value as the revaluation walk summed it, if it did

    RunOutcome out_;  // the state the end-of-run report reads
    LoopState s_;
};

}  // namespace

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
    return run_backtest(market, options, make_price_columns(columns, market.pos_values.cols, market.n_labels), host,
                        portfolio_value);
}

RunOutcome run_backtest(const Market& market, const Options& options, const PriceColumns& columns, Host& host,
                        double* portfolio_value) {
    Simulation simulation(market, options, columns, host);
    simulation.run(portfolio_value);
    return std::move(simulation).outcome();
}

}  // namespace zelvor::engine
