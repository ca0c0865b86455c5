// The figures of one run, in the order of operations of the layer's NumPy formulation: the pairwise
// sums of NumPy, Python's float arithmetic for the scalars, libm's pow and erf where Python calls
// them. Where that formulation raised on extreme values (OverflowError of `float ** float` past the
// largest float, ZeroDivisionError of a float divided by a power that underflowed to 0), the IEEE
// result is kept instead: inf, or NaN.
#include "core/stats.hpp"

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "core/sums.hpp"

namespace zelvor::stats {

namespace {

__extension__ typedef __int128 wide_int;  // sums of nanosecond spans, which may pass 2^63

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double sqrt_2 = 1.4142135623730951;  // sqrt(2.0), as statistics.NormalDist divides by it

using Values = std::vector<double>;

// libm's pow, as Python's `**` on floats calls it: the exponent is hidden from the compiler so that
// pow(x, 2.0) is not rewritten into x * x.
double libm_pow(double x, double y) {
    volatile double exponent = y;
    return std::pow(x, exponent);
}

double sum(const Values& v) { return numeric::reduce_sum(v.data(), static_cast<std::int64_t>(v.size())); }

double count(std::size_t n) { return static_cast<double>(n); }

// Python's max(1.0, a, b): the first value, replaced by each later one greater than it.
double max_of_one(double a, double b = 0.0) {
    double best = 1.0;
    if (a > best) best = a;
    if (b > best) best = b;
    return best;
}

// True when values from `lo` to `hi` spread no wider than rounding of their magnitude.
bool is_flat(double lo, double hi) { return hi - lo <= rounding * max_of_one(std::fabs(lo), std::fabs(hi)); }

struct Range {
    double lo, hi;
};

// numpy.minimum.reduce and numpy.maximum.reduce of a non-empty run: NaN when any value is NaN.
Range spread(const Values& v) {
    Range r{v[0], v[0]};
    for (const double x : v) {
        if (std::isnan(x) || std::isnan(r.lo)) {
            r = {nan, nan};
            break;
        }
        if (x < r.lo) r.lo = x;
        if (x > r.hi) r.hi = x;
    }
    return r;
}

// numpy.maximum(a, b) on float64, signed zeros included: a when greater (or NaN), else b.
double numpy_maximum(double a, double b) { return (a > b || std::isnan(a)) ? a : b; }

// (final value) ** (365.25 / days) - 1: NaN without a positive value and period, inf past the
// largest float.
double annual_growth(double final_value, double days) {
    if (!(days > 0 && final_value > 0)) return nan;
    const double growth = libm_pow(final_value, 365.25 / days);
    if (std::isinf(growth)) return inf;
    return growth - 1.0;
}

// The moments of r[0..n), their sum given.
Moments moments_of(const double* r, std::size_t n, double total) {
    Moments m{static_cast<std::int64_t>(n), nan, nan, nan};
    if (n < 2) return m;
    const double mean = total / count(n);
    Values c2(n), c3(n), c4(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double c = r[i] - mean;
        c2[i] = c * c;
        c3[i] = c2[i] * c;
        c4[i] = c2[i] * c2[i];
    }
    const double m2 = sum(c2) / count(n);
    if (m2 > 0) {
        const double sd = std::sqrt(m2 * count(n) / count(n - 1));
        m.sharpe = mean / sd;
        m.skew = sum(c3) / count(n) / libm_pow(m2, 1.5);
        m.kurt = sum(c4) / count(n) / libm_pow(m2, 2.0);
    }
    return m;
}

struct TrackRecord {
    double psr, rows;
};

// The probabilistic Sharpe ratio against 0 and the minimum track record length at 95 % of the
// moments of `r`; NaN for both without two values or without variation.
TrackRecord track_record(const Values& r, double total) {
    const Moments m = moments_of(r.data(), r.size(), total);
    const double sr = m.sharpe, skew = m.skew, kurt = m.kurt;
    const double var = 1.0 - skew * sr + (kurt - 1.0) / 4.0 * sr * sr;
    const double rows_n = count(r.size());
    const double z = (var > 0 && rows_n > 1) ? (sr - 0.0) * std::sqrt(rows_n - 1.0) / std::sqrt(var) : nan;
    TrackRecord out{0.5 * (1.0 + std::erf(z / sqrt_2)), nan};
    double rows = sr > 0.0 ? 1.0 + var * libm_pow(z_95 / (sr - 0.0), 2.0) : inf;
    if (std::isnan(sr) || std::isnan(var)) rows = nan;
    out.rows = std::isfinite(rows) ? rows : nan;
    return out;
}

// Row-to-row change of `v` from its row `from` on, minus `shift` when `subtract`.
Values changes(const numeric::Strided1D<double>& v, std::int64_t from, bool subtract, double shift) {
    const std::int64_t n = v.size - from;
    Values out(n > 1 ? static_cast<std::size_t>(n - 1) : 0);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const auto row = from + static_cast<std::int64_t>(i);
        out[i] = v[row + 1] / v[row] - 1.0;
    }
    if (subtract) {
        for (double& x : out) x -= shift;
    }
    return out;
}

[[noreturn]] void refuse(const std::string& message) { throw numeric::Error{numeric::ErrorKind::value, message}; }

std::string text(std::int64_t value) { return std::to_string(value); }

}  // namespace

