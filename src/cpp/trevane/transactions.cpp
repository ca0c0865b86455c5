// get_transactions(): the last run's fill log as NumPy arrays.
#include <cstdint>
#include <cstring>
#include <vector>

#include "pyglue/args.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/function.hpp"
#include "trevane/module_state.hpp"

namespace zelvor::trevane {

namespace {

using glue::Ref;

// A new 1-D array of `n` elements of `type`, filled by `value(k)`.
template <class T, class Value>
Ref column(int type, std::size_t n, Value&& value) {
    npy_intp length = static_cast<npy_intp>(n);
    Ref array = glue::check(PyArray_EMPTY(1, &length, type, 0));
    auto* data = static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    for (std::size_t k = 0; k < n; ++k) data[k] = value(k);
    return array;
}

void put(PyObject* dict, const char* key, const Ref& value) {
    glue::check_status(PyDict_SetItemString(dict, key, value.get()));
}

Ref trades_table(const std::vector<engine::LedgerTrade>& t) {
    Ref d = glue::check(PyDict_New());
    const std::size_t n = t.size();
    put(d.get(), "sid", column<std::int64_t>(NPY_INT64, n, [&](std::size_t k) { return t[k].sid; }));
    put(d.get(), "entry_row", column<std::int64_t>(NPY_INT64, n, [&](std::size_t k) { return t[k].entry_row; }));
    put(d.get(), "exit_row", column<std::int64_t>(NPY_INT64, n, [&](std::size_t k) { return t[k].exit_row; }));
    put(d.get(), "position", column<double>(NPY_DOUBLE, n, [&](std::size_t k) { return t[k].position; }));
    put(d.get(), "entry_price", column<double>(NPY_DOUBLE, n, [&](std::size_t k) { return t[k].entry_price; }));
    put(d.get(), "exit_price", column<double>(NPY_DOUBLE, n, [&](std::size_t k) { return t[k].exit_price; }));
    put(d.get(), "basis", column<double>(NPY_DOUBLE, n, [&](std::size_t k) { return t[k].basis; }));
    put(d.get(), "pnl", column<double>(NPY_DOUBLE, n, [&](std::size_t k) { return t[k].pnl; }));
    put(d.get(), "reason",
        column<std::uint8_t>(NPY_UINT8, n, [&](std::size_t k) { return static_cast<std::uint8_t>(t[k].reason); }));
    put(d.get(), "listed", column<npy_bool>(NPY_BOOL, n, [&](std::size_t k) { return npy_bool{t[k].listed}; }));
    return d;
}

Ref fills_table(const std::vector<engine::Fill>& f) {
    Ref d = glue::check(PyDict_New());
    const std::size_t n = f.size();
    put(d.get(), "row", column<std::int64_t>(NPY_INT64, n, [&](std::size_t k) { return f[k].row; }));
    put(d.get(), "sid", column<std::int64_t>(NPY_INT64, n, [&](std::size_t k) { return f[k].sid; }));
    put(d.get(), "reason",
        column<std::uint8_t>(NPY_UINT8, n, [&](std::size_t k) { return static_cast<std::uint8_t>(f[k].reason); }));
    put(d.get(), "value_before", column<double>(NPY_DOUBLE, n, [&](std::size_t k) { return f[k].value_before; }));
    put(d.get(), "value_after", column<double>(NPY_DOUBLE, n, [&](std::size_t k) { return f[k].value_after; }));
    put(d.get(), "balance", column<double>(NPY_DOUBLE, n, [&](std::size_t k) { return f[k].balance; }));
    put(d.get(), "price", column<double>(NPY_DOUBLE, n, [&](std::size_t k) { return f[k].price; }));
    put(d.get(), "fee", column<double>(NPY_DOUBLE, n, [&](std::size_t k) { return f[k].fee; }));
    put(d.get(), "tax", column<double>(NPY_DOUBLE, n, [&](std::size_t k) { return f[k].tax; }));
    return d;
}

PyObject* get_transactions(PyObject*, PyObject* const*, Py_ssize_t nargsf, PyObject* kwnames) {
    return glue::guarded<PyObject*>("zelvor.core.trevane.get_transactions", nullptr, [&]() -> PyObject* {
        glue::bind_no_arguments("get_transactions", nargsf, kwnames);
        Ref trades = trades_table(state.fill_log.trades());
        Ref fills = fills_table(state.fill_log.fills());
        return glue::check(PyTuple_Pack(2, trades.get(), fills.get())).release();
    });
}

}  // namespace

PyMethodDef get_transactions_def =
    glue::method("get_transactions", get_transactions,
                 "get_transactions($module, /)\n--\n\n"
                 "Return (trades, fills) of the last run, two dicts of NumPy arrays.\n\n"
                 "trades, one element per trade in the recorder's order: sid, entry_row, exit_row (-1 open),\n"
                 "position, entry_price, exit_price (NaN open), basis (money put in: the value at entry plus\n"
                 "later additions), pnl (the trade's contribution to the portfolio value, costs included; open\n"
                 "trades marked at the last close),\n"
                 "reason (0 rebalance, 1 stop_loss, 2 take_profit, 3 trail_stop, 4 delisted, 5 open), listed\n"
                 "(False: a holding filled at exactly 0 by an intraday exit, a trade quelmo does not list).\n"
                 "fills, one element per change of a holding: row, sid, reason, value_before, value_after,\n"
                 "balance, price, fee, tax.");

}  // namespace zelvor::trevane
