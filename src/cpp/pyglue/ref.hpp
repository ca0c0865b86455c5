// An owned reference to a Python object. Built only through named constructors, so each use
// says what happens to the count: `steal` takes over a new reference, `borrow` adds one.
#pragma once

#include "pyglue/python.hpp"

namespace zelvor::glue {

// `T` is PyObject or an object struct of the C API (PyArrayObject, ...), so that a reference held
// for a typed slot keeps its type.
template <class T>
class OwnedRef {
public:
    OwnedRef() noexcept = default;
    static OwnedRef steal(T* p) noexcept { return OwnedRef(p); }
    static OwnedRef borrow(T* p) noexcept {
        Py_XINCREF(p);
        return OwnedRef(p);
    }

    OwnedRef(OwnedRef&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    // The old referent is released after the new one is in place, so code its release runs sees
    // the new value.
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        if (this != &other) {
            T* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    // Module-level references are destroyed at process exit, after the interpreter has finalised:
    // there is nothing left to release them to then.
    ~OwnedRef() {
        if (p_ != nullptr && Py_IsInitialized()) Py_DECREF(p_);
    }

    T* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference on to a caller that takes ownership (a return value, a stealing API).
    [[nodiscard]] T* release() noexcept {
        T* p = p_;
        p_ = nullptr;
        return p;
    }
    OwnedRef copy() const noexcept { return borrow(p_); }
    // Where the reference itself is kept, for publishing it as a variable that others read (the
    // reader sees whatever object it holds at the time).
    T** address() noexcept { return &p_; }

private:
    explicit OwnedRef(T* p) noexcept : p_(p) {}
    T* p_ = nullptr;
};

using Ref = OwnedRef<PyObject>;

}  // namespace zelvor::glue