Moments sharpe_moments(const double* r, std::int64_t n) {
    const std::size_t size = n > 0 ? static_cast<std::size_t>(n) : 0;
    return moments_of(r, size, numeric::reduce_sum(r, static_cast<std::int64_t>(size)));
}

void daily_returns(const numeric::Strided1D<double>& equity, std::int64_t start_row, double* out) {
    const std::int64_t n = equity.size;
    const std::int64_t first = start_row + 1 < n ? start_row + 1 : n;
    for (std::int64_t i = 0; i < first; ++i) out[i] = nan;
    for (std::int64_t i = first; i < n; ++i) out[i] = equity[i] / equity[i - 1] - 1.0;
}

void check(const Inputs& in) {
    const std::int64_t n = in.equity.size;
    if (in.dates.size != n)
        refuse("dates: expected one per equity value (" + text(n) + "), got " + text(in.dates.size));
    if (n == 0 ? in.start_row != 0 : (in.start_row < 0 || in.start_row >= n)) {
        refuse("start_row: expected a row of the equity (0 to " + text(n - 1) + "), got " + text(in.start_row));
    }
    if (in.has_benchmark && in.benchmark.size != n) {
        refuse("benchmark: expected one price per equity value (" + text(n) + "), got " + text(in.benchmark.size));
    }
    const std::int64_t t = in.pnl.size;
    if (in.basis.size != t || in.entry_row.size != t || in.exit_row.size != t) {
        refuse("trades: pnl, basis, entry_row and exit_row differ in length");
    }
    for (std::int64_t k = 0; k < t; ++k) {
        const std::int64_t entry = in.entry_row[k], exit = in.exit_row[k];
        if (entry < 0 || entry >= n) refuse("trades: entry_row " + text(entry) + " is not a row of the equity");
        if (exit >= n) refuse("trades: exit_row " + text(exit) + " is not a row of the equity");
    }
    const std::int64_t f = in.fee.size;
    if (in.tax.size != f || in.value_before.size != f || in.value_after.size != f) {
        refuse("fills: value_before, value_after, fee and tax differ in length");
    }
    if (!(in.periods_per_year > 0) || std::isinf(in.periods_per_year)) {
        refuse("periods_per_year: expected a finite number > 0");
    }
}

