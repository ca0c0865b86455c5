// _stats and _run_native's statistics: the glue around core/stats.hpp. Arrays are read in place
// (strided views held through the buffer protocol), checked before any figure is computed, and the
// figures computed without the interpreter lock.
#include "trevane/statistics.hpp"

#include <array>
#include <cmath>
#include <exception>
#include <vector>

#include "pyglue/args.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/function.hpp"
#include "pyglue/numpy.hpp"
#include "pyglue/objects.hpp"
#include "trevane/ledger_arrays.hpp"

namespace zelvor::trevane {

namespace {

using glue::Ref;

constexpr std::array<const char*, 14> stats_params = {
    "equity",       "dates",       "start_row", "pnl", "basis",     "entry_row", "exit_row",
    "value_before", "value_after", "fee",       "tax", "benchmark", "risk_free", "periods_per_year",
};
constexpr glue::Signature stats_sig{"_stats", stats_params, 11};

// A column of the fill log, read in place.
numeric::Strided1D<double> view_of(const engine::Column<double>& column, std::size_t size) {
    return {reinterpret_cast<const char*>(column.data()), static_cast<std::int64_t>(size),
            static_cast<std::int64_t>(sizeof(double))};
}

double to_double(PyObject* value) {
    const double x = PyFloat_AsDouble(value);
    if (x == -1.0 && PyErr_Occurred()) throw glue::ErrorSet{};
    return x;
}

std::int64_t to_int64(PyObject* value, const char* name) {
    Ref index = glue::check(PyNumber_Index(value));
    const long long x = PyLong_AsLongLong(index.get());
    if (x == -1 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            glue::raise_format(PyExc_ValueError, "%s: out of range", name);
        }
        throw glue::ErrorSet{};
    }
    return x;
}

// A dict of `f`, in the fields' order; alpha and beta only with a benchmark.
Ref figures_dict(const stats::Figures& f, bool has_benchmark) {
    Ref d = glue::check(PyDict_New());
    for (const stats::Field& field : stats::fields) {
        if (field.needs_benchmark && !has_benchmark) continue;
        Ref value = field.real != nullptr ? glue::check(PyFloat_FromDouble(f.*field.real))
                                          : glue::new_int(static_cast<long long>(f.*field.count));
        glue::check_status(PyDict_SetItemString(d.get(), field.name, value.get()));
    }
    return d;
}

// Runs `compute` without the interpreter lock; a failure in it is raised once the lock is back.
template <class Compute>
stats::Figures unlocked(Compute&& compute) {
    stats::Figures figures{};
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS;
    try {
        figures = compute();
    } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS;
    if (failure) std::rethrow_exception(failure);
    return figures;
}

PyObject* stats_function(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return glue::call_bound<stats_params.size()>(
        "zelvor.core.trevane._stats", stats_sig, args, nargsf, kwnames,
        [&](const std::array<PyObject*, stats_params.size()>& arg) -> PyObject* {
            std::array<glue::Buffer, 12> buffers;
            const auto acquire = [&](std::size_t i, const glue::ElementType& element) {
                glue::check_not_none(arg[i], stats_params[i]);
                buffers[i] = glue::Buffer::acquire(arg[i], 1, element);
            };
            for (const std::size_t i : {0, 3, 4, 7, 8, 9, 10}) acquire(i, glue::float64_element);
            for (const std::size_t i : {1, 5, 6}) acquire(i, glue::int64_element);
            stats::Inputs in;
            in.equity = buffers[0].vector<double>();
            in.dates = buffers[1].vector<std::int64_t>();
            in.start_row = to_int64(arg[2], "start_row");
            in.pnl = buffers[3].vector<double>();
            in.basis = buffers[4].vector<double>();
            in.entry_row = buffers[5].vector<std::int64_t>();
            in.exit_row = buffers[6].vector<std::int64_t>();
            in.value_before = buffers[7].vector<double>();
            in.value_after = buffers[8].vector<double>();
            in.fee = buffers[9].vector<double>();
            in.tax = buffers[10].vector<double>();
            if (arg[11] != nullptr && arg[11] != Py_None) {
                buffers[11] = glue::Buffer::acquire(arg[11], 1, glue::float64_element);
                in.has_benchmark = true;
                in.benchmark = buffers[11].vector<double>();
            }
            if (arg[12] != nullptr) in.risk_free = to_double(arg[12]);
            if (arg[13] != nullptr) in.periods_per_year = to_double(arg[13]);
            stats::check(in);  // before the lock is given up: a bad argument costs nothing
            const stats::Figures figures = unlocked([&] { return stats::compute(in); });
            return figures_dict(figures, in.has_benchmark).release();
        });
}

}  // namespace

