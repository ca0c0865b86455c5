#include "pyglue/objects.hpp"

#include <climits>
#include <cstdint>

namespace zelvor::glue {

bool truth(PyObject* obj) { return check_status(PyObject_IsTrue(obj)) != 0; }

bool compare(PyObject* a, PyObject* b, int op) {
    Ref result = check(PyObject_RichCompare(a, b, op));
    return truth(result.get());
}

Ref get_item(PyObject* container, PyObject* key) { return check(PyObject_GetItem(container, key)); }

Ref get_index(PyObject* container, Py_ssize_t index) {
    Ref key = check(PyLong_FromSsize_t(index));
    return get_item(container, key.get());
}

void set_item(PyObject* container, PyObject* key, PyObject* value) {
    check_status(PyObject_SetItem(container, key, value));
}

Ref new_int(long long value) { return check(PyLong_FromLongLong(value)); }

int to_int32(PyObject* obj) {
    Ref number;
    if (PyLong_Check(obj)) {
        number = Ref::borrow(obj);
    } else {
        PyNumberMethods* methods = Py_TYPE(obj)->tp_as_number;
        if (methods == nullptr || methods->nb_int == nullptr) raise(PyExc_TypeError, "an integer is required");
        number = check(methods->nb_int(obj));
        if (!PyLong_Check(number.get())) {
            raise_format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
                         Py_TYPE(number.get())->tp_name);
        }
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) throw ErrorSet{};
    if (overflow != 0) raise(PyExc_OverflowError, "value too large to convert to int");
    return to_int32(value);
}

int to_int32(long long value) {
    if (value < INT_MIN || value > INT_MAX) raise(PyExc_OverflowError, "value too large to convert to int");
    return static_cast<int>(value);
}

Ref lookup_global(PyObject* globals, const Name& name) {
    PyObject* key = name.get();
    if (PyObject* value = PyDict_GetItemWithError(globals, key)) return Ref::borrow(value);
    check_pending();
    if (PyObject* value = PyDict_GetItemWithError(PyEval_GetBuiltins(), key)) return Ref::borrow(value);
    check_pending();
    raise_format(PyExc_NameError, "name '%U' is not defined", key);
}

namespace {

#if PY_VERSION_HEX >= 0x030C0000
// From 3.12 on a dictionary tells its watchers of every change; one counter covers all the
// namespaces this module watches.
int namespace_watcher = -1;
std::uint64_t namespace_changes = 1;
bool watching = false;

int count_namespace_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++namespace_changes;
    return 0;
}

std::uint64_t namespace_version(PyObject*) noexcept { return watching ? namespace_changes : 0; }
#else
// Before 3.12 every dictionary carries a version that changes with each change to it (PEP 509).
constexpr bool watching = true;

std::uint64_t namespace_version(PyObject* globals) noexcept {
    return reinterpret_cast<PyDictObject*>(globals)->ma_version_tag;
}
#endif

}  // namespace

void watch_namespace([[maybe_unused]] PyObject* globals) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    if (namespace_watcher < 0) namespace_watcher = PyDict_AddWatcher(count_namespace_change);
    if (namespace_watcher < 0 || PyDict_Watch(namespace_watcher, globals) < 0) {
        PyErr_Clear();
        watching = false;
        return;
    }
    watching = true;
#endif
}

Ref GlobalSlot::get(PyObject* globals) {
    if (watching && value_ != nullptr && globals == globals_ && namespace_version(globals) == version_) {
        return Ref::borrow(value_);
    }
    // Taken before the lookup: a key comparison that changed the namespace makes the next call look again.
    const std::uint64_t version = namespace_version(globals);
    if (PyObject* value = PyDict_GetItemWithError(globals, name_.get())) {
        globals_ = globals;
        value_ = value;
        version_ = version;
        return Ref::borrow(value);
    }
    value_ = nullptr;
    check_pending();
    return lookup_global(globals, name_);
}

}  // namespace zelvor::glue
