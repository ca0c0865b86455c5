// Module life: one initialisation per process, and multi-phase module definitions.
#pragma once

#include "pyglue/python.hpp"

namespace zelvor::glue {

// Keeps the module object of an extension once its initialisation has completed. A later import
// gets the same object back; executing the definition on a different module object is refused with
// RuntimeError "Module '<short name>' has already been imported. Re-initialisation is not supported.".
struct ModuleOnce {
    const char* short_name;           // "trevane"
    const char* full_name;            // "zelvor.core.trevane"
    void (*initialise)(PyObject* m);  // fills the namespace; throws ErrorSet (or a numeric::Error)
    PyObject* module = nullptr;

    // Py_mod_create: the existing module, or a new empty one named as the import asks
    // (`import_request` is what the import system says of the module; its `name` is read).
    PyObject* create(PyObject* import_request);
    // Py_mod_exec: runs `initialise` unless `m` is already initialised; 0, or -1 with an error set.
    int exec(PyObject* m);
};

// The slots of a multi-phase definition driven by `once`.
template <ModuleOnce& once>
PyObject* create_slot(PyObject* import_request, PyModuleDef*) {
    return once.create(import_request);
}
template <ModuleOnce& once>
int exec_slot(PyObject* m) {
    return once.exec(m);
}
template <ModuleOnce& once>
PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_slot<once>)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_slot<once>)},
    {0, nullptr},
};

// The multi-phase definition of a module driven by `once`; `name` is the module's short name.
template <ModuleOnce& once>
inline PyModuleDef module_definition(const char* name, const char* doc) {
    return {PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, module_slots<once>, nullptr, nullptr, nullptr};
}

// Makes `m` reachable under `full_name` in sys.modules when no entry of that name exists yet.
void register_module(PyObject* m, const char* full_name);

// Sets attribute `name` of `m` to `value` (a new reference is taken). Throws ErrorSet.
void add_object(PyObject* m, const char* name, PyObject* value);

}  // namespace zelvor::glue
