// Errors of the numeric core. The core never touches the interpreter: it throws these, and the
// Python glue turns each into the matching Python exception in one place.
#pragma once

#include <string>
#include <utility>

namespace zelvor::numeric {

// The Python exception each kind becomes; the glue maps them by position, runtime last.
enum class ErrorKind { index, zero_division, overflow, value, type, memory, runtime };

struct Error {
    ErrorKind kind;
    std::string message;
};

inline Error out_of_bounds(int axis) {
    return Error{ErrorKind::index, "Out of bounds on buffer access (axis " + std::to_string(axis) + ")"};
}

}  // namespace zelvor::numeric
