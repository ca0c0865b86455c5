#include "core/fill_log.hpp"

#include <cmath>
#include <limits>

namespace zelvor::engine {

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The share of a change's costs that reduces the holding it found: all of a cut, none of an
// addition, and for a change that flips the side, the part of the traded amount that closes the
// old side. NaN values reduce nothing.
double reducing_cost(const TradeChange& change) {
    const double before = change.value_before;
    const double diff = change.target - before;
    if (!(diff * before < 0.0)) return 0.0;  // the change does not move the holding toward 0
    const double traded = std::fabs(diff);
    const double reduced = std::fmin(std::fabs(before), traded);
    return (change.fee + change.tax) * (reduced / traded);
}

// The money a change adds to a holding on the side it already has (or opens, from 0), before fees.
double added_amount(const TradeChange& change) {
    const double before = change.value_before;
    const double target = change.target;
    if (target == 0.0) return 0.0;
    if (before == 0.0 || (before > 0.0) != (target > 0.0)) return std::fabs(target);  // opened or flipped
    return std::fabs(target) > std::fabs(before) ? std::fabs(target - before) : 0.0;
}
}  // namespace

// A run's fills and trades come at a fairly even pace over its rows, so when a list fills up, the
// pace so far (at least doubling, as a vector would) gives the room the whole run needs: one
// move of the early records instead of a chain of copies, each of which would touch fresh pages
// twice the size of the list. Room reserved but never used is never touched, so it costs address
// space only.
std::size_t FillLog::grown_capacity(std::size_t size) const noexcept {
    const std::size_t doubled = size < 8 ? 16 : 2 * size;
    // The rows before the first record (before the first weights, say) set no pace.
    const std::int64_t rows_done = row_ - first_row_ + 1;
    const std::int64_t rows_left = trading_price_.rows - row_ - 1;
    if (first_row_ < 0 || rows_done <= 0 || rows_left <= 0) return doubled;
    // The pace so far, over the rows to come, with an eighth to spare.
    const double pace = static_cast<double>(size) / static_cast<double>(rows_done);
    const double expected = static_cast<double>(size) + pace * 1.125 * static_cast<double>(rows_left);
    constexpr double most = static_cast<double>(std::size_t{1} << 40);
    const std::size_t wanted = static_cast<std::size_t>(expected < most ? expected : most) + 16;
    return wanted > doubled ? wanted : doubled;
}

void FillLog::start(std::int64_t n_stocks, const numeric::Strided2D& trading_price) {
    trading_price_ = trading_price;
    row_ = 0;
    first_row_ = -1;
    has_portfolio_value_ = false;
    open_.assign(static_cast<std::size_t>(n_stocks > 0 ? n_stocks : 0), OpenTrade{});
    noted_.assign(open_.size(), FillReason::stop_loss);
    due_.assign(open_.size(), FillReason::stop_loss);
    last_trade_.assign(open_.size(), -1);
    // Emptied, keeping the room of an earlier run's columns unless they were taken over.
    fills_.count = 0;
    trades_.count = 0;
    for (IndexColumn* c : {&fills_.row, &fills_.sid, &trades_.sid, &trades_.entry_row, &trades_.exit_row}) {
        c->set_width(width_);
    }
}

void FillLog::push_trade(int sid, const OpenTrade& open, std::int64_t exit_row, double exit_price, double pnl,
                         FillReason reason, bool listed) {
    make_room(trades_);
    TradeColumns& t = trades_;
    const std::size_t k = t.count++;
    last_trade_[static_cast<std::size_t>(sid)] = static_cast<std::int64_t>(k);
    t.entry_row.set(k, open.entry_row);
    t.exit_row.set(k, exit_row);
    t.basis[k] = open.basis;
    t.pnl[k] = pnl;
    if (!all_) return;
    t.sid.set(k, sid);
    t.position[k] = open.position;
    t.entry_price[k] = open.entry_price;
    t.exit_price[k] = exit_price;
    t.reason[k] = static_cast<std::uint8_t>(reason);
    t.listed[k] = listed ? Flag::yes : Flag::no;
}

void FillLog::note_stop(int sid, FillReason reason) {
    if (sid >= 0 && static_cast<std::size_t>(sid) < noted_.size()) noted_[static_cast<std::size_t>(sid)] = reason;
}

FillReason FillLog::due_stop(int sid) const {
    if (sid >= 0 && static_cast<std::size_t>(sid) < due_.size()) return due_[static_cast<std::size_t>(sid)];
    return FillReason::stop_loss;
}

double FillLog::price_of(int price_column) const {
    if (row_ < 0 || row_ >= trading_price_.rows || !trading_price_.col_in_range(price_column)) return kNaN;
    return trading_price_(row_, price_column);
}

void FillLog::open_trade(int sid, const TradeChange& change, double price, double opening_pnl) {
    OpenTrade& t = open_[static_cast<std::size_t>(sid)];
    // An entry without an exit in between replaces the recorder's open trade (its holding was
    // worth exactly 0): its money stays with the trade that replaces it.
    t.pnl = t.open ? t.pnl + opening_pnl : opening_pnl;
    t.open = true;
    t.entry_row = row_;
    t.position = change.size;
    t.entry_price = price;
    t.basis = std::fabs(change.target);
}

