// The statistics of a run, computed by the numeric core (core/stats.hpp): the private `_stats`
// function over a run's arrays, and what _run_native needs to compute them in its run.
#pragma once

#include <cstdint>
#include <optional>

#include "core/fill_log.hpp"
#include "core/stats.hpp"
#include "pyglue/buffer.hpp"
#include "pyglue/python.hpp"
#include "pyglue/ref.hpp"

namespace zelvor::trevane {

// _stats(...), registered by module.cpp.
extern PyMethodDef stats_def;

// _run_native's `stats` argument, read and checked before the run: (start_row, risk_free,
// periods_per_year, benchmark prices or None, dates).
class StatsRequest {
public:
    // None: no statistics asked for. Raises (ErrorSet) on a malformed request or one whose arrays
    // do not have one value per price row.
    static std::optional<StatsRequest> read(PyObject* request, std::int64_t n_rows);

    // The figures of a run's equity (n_rows values) and fill log. Needs no interpreter.
    stats::Figures compute(const double* equity, std::int64_t n_rows, const engine::FillLog& log) const;

    // A new dict of the figures (floats, and ints for the counts).
    glue::Ref figures(const stats::Figures& figures) const;

private:
    std::int64_t start_row_ = 0;
    double risk_free_ = 0.0;
    double periods_per_year_ = 252.0;
    glue::Buffer benchmark_;
    glue::Buffer dates_;
};

}  // namespace zelvor::trevane
