// The engine's options and market read from backtest_'s parameters by table: each field of
// engine::Options and engine::Market is listed with the parameter it comes from. Both hosts
// (backtest_ and _run_native) fill them this way.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/engine.hpp"
#include "pyglue/buffer.hpp"
#include "trevane/parameters.hpp"

namespace zelvor::trevane {

// A field of `Owner` of type T, and the index of the backtest_ parameter that gives its value.
template <class Owner, class T>
struct FieldOf {
    std::size_t parameter;
    T Owner::* field;
};

namespace engine_fields {

using backtest_parameters::index_of;

inline constexpr std::array<FieldOf<engine::Options, double>, 7> real_options{{
    {index_of("fee_ratio"), &engine::Options::fee_ratio},
    {index_of("tax_ratio"), &engine::Options::tax_ratio},
    {index_of("stop_loss"), &engine::Options::stop_loss},
    {index_of("take_profit"), &engine::Options::take_profit},
    {index_of("trail_stop"), &engine::Options::trail_stop},
    {index_of("trail_stop_activation"), &engine::Options::trail_stop_activation},
    {index_of("position_limit"), &engine::Options::position_limit},
}};

inline constexpr std::array<FieldOf<engine::Options, bool>, 2> truth_options{{
    {index_of("touched_exit"), &engine::Options::touched_exit},
    {index_of("retain_cost_when_rebalance"), &engine::Options::retain_cost_when_rebalance},
}};

// Every field of engine::Options is listed above: a field added to it breaks this binding until
// it is listed too.
static_assert([] {
    [[maybe_unused]] auto [a, b, c, d, e, f, g, h, i] = engine::Options{};
    return real_options.size() + truth_options.size() == 9;
}());

inline constexpr std::array<FieldOf<engine::Market, numeric::Strided2D>, 6> matrices{{
    {index_of("price_values"), &engine::Market::price},
    {index_of("close_values"), &engine::Market::close},
    {index_of("high_values"), &engine::Market::high},
    {index_of("low_values"), &engine::Market::low},
    {index_of("open_values"), &engine::Market::open},
    {index_of("pos_values"), &engine::Market::pos_values},
}};

inline constexpr std::array<FieldOf<engine::Market, numeric::Strided1D<std::int64_t>>, 3> dates{{
    {index_of("price_index"), &engine::Market::price_index},
    {index_of("pos_index"), &engine::Market::pos_index},
    {index_of("resample"), &engine::Market::resample},
}};

// The market's fields all come from the leading array parameters, whose buffers every host holds.
static_assert([] {
    for (const auto& f : matrices) {
        if (f.parameter >= backtest_parameters::n_arrays) return false;
    }
    for (const auto& f : dates) {
        if (f.parameter >= backtest_parameters::n_arrays) return false;
    }
    return true;
}());

}  // namespace engine_fields

// The trading options; `real(i)` and `truth(i)` give the converted value of parameter i.
template <class Real, class Truth>
engine::Options engine_options(Real&& real, Truth&& truth) {
    engine::Options options;
    for (const auto& f : engine_fields::real_options) options.*f.field = real(f.parameter);
    for (const auto& f : engine_fields::truth_options) options.*f.field = truth(f.parameter);
    return options;
}

// The market over the arrays' buffers; `buffer(i)` gives the buffer of array parameter i, and
// `delisting` that of delisting_bars (not acquired: None).
template <class BufferOf>
engine::Market engine_market(BufferOf&& buffer, const glue::Buffer& delisting) {
    engine::Market market;
    for (const auto& f : engine_fields::matrices) market.*f.field = buffer(f.parameter).matrix();
    for (const auto& f : engine_fields::dates) {
        market.*f.field = buffer(f.parameter).template vector<std::int64_t>();
    }
    market.n_labels = buffer(backtest_parameters::index_of("pos_columns")).template vector<PyObject*>().size;
    market.has_delisting_bars = delisting.acquired();
    if (market.has_delisting_bars) market.delisting_bars = delisting.vector<std::int64_t>();
    return market;
}

}  // namespace zelvor::trevane
