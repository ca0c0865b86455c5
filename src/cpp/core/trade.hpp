// What the engine's own files share around the trade primitive: set_position at a place in the
// holdings the caller already has, and the helpers every engine function uses. The hosts use
// engine.hpp instead.
#pragma once

#include <cstdlib>

#include "core/engine.hpp"
#include "core/errors.hpp"

namespace zelvor::engine {

// Hands the exception in flight to the host, which names `frame` in the traceback and rethrows.
// The compiler does not take [[noreturn]] from a virtual call; a host whose `fail` returned would
// break its contract, and the run cannot go on.
[[noreturn]] inline void fail_in(Host& host, Frame frame) {
    host.fail(frame);
    std::abort();
}

// Python float division: a zero divisor (of either sign) raises instead of giving inf.
inline double float_divide(double numerator, double divisor) {
    if (divisor == 0.0) throw numeric::Error{numeric::ErrorKind::zero_division, "float division by zero"};
    return numerator / divisor;
}

// set_position with `at` == positions.lower_bound(sid), which callers walking the holdings in stock
// order have at hand.
double set_position_at(Host& host, const PriceColumns& columns, PositionMap& positions, PositionMap::iterator at,
                       int sid, double target, double cash, double fee_ratio, double tax_ratio,
                       const TradeOptions& trade);

}  // namespace zelvor::engine
