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

ExitLevels exit_levels(const StopLevels& levels, const HoldingRatios& holding) noexcept {
    if (holding.base_value > 0.0) {
        const bool trail_active = holding.max_ratio >= levels.trail_active_above;
        double lower = levels.stop_loss_below;
        if (trail_active && holding.max_ratio - levels.trail_distance > lower) {
            lower = holding.max_ratio - levels.trail_distance;
        }
        return {.is_long = true, .upper = levels.take_profit_above, .lower = lower};
    }
    const bool trail_active = holding.min_ratio <= levels.trail_active_below;
    double upper = levels.stop_loss_above;
    if (trail_active && holding.min_ratio + levels.trail_distance < upper) {
        upper = holding.min_ratio + levels.trail_distance;
    }
    return {.is_long = false, .upper = upper, .lower = levels.take_profit_below};
}

TouchedExit touched_exit(const ExitLevels& exit, double base_value, double open_ratio, double high_ratio,
                         double low_ratio) noexcept {
    const bool touched_lower = low_ratio <= exit.lower;
    const bool touched_upper = high_ratio >= exit.upper;
    const bool open_touched = open_ratio >= exit.upper || open_ratio <= exit.lower;
    TouchedExit result;
    if (open_touched) {
        result.fill_value = base_value * open_ratio;
        result.at_upper = open_ratio >= exit.upper;
    } else if (touched_upper) {
        result.fill_value = base_value * exit.upper;
        result.at_upper = true;
    } else if (touched_lower) {
        result.fill_value = base_value * exit.lower;
    } else {
        return result;
    }
    result.fired = true;
    result.at_open = open_touched;
    const bool stop_loss = (touched_lower && result.fill_value > 0.0) || (touched_upper && result.fill_value < 0.0);
    result.side = stop_loss ? StopSide::stop_loss : StopSide::take_profit;
    return result;
}

std::optional<StopSide> close_crossing(const ExitLevels& exit, double close_ratio) noexcept {
    if (close_ratio >= exit.upper) return StopSide::take_profit;
    if (close_ratio < exit.lower) return StopSide::stop_loss;
    return std::nullopt;
}

FillReason stop_reason(const StopLevels& levels, const ExitLevels& exit, bool at_upper) noexcept {
    if (at_upper == exit.is_long) return FillReason::take_profit;
    const bool trailing = exit.is_long ? exit.lower != levels.stop_loss_below : exit.upper != levels.stop_loss_above;
    return trailing ? FillReason::trail_stop : FillReason::stop_loss;
}

}  // namespace zelvor::engine
