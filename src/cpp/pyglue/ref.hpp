// An owned reference to a Python object. Built only through named constructors, so each use
// says what happens to the count: `steal` takes over a new reference, `borrow` adds one.
#pragma once

#include "pyglue/python.hpp"

namespace zelvor::glue {

class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    // Module-level references are destroyed at process exit, after the interpreter has finalised:
    // there is nothing left to release them to then.
    ~Ref() {
        if (p_ != nullptr && Py_IsInitialized()) Py_DECREF(p_);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference on to a caller that takes ownership (a return value, a stealing API).
    [[nodiscard]] PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    Ref copy() const noexcept { return borrow(p_); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace zelvor::glue
