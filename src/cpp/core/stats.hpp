// The figures of one run's equity curve, trades and fills: returns, risk, drawdowns, trade
// statistics, costs and, with a benchmark, alpha and beta. Plain C++: no Python here.
//
// Every sum is NumPy's pairwise sum and every other operation the one NumPy or Python makes for the
// same figure (elementwise IEEE arithmetic, libm's pow, sqrt and erf), in the same order, so each
// figure equals, bit for bit, the one the layer's NumPy formulation of these conventions gives.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/strided.hpp"

namespace zelvor::stats {

// Relative size below which a dispersion, a drawdown or a trade's pnl is rounding residue: 64 units
// of rounding (2^-46, about 1.4e-14) of the magnitude involved.
inline constexpr double rounding = 0x1p-46;
// Nanoseconds in a calendar day.
inline constexpr double day_ns = 86400e9;
// The 95 % quantile of the standard normal distribution, as the interpreter's
// statistics.NormalDist().inv_cdf(0.95) gives it: the z of the minimum track record.
inline constexpr double z_95 = 0x1.a515209676ab8p+0;

// One run's arrays. Strided views, so columns of arrays of records can be read in place.
struct Inputs {
    numeric::Strided1D<double> equity;                               // portfolio value per market row
    numeric::Strided1D<std::int64_t> dates;                          // nanoseconds, one per market row
    std::int64_t start_row = 0;                                      // first active row
    numeric::Strided1D<double> pnl, basis;                           // per trade
    numeric::IndexStrided1D entry_row, exit_row;                     // per trade; exit_row < 0: still open
    numeric::Strided1D<double> value_before, value_after, fee, tax;  // per fill
    bool has_benchmark = false;
    numeric::Strided1D<double> benchmark;  // prices, one per market row
    double risk_free = 0.0;                // annual
    double periods_per_year = 252.0;
};

struct Figures {
    double total_return, cagr, annual_volatility, sharpe, sortino, psr, min_track_record, max_drawdown, calmar;
    std::int64_t max_drawdown_duration;
    double max_drawdown_days;
    std::int64_t trades;
    double win_rate, profit_factor, avg_win, avg_loss, avg_holding_rows, avg_holding_days, exposure, turnover, fees,
        taxes, alpha, beta;
};

// The figures, by name, in the order they are reported. `real` or `count` names the member.
struct Field {
    const char* name;
    double Figures::* real;
    std::int64_t Figures::* count;
    bool needs_benchmark;
};

inline constexpr Field fields[] = {
    {"total_return", &Figures::total_return, nullptr, false},
    {"cagr", &Figures::cagr, nullptr, false},
    {"annual_volatility", &Figures::annual_volatility, nullptr, false},
    {"sharpe", &Figures::sharpe, nullptr, false},
    {"sortino", &Figures::sortino, nullptr, false},
    {"psr", &Figures::psr, nullptr, false},
    {"min_track_record", &Figures::min_track_record, nullptr, false},
    {"max_drawdown", &Figures::max_drawdown, nullptr, false},
    {"calmar", &Figures::calmar, nullptr, false},
    {"max_drawdown_duration", nullptr, &Figures::max_drawdown_duration, false},
    {"max_drawdown_days", &Figures::max_drawdown_days, nullptr, false},
    {"trades", nullptr, &Figures::trades, false},
    {"win_rate", &Figures::win_rate, nullptr, false},
    {"profit_factor", &Figures::profit_factor, nullptr, false},
    {"avg_win", &Figures::avg_win, nullptr, false},
    {"avg_loss", &Figures::avg_loss, nullptr, false},
    {"avg_holding_rows", &Figures::avg_holding_rows, nullptr, false},
    {"avg_holding_days", &Figures::avg_holding_days, nullptr, false},
    {"exposure", &Figures::exposure, nullptr, false},
    {"turnover", &Figures::turnover, nullptr, false},
    {"fees", &Figures::fees, nullptr, false},
    {"taxes", &Figures::taxes, nullptr, false},
    {"alpha", &Figures::alpha, nullptr, true},
    {"beta", &Figures::beta, nullptr, true},
};
inline constexpr std::size_t n_fields = sizeof fields / sizeof fields[0];

// The Sharpe ratio's moments of a series of returns: how many, the per-row Sharpe ratio (mean over
// the ddof-1 deviation), the skewness m3 / m2^1.5 and the kurtosis m4 / m2^2 (3 for a normal
// distribution). NaN ratios with fewer than two returns or without variation.
struct Moments {
    std::int64_t n;
    double sharpe, skew, kurt;
};

// The moments of r[0], ..., r[n - 1] (contiguous).
Moments sharpe_moments(const double* r, std::int64_t n);

// The row-to-row change of equity, equity[i] / equity[i - 1] - 1, into out[0], ..., out[size - 1];
// NaN up to and including `start_row` (nothing was held before it). `start_row` must be a row of
// the equity (or 0 for none).
void daily_returns(const numeric::Strided1D<double>& equity, std::int64_t start_row, double* out);

// Checks that the arrays agree with each other (lengths, start_row, trade rows within the market,
// periods_per_year > 0); throws numeric::Error (ValueError) naming the first that does not.
void check(const Inputs& in);

// The figures (see the layer's documentation of Report.stats for the conventions). Calls `check`
// first. Never throws on odd values: a figure that cannot be formed is NaN, one that passes the
// largest float is inf.
Figures compute(const Inputs& in);

}  // namespace zelvor::stats
