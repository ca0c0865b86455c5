// The engine's tables as Python sees them, for the Python layer to derive its own from.
#pragma once

#include "pyglue/python.hpp"

namespace zelvor::trevane {

// Adds to module `m` the private tuples
//   _PARAMETERS: per backtest_ parameter, in order, (name, kind, default): kind one of "array", "real",
//                "truth", "int32", "object", "optional_buffer"; default None for the arrays, the value
//                an omitted argument takes otherwise (`infinity` for the infinite ones);
//   _REASONS:    the names of the ledger's exit and fill reason codes, in code order;
//   _ACTIONS:    the names of the next-period action codes, in code order.
void add_tables(PyObject* m, double infinity);

}  // namespace zelvor::trevane
