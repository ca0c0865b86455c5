#include "quelmo/elements.hpp"

#include <cstdint>
#include <cstring>

#include "pyglue/errors.hpp"
#include "pyglue/objects.hpp"

namespace zelvor::quelmo {

using glue::check;
using glue::Ref;

namespace {

enum class Kind { integer, real };

// Whether element access may bypass the host: one dimension, native and aligned, and the element
// type the recorder created the array with.
bool direct(PyArrayObject* a, Kind kind, bool for_write) {
    if (PyArray_NDIM(a) != 1 || !PyArray_ISALIGNED(a) || !PyArray_ISNOTSWAPPED(a)) return false;
    if (for_write && !PyArray_ISWRITEABLE(a)) return false;
    if (kind == Kind::integer) return PyArray_ISSIGNED(a) && PyArray_ITEMSIZE(a) == sizeof(std::int64_t);
    return PyArray_TYPE(a) == NPY_DOUBLE;
}

// Address of element `index` (negative counts from the end), or NumPy's IndexError.
char* element(PyArrayObject* a, Py_ssize_t index) {
    const npy_intp size = PyArray_DIM(a, 0);
    const npy_intp i = index < 0 ? index + size : index;
    if (i < 0 || i >= size) {
        glue::raise_format(PyExc_IndexError, "index %zd is out of bounds for axis %d with size %zd", index, 0,
                           static_cast<Py_ssize_t>(size));
    }
    return PyArray_BYTES(a) + i * PyArray_STRIDE(a, 0);
}

PyObject* as_object(PyArrayObject* a) { return reinterpret_cast<PyObject*>(a); }

void host_set_item(PyArrayObject* a, int index, Ref value) {
    Ref key = check(PyLong_FromLong(index));
    glue::set_item(as_object(a), key.get(), value.get());
}

// The array's own scalar of the element at `at`, made the way NumPy makes it (the scalar type's
// allocator, then the value) without NumPy's general conversion path: one trade record needs two of
// these, so the general path's type dispatch shows in long runs.
template <class Scalar, class Value>
Ref new_scalar(PyTypeObject* type, const char* at) {
    Ref scalar = check(type->tp_alloc(type, 0));
    Value value;
    std::memcpy(&value, at, sizeof value);
    reinterpret_cast<Scalar*>(scalar.get())->obval = value;
    return scalar;
}

Ref item(PyArrayObject* a, int index, Kind kind) {
    if (!direct(a, kind, false)) return glue::get_index(as_object(a), index);
    const char* at = element(a, index);
    PyTypeObject* const type = PyArray_DESCR(a)->typeobj;
    if (type == &PyDoubleArrType_Type) return new_scalar<PyDoubleScalarObject, npy_double>(type, at);
    if constexpr (sizeof(npy_long) == sizeof(std::int64_t)) {
        if (type == &PyLongArrType_Type) return new_scalar<PyLongScalarObject, npy_long>(type, at);
    }
    if (type == &PyLongLongArrType_Type) return new_scalar<PyLongLongScalarObject, npy_longlong>(type, at);
    return check(PyArray_Scalar(const_cast<char*>(at), PyArray_DESCR(a), as_object(a)));
}

}  // namespace

Ref integer_item(PyArrayObject* a, int index) { return item(a, index, Kind::integer); }

Ref real_item(PyArrayObject* a, int index) { return item(a, index, Kind::real); }

int int_item(PyArrayObject* a, int index) {
    if (direct(a, Kind::integer, false))
        return glue::to_int32(*reinterpret_cast<const std::int64_t*>(element(a, index)));
    return glue::to_int32(glue::get_index(as_object(a), index).get());
}

bool is_positive(PyArrayObject* a, int index) {
    if (direct(a, Kind::real, false)) return *reinterpret_cast<const double*>(element(a, index)) > 0;
    Ref value = glue::get_index(as_object(a), index);
    Ref zero = check(PyLong_FromLong(0));
    return glue::compare(value.get(), zero.get(), Py_GT);
}

void set_int_item(PyArrayObject* a, int index, int value) {
    if (direct(a, Kind::integer, true)) {
        *reinterpret_cast<std::int64_t*>(element(a, index)) = value;
        return;
    }
    host_set_item(a, index, check(PyLong_FromLong(value)));
}

void set_real_item(PyArrayObject* a, int index, double value) {
    if (direct(a, Kind::real, true)) {
        *reinterpret_cast<double*>(element(a, index)) = value;
        return;
    }
    host_set_item(a, index, check(PyFloat_FromDouble(value)));
}

}  // namespace zelvor::quelmo
