// _excursions: the excursion statistics of every trade of a run made with excursions=False, in one
// call over the run's follow-up records, without the interpreter lock. Each trade goes through the
// same Analyzer, in the same order, as a run that follows them at once, so the figures and the
// first failure are those of that run.
#include "trevane/excursions.hpp"

#include <array>
#include <cstdint>
#include <exception>
#include <utility>
#include <vector>

#include "core/excursion.hpp"
#include "pyglue/args.hpp"
#include "pyglue/buffer.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/function.hpp"
#include "pyglue/numpy.hpp"
#include "pyglue/objects.hpp"
#include "trevane/followups.hpp"
#include "trevane/ledger_arrays.hpp"

namespace zelvor::trevane {

namespace {

constexpr glue::ElementType int32_element{"int32_t", 'I', 4};
constexpr glue::ElementType uint8_element{"uint8_t", 'U', 1};

constexpr std::size_t n_params = 10;
constexpr std::array<const char*, n_params> excursions_params{
    "price_values", "close_values", "price_column", "entry_row", "exit_row",
    "flags",        "window",       "window_step",  "fee_ratio", "tax_ratio"};
constexpr glue::Signature excursions_sig{"_excursions", excursions_params, n_params};

double real(PyObject* value) {
    const double x = PyFloat_AsDouble(value);
    if (x == -1.0 && PyErr_Occurred()) throw glue::ErrorSet{};
    return x;
}

PyObject* excursions(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return glue::call_bound<n_params>(
        "zelvor.core.trevane._excursions", excursions_sig, args, nargsf, kwnames,
        [&](const std::array<PyObject*, n_params>& arg) -> PyObject* {
            const glue::Buffer price_buffer = glue::Buffer::acquire(arg[0], 2, glue::float64_element);
            const glue::Buffer close_buffer = glue::Buffer::acquire(arg[1], 2, glue::float64_element);
            const glue::Buffer column_buffer = glue::Buffer::acquire(arg[2], 1, int32_element);
            const glue::Buffer entry_buffer = glue::Buffer::acquire(arg[3], 1, int32_element);
            const glue::Buffer exit_buffer = glue::Buffer::acquire(arg[4], 1, int32_element);
            const glue::Buffer flags_buffer = glue::Buffer::acquire(arg[5], 1, uint8_element);
            const numeric::Strided2D price = price_buffer.matrix();
            const numeric::Strided2D close = close_buffer.matrix();
            const auto column = column_buffer.vector<std::int32_t>();
            const auto entry = entry_buffer.vector<std::int32_t>();
            const auto exit = exit_buffer.vector<std::int32_t>();
            const auto flags = flags_buffer.vector<std::uint8_t>();
            if (entry.size != column.size || exit.size != column.size || flags.size != column.size) {
                glue::raise(PyExc_ValueError, "price_column, entry_row, exit_row and flags differ in length");
            }
            const excursion::Settings settings{glue::to_int32(arg[6]), glue::to_int32(arg[7]), real(arg[8]),
                                               real(arg[9])};

            // The four columns are of one length (checked above), so every k below is in range; the
            // analyser checks each row and column it reads against the two matrices.
            std::vector<double> stats;
            std::int64_t length = 0;
            std::exception_ptr failure;
            Py_BEGIN_ALLOW_THREADS;
            try {
                excursion::Analyzer analyzer;
                for (std::int64_t k = 0; k < column.size; ++k) {
                    const excursion::Trade trade = followed_trade(column[k], entry[k], exit[k], flags[k]);
                    length = append_excursions(analyzer, price, close, trade, settings, stats);
                }
            } catch (...) {
                failure = std::current_exception();
            }
            Py_END_ALLOW_THREADS;
            if (failure) std::rethrow_exception(failure);

            const npy_intp shape[2] = {static_cast<npy_intp>(column.size), static_cast<npy_intp>(length)};
            return adopt_doubles(std::move(stats), 2, shape).release();
        });
}

}  // namespace

PyMethodDef excursions_def =
    glue::method("_excursions", excursions,
                 "_excursions($module, /, price_values, close_values, price_column, entry_row, exit_row, flags,\n"
                 "    window, window_step, fee_ratio, tax_ratio)\n--\n\n"
                 "Private. The excursion statistics of the trades a _run_native call with excursions=False left\n"
                 "to follow (called with its followups as keyword arguments), as a float64 array of one row per\n"
                 "trade: the window groups, then the exit group. Bit for bit what the run would have computed had\n"
                 "it followed them, and the same exception where it would have failed. Runs without the\n"
                 "interpreter lock.");

}  // namespace zelvor::trevane
