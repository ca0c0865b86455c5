// Python-visible functions (METH_FASTCALL | METH_KEYWORDS): the body of one, run behind the
// exception firewall with its arguments bound, and its method definition.
#pragma once

#include <array>
#include <cstddef>

#include "pyglue/args.hpp"
#include "pyglue/errors.hpp"

namespace zelvor::glue {

using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Binds a call's arguments to the N parameters of `sig` and returns `body(arg)`, with arg[i]
// borrowed (nullptr where a parameter with a default was not given). Any failure becomes a pending
// Python error with a traceback entry naming `dotted_name`, and NULL is returned.
template <std::size_t N, class Body>
PyObject* call_bound(const char* dotted_name, const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames, Body&& body) noexcept {
    return guarded<PyObject*>(dotted_name, nullptr, [&]() -> PyObject* {
        std::array<PyObject*, N> arg{};
        bind_arguments(sig, args, nargsf, kwnames, arg.data());
        return body(arg);
    });
}

// The method definition of `function`; `doc` starts with the text signature ("name($module, /, ...)\n--\n\n").
inline PyMethodDef method(const char* name, FastcallFunction function, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)), METH_FASTCALL | METH_KEYWORDS,
            doc};
}

}  // namespace zelvor::glue
