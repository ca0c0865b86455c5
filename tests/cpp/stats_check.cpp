// Standalone checks of the run statistics (core/stats.hpp) and NumPy's summation order
// (core/sums.hpp), with values worked out by hand in the comments. The bit-for-bit comparison with
// the NumPy formulation over random runs is the Python suite's (tests/engine/test_native_stats.py).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/errors.hpp"
#include "core/stats.hpp"
#include "core/sums.hpp"

namespace {

using namespace zelvor;

constexpr std::int64_t day = 86'400'000'000'000;

using checks::view;

void sums_follow_numpy_order() {
    // Nine values: eight accumulators take 1e16 and seven 1.0s, the ninth is added last. The tree
    // ((1e16 + 1) + (1 + 1)) + ((1 + 1) + (1 + 1)): 1e16 + 1 is a tie that rounds to even, 1e16;
    // + 2 + 4 is exact, 1e16 + 6; + 1 is a tie again, to even: 1e16 + 8 (numpy.add.reduce's value).
    std::vector<double> v{1e16, 1, 1, 1, 1, 1, 1, 1, 1};
    const double s = numeric::pairwise_sum(v.data(), 9);
    CHECK(s == 1e16 + 8);
    double sequential = 0.0;
    for (const double x : v) sequential += x;
    CHECK(sequential == 1e16);  // each 1 is lost against 1e16 one at a time: the orders differ
    // An empty sum and a sum of -0.0 are +0.0, as numpy.add.reduce gives them.
    std::vector<double> negative_zero{-0.0};
    CHECK(!std::signbit(numeric::reduce_sum(negative_zero.data(), 1)));
    CHECK(numeric::reduce_sum(nullptr, 0) == 0.0);
}

struct Run {
    std::vector<double> equity, pnl, basis, before, after, fee, tax, bench;
    std::vector<std::int64_t> dates, entry, exit;
    stats::Inputs inputs(std::int64_t start = 0) const {
        stats::Inputs in;
        in.equity = view(equity);
        in.dates = view(dates);
        in.start_row = start;
        in.pnl = view(pnl);
        in.basis = view(basis);
        in.entry_row = view(entry);
        in.exit_row = view(exit);
        in.value_before = view(before);
        in.value_after = view(after);
        in.fee = view(fee);
        in.tax = view(tax);
        in.has_benchmark = !bench.empty();
        in.benchmark = view(bench);
        return in;
    }
};

void a_small_run_by_hand() {
    // Equity 1, 1.25, 1, 1.5 over days 0, 1, 3, 4 (binary fractions: exact arithmetic).
    Run r;
    r.equity = {1.0, 1.25, 1.0, 1.5};
    r.dates = {0, day, 3 * day, 4 * day};
    // A win (pnl 0.25 on 0.5 from row 0 to 1), a loss (-0.25 on 0.5, rows 1 to 3), one still open.
    r.pnl = {0.25, -0.25, 0.0};
    r.basis = {0.5, 0.5, 1.0};
    r.entry = {0, 1, 3};
    r.exit = {1, 3, -1};
    r.before = {0.0, 0.5};
    r.after = {0.5, 0.0};
    r.fee = {0.125, 0.25};
    r.tax = {0.0, 0.5};
    const stats::Figures f = stats::compute(r.inputs());
    CHECK(f.total_return == 0.5);
    // Returns 0.25, -0.2, 0.5: one dip from 1.25 to 1 (-20 %), one row under water, from day 1 to
    // day 4 (the first close back at the peak or above).
    CHECK(std::fabs(f.max_drawdown - -0.2) < 1e-15);
    CHECK(f.max_drawdown_duration == 1);
    CHECK(f.max_drawdown_days == 3.0);
    CHECK(f.trades == 3);
    CHECK(f.win_rate == 0.5);
    CHECK(f.profit_factor == 1.0);  // 0.25 won / 0.25 lost
    CHECK(f.avg_win == 0.5 && f.avg_loss == -0.5);
    CHECK(f.avg_holding_rows == 1.5);  // (1 + 2) / 2 closed trades
    CHECK(f.avg_holding_days == 2.0);  // (1 + 3) days / 2
    // Open rows: 0 (first), 1 and 2 (second), 3 (third, to the end): every one of the four.
    CHECK(f.exposure == 1.0);
    CHECK(f.fees == 0.375 && f.taxes == 0.5);
    CHECK(std::isnan(f.alpha) && std::isnan(f.beta));  // no benchmark
    // Sample deviation of 0.25, -0.2, 0.5 (mean 0.55 / 3) is positive: a Sharpe ratio is formed.
    CHECK(f.annual_volatility > 0 && std::isfinite(f.sharpe));
}

void flat_runs_have_no_ratios() {
    // In cash: equity 1 throughout. No dispersion: volatility 0, no Sharpe, Sortino or PSR, no
    // drawdown, and a benchmark moving with no strategy dispersion gives beta 0.
    Run r;
    r.equity = {1.0, 1.0, 1.0, 1.0};
    r.dates = {0, day, 2 * day, 3 * day};
    r.bench = {1.0, 1.5, 1.25, 2.0};
    const stats::Figures f = stats::compute(r.inputs());
    CHECK(f.annual_volatility == 0.0);
    CHECK(std::isnan(f.sharpe) && std::isnan(f.sortino) && std::isnan(f.psr) && std::isnan(f.min_track_record));
    CHECK(f.max_drawdown == 0.0 && f.max_drawdown_duration == 0 && std::isnan(f.calmar));
    CHECK(f.beta == 0.0 && f.alpha == 0.0);
    CHECK(f.exposure == 0.0 && std::isnan(f.win_rate) && std::isnan(f.avg_holding_rows));
}

void inconsistent_arrays_are_refused() {
    Run r;
    r.equity = {1.0, 1.0};
    r.dates = {0};
    bool refused = false;
    try {
        stats::compute(r.inputs());
    } catch (const numeric::Error& e) {
        refused = e.kind == numeric::ErrorKind::value && e.message.rfind("dates:", 0) == 0;
    }
    CHECK(refused);
    r.dates = {0, day};
    r.pnl = {0.0};
    r.basis = {1.0};
    r.entry = {2};  // past the last row
    r.exit = {-1};
    refused = false;
    try {
        stats::compute(r.inputs());
    } catch (const numeric::Error& e) {
        refused = e.message.find("entry_row 2") != std::string::npos;
    }
    CHECK(refused);
}

}  // namespace

int main() {
    sums_follow_numpy_order();
    a_small_run_by_hand();
    flat_runs_have_no_ratios();
    inconsistent_arrays_are_refused();
    return checks::report("stats checks");
}
