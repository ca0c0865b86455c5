// The trade primitive: set_position moves one stock's holding to a target value, moves the money
// between the holding and cash with the fee and tax, and tells the excursion recorder and the fill
// log what it did. Every trade of a run goes through it. The floating-point operations keep the
// order of the formulas they implement, since results are compared bit for bit.
#include "core/trade.hpp"

#include <cmath>
#include <cstdint>

#include "core/engine.hpp"

namespace zelvor::engine {

using numeric::out_of_bounds;

namespace {

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
                double target, double cash, const Moved& moved, double fee_ratio, double tax_ratio,
                const TradeOptions& trade) {
    const double traded = std::fabs(target == 0.0 ? moved.value_before : target - moved.value_before);
    const double diff = target - moved.value_before;
    const bool enlarges = target != 0.0 && ((target >= 0.0 && diff > 0.0) || (target <= 0.0 && diff < 0.0));
    log.record({.sid = sid,
                .price_column = price_column,
                .event = recorded.event,
                .reason = trade.reason,
                .fill_price = trade.fill_price,
                .balance = trade.balance,
                .target = target,
                .size = recorded.size,
                .value_before = moved.value_before,
                .value_after = moved.value_after,
                .cash_before = cash,
                .cash_after = moved.cash,
                .fee = fee_ratio * traded,
                .tax = enlarges ? 0.0 : tax_ratio * traded},
               positions);
}

}  // namespace

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
            log_change(*log, positions, sid, columns.of(sid), recorded, target, cash, moved, fee_ratio, tax_ratio,
                       trade);
        }
        return moved.cash;
    } catch (...) {
        fail_in(host, Frame::set_position);
    }
}

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

}  // namespace zelvor::engine
