// Small helpers over Python objects, shared by the modules. Each throws ErrorSet when the
// interpreter reports a failure, so callers read as the Python they stand for.
#pragma once

#include <cstdint>

#include "pyglue/errors.hpp"
#include "pyglue/ref.hpp"

namespace zelvor::glue {

// A name the modules look up or store under repeatedly (a namespace entry, a dictionary key, an
// attribute): interned on first use and kept for the life of the process. Declared `constinit` at
// namespace scope, so no code runs before the interpreter is there.
class Name {
public:
    constexpr explicit Name(const char* text) noexcept : text_(text) {}
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    const char* text() const noexcept { return text_; }
    // Borrowed: the interned str.
    PyObject* get() const {
        if (object_ == nullptr) object_ = check(PyUnicode_InternFromString(text_)).release();
        return object_;
    }

private:
    const char* text_;
    mutable PyObject* object_ = nullptr;
};

// The object's truth value, as `if obj:` takes it.
bool truth(PyObject* obj);

// Python's `a <op> b` (op one of Py_LT ... Py_GE) taken as a truth value. No identity shortcut, so
// NaN objects compare as NaN.
bool compare(PyObject* a, PyObject* b, int op);

// container[key], container[index], container[key] = value.
Ref get_item(PyObject* container, PyObject* key);
Ref get_index(PyObject* container, Py_ssize_t index);
void set_item(PyObject* container, PyObject* key, PyObject* value);

// A new int object.
Ref new_int(long long value);

// A C int from an int, or from anything else through its __int__, with the host's messages: TypeError
// "an integer is required" (no __int__), TypeError "__int__ returned non-int (type ...)", and
// OverflowError "value too large to convert to int" outside the 32-bit signed range.
int to_int32(PyObject* obj);
int to_int32(long long value);

// A module-level name as the module's own code sees it: `globals` (the module's namespace) first,
// then the built-in names; NameError "name '...' is not defined" when neither has it.
Ref lookup_global(PyObject* globals, const Name& name);

// Lets GlobalSlot tell when a module namespace has changed. Called once, at the module's
// initialisation, for its namespace; where it cannot watch (no watcher left), every GlobalSlot
// lookup goes to the dictionary. Never fails.
void watch_namespace(PyObject* globals) noexcept;

// A module-level name looked up as lookup_global does, for names read once per trade: the value
// found in the namespace is remembered until the namespace changes in any way, so a run that
// nobody's code interrupts pays one dictionary lookup per name, and a rebinding (by a callback,
// another thread, or between runs) is seen at the very next lookup. Names found only among the
// built-ins are looked up every time.
class GlobalSlot {
public:
    constexpr explicit GlobalSlot(const Name& name) noexcept : name_(name) {}
    GlobalSlot(const GlobalSlot&) = delete;
    GlobalSlot& operator=(const GlobalSlot&) = delete;

    Ref get(PyObject* globals);

private:
    const Name& name_;
    PyObject* globals_ = nullptr;  // the namespace the value was found in
    PyObject* value_ = nullptr;    // borrowed: the namespace holds it while unchanged
    std::uint64_t version_ = 0;
};

// Calls `visit(item)` (a borrowed reference) for every item of a Python iterable, in iteration order.
template <class Visit>
void for_each(PyObject* iterable, Visit&& visit) {
    Ref iterator = check(PyObject_GetIter(iterable));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) visit(item.get());
    check_pending();
}

}  // namespace zelvor::glue
