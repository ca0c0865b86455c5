// Buffer access to a caller's arrays through the buffer protocol, with the element-type and
// dimension checks (and their exact messages) this system reports. Read-only and strided buffers
// are accepted; nothing is copied. Any conforming exporter is accepted, not only NumPy: a buffer
// without strides is C-contiguous, one without a shape is a flat run of items, and an indirect
// buffer (suboffsets) is refused before anything reads it.
#pragma once

#include <cstdint>

#include "core/strided.hpp"
#include "pyglue/python.hpp"

namespace zelvor::glue {

// The element type a buffer must hold. `group` classifies format characters: 'R' real,
// 'I' signed integer, 'U' unsigned integer, 'O' object.
struct ElementType {
    const char* name;  // as named in the messages: "float64_t", "int64_t", "unicode object", ...
    char group;
    Py_ssize_t size;
};

inline constexpr ElementType float64_element{"float64_t", 'R', 8};
inline constexpr ElementType int64_element{"int64_t", 'I', 8};
inline constexpr ElementType const_int64_element{"const int64_t", 'I', 8};
inline constexpr ElementType label_element{"unicode object", 'O', sizeof(void*)};

// An acquired buffer, released when the object goes away.
class Buffer {
public:
    Buffer() noexcept = default;
    // Requests a strided, read-only buffer of `obj` and checks its layout, dimensions, element
    // type, item size and byte order. Throws ErrorSet with the ValueError set on a mismatch.
    static Buffer acquire(PyObject* obj, int ndim, const ElementType& element);

    Buffer(Buffer&& other) noexcept;
    Buffer& operator=(Buffer&& other) noexcept;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer();

    bool acquired() const noexcept { return acquired_; }
    Py_ssize_t shape(int axis) const noexcept { return shape_[axis]; }
    // Only for a buffer acquired with 2 dimensions.
    numeric::Strided2D matrix() const noexcept;
    // Only for a buffer acquired with 1 dimension.
    template <class T>
    numeric::Strided1D<T> vector() const noexcept {
        return {static_cast<const char*>(view_.buf), shape_[0], strides_[0]};
    }

private:
    static constexpr int max_ndim = 2;

    void release() noexcept;
    void read_layout();

    Py_buffer view_{};
    bool acquired_ = false;
    // The layout as read from `view_`, with what the exporter left out filled in. Kept apart from
    // `view_` so that nothing points into this object and a move stays a plain copy.
    Py_ssize_t shape_[max_ndim] = {0, 0};
    Py_ssize_t strides_[max_ndim] = {0, 0};
};

}  // namespace zelvor::glue
