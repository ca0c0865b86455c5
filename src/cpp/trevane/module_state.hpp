// State of the zelvor.core.trevane module that outlives a single call, and the pieces of the
// module defined in separate files (the end-of-run report and the query functions).
#pragma once

#include <cstdint>

#include "core/engine.hpp"
#include "pyglue/numpy.hpp"
#include "pyglue/objects.hpp"
#include "pyglue/ref.hpp"
#include "quelmo/recorder_api.hpp"

namespace zelvor::trevane {

struct ModuleState {
    PyObject* module = nullptr;  // borrowed: the module object, alive for the interpreter's life
    glue::Ref stock_operations;  // the operations record of the last run (a dict); not an attribute
    engine::FillLog fill_log;    // the last run's fills and per-trade accounting (get_transactions)
};

extern ModuleState state;  // defined in module.cpp

// The recorder's published entry points, bound at initialisation.
struct RecorderEntries {
    PyArrayObject** entry = nullptr;
    PyArrayObject** position = nullptr;
    recorder::StartAnalysis start_analysis = nullptr;
    recorder::RecordDate record_date = nullptr;
    recorder::RecordEntry record_entry = nullptr;
    recorder::RecordExit record_exit = nullptr;
    recorder::EndAnalysis end_analysis = nullptr;
};

extern RecorderEntries recorder_entries;  // defined in module.cpp

// The module's namespace (borrowed).
inline PyObject* module_dict() { return PyModule_GetDict(state.module); }

// A name of the module's namespace, else of the built-in names, looked up at every use so that a
// rebound attribute takes effect; NameError when neither has it.
inline glue::Ref namespace_lookup(const glue::Name& name) { return glue::lookup_global(module_dict(), name); }

// What the end-of-run report reads besides the loop's outcome.
struct ReportInputs {
    PyObject* pos_values;           // the caller's array (Python indexing where the report indexes it)
    numeric::Strided2D pos_matrix;  // the same array's buffer
    numeric::Strided1D<std::int64_t> pos_index;
    double position_limit;
    PyObject* stop_trading_next_period;  // truth value taken where tested
};

// Rebuilds `state.stock_operations` from the run's outcome (replacing it first, so a failure part
// way leaves the new, partly filled dictionary). Throws glue::ErrorSet / numeric::Error.
void build_report(const engine::RunOutcome& outcome, const ReportInputs& inputs);

// Python-visible functions defined in queries.cpp, registered by module.cpp in this order:
// get_stock_operations, normalize_weight, ioft (then backtest_), then get_trade_stocks and
// get_transactions.
extern PyMethodDef get_stock_operations_def;
extern PyMethodDef normalize_weight_def;
extern PyMethodDef ioft_def;
extern PyMethodDef get_trade_stocks_def;
extern PyMethodDef get_transactions_def;  // defined in transactions.cpp

// backtest_, defined in backtest.cpp. Its infinite defaults are read from org_np.inf at initialisation;
// its docstring (text signature included) is made from its parameter table.
extern PyMethodDef backtest_def;
void set_backtest_infinity(double infinity);
const char* backtest_docstring();

}  // namespace zelvor::trevane
