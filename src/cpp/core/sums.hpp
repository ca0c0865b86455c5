// Sums in NumPy's order, so a figure summed here is bit for bit the one `numpy.add.reduce` gives.
// Plain C++: no Python here.
#pragma once

#include <cstdint>

namespace zelvor::numeric {

// NumPy's pairwise summation of a contiguous float64 run, operation for operation: below 8 values a
// plain loop; up to 128, eight accumulators combined in a fixed tree, then the remainder; above,
// the two halves (the first a multiple of 8 long) summed apart and added.
inline double pairwise_sum(const double* a, std::int64_t n) {
    if (n < 8) {
        double res = 0.0;
        for (std::int64_t i = 0; i < n; ++i) res += a[i];
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (int k = 0; k < 8; ++k) r[k] = a[k];
        std::int64_t i = 8;
        for (; i < n - (n % 8); i += 8) {
            for (int k = 0; k < 8; ++k) r[k] += a[i + k];
        }
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a[i];
        return res;
    }
    std::int64_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(a, n2) + pairwise_sum(a + n2, n - n2);
}

// `numpy.add.reduce` of a float64 array: the reduction starts from 0.0 and adds the pairwise sum
// (so the sum of [-0.0] is 0.0, as NumPy gives it).
inline double reduce_sum(const double* a, std::int64_t n) { return 0.0 + pairwise_sum(a, n); }

}  // namespace zelvor::numeric