std::optional<StatsRequest> StatsRequest::read(PyObject* request, std::int64_t n_rows) {
    if (request == nullptr || request == Py_None) return std::nullopt;
    const Py_ssize_t size = PyTuple_Check(request) ? PyTuple_GET_SIZE(request) : 0;
    if (size != 5 && size != 7) {
        glue::raise(PyExc_TypeError,
                    "stats: expected None or a tuple (start_row, risk_free, periods_per_year, benchmark or None, "
                    "dates[, moments, returns])");
    }
    StatsRequest r;
    r.start_row_ = to_int64(PyTuple_GET_ITEM(request, 0), "stats: start_row");
    r.risk_free_ = to_double(PyTuple_GET_ITEM(request, 1));
    r.periods_per_year_ = to_double(PyTuple_GET_ITEM(request, 2));
    PyObject* const benchmark = PyTuple_GET_ITEM(request, 3);
    if (benchmark != Py_None) r.benchmark_ = glue::Buffer::acquire(benchmark, 1, glue::float64_element);
    r.dates_ = glue::Buffer::acquire(PyTuple_GET_ITEM(request, 4), 1, glue::int64_element);
    // What can be checked before the run is (the trades are the run's own).
    stats::Inputs in;
    in.equity = {nullptr, n_rows, static_cast<std::int64_t>(sizeof(double))};
    in.dates = r.dates_.vector<std::int64_t>();
    in.start_row = r.start_row_;
    in.has_benchmark = r.benchmark_.acquired();
    if (in.has_benchmark) in.benchmark = r.benchmark_.vector<double>();
    in.periods_per_year = r.periods_per_year_;
    stats::check(in);
    if (size == 7) {
        r.moments_wanted_ = glue::truth(PyTuple_GET_ITEM(request, 5));
        PyObject* const returns = PyTuple_GET_ITEM(request, 6);
        if (returns != Py_None) {
            int type = NPY_NOTYPE;
            if (PyUnicode_Check(returns)) {
                if (PyUnicode_CompareWithASCIIString(returns, "float64") == 0) type = NPY_DOUBLE;
                if (PyUnicode_CompareWithASCIIString(returns, "float32") == 0) type = NPY_FLOAT;
            }
            if (type == NPY_NOTYPE)
                glue::raise(PyExc_ValueError, "stats: returns must be 'float64', 'float32' or None");
            npy_intp length = static_cast<npy_intp>(n_rows);
            r.returns_ = glue::check(PyArray_EMPTY(1, &length, type, 0));
            if (type != NPY_DOUBLE) r.scratch_.resize(static_cast<std::size_t>(n_rows));
        }
    }
    return r;
}

stats::Figures StatsRequest::compute(const double* equity, std::int64_t n_rows, const engine::FillLog& log) {
    stats::Inputs in;
    in.equity = {reinterpret_cast<const char*>(equity), n_rows, static_cast<std::int64_t>(sizeof(double))};
    in.dates = dates_.vector<std::int64_t>();
    in.start_row = start_row_;
    const auto& trades = log.trades();
    in.pnl = view_of(trades.pnl, trades.count);
    in.basis = view_of(trades.basis, trades.count);
    in.entry_row = trades.entry_row.view(trades.count);
    in.exit_row = trades.exit_row.view(trades.count);
    const auto& fills = log.fills();
    in.value_before = view_of(fills.value_before, fills.count);
    in.value_after = view_of(fills.value_after, fills.count);
    in.fee = view_of(fills.fee, fills.count);
    in.tax = view_of(fills.tax, fills.count);
    in.has_benchmark = benchmark_.acquired();
    if (in.has_benchmark) in.benchmark = benchmark_.vector<double>();
    in.risk_free = risk_free_;
    in.periods_per_year = periods_per_year_;
    const stats::Figures figures = stats::compute(in);
    if (moments_wanted_ || returns_) {
        // The returns go straight into a float64 array; a float32 one is filled from the scratch.
        auto* const array = reinterpret_cast<PyArrayObject*>(returns_.get());
        std::vector<double> own;
        double* r = nullptr;
        if (returns_ && scratch_.empty()) {
            r = static_cast<double*>(PyArray_DATA(array));
        } else if (returns_) {
            r = scratch_.data();
        } else {
            own.resize(static_cast<std::size_t>(n_rows));
            r = own.data();
        }
        stats::daily_returns(in.equity, start_row_, r);
        const std::int64_t first = start_row_ + 1 < n_rows ? start_row_ + 1 : n_rows;
        if (moments_wanted_) moments_ = stats::sharpe_moments(r + first, n_rows - first);
        if (returns_ && !scratch_.empty()) {
            auto* const out = static_cast<float*>(PyArray_DATA(array));
            for (std::int64_t i = 0; i < n_rows; ++i) out[i] = static_cast<float>(r[i]);
        }
    }
    return figures;
}

Ref StatsRequest::figures(const stats::Figures& f) const { return figures_dict(f, benchmark_.acquired()); }

void StatsRequest::put_row_returns(PyObject* result) const {
    if (moments_wanted_) {
        Ref n = glue::new_int(moments_.n);
        Ref sharpe = glue::check(PyFloat_FromDouble(moments_.sharpe));
        Ref skew = glue::check(PyFloat_FromDouble(moments_.skew));
        Ref kurt = glue::check(PyFloat_FromDouble(moments_.kurt));
        put(result, "moments", glue::check(PyTuple_Pack(4, n.get(), sharpe.get(), skew.get(), kurt.get())));
    }
    if (returns_) put(result, "returns", returns_);
}

PyMethodDef stats_def = glue::method(
    "_stats", stats_function,
    "_stats($module, /, equity, dates, start_row, pnl, basis, entry_row, exit_row, value_before, value_after,\n"
    "    fee, tax, benchmark=None, risk_free=0.0, periods_per_year=252)\n--\n\n"
    "Private. The statistics of one run from its arrays (float64, and int64 for dates and rows), computed\n"
    "without the interpreter lock: a dict of floats (ints for trades and max_drawdown_duration), alpha and\n"
    "beta only with a benchmark. The arrays are checked against each other first (ValueError).");

}  // namespace zelvor::trevane
