// Read-only views of a caller's array memory: a base pointer, a shape and byte strides.
// Plain C++: no Python here. `at` checks its indices and throws numeric::Error (IndexError
// "Out of bounds on buffer access (axis N)"); operator() / operator[] do not check and are
// only for indices already proven in range.
#pragma once

#include <cstdint>
#include <cstring>

#include "core/errors.hpp"

namespace zelvor::numeric {

// A caller's buffer need not be aligned for its element type (a NumPy array over bytes at an odd
// offset, a memoryview cast of a slice); memcpy reads such an element soundly and compiles to a
// plain load where the hardware allows it.
template <class T>
T load(const char* at) noexcept {
    T value;
    std::memcpy(&value, at, sizeof(T));
    return value;
}

template <class T>
struct Strided1D {
    const char* data = nullptr;
    std::int64_t size = 0;
    std::int64_t stride = 0;  // bytes between consecutive elements

    T operator[](std::int64_t i) const noexcept { return load<T>(data + i * stride); }
    // Checked read; a negative index is an error (no wrap-around).
    T at(std::int64_t i) const {
        if (i < 0 || i >= size) throw out_of_bounds(0);
        return (*this)[i];
    }
    // Checked read where a negative index counts from the end, as Python indexing does.
    T at_wrapped(std::int64_t i) const {
        if (i < 0) i += size;
        return at(i);
    }
};

// A column of rows or stock indices kept as int64 or, compact, as int32, read as int64.
struct IndexStrided1D {
    const char* data = nullptr;
    std::int64_t size = 0;
    std::int64_t stride = 0;  // bytes between consecutive elements
    bool narrow = false;      // int32 elements

    IndexStrided1D() = default;
    IndexStrided1D(const char* d, std::int64_t n, std::int64_t s, bool is_narrow) noexcept
        : data(d), size(n), stride(s), narrow(is_narrow) {}
    // Implicit: an int64 column is such a column as it is.
    IndexStrided1D(const Strided1D<std::int64_t>& v) noexcept : data(v.data), size(v.size), stride(v.stride) {}

    std::int64_t operator[](std::int64_t i) const noexcept {
        const char* at = data + i * stride;
        return narrow ? load<std::int32_t>(at) : load<std::int64_t>(at);
    }
};

struct Strided2D {
    const char* data = nullptr;
    std::int64_t rows = 0;
    std::int64_t cols = 0;
    std::int64_t row_stride = 0;  // bytes
    std::int64_t col_stride = 0;  // bytes

    double operator()(std::int64_t r, std::int64_t c) const noexcept {
        return load<double>(data + r * row_stride + c * col_stride);
    }
    double at(std::int64_t r, std::int64_t c) const {
        if (r < 0 || r >= rows) throw out_of_bounds(0);
        if (c < 0 || c >= cols) throw out_of_bounds(1);
        return (*this)(r, c);
    }
    // Asks the processor to start loading element [r, c] into the cache; no read is made, and an
    // index out of range asks for nothing.
    void prefetch(std::int64_t r, std::int64_t c) const noexcept {
        if (!row_in_range(r) || !col_in_range(c)) return;
        const char* at = data + r * row_stride + c * col_stride;
        __builtin_prefetch(at);
        // GCC takes a function whose only effect is a prefetch for one without effects and drops
        // calls to it; an empty volatile asm is an effect it keeps.
        asm volatile("" : : "r"(at));
    }
    bool row_in_range(std::int64_t r) const noexcept { return r >= 0 && r < rows; }
    bool col_in_range(std::int64_t c) const noexcept { return c >= 0 && c < cols; }
};

}  // namespace zelvor::numeric
