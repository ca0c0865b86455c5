// The exception firewall between C++ and the interpreter.
//
// Inside the glue, a failed C-API call throws `ErrorSet` (the Python error is already set); the
// numeric core throws numeric::Error, which carries the Python exception kind and message. Each
// entry point has exactly one `catch (...)`, through `guarded`, that makes the failure a pending
// Python error named in the traceback and returns NULL (or -1, or -1.0 where that is the convention).
#pragma once

#include <utility>

#include "core/errors.hpp"
#include "pyglue/ref.hpp"

namespace zelvor::glue {

// Thrown when a Python error is set: code between the failing call and the entry point only unwinds.
// The numeric core passes it through untouched (it never sees this type).
struct ErrorSet {};

// Throws ErrorSet when a C-API call returned NULL; otherwise owns the new reference.
inline Ref check(PyObject* new_reference) {
    if (new_reference == nullptr) throw ErrorSet{};
    return Ref::steal(new_reference);
}

// Throws ErrorSet when a C-API call returned a negative status.
inline int check_status(int status) {
    if (status < 0) throw ErrorSet{};
    return status;
}

// Throws ErrorSet when an error is pending (after calls that report failure only that way).
inline void check_pending() {
    if (PyErr_Occurred()) throw ErrorSet{};
}

// Raises `type` with `message` and throws ErrorSet.
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

// In a `catch (...)`: makes sure the exception in flight is a pending Python error
// (numeric::Error and std::bad_alloc are translated; ErrorSet is already set).
void set_error_from_current() noexcept;

// Adds a traceback entry naming `dotted_name` (for example "zelvor.core.quelmo.record_exit")
// to the pending exception. The one place traceback entries are made.
void add_traceback(const char* dotted_name) noexcept;

// In a `catch (...)`: the exception in flight becomes a pending Python error with a traceback entry
// naming `dotted_name`, the function it passed through.
inline void record_failure(const char* dotted_name) noexcept {
    set_error_from_current();
    add_traceback(dotted_name);
}

// Runs `body` as the body of a Python entry point: any failure becomes a pending Python error with
// a traceback entry for `dotted_name`, and `failed` is returned.
template <class Result, class Body>
Result guarded(const char* dotted_name, Result failed, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        record_failure(dotted_name);
        return failed;
    }
}

}  // namespace zelvor::glue
