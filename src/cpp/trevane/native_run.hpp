// The engine's second host: runs a backtest over inputs prepared once, without a Python call and
// without the interpreter lock from the first row to the last, and returns every result of the run
// (equity, trades with their excursion statistics, fills, end-of-run weights and actions) in one
// dict of NumPy arrays. Nothing is kept in module state: concurrent calls share only the prepared,
// read-only inputs.
#pragma once

#include "pyglue/python.hpp"

namespace zelvor::trevane {

// _prepare_native(...) and _run_native(inputs, ...), registered by module.cpp.
extern PyMethodDef prepare_native_def;
extern PyMethodDef run_native_def;

// _run_native's docstring, its text signature made from backtest_'s parameter table; set on
// run_native_def before the module adds it.
const char* run_native_docstring();

}  // namespace zelvor::trevane
