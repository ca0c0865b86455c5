#include "pyglue/errors.hpp"

#include <cstdarg>
#include <new>
#include <string>
#include <unordered_map>

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

namespace {

// The pending error, taken out of the interpreter while a traceback entry is built (no C-API call
// may run with an error pending) and set again afterwards. Since 3.12 a pending error is one
// exception object; before, it is a (type, value, traceback) triple, possibly not yet normalised.
class HeldError {
public:
    HeldError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        exception_ = Ref::steal(PyErr_GetRaisedException());
#else
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        type_ = Ref::steal(type);
        value_ = Ref::steal(value);
        traceback_ = Ref::steal(traceback);
#endif
    }
    HeldError(const HeldError&) = delete;
    HeldError& operator=(const HeldError&) = delete;

    // Sets the held error pending again, replacing any other; it stays held, so this may be repeated.
    void set_pending() const noexcept {
        PyErr_Clear();
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(Py_NewRef(exception_.get()));
#else
        PyErr_Restore(Py_XNewRef(type_.get()), Py_XNewRef(value_.get()), Py_XNewRef(traceback_.get()));
#endif
    }

private:
#if PY_VERSION_HEX >= 0x030C0000
    Ref exception_;
#else
    Ref type_;
    Ref value_;
    Ref traceback_;
#endif
};

// One code object per entry name: code objects are immutable, so every entry of a name shares one,
// kept for the life of the process like the modules' other references.
Ref entry_code(const char* dotted_name) {
    static std::unordered_map<std::string, Ref> codes;
    Ref& code = codes[dotted_name];
    if (!code) code = check(reinterpret_cast<PyObject*>(PyCode_NewEmpty("<native>", dotted_name, 0)));
    return code.copy();
}

// A frame standing for the native function `dotted_name`, with empty globals of its own.
Ref entry_frame(const char* dotted_name) {
    Ref code = entry_code(dotted_name);
    Ref globals = check(PyDict_New());
    auto* frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals.get(), nullptr);
    return check(reinterpret_cast<PyObject*>(frame));
}

}  // namespace

void add_traceback(const char* dotted_name) noexcept {
    if (!PyErr_Occurred()) return;
    const HeldError error;
    // The entry only names where the error passed: when it cannot be made (no memory), the caller
    // still gets the original error, without the entry.
    Ref frame;
    try {
        frame = entry_frame(dotted_name);
    } catch (...) {
        // set_pending() below drops the failure
    }
    error.set_pending();
    if (frame && PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get())) < 0) error.set_pending();
}

}  // namespace zelvor::glue
