// rebalance: one row of target weights turned into holdings. The portfolio is valued, the weights
// scaled so that their gross sum never exceeds its value, each holding capped at the position
// limit, and every stock moved to its target through the trade primitive in stock order.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "core/engine.hpp"
#include "core/trade.hpp"

namespace zelvor::engine {

using numeric::Strided1D;

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
        // The recorder gets each entry's size as a fraction of the balance; so do the logged fills.
        const TradeOptions trade{.check_held = true,
                                 .drop_zero = true,
                                 .position_scale = balance,
                                 .reason = FillReason::rebalance,
                                 .balance = balance};
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
                                   sid, value, cash, fee_ratio, tax_ratio, trade);
            // The trade only inserts, keeps or erases `sid`: step past it when it is there.
            if (next_held < positions.size() &&
                (positions.begin() + static_cast<std::ptrdiff_t>(next_held))->first == sid) {
                ++next_held;
            }
            held_sid = next_held_sid();
        }
        return cash;
    } catch (...) {
        fail_in(host, Frame::rebalance);
    }
}

}  // namespace zelvor::engine
