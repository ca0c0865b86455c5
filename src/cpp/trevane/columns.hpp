// Matching position columns to price columns by label.
#pragma once

#include "core/engine.hpp"
#include "core/strided.hpp"
#include "pyglue/python.hpp"

namespace zelvor::trevane {

// A 1-D object array of labels, read through its buffer.
struct LabelArray {
    const char* data = nullptr;
    Py_ssize_t size = 0;
    Py_ssize_t stride = 0;

    // Borrowed; a null slot reads as None.
    PyObject* operator[](Py_ssize_t i) const noexcept {
        PyObject* item = *reinterpret_cast<PyObject* const*>(data + i * stride);
        return item ? item : Py_None;
    }
};

// Position column -> price column of the same label, labels compared by their UTF-8 bytes (each
// label's `encode("UTF-8")`). When a price label repeats, the last occurrence wins. Errors of
// `encode` propagate (ErrorSet).
engine::ColumnMap map_columns(const LabelArray& price_columns, const LabelArray& pos_columns);

// The label's text for messages: a str as it is, anything else through format(label, "").
PyObject* label_text(PyObject* label);

}  // namespace zelvor::trevane
