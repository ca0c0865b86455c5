#include "pyglue/args.hpp"

#include <cstring>

#include "pyglue/errors.hpp"

namespace zelvor::glue {

namespace {

[[noreturn]] void raise_count(const Signature& sig, Py_ssize_t found) {
    const Py_ssize_t n_max = static_cast<Py_ssize_t>(sig.params.size());
    const bool exact = sig.n_required == n_max;
    Py_ssize_t expected = found < sig.n_required ? sig.n_required : n_max;
    const char* more_or_less = found < sig.n_required ? "at least" : "at most";
    if (exact) more_or_less = "exactly";
    raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", sig.name, more_or_less,
                 expected, expected == 1 ? "" : "s", found);
}

// Index of the parameter called `key`, or -1.
Py_ssize_t find_param(const Signature& sig, PyObject* key) {
    for (size_t i = 0; i < sig.params.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

}  // namespace

void bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** out) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t n_params = static_cast<Py_ssize_t>(sig.params.size());
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < n_params; ++i) out[i] = nullptr;

    if (nkw == 0) {
        if (nargs < sig.n_required || nargs > n_params) raise_count(sig, nargs);
        for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
        return;
    }
    if (nargs > n_params) raise_count(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

    // Keywords naming parameters not given by position fill them first; a required parameter still
    // missing then reports how many leading required ones were supplied, before any keyword problem.
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) continue;
        const Py_ssize_t index = find_param(sig, key);
        if (index >= nargs) out[index] = args[nargs + k];
    }
    for (Py_ssize_t i = nargs; i < sig.n_required; ++i) {
        if (out[i] == nullptr) raise_count(sig, i);
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) raise_format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
        const Py_ssize_t index = find_param(sig, key);
        if (index < 0) {
            raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
        }
        if (index < nargs) {
            raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.name, key);
        }
    }
}

void bind_no_arguments(const char* name, Py_ssize_t nargsf, PyObject* kwnames) {
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        raise_format(PyExc_TypeError, "%.200s() takes no keyword arguments", name);
    }
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs != 0) raise_format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", name, nargs);
}

void check_arg_type(PyObject* obj, PyTypeObject* type, const char* param) {
    if (obj == Py_None || PyObject_TypeCheck(obj, type)) return;
    raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 type->tp_name, Py_TYPE(obj)->tp_name);
}

void check_not_none(PyObject* obj, const char* param) {
    if (obj == Py_None) raise_format(PyExc_TypeError, "Argument '%.200s' must not be None", param);
}

}  // namespace zelvor::glue
