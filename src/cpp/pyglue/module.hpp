// Module life: one initialisation per process, and multi-phase module definitions.
#pragma once

#include "pyglue/python.hpp"

namespace zelvor::glue {

// Keeps the module object of an extension once its initialisation has completed. A later import
// gets the same object back; executing the definition on a different module object is refused with
// RuntimeError "Module '<short name>' has already been imported. Re-initialisation is not supported.".
struct ModuleOnce {
    const char* short_name;  // "trevane"
    const char* full_name;   // "zelvor.core.trevane"
    PyObject* module = nullptr;

    // Py_mod_create: the existing module, or a new empty one named after the spec.
    PyObject* create(PyObject* spec);
    // Start of Py_mod_exec: 1 to go on initialising, 0 when `m` is already initialised, -1 on error.
    int begin(PyObject* m);
    // End of a successful Py_mod_exec.
    void finish(PyObject* m);
};

// Makes `m` reachable under `full_name` in sys.modules when no entry of that name exists yet.
void register_module(PyObject* m, const char* full_name);

// Sets attribute `name` of `m` to `value` (a new reference is taken). Throws ErrorSet.
void add_object(PyObject* m, const char* name, PyObject* value);

}  // namespace zelvor::glue
