// The recorder's state: one per process, started afresh by every start_analysis, and the lookups in
// the module's namespace that the entry points share.
#pragma once

#include <map>

#include "core/excursion.hpp"
#include "pyglue/numpy.hpp"
#include "pyglue/objects.hpp"
#include "pyglue/ref.hpp"

namespace zelvor::quelmo {

using ArrayRef = glue::OwnedRef<PyArrayObject>;

struct RecorderState {
    ArrayRef price;                // trading prices [price row, price column]: the caller's array
    ArrayRef close;                // closes, same layout
    std::map<int, int> pos2price;  // position column -> price column
    int window = 0;
    int window_step = 0;
    int date = 0;                // the price row being simulated
    ArrayRef entry;              // per position column: entry row of the current trade
    ArrayRef position;           // per position column: size of the current trade
    ArrayRef entry_trasnaction;  // per position column: 1 when the entry paid the fee
    double fee_ratio = 0.0;
    double tax_ratio = 0.0;
    glue::Ref globals;             // the module's namespace, where the result lists are looked up
    excursion::Analyzer analyzer;  // its tracks are reused by every trade
};

extern RecorderState state;  // defined in state.cpp

// The module's result lists, by their attribute names.
inline constinit glue::Name trades_name{"trades"};
inline constinit glue::Name trade_positions_name{"trade_positions"};
inline constinit glue::Name quelmo_name{"quelmo"};

// A module-level name, as the module's own code sees it: the namespace first, then the built-ins.
inline glue::Ref global(const glue::Name& name) { return glue::lookup_global(state.globals.get(), name); }

// The result lists, looked up for every trade: remembered while the namespace is unchanged.
inline constinit glue::GlobalSlot trades_slot{trades_name};
inline constinit glue::GlobalSlot trade_positions_slot{trade_positions_name};
inline constinit glue::GlobalSlot quelmo_slot{quelmo_name};

inline glue::Ref global(glue::GlobalSlot& slot) { return slot.get(state.globals.get()); }

// A list's own append; any other object's `append` method.
void append(PyObject* target, PyObject* value);

// org_np.zeros(shape, dtype=dtype) and org_np.zeros(n, dtype=dtype), each of which must give an array
// (TypeError "Cannot convert ... to numpy.ndarray" otherwise).
ArrayRef zeros(PyObject* shape, PyObject* dtype);
ArrayRef zeros(int n, PyTypeObject* dtype);

// Only arrays may be held where the recorder keeps an array reference.
void require_array(PyObject* obj);

}  // namespace zelvor::quelmo
