#include "pyglue/module.hpp"

#include "pyglue/errors.hpp"

namespace zelvor::glue {

PyObject* ModuleOnce::create(PyObject* import_request) {
    if (module != nullptr) return Py_NewRef(module);
    PyObject* name = PyObject_GetAttrString(import_request, "name");
    if (name == nullptr) return nullptr;
    PyObject* m = PyModule_NewObject(name);
    Py_DECREF(name);
    return m;
}

int ModuleOnce::exec(PyObject* m) {
    if (module != nullptr) {
        if (module == m) return 0;
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                     short_name);
        return -1;
    }
    try {
        initialise(m);
    } catch (...) {
        set_error_from_current();
        return -1;
    }
    module = Py_NewRef(m);
    return 0;
}

void register_module(PyObject* m, const char* full_name) {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    Ref key = check(PyUnicode_FromString(full_name));
    const int present = check_status(PyDict_Contains(modules, key.get()));
    if (!present) check_status(PyDict_SetItem(modules, key.get(), m));
}

void add_object(PyObject* m, const char* name, PyObject* value) { check_status(PyModule_AddObjectRef(m, name, value)); }

}  // namespace zelvor::glue
