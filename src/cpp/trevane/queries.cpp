// The Python-visible query functions of zelvor.core.trevane: normalize_weight, get_trade_stocks,
// get_stock_operations and ioft. They work on Python objects throughout, so callers' own number
// types (ints, NumPy scalars) and indexing rules (negative indices) behave as they would in Python.
#include <array>
#include <utility>

#include "pyglue/args.hpp"
#include "pyglue/buffer.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/function.hpp"
#include "pyglue/objects.hpp"
#include "trevane/module_state.hpp"

namespace zelvor::trevane {

using glue::Ref;

namespace {

using glue::compare;
using glue::for_each;
using glue::get_index;
using glue::get_item;
using glue::set_item;
using glue::truth;

// The modules the queries reach through the namespace, and the recorder's result lists.
struct Names {
    glue::Name quelmo{"quelmo"};
    glue::Name datetime{"datetime"};
    glue::Name trades{"trades"};
    glue::Name trade_positions{"trade_positions"};
};
constinit Names names;

// One (key, value) pair of a generic items() result: a 2-tuple, or any iterable of exactly two.
Ref pair_key(PyObject* item) {
    if (PyTuple_CheckExact(item)) {
        const Py_ssize_t size = PyTuple_GET_SIZE(item);
        if (size > 2) glue::raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
        if (size < 2) {
            glue::raise_format(PyExc_ValueError, "need more than %zd value%.1s to unpack", size, size == 1 ? "" : "s");
        }
        return Ref::borrow(PyTuple_GET_ITEM(item, 0));
    }
    Ref iterator = glue::check(PyObject_GetIter(item));
    std::array<Ref, 2> parts;
    for (Py_ssize_t k = 0; k < 2; ++k) {
        parts[k] = Ref::steal(PyIter_Next(iterator.get()));
        if (!parts[k]) {
            glue::check_pending();
            glue::raise_format(PyExc_ValueError, "need more than %zd value%.1s to unpack", k, k == 1 ? "" : "s");
        }
    }
    if (Ref extra = Ref::steal(PyIter_Next(iterator.get()))) {
        glue::raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    }
    glue::check_pending();
    return std::move(parts[0]);
}

// Calls `visit(key)` for every key of `weights` as its items() yields them; an exact dict is walked
// directly (and may not change size meanwhile).
template <class Visit>
void for_each_item_key(PyObject* weights, Visit&& visit) {
    if (weights == Py_None) {
        glue::raise_format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "items");
    }
    if (PyDict_CheckExact(weights)) {
        const Py_ssize_t length = PyDict_GET_SIZE(weights);
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        for (;;) {
            if (PyDict_GET_SIZE(weights) != length) {
                glue::raise(PyExc_RuntimeError, "dictionary changed size during iteration");
            }
            if (!PyDict_Next(weights, &position, &key, &value)) break;
            Ref held = Ref::borrow(key);  // the visit may replace the value, never the key
            visit(held.get());
        }
        return;
    }
    Ref items = glue::check(PyObject_CallMethod(weights, "items", nullptr));
    for_each(items.get(), [&](PyObject* item) {
        Ref key = pair_key(item);
        visit(key.get());
    });
}

// ---- normalize_weight(weights, position_limit) ----

constexpr std::array<const char*, 2> normalize_weight_params{"weights", "position_limit"};
constexpr glue::Signature normalize_weight_sig{"normalize_weight", normalize_weight_params, 2};

PyObject* normalize_weight(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return glue::call_bound<2>("zelvor.core.trevane.normalize_weight", normalize_weight_sig, args, nargsf, kwnames,
                               [&](const auto& arg) -> PyObject* {
                                   PyObject* const weights = arg[0];
                                   PyObject* const limit = arg[1];

                                   Ref weight_sum = glue::check(PyFloat_FromDouble(0.0));
                                   for_each_item_key(weights, [&](PyObject* sid) {
                                       Ref w = get_item(weights, sid);
                                       Ref magnitude = glue::check(PyNumber_Absolute(w.get()));
                                       weight_sum = glue::check(PyNumber_InPlaceAdd(weight_sum.get(), magnitude.get()));
                                   });

                                   // Scale down only: a gross weight of 1 or less (or NaN) is left as it is.
                                   Ref one = glue::check(PyLong_FromLong(1));
                                   for_each(weights, [&](PyObject* sid) {
                                       if (!compare(weight_sum.get(), one.get(), Py_GT)) return;
                                       Ref reciprocal = glue::check(PyNumber_TrueDivide(one.get(), weight_sum.get()));
                                       Ref w = get_item(weights, sid);
                                       Ref scaled = glue::check(PyNumber_InPlaceMultiply(w.get(), reciprocal.get()));
                                       set_item(weights, sid, scaled.get());
                                   });

                                   // Clip to the very limit object the caller passed.
                                   for_each(weights, [&](PyObject* sid) {
                                       Ref w = get_item(weights, sid);
                                       if (compare(w.get(), limit, Py_GT)) {
                                           set_item(weights, sid, limit);
                                           return;
                                       }
                                       w = get_item(weights, sid);
                                       Ref negative = glue::check(PyNumber_Negative(limit));
                                       if (compare(w.get(), negative.get(), Py_LT))
                                           set_item(weights, sid, negative.get());
                                   });
                                   return Ref::borrow(weights).release();
                               });
}

// ---- get_trade_stocks(pos_columns, price_index, touched_exit) ----

constexpr std::array<const char*, 3> get_trade_stocks_params{"pos_columns", "price_index", "touched_exit"};
constexpr glue::Signature get_trade_stocks_sig{"get_trade_stocks", get_trade_stocks_params, 3};

// One nine-element row for trade record `record`, trade number `number`.
Ref trade_row(PyObject* record, Py_ssize_t number, PyObject* pos_columns, PyObject* price_index, bool touched_exit) {
    Ref minus_one = glue::check(PyLong_FromLong(-1));
    Ref one = glue::check(PyLong_FromLong(1));
    auto date_before = [&](PyObject* row) {  // price_index[row - 1]
        Ref previous = glue::check(PyNumber_Subtract(row, one.get()));
        return get_item(price_index, previous.get());
    };

    std::array<Ref, 9> cell;
    Ref column = get_index(record, 0);
    cell[0] = get_item(pos_columns, column.get());
    Ref entry_row = get_index(record, 1);
    Ref exit_row = get_index(record, 2);
    const bool closed = compare(exit_row.get(), minus_one.get(), Py_NE);
    cell[1] = get_item(price_index, entry_row.get());
    cell[2] = closed ? get_item(price_index, exit_row.get()) : minus_one.copy();
    cell[3] = date_before(entry_row.get());
    if (closed) {
        // The exit signal comes a row before the exit unless the exit fills within its own row.
        cell[4] = touched_exit ? get_item(price_index, exit_row.get()) : date_before(exit_row.get());
    } else {
        cell[4] = minus_one.copy();
    }
    {
        Ref recorder = namespace_lookup(names.quelmo);
        Ref positions = glue::check(PyObject_GetAttr(recorder.get(), names.trade_positions.get()));
        cell[5] = get_index(positions.get(), number);
    }
    if (closed) {
        cell[6] = glue::check(PyNumber_Subtract(exit_row.get(), entry_row.get()));
    } else {
        // Still open: held until the end of the price rows.
        const Py_ssize_t n_rows = PyObject_Length(price_index);
        if (n_rows < 0) throw glue::ErrorSet{};
        Ref length = glue::check(PyLong_FromSsize_t(n_rows));
        cell[6] = glue::check(PyNumber_Subtract(length.get(), entry_row.get()));
    }
    cell[7] = std::move(entry_row);
    cell[8] = std::move(exit_row);

    Ref row = glue::check(PyList_New(9));
    for (Py_ssize_t k = 0; k < 9; ++k) PyList_SET_ITEM(row.get(), k, cell[k].release());
    return row;
}

PyObject* get_trade_stocks(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return glue::call_bound<3>("zelvor.core.trevane.get_trade_stocks", get_trade_stocks_sig, args, nargsf, kwnames,
                               [&](const auto& arg) -> PyObject* {
                                   PyObject* const pos_columns = arg[0];
                                   PyObject* const price_index = arg[1];
                                   const bool touched_exit = truth(arg[2]);

                                   glue::check_arg_type(pos_columns, &PyArray_Type, "pos_columns");
                                   glue::check_arg_type(price_index, &PyArray_Type, "price_index");
                                   // Only the shapes and element types are checked; the values are read by Python
                                   // indexing.
                                   glue::Buffer labels;
                                   if (pos_columns != Py_None)
                                       labels = glue::Buffer::acquire(pos_columns, 1, glue::label_element);
                                   glue::Buffer dates;
                                   if (price_index != Py_None)
                                       dates = glue::Buffer::acquire(price_index, 1, glue::int64_element);

                                   Ref rows = glue::check(PyList_New(0));
                                   Ref recorder = namespace_lookup(names.quelmo);
                                   Ref trades = glue::check(PyObject_GetAttr(recorder.get(), names.trades.get()));
                                   Py_ssize_t number = 0;
                                   for_each(trades.get(), [&](PyObject* record) {
                                       Ref row = trade_row(record, number, pos_columns, price_index, touched_exit);
                                       glue::check_status(PyList_Append(rows.get(), row.get()));
                                       ++number;
                                   });

                                   PyObject* operations =
                                       state.stock_operations ? state.stock_operations.get() : Py_None;
                                   return glue::check(PyTuple_Pack(2, rows.get(), operations)).release();
                               });
}

// ---- get_stock_operations() ----

PyObject* get_stock_operations(PyObject*, PyObject* const*, Py_ssize_t nargsf, PyObject* kwnames) {
    return glue::guarded<PyObject*>("zelvor.core.trevane.get_stock_operations", nullptr, [&]() -> PyObject* {
        glue::bind_no_arguments("get_stock_operations", nargsf, kwnames);
        if (!state.stock_operations) {
            glue::raise_format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "copy");
        }
        return glue::check(PyDict_Copy(state.stock_operations.get())).release();
    });
}

