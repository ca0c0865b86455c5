// The excursion recorder's published entry points: the names, the exact signature texts under
// which quelmo publishes them in its `__pyx_capi__` table, and the native types behind them.
// Shared by the publisher (quelmo) and the binder (trevane), so the two cannot drift apart.
#pragma once

#include <map>

#include "pyglue/numpy.hpp"

namespace zelvor::recorder {

using ColumnMap = std::map<int, int>;
using PositionMap = std::map<int, double>;

using StartAnalysis = void (*)(PyArrayObject*, PyArrayObject*, std::map<int, int>, int, double, double, int, int);
using RecordDate = void (*)(int);
using RecordEntry = void (*)(int, double, int);
using RecordExit = void (*)(int, int);
using EndAnalysis = PyObject* (*)(std::map<int, double>&);

inline constexpr const char* module_name = "zelvor.core.quelmo";

// Variables: each capsule points at a `PyArrayObject*` variable of the recorder.
inline constexpr const char* array_variable_sig = "PyArrayObject *";

// Functions, in the order they are published (after the variables `entry` and `position`).
inline constexpr const char* start_analysis_sig =
    "void (PyArrayObject *, PyArrayObject *, std::map<int,int> , int, double, double, int, int)";
inline constexpr const char* record_date_sig = "void (int)";
inline constexpr const char* record_entry_sig = "void (int, double, int)";
inline constexpr const char* record_exit_sig = "void (int, int)";
inline constexpr const char* end_analysis_sig = "PyObject *(std::map<int,double>  &)";

}  // namespace zelvor::recorder
