// get_transactions(): the last run's fill log as NumPy arrays.
#include "pyglue/args.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/function.hpp"
#include "trevane/ledger_arrays.hpp"
#include "trevane/module_state.hpp"

namespace zelvor::trevane {

namespace {

using glue::Ref;

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
