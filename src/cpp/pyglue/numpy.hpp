// Gatekeeper for NumPy's C interface: every file includes this instead of NumPy's headers.
// The build sets PY_ARRAY_UNIQUE_SYMBOL per module and the interface level (NPY_TARGET_VERSION,
// NPY_NO_DEPRECATED_API). Only the file that defines ZELVOR_IMPORT_NUMPY before including this
// owns the API table and calls `import_numpy()` during module initialisation.
#pragma once

#include "pyglue/python.hpp"

#ifndef ZELVOR_IMPORT_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

namespace zelvor::glue {

#ifdef ZELVOR_IMPORT_NUMPY
// Loads NumPy's C interface; returns -1 with an ImportError (or the layout error) set on failure.
inline int import_numpy() {
    import_array1(-1);
    return 0;
}
#endif

}  // namespace zelvor::glue
