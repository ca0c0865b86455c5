// Argument binding for METH_FASTCALL | METH_KEYWORDS functions, by position or keyword, with the
// wording this system's callers expect ("takes at least 11 positional arguments (1 given)", ...).
#pragma once

#include <span>

#include "pyglue/python.hpp"

namespace zelvor::glue {

struct Signature {
    const char* name;                     // function name used in the messages
    std::span<const char* const> params;  // parameter names, in positional order
    Py_ssize_t n_required;                // leading parameters without a default
};

// Fills `out[0 .. params.size())` with borrowed references (nullptr where a parameter with a
// default was not given). Throws ErrorSet with the TypeError set on a binding error.
void bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** out);

// For functions without parameters.
void bind_no_arguments(const char* name, Py_ssize_t nargsf, PyObject* kwnames);

// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)" unless `obj` is None or an
// instance of `type`.
void check_arg_type(PyObject* obj, PyTypeObject* type, const char* param);

// "Argument '%.200s' must not be None".
void check_not_none(PyObject* obj, const char* param);

}  // namespace zelvor::glue
