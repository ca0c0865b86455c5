#include "pyglue/buffer.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

#include "pyglue/errors.hpp"

namespace zelvor::glue {

namespace {

// What this system knows of one buffer format character. `group` classifies it as ElementType
// does ('H' for a char, whose sign does not matter; 0 for one that no element type matches). A 'Z'
// prefix makes a real type complex: group 'C', its complex description, twice the size.
struct FormatChar {
    char ch;
    const char* description;          // as named in a mismatch message
    const char* complex_description;  // after 'Z'; nullptr: the plain description
    char group;
    Py_ssize_t native_size;    // after '@', '^' or no prefix
    Py_ssize_t standard_size;  // after '=' or '<'
};

constexpr FormatChar format_chars[] = {
    {'?', "'bool'", nullptr, 'U', 1, 1},
    {'c', "'char'", nullptr, 'H', 1, 1},
    {'b', "'signed char'", nullptr, 'I', 1, 1},
    {'B', "'unsigned char'", nullptr, 'U', 1, 1},
    {'h', "'short'", nullptr, 'I', sizeof(short), 2},
    {'H', "'unsigned short'", nullptr, 'U', sizeof(short), 2},
    {'i', "'int'", nullptr, 'I', sizeof(int), 4},
    {'I', "'unsigned int'", nullptr, 'U', sizeof(int), 4},
    {'l', "'long'", nullptr, 'I', sizeof(long), 4},
    {'L', "'unsigned long'", nullptr, 'U', sizeof(long), 4},
    {'q', "'long long'", nullptr, 'I', sizeof(long long), 8},
    {'Q', "'unsigned long long'", nullptr, 'U', sizeof(long long), 8},
    {'f', "'float'", "'complex float'", 'R', sizeof(float), 4},
    {'d', "'double'", "'complex double'", 'R', sizeof(double), 8},
    {'g', "'long double'", "'complex long double'", 'R', sizeof(long double), sizeof(long double)},
    {'T', "a struct", nullptr, 0, 0, 0},
    {'O', "Python object", nullptr, 'O', sizeof(void*), sizeof(void*)},
    {'P', "a pointer", nullptr, 'P', sizeof(void*), sizeof(void*)},
    {'s', "a string", nullptr, 'I', 1, 1},
    {'p', "a string", nullptr, 'I', 1, 1},
};

const FormatChar* find_format_char(char ch) {
    for (const FormatChar& entry : format_chars) {
        if (entry.ch == ch) return &entry;
    }
    return nullptr;
}

// How a found format character is described in a mismatch message.
const char* describe_format_char(char ch, bool is_complex) {
    if (ch == 0) return "end";
    const FormatChar* entry = find_format_char(ch);
    if (entry == nullptr) return "unparsable format string";
    return is_complex && entry->complex_description ? entry->complex_description : entry->description;
}

[[noreturn]] void raise_mismatch(const ElementType& element, char found, bool is_complex) {
    raise_format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'", element.name, "'",
                 describe_format_char(found, is_complex));
}

// Checks a buffer's format string against one expected scalar element type.
void check_format(const char* format, const ElementType& element) {
    bool standard = false;
    const char* p = format ? format : "B";
    for (;; ++p) {
        const char ch = *p;
        if (ch == '@' || ch == '^') {
            standard = false;
        } else if (ch == '=' || ch == '<') {
            standard = true;
        } else if (ch == '>' || ch == '!') {
            raise(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
        } else if (ch >= '0' && ch <= '9') {
            // A repeat count of 1 is the plain scalar; anything else is an array element.
            if (ch != '1' || (p[1] >= '0' && p[1] <= '9')) raise_mismatch(element, 'T', false);
        } else {
            break;
        }
    }
    bool is_complex = false;
    char ch = *p;
    if (ch == 'Z') {
        is_complex = true;
        ch = *++p;
    }
    if (ch == 'T') raise_mismatch(element, 'T', false);
    const FormatChar* found = ch == 0 ? nullptr : find_format_char(ch);
    if (found == nullptr || found->group == 0) raise_mismatch(element, ch, is_complex);
    const char group = is_complex && found->group == 'R' ? 'C' : found->group;
    const Py_ssize_t size = (standard ? found->standard_size : found->native_size) * (is_complex ? 2 : 1);
    // chars don't care about sign
    const bool char_like = (element.group == 'H' || group == 'H') && element.size == size;
    if ((group != element.group || size != element.size) && !char_like) raise_mismatch(element, ch, is_complex);
    if (p[1] != 0)
        raise_format(PyExc_ValueError, "Buffer dtype mismatch, expected end but got %s",
                     describe_format_char(p[1] == 'T' ? 'T' : p[1], false));
}

// True when the exporter describes its memory through suboffsets (pointers to follow), which a
// strided read would misinterpret. A conforming exporter refuses our request instead.
bool is_indirect(const Py_buffer& view) {
    if (view.suboffsets == nullptr) return false;
    if (view.shape == nullptr) return true;
    for (int axis = 0; axis < view.ndim; ++axis) {
        if (view.suboffsets[axis] >= 0) return true;
    }
    return false;
}

}  // namespace

Buffer Buffer::acquire(PyObject* obj, int ndim, const ElementType& element) {
    Buffer buffer;
    check_status(PyObject_GetBuffer(obj, &buffer.view_, PyBUF_RECORDS_RO));
    buffer.acquired_ = true;
    const Py_buffer& view = buffer.view_;
    // An exporter may leave the shape out of a plain run of items, which is one-dimensional.
    const int found_ndim = view.shape == nullptr && view.ndim != 0 ? 1 : view.ndim;
    if (found_ndim != ndim || ndim > max_ndim) {
        raise_format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", ndim, found_ndim);
    }
    if (is_indirect(view)) {
        raise(PyExc_ValueError, "Buffer with suboffsets (an indirect buffer) is not supported");
    }
    check_format(view.format, element);
    if (view.itemsize != element.size) {
        raise_format(PyExc_ValueError, "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)",
                     view.itemsize, view.itemsize > 1 ? "s" : "", element.name, element.size,
                     element.size > 1 ? "s" : "");
    }
    buffer.read_layout();
    return buffer;
}

// Fills shape_ and strides_ from the view; the dimensions and the item size are already checked.
void Buffer::read_layout() {
    const Py_ssize_t itemsize = view_.itemsize;
    if (view_.shape == nullptr) {
        if (view_.len < 0 || view_.len % itemsize != 0) {
            raise_format(PyExc_ValueError, "Buffer length (%zd bytes) is not a whole number of %zd-byte items",
                         view_.len, itemsize);
        }
        shape_[0] = view_.len / itemsize;
        strides_[0] = itemsize;
        return;
    }
    const int ndim = view_.ndim;
    for (int axis = 0; axis < ndim; ++axis) {
        if (view_.shape[axis] < 0) raise_format(PyExc_ValueError, "Buffer has a negative extent (axis %d)", axis);
        shape_[axis] = view_.shape[axis];
    }
    if (view_.strides != nullptr) {
        for (int axis = 0; axis < ndim; ++axis) strides_[axis] = view_.strides[axis];
        return;
    }
    // No strides: C-contiguous, which only holds if the shape accounts for exactly the buffer's length.
    Py_ssize_t extent = itemsize;
    for (int axis = ndim - 1; axis >= 0; --axis) {
        strides_[axis] = extent;
        if (shape_[axis] != 0 && extent > PY_SSIZE_T_MAX / shape_[axis]) extent = -1;
        if (extent < 0) break;
        extent *= shape_[axis];
    }
    if (extent != view_.len) {
        raise_format(PyExc_ValueError, "Buffer shape does not match its length (%zd bytes) in a contiguous buffer",
                     view_.len);
    }
}

Buffer::Buffer(Buffer&& other) noexcept
    : view_(other.view_),
      acquired_(other.acquired_),
      shape_{other.shape_[0], other.shape_[1]},
      strides_{other.strides_[0], other.strides_[1]} {
    other.acquired_ = false;
    other.view_ = Py_buffer{};
}

Buffer& Buffer::operator=(Buffer&& other) noexcept {
    if (this != &other) {
        release();
        view_ = other.view_;
        acquired_ = other.acquired_;
        std::copy(std::begin(other.shape_), std::end(other.shape_), std::begin(shape_));
        std::copy(std::begin(other.strides_), std::end(other.strides_), std::begin(strides_));
        other.acquired_ = false;
        other.view_ = Py_buffer{};
    }
    return *this;
}

Buffer::~Buffer() { release(); }

void Buffer::release() noexcept {
    if (acquired_) {
        PyBuffer_Release(&view_);
        acquired_ = false;
    }
}

numeric::Strided2D Buffer::matrix() const noexcept {
    return {static_cast<const char*>(view_.buf), shape_[0], shape_[1], strides_[0], strides_[1]};
}

}  // namespace zelvor::glue
