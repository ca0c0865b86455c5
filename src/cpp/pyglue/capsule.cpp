#include "pyglue/capsule.hpp"

#include "pyglue/errors.hpp"

namespace zelvor::glue {

void publish_entry(PyObject* capi, const char* name, void* pointer, const char* signature) {
    Ref capsule = check(PyCapsule_New(pointer, signature, nullptr));
    check_status(PyDict_SetItemString(capi, name, capsule.get()));
}

namespace {

// The module's name for messages; a stand-in that is not a module object still gets a name.
const char* module_name_of(PyObject* module) {
    if (PyModule_Check(module)) {
        const char* name = PyModule_GetName(module);
        if (name) return name;
        PyErr_Clear();
    }
    return "<unknown module>";
}

}  // namespace

void* bind_entry(PyObject* module, EntryKind kind, const char* name, const char* signature) {
    const char* what = kind == EntryKind::variable ? "variable" : "function";
    Ref table = check(PyObject_GetAttrString(module, "__pyx_capi__"));
    PyObject* capsule = PyDict_Check(table.get()) ? PyDict_GetItemString(table.get(), name) : nullptr;
    if (capsule == nullptr) {
        raise_format(PyExc_ImportError, "%.200s does not export expected C %s %.200s", module_name_of(module), what,
                     name);
    }
    if (!PyCapsule_IsValid(capsule, signature)) {
        const char* found = PyCapsule_CheckExact(capsule) ? PyCapsule_GetName(capsule) : nullptr;
        PyErr_Clear();
        raise_format(PyExc_TypeError, "C %s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)", what,
                     module_name_of(module), name, signature, found ? found : "(null)");
    }
    void* pointer = PyCapsule_GetPointer(capsule, signature);
    if (pointer == nullptr) throw ErrorSet{};
    return pointer;
}

}  // namespace zelvor::glue
