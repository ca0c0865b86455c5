// The recorder's five entry points, published in the module's `__pyx_capi__` table under the
// signature texts of quelmo/recorder_api.hpp. Each reports a failure by leaving a Python error set
// (end_analysis also returns NULL then), with a traceback entry naming it.
#pragma once

#include <map>

#include "pyglue/numpy.hpp"

namespace zelvor::quelmo {

void start_analysis(PyArrayObject* price_values, PyArrayObject* close_values, std::map<int, int> columns, int n,
                    double fee, double tax, int window_rows, int step);
void record_date(int row);
void record_entry(int sid, double size, int transaction);
void record_exit(int sid, int transaction);
PyObject* end_analysis(std::map<int, double>& positions);

}  // namespace zelvor::quelmo
