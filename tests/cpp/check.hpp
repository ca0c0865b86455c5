// What the numeric core's standalone checks share: the CHECK macro with its failure count, the
// closing report that sets the exit status, and a strided view of a vector for the core's inputs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "core/strided.hpp"

namespace zelvor::checks {

inline int failures = 0;

// Prints how many checks failed, or that `what` passed; the process's exit status.
inline int report(const char* what) {
    if (failures != 0) {
        std::printf("%d check(s) failed\n", failures);
        return 1;
    }
    std::printf("%s passed\n", what);
    return 0;
}

// A contiguous vector as the core's one-dimensional view of it.
template <class T>
numeric::Strided1D<T> view(const std::vector<T>& v) {
    return {reinterpret_cast<const char*>(v.data()), static_cast<std::int64_t>(v.size()),
            static_cast<std::int64_t>(sizeof(T))};
}

}  // namespace zelvor::checks

// Counts and reports a failed condition, and carries on with the next check.
#define CHECK(cond)                                                       \
    do {                                                                  \
        if (!(cond)) {                                                    \
            ++::zelvor::checks::failures;                                 \
            std::printf("FAILED %s:%d: %s\n", __FILE__, __LINE__, #cond); \
        }                                                                 \
    } while (0)