Figures compute(const Inputs& in) {
    check(in);
    Figures f{};
    const std::int64_t n = in.equity.size;
    const std::int64_t start = in.start_row;
    const std::int64_t n_active = n - start;
    const double ppy = in.periods_per_year;
    const double rf = in.risk_free;
    const auto at_date = [&](std::int64_t row) { return in.dates[row]; };

    Values active(static_cast<std::size_t>(n_active));
    for (std::int64_t i = 0; i < n_active; ++i) active[static_cast<std::size_t>(i)] = in.equity[start + i];

    double days = 0.0;
    if (n > 0) days = static_cast<double>(wide_int{at_date(n - 1)} - wide_int{at_date(start)}) / day_ns;
    const double final_value = n_active > 0 ? active.back() : 1.0;
    f.total_return = final_value - 1.0;
    f.cagr = annual_growth(final_value, days);

    // Excess returns: the plain returns less the risk-free rate per row (when there is one).
    const bool has_rate = rf != 0.0 || std::isnan(rf);
    const Values excess = changes(in.equity, start, has_rate, rf / ppy);
    const double root = std::sqrt(ppy);
    const std::size_t m = excess.size();
    bool flat = true;
    double total = 0.0;
    if (m >= 2) {
        total = sum(excess);
        const double mean = total / count(m);
        const Range r = spread(excess);
        flat = is_flat(r.lo, r.hi);
        if (flat) {  // no dispersion beyond rounding: no volatility, no ratio to form
            f.annual_volatility = 0.0;
            f.sharpe = f.sortino = nan;
        } else {
            Values squares(m), downs(m);
            for (std::size_t i = 0; i < m; ++i) {
                const double c = excess[i] - mean;
                squares[i] = c * c;
                const double down = std::isnan(excess[i]) || excess[i] < 0.0 ? excess[i] : 0.0;
                downs[i] = down * down;
            }
            const double sd = std::sqrt(sum(squares) / count(m - 1));
            f.annual_volatility = sd * root;
            f.sharpe = mean / sd * root;
            const double downside = std::sqrt(sum(downs) / count(m));
            f.sortino = downside > rounding * max_of_one(-r.lo) ? mean / downside * root : nan;
        }
    } else {
        f.annual_volatility = f.sharpe = f.sortino = nan;
    }
    if (flat) {  // no dispersion: no Sharpe ratio to test
        f.psr = f.min_track_record = nan;
    } else {
        const TrackRecord record = track_record(excess, total);
        f.psr = record.psr;
        f.min_track_record = record.rows;
    }

    // Drawdown: equity over its running maximum, minus 1; a dip within rounding of the peak is 0.
    Values dd(active.size());
    double peak = n_active > 0 ? active[0] : 0.0;
    double mdd = 0.0;
    for (std::size_t i = 0; i < active.size(); ++i) {
        if (i > 0) peak = numpy_maximum(peak, active[i]);
        double d = active[i] / peak - 1.0;
        if (d < 0.0 && d >= -rounding) d = 0.0;
        dd[i] = d;
        if (i == 0 || std::isnan(d) || d < mdd) mdd = std::isnan(mdd) ? mdd : d;
    }
    f.max_drawdown = mdd;
    f.calmar = mdd < 0 ? f.cagr / -mdd : nan;
    f.max_drawdown_duration = 0;
    f.max_drawdown_days = 0.0;
    if (mdd < 0) {
        // Each stretch of rows under water, [first, after): from its peak (the row before it) to the
        // first row back at it, or to the last row.
        std::int64_t longest = 0;
        bool any = false;
        std::int64_t widest = 0;
        std::int64_t i = 0;
        while (i < n_active) {
            if (!(dd[static_cast<std::size_t>(i)] < 0.0)) {
                ++i;
                continue;
            }
            const std::int64_t first = i;
            while (i < n_active && dd[static_cast<std::size_t>(i)] < 0.0) ++i;
            const std::int64_t after = i;
            if (after - first > longest) longest = after - first;
            const std::int64_t back = after < n_active - 1 ? after : n_active - 1;
            const std::int64_t peak_row = first > 0 ? first - 1 : n_active - 1;  // dd[0] is never < 0
            // int64 arithmetic that wraps, as NumPy's does.
            const auto span = static_cast<std::int64_t>(static_cast<std::uint64_t>(at_date(start + back)) -
                                                        static_cast<std::uint64_t>(at_date(start + peak_row)));
            if (!any || span > widest) widest = span;
            any = true;
        }
        f.max_drawdown_duration = longest;
        f.max_drawdown_days = static_cast<double>(widest) / day_ns;
    }

    // Trades: of the closed ones, a pnl within rounding of the money involved is break-even.
    const std::int64_t t = in.pnl.size;
    Values win_pnl, loss_pnl, win_ret, loss_ret;
    std::size_t n_closed = 0;
    wide_int held_rows = 0, held_ns = 0;
    for (std::int64_t k = 0; k < t; ++k) {
        const std::int64_t exit = in.exit_row[k];
        if (exit < 0) continue;
        ++n_closed;
        const std::int64_t entry = in.entry_row[k];
        held_rows += wide_int{exit} - wide_int{entry};
        held_ns += wide_int{at_date(exit)} - wide_int{at_date(entry)};
        const double pnl = in.pnl[k];
        const double basis = std::fabs(in.basis[k]);
        const double tolerance = rounding * (basis + std::fabs(pnl));
        if (pnl > tolerance) {
            win_pnl.push_back(pnl);
            win_ret.push_back(pnl / basis);
        } else if (pnl < -tolerance) {
            loss_pnl.push_back(pnl);
            loss_ret.push_back(pnl / basis);
        }
    }
    f.trades = t;
    const std::size_t n_wins = win_pnl.size(), n_losses = loss_pnl.size();
    f.win_rate = n_wins + n_losses ? count(n_wins) / count(n_wins + n_losses) : nan;
    const double gross_loss = -sum(loss_pnl);
    f.profit_factor = gross_loss > 0 ? sum(win_pnl) / gross_loss : nan;
    f.avg_win = n_wins ? sum(win_ret) / count(n_wins) : nan;
    f.avg_loss = n_losses ? sum(loss_ret) / count(n_losses) : nan;
    if (n_closed) {
        f.avg_holding_rows = static_cast<double>(held_rows) / count(n_closed);
        f.avg_holding_days = static_cast<double>(held_ns) / count(n_closed) / day_ns;
    } else {
        f.avg_holding_rows = f.avg_holding_days = nan;
    }

    // Exposure: rows on which some trade was open, [entry_row, exit_row) for a closed trade, to the
    // end for an open one.
    f.exposure = 0.0;
    if (n_active > 0 && t > 0) {
        std::vector<std::int64_t> marks(static_cast<std::size_t>(n) + 1, 0);
        for (std::int64_t k = 0; k < t; ++k) {
            const std::int64_t exit = in.exit_row[k];
            ++marks[static_cast<std::size_t>(in.entry_row[k])];
            --marks[static_cast<std::size_t>(exit >= 0 ? exit : n)];
        }
        std::int64_t open = 0, exposed = 0;
        for (std::int64_t r = 0; r < n; ++r) {
            open += marks[static_cast<std::size_t>(r)];
            if (r >= start && open != 0) ++exposed;
        }
        f.exposure = static_cast<double>(exposed) / static_cast<double>(n_active);
    }

    Values traded(static_cast<std::size_t>(in.fee.size)), fees(traded.size()), taxes(traded.size());
    for (std::size_t k = 0; k < traded.size(); ++k) {
        const auto i = static_cast<std::int64_t>(k);
        traded[k] = std::fabs(in.value_after[i] - in.value_before[i]);
        fees[k] = in.fee[i];
        taxes[k] = in.tax[i];
    }
    const double years = days / 365.25;
    const double mean_equity = n_active > 0 ? sum(active) / static_cast<double>(n_active) : nan;
    f.turnover = years > 0 && mean_equity > 0 ? sum(traded) / 2.0 / mean_equity / years : nan;
    f.fees = sum(fees);
    f.taxes = sum(taxes);

    f.alpha = f.beta = nan;
    if (in.has_benchmark) {
        // The benchmark's excess returns on the same rows; rows where either is not finite are left
        // out (only looked for when a sum is not finite: a finite sum has every term finite).
        const Values b = changes(in.benchmark, start, true, rf / ppy);
        const double b_total = sum(b);
        const bool filter = !(std::isfinite(total) && std::isfinite(b_total));
        Values x, y;
        if (filter) {
            for (std::size_t i = 0; i < b.size(); ++i) {
                if (std::isfinite(b[i]) && std::isfinite(excess[i])) {
                    x.push_back(excess[i]);
                    y.push_back(b[i]);
                }
            }
        }
        const Values& xs = filter ? x : excess;
        const Values& ys = filter ? y : b;
        const std::size_t k = xs.size();
        if (k >= 2) {
            const double mx = (filter ? sum(xs) : total) / count(k);
            const double my = (filter ? sum(ys) : b_total) / count(k);
            const Range yr = spread(ys);
            if (!is_flat(yr.lo, yr.hi)) {
                bool x_flat = flat;
                if (filter) {
                    const Range xr = spread(xs);
                    x_flat = is_flat(xr.lo, xr.hi);
                }
                double beta = 0.0;  // a strategy without dispersion does not move with the benchmark
                if (!x_flat) {
                    Values products(k), squares(k);
                    for (std::size_t i = 0; i < k; ++i) {
                        const double cy = ys[i] - my;
                        products[i] = (xs[i] - mx) * cy;
                        squares[i] = cy * cy;
                    }
                    beta = sum(products) / sum(squares);
                }
                f.alpha = (mx - beta * my) * ppy;
                f.beta = beta;
            }
        }
    }
    return f;
}

}  // namespace zelvor::stats
