// Element access on the recorder's per-column arrays, with the host's indexing rules: a negative
// index counts from the end, and an index outside the array is NumPy's IndexError. Arrays of the
// layout the recorder creates are read and written directly; any other array (a binder may have
// put one in place) goes through the array's own indexing.
#pragma once

#include "pyglue/numpy.hpp"
#include "pyglue/ref.hpp"

namespace zelvor::quelmo {

// a[index] as the array's own scalar (an integer or float64 NumPy scalar).
glue::Ref integer_item(PyArrayObject* a, int index);
glue::Ref real_item(PyArrayObject* a, int index);

// int(a[index]) for the integer arrays.
int int_item(PyArrayObject* a, int index);

// The truth of a[index] > 0 for the size array.
bool is_positive(PyArrayObject* a, int index);

// a[index] = value
void set_int_item(PyArrayObject* a, int index, int value);
void set_real_item(PyArrayObject* a, int index, double value);

}  // namespace zelvor::quelmo
