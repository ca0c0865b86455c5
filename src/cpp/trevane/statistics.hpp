// The statistics of a run, computed by the numeric core (core/stats.hpp): the private `_stats`
// function over a run's arrays, and what _run_native needs to compute them in its run.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/fill_log.hpp"
#include "core/stats.hpp"
#include "pyglue/buffer.hpp"
#include "pyglue/python.hpp"
#include "pyglue/ref.hpp"

namespace zelvor::trevane {

// _stats(...), registered by module.cpp.
extern PyMethodDef stats_def;

// _run_native's `stats` argument, read and checked before the run: (start_row, risk_free,
// periods_per_year, benchmark prices or None, dates), optionally followed by (moments, returns):
// moments true adds the Sharpe ratio's moments of the daily returns after start_row, returns
// "float64" or "float32" (None: not kept) adds the daily returns themselves in that type.
class StatsRequest {
public:
    // None: no statistics asked for. Raises (ErrorSet) on a malformed request or one whose arrays
    // do not have one value per price row.
    static std::optional<StatsRequest> read(PyObject* request, std::int64_t n_rows);

    // The figures of a run's equity (n_rows values) and fill log, and the moments and the returns
    // when asked for. Needs no interpreter.
    stats::Figures compute(const double* equity, std::int64_t n_rows, const engine::FillLog& log);

    // A new dict of the figures (floats, and ints for the counts).
    glue::Ref figures(const stats::Figures& figures) const;

    // Puts "moments" (a tuple: n, Sharpe ratio, skewness, kurtosis) and "returns" (the array) into
    // `result` when they were asked for.
    void put_row_returns(PyObject* result) const;

private:
    std::int64_t start_row_ = 0;
    double risk_free_ = 0.0;
    double periods_per_year_ = 252.0;
    glue::Buffer benchmark_;
    glue::Buffer dates_;
    bool moments_wanted_ = false;
    stats::Moments moments_{};
    glue::Ref returns_;            // float64 or float32, one per row; null: not kept
    std::vector<double> scratch_;  // the float64 returns, when returns_ is not float64 itself
};

}  // namespace zelvor::trevane
