#include "core/stops.hpp"

#include <cmath>

namespace zelvor::engine {

StopLevels::StopLevels(const Options& o)
    : take_profit_above(1.0 + std::fabs(o.take_profit)),
      take_profit_below(1.0 - std::fabs(o.take_profit)),
      stop_loss_below(1.0 - std::fabs(o.stop_loss)),
      stop_loss_above(1.0 + std::fabs(o.stop_loss)),
      trail_active_above(1.0 + std::fabs(o.trail_stop_activation)),
      trail_active_below(1.0 - std::fabs(o.trail_stop_activation)),
      trail_distance(std::fabs(o.trail_stop)) {}

}  // namespace zelvor::engine