// ---- ioft(v) ----

constexpr std::array<const char*, 1> ioft_params{"v"};
constexpr glue::Signature ioft_sig{"ioft", ioft_params, 1};

PyObject* ioft(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return glue::call_bound<1>(
        "zelvor.core.trevane.ioft", ioft_sig, args, nargsf, kwnames, [&](const auto& arg) -> PyObject* {
            PyObject* const v = arg[0];
            Ref module = namespace_lookup(names.datetime);
            Ref type = glue::check(PyObject_GetAttrString(module.get(), "datetime"));
            Ref fromtimestamp = glue::check(PyObject_GetAttrString(type.get(), "fromtimestamp"));
            // Python's own true division: ints convert to the nearest double, NumPy scalars divide themselves.
            Ref billion = glue::check(PyFloat_FromDouble(1e9));
            Ref seconds = glue::check(PyNumber_TrueDivide(v, billion.get()));
            return glue::check(PyObject_CallOneArg(fromtimestamp.get(), seconds.get())).release();
        });
}

}  // namespace

PyMethodDef get_stock_operations_def =
    glue::method("get_stock_operations", get_stock_operations,
                 "get_stock_operations($module, /)\n--\n\n"
                 "Return a shallow copy of the last run's operations record: \"actions\", \"weights\",\n"
                 "\"next_weights\", \"weight_time\" and \"next_weight_time\" (empty before the first run).");

PyMethodDef normalize_weight_def =
    glue::method("normalize_weight", normalize_weight,
                 "normalize_weight($module, /, weights, position_limit)\n--\n\n"
                 "Scale the mapping's weights down so their absolute values add up to at most 1, then clip each\n"
                 "to +/-position_limit. Changes `weights` in place and returns it.");

PyMethodDef ioft_def =
    glue::method("ioft", ioft,
                 "ioft($module, /, v)\n--\n\n"
                 "Return datetime.datetime.fromtimestamp(v / 1e9): a nanosecond timestamp as a local date-time.");

PyMethodDef get_trade_stocks_def =
    glue::method("get_trade_stocks", get_trade_stocks,
                 "get_trade_stocks($module, /, pos_columns, price_index, touched_exit)\n--\n\n"
                 "Return (rows, stock_operations): one row per recorded trade, [stock, entry date, exit date,\n"
                 "entry signal date, exit signal date, position, period, entry row, exit row], with -1 for the\n"
                 "exit fields of a trade still open; and the last run's operations record itself.");

}  // namespace zelvor::trevane