void FillLog::close_trade(int sid, double pnl, double price, FillReason reason, bool listed) {
    OpenTrade& t = open_[static_cast<std::size_t>(sid)];
    push_trade(sid, t, row_, price, pnl, reason, listed);
    t.open = false;
    t.pnl = 0.0;
}

void FillLog::record(const TradeChange& change, const PositionMap& positions) {
    const int sid = change.sid;
    if (sid < 0 || static_cast<std::size_t>(sid) >= open_.size()) return;
    const bool fill_price_given = change.fill_price.has_value();
    const double price = fill_price_given ? *change.fill_price : price_of(change.price_column);
    const double cash_flow = change.cash_after - change.cash_before;
    OpenTrade& t = open_[static_cast<std::size_t>(sid)];
    // An intraday exit whose fill value is exactly 0 sells a holding that the trade primitive finds
    // at 0 already: the recorder hears nothing, but the trade is over.
    const bool filled_at_zero = change.event == RecordEvent::none && fill_price_given && change.target == 0.0 &&
                                change.value_before == 0.0 && t.open;

    switch (change.event) {
        case RecordEvent::entry:
            open_trade(sid, change, price, 0.0);
            t.pnl += cash_flow;
            break;
        case RecordEvent::exit:
            close_trade(sid, t.pnl + cash_flow, price, change.reason);
            break;
        case RecordEvent::rebase: {
            // The old trade sells its holding to the new one at its value before the change and
            // pays the costs of the part of the change that cuts it; the new trade pays the rest.
            const double old_costs = reducing_cost(change);
            close_trade(sid, t.pnl + change.value_before - old_costs, price, FillReason::rebalance);
            open_trade(sid, change, price, old_costs - change.value_before);
            t.pnl += cash_flow;
            break;
        }
        case RecordEvent::none:
            if (filled_at_zero) {
                close_trade(sid, t.pnl + cash_flow, price, change.reason, false);
                break;
            }
            // The same trade goes on: money put into it adds to its basis.
            t.pnl += cash_flow;
            if (t.open) t.basis += added_amount(change);
            break;
    }

    const bool changed = !(change.value_after == change.value_before) || !(change.cash_after == change.cash_before);
    if (!changed && !filled_at_zero) return;
    if (!change.balance && !has_portfolio_value_) {
        // The holdings as they were before this change: `positions` already holds its result.
        double value = change.cash_before + change.value_before;
        for (const auto& kv : positions) {
            if (kv.first != sid) value += kv.second;
        }
        portfolio_value_ = value;
        has_portfolio_value_ = true;
    }
    const double balance = change.balance ? *change.balance : portfolio_value_;
    portfolio_value_ += cash_flow + (change.value_after - change.value_before);
    make_room(fills_);
    FillColumns& f = fills_;
    const std::size_t k = f.count++;
    f.value_before[k] = change.value_before;
    f.value_after[k] = change.value_after;
    f.fee[k] = change.fee;
    f.tax[k] = change.tax;
    if (!all_) return;
    f.row.set(k, row_);
    f.sid.set(k, sid);
    f.reason[k] = static_cast<std::uint8_t>(change.reason);
    f.balance[k] = balance;
    f.price[k] = price;
}

void FillLog::finish(const PositionMap& positions, std::int64_t last_row, const numeric::Strided2D& close,
                     const std::vector<int>& price_columns) {
    for (const auto& [sid, value] : positions) {
        if (value == 0.0) continue;  // the recorder skips these too
        if (sid < 0 || static_cast<std::size_t>(sid) >= open_.size()) continue;
        const int pid = static_cast<std::size_t>(sid) < price_columns.size() ? price_columns[sid] : -1;
        double marked = value;
        if (last_row >= 0 && last_row < close.rows && trading_price_.col_in_range(pid) && close.col_in_range(pid)) {
            const double price = trading_price_(last_row, pid);
            const double last_close = close(last_row, pid);
            if (!std::isnan(price) && !std::isnan(last_close)) marked = value * last_close / price;
        }
        OpenTrade& t = open_[static_cast<std::size_t>(sid)];
        push_trade(sid, t, -1, kNaN, t.pnl + marked, FillReason::open, true);
        t.open = false;
        t.pnl = 0.0;
    }
    // Money of a trade the recorder does not list and the log could not close (a holding left at
    // exactly 0 by its costs) goes to that stock's last trade, else to the last trade, so the pnl
    // still adds up.
    Column<double>& pnl = trades_.pnl;
    for (std::size_t sid = 0; sid < open_.size(); ++sid) {
        OpenTrade& t = open_[sid];
        if (t.pnl == 0.0) continue;
        const std::int64_t last = last_trade_[sid];
        if (last >= 0) {
            pnl[static_cast<std::size_t>(last)] += t.pnl;
        } else if (trades_.count > 0) {
            pnl[trades_.count - 1] += t.pnl;
        }
        t.open = false;
        t.pnl = 0.0;
    }
}

}  // namespace zelvor::engine
