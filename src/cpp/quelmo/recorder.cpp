// The recorder's entry points: every closed (or still open) trade adds a record, a size and a
// statistics array to the module lists `trades`, `trade_positions` and `quelmo`.
#include "quelmo/recorder.hpp"

#include <initializer_list>
#include <utility>

#include "pyglue/buffer.hpp"
#include "pyglue/errors.hpp"
#include "quelmo/elements.hpp"
#include "quelmo/state.hpp"
#include "quelmo/stats_array.hpp"

namespace zelvor::quelmo {

using glue::check;
using glue::Ref;

namespace {

constinit glue::Name clear_name{"clear"};

// A price matrix as a strided view. The recorder holds the caller's arrays, which Python code could
// still reshape or retype between calls, so their layout is looked at afresh each time.
numeric::Strided2D matrix(PyArrayObject* a, glue::Buffer& fallback) {
    if (PyArray_NDIM(a) == 2 && PyArray_TYPE(a) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(a)) {
        return {PyArray_BYTES(a), PyArray_DIM(a, 0), PyArray_DIM(a, 1), PyArray_STRIDE(a, 0), PyArray_STRIDE(a, 1)};
    }
    fallback = glue::Buffer::acquire(reinterpret_cast<PyObject*>(a), 2, glue::float64_element);
    return fallback.matrix();
}

// The statistics array of one trade; a new reference, or nullptr with the error set.
PyObject* quelmo_analysis(int sid, int entry_row, int exit_row, bool is_long, int entry_transaction,
                          int exit_transaction) {
    return glue::guarded<PyObject*>("zelvor.core.quelmo.quelmo_analysis", nullptr, [&]() -> PyObject* {
        RecorderState& r = state;
        const excursion::Trade trade{r.pos2price[sid], entry_row,         exit_row,
                                     is_long,          entry_transaction, exit_transaction};
        const excursion::Settings settings{r.window, r.window_step, r.fee_ratio, r.tax_ratio};
        glue::Buffer price_buffer;
        glue::Buffer close_buffer;
        const numeric::Strided2D price_view = matrix(r.price.get(), price_buffer);
        const numeric::Strided2D close_view = matrix(r.close.get(), close_buffer);
        r.analyzer.follow(price_view, close_view, trade, settings);

        npy_intp length = excursion::Analyzer::result_length(settings);
        Ref stats = new_stats_array(length);
        auto* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(stats.get())));
        r.analyzer.write({data, static_cast<std::size_t>(length)}, trade, settings);
        return stats.release();
    });
}

// Appends one trade to the three lists: its record [sid, entry row, `recorded_exit`], its size and
// its statistics up to the current row. Each list is looked up by name before its element is made.
void record_trade(int sid, long recorded_exit, int exit_transaction) {
    RecorderState& r = state;
    {
        Ref trades = global(trades_slot);
        Ref column = check(PyLong_FromLong(sid));
        Ref entry_row = integer_item(r.entry.get(), sid);
        Ref exit_row = check(PyLong_FromLong(recorded_exit));
        Ref record = check(PyList_New(3));
        PyList_SET_ITEM(record.get(), 0, column.release());
        PyList_SET_ITEM(record.get(), 1, entry_row.release());
        PyList_SET_ITEM(record.get(), 2, exit_row.release());
        append(trades.get(), record.get());
    }
    {
        Ref trade_positions = global(trade_positions_slot);
        append(trade_positions.get(), real_item(r.position.get(), sid).get());
    }
    Ref statistics = global(quelmo_slot);
    const int entry_row = int_item(r.entry.get(), sid);
    const bool is_long = is_positive(r.position.get(), sid);
    const int entry_transaction = int_item(r.entry_trasnaction.get(), sid);
    Ref stats = Ref::steal(quelmo_analysis(sid, entry_row, r.date, is_long, entry_transaction, exit_transaction));
    if (!stats) throw glue::ErrorSet{};
    append(statistics.get(), stats.get());
}

void check_price_array(PyArrayObject* a) {
    if (a == nullptr) glue::raise(PyExc_TypeError, "start_analysis() needs price arrays, got NULL");
    auto* obj = reinterpret_cast<PyObject*>(a);
    glue::Buffer::acquire(obj, 2, glue::float64_element);  // the checks only; released at once
    require_array(obj);
}

}  // namespace

void start_analysis(PyArrayObject* price_values, PyArrayObject* close_values, std::map<int, int> columns, int n,
                    double fee, double tax, int window_rows, int step) {
    glue::guarded<int>("zelvor.core.quelmo.start_analysis", 0, [&] {
        check_price_array(price_values);
        check_price_array(close_values);
        RecorderState& r = state;
        r.price = ArrayRef::borrow(price_values);
        r.close = ArrayRef::borrow(close_values);
        r.pos2price = std::move(columns);
        r.window = window_rows;
        r.window_step = step;
        // Emptied in place, so references to the lists taken after an earlier run see them empty.
        for (const glue::Name* name : {&trades_name, &trade_positions_name, &quelmo_name}) {
            Ref list = global(*name);
            check(PyObject_CallMethodNoArgs(list.get(), clear_name.get()));
        }
        release_spare_stats_arrays();
        r.entry = zeros(n, &PyLong_Type);
        r.position = zeros(n, &PyFloat_Type);
        r.entry_trasnaction = zeros(n, &PyLong_Type);
        r.fee_ratio = fee;
        r.tax_ratio = tax;
        return 0;
    });
}

void record_date(int row) { state.date = row; }

void record_entry(int sid, double size, int transaction) {
    glue::guarded<int>("zelvor.core.quelmo.record_entry", 0, [&] {
        RecorderState& r = state;
        set_int_item(r.entry.get(), sid, r.date);
        set_real_item(r.position.get(), sid, size);
        set_int_item(r.entry_trasnaction.get(), sid, transaction);
        return 0;
    });
}

void record_exit(int sid, int transaction) {
    glue::guarded<int>("zelvor.core.quelmo.record_exit", 0, [&] {
        record_trade(sid, state.date, transaction);
        return 0;
    });
}

PyObject* end_analysis(std::map<int, double>& positions) {
    return glue::guarded<PyObject*>("zelvor.core.quelmo.end_analysis", nullptr, [&]() -> PyObject* {
        for (const auto& [sid, value] : positions) {
            if (value == 0.0) continue;  // NaN is an open trade
            record_trade(sid, -1, 0);
        }
        release_spare_stats_arrays();
        return Py_NewRef(Py_None);
    });
}

}  // namespace zelvor::quelmo
