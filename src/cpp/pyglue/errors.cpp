#include "pyglue/errors.hpp"

#include <cstdarg>
#include <new>

namespace zelvor::glue {

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw ErrorSet{};
}

void raise_format(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw ErrorSet{};
}

namespace {

PyObject* exception_type(numeric::ErrorKind kind) {
    switch (kind) {
        case numeric::ErrorKind::index:
            return PyExc_IndexError;
        case numeric::ErrorKind::zero_division:
            return PyExc_ZeroDivisionError;
        case numeric::ErrorKind::overflow:
            return PyExc_OverflowError;
        case numeric::ErrorKind::value:
            return PyExc_ValueError;
        case numeric::ErrorKind::type:
            return PyExc_TypeError;
        case numeric::ErrorKind::memory:
            return PyExc_MemoryError;
        case numeric::ErrorKind::runtime:
            return PyExc_RuntimeError;
    }
    return PyExc_RuntimeError;
}

}  // namespace

void set_error_from_current() noexcept {
    try {
        throw;
    } catch (const ErrorSet&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
        }
    } catch (const numeric::Error& error) {
        PyErr_SetString(exception_type(error.kind), error.message.c_str());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
}

void add_traceback(const char* dotted_name) noexcept {
    if (PyErr_Occurred()) _PyTraceback_Add(dotted_name, "<native>", 0);
}

}  // namespace zelvor::glue
