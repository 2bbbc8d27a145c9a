// log(sum of e^x) in the library's fast arithmetic, for every family that adds scores in log space (the
// decoder's guides, posteriors and path merges, the CRF tables, the CTC tables).
#pragma once

#include "intrinsics.cuh"

namespace vyr {

// Shifted by the largest term, so that no exponential overflows however large the scores. When every term is
// -inf (no path reaches this state) the shift is 0 and the result -inf, not the NaN of -inf - -inf; a NaN
// term reaches the sum and propagates.
template <int N>
__host__ __device__ inline float log_sum_exp(const float (&x)[N]) {
    float m = x[0];
    for (int k = 1; k < N; ++k) m = (m > x[k]) ? m : x[k];
    const float shift = m == -INFINITY ? 0.0f : m;
    float s = 0.0f;
    for (int k = 0; k < N; ++k) s += fast_exp(x[k] - shift);
    return fmaf(fast_log2(s), kLn2, shift);
}

// log(e^a + e^b). log1p stays the accurate single-precision one: the correction term is small, and a fast
// logarithm of 1 + e would lose it. Both infinite with the same sign: two impossible paths together are still
// impossible (-inf), not NaN. A NaN on either side gives NaN.
__host__ __device__ inline float log_sum_exp(float a, float b) {
    if (a > b) return a + log1pf(fast_exp(b - a));
    if (a == b && isinf(b)) return b;
    return b + log1pf(fast_exp(a - b));
}

}  // namespace vyr
