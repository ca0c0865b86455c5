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
    // Indexed by numeric::ErrorKind, in its order.
    static_assert(static_cast<int>(numeric::ErrorKind::runtime) == 6, "one Python exception per error kind");
    PyObject* const types[] = {PyExc_IndexError, PyExc_ZeroDivisionError, PyExc_OverflowError, PyExc_ValueError,
                               PyExc_TypeError,  PyExc_MemoryError,       PyExc_RuntimeError};
    return types[static_cast<int>(kind)];
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
