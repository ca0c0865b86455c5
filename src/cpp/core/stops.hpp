// Exit levels: where a holding's stop-loss, take-profit and trailing stop lie for the row, as ratios
// to its cost basis, and what a row's prices do against them. Pure functions of the holding's state
// and the run's options; the daily loop acts on what they say.
#pragma once

#include <optional>

#include "core/engine.hpp"
#include "core/fill_log.hpp"

namespace zelvor::engine {

// The options' levels as ratios to the cost basis; only the absolute values of the options count.
struct StopLevels {
    double take_profit_above;   // upper level of a long
    double take_profit_below;   // lower level of a short
    double stop_loss_below;     // lower level of a long, before trailing
    double stop_loss_above;     // upper level of a short, before trailing
    double trail_active_above;  // a long's trail applies once its highest ratio reaches this
    double trail_active_below;  // a short's once its lowest ratio reaches this
    double trail_distance;

    explicit StopLevels(const Options& options);
};

// What a holding's levels depend on, after the row's revaluation.
struct HoldingRatios {
    double base_value;  // holding value / cumulative ratio: above 0 a long, 0 or less counted as a short
    double max_ratio;   // highest cumulative price ratio since the basis
    double min_ratio;   // lowest
};

// A holding's exit levels for the row.
struct ExitLevels {
    bool is_long;
    double upper;  // a long's take-profit; a short's stop-loss, possibly trailing
    double lower;  // a long's stop-loss, possibly trailing; a short's take-profit
};

inline ExitLevels exit_levels(const StopLevels& levels, const HoldingRatios& holding) noexcept {
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

// An intraday exit as the row's open, high and low (ratios to the basis) decide it.
struct TouchedExit {
    bool fired = false;
    bool at_open = false;     // filled at the open, which lay beyond a level
    bool at_upper = false;    // the fill is on the upper side (a level touched, or an open at or above it)
    double fill_value = 0.0;  // the holding's value at the fill: base value x the open's ratio or the level
    StopSide side = StopSide::take_profit;
};

// The open beyond a level fills first, then a touched upper level, then a touched lower one. The side
// is the stop-loss side when the low touched and the filled holding is long, or the high touched and
// it is short; else take-profit. So a row that touches both levels is filled at the upper one and
// recorded on the stop-loss side, for longs and shorts alike.
inline TouchedExit touched_exit(const ExitLevels& exit, double base_value, double open_ratio, double high_ratio,
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

// A stop crossed at the close, executed on the next row: the close's ratio at or above the upper
// level is a take-profit crossing, strictly below the lower level a stop-loss one (the side of the
// crossing, whichever the holding's direction).
inline std::optional<StopSide> close_crossing(const ExitLevels& exit, double close_ratio) noexcept {
    if (close_ratio >= exit.upper) return StopSide::take_profit;
    if (close_ratio < exit.lower) return StopSide::stop_loss;
    return std::nullopt;
}

// Why a stop fired, for the fill log: the upper level is a long's take-profit and a short's stop; a
// stop level that moved off its fixed value is the trailing one.
inline FillReason stop_reason(const StopLevels& levels, const ExitLevels& exit, bool at_upper) noexcept {
    if (at_upper == exit.is_long) return FillReason::take_profit;
    const bool trailing = exit.is_long ? exit.lower != levels.stop_loss_below : exit.upper != levels.stop_loss_above;
    return trailing ? FillReason::trail_stop : FillReason::stop_loss;
}

}  // namespace zelvor::engine
