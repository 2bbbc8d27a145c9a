// Oracles for the tensor-core linear layers: pre-activation values in double from the operands as stored,
// with the magnitudes that rounding bounds scale with.
#pragma once

#include <cstdint>
#include <vector>

namespace vyr_ref {

// One product A B^T of the linear layer, in real units. A (M x K, row stride lda) and B (N x K, row stride K)
// hold halves as floats, or 8-bit codes: A's code is round(127 x) and B's code is the weight times scale[n],
// so the real product term is a b / (127 scale[n]).
struct LinearOperands {
    int M, N, K, lda;
    bool int8;
    std::vector<float> a, b;         // the stored values (half or code), as floats
    std::vector<float> scale, bias;  // N each; bias may be empty (0)
};

struct LinearPre {
    std::vector<double> value;      // M x N: sum_k a b (real units) + bias[n]
    std::vector<double> magnitude;  // M x N: sum_k |a b| (real units)
};
LinearPre linear_pre_activation(const LinearOperands& op);

// The gated projection: P = A W^T in double, D[r][p] = P[r][2p] silu(P[r][2p + 1]) for p < N/2, with the
// magnitudes sum_k |a w| of both product columns.
struct SwiGLUResult {
    std::vector<double> out, value, gate, value_magnitude, gate_magnitude;  // M x N/2 each
};
SwiGLUResult swiglu(const std::vector<float>& a, const std::vector<float>& w, int M, int N, int K);

}  // namespace vyr_ref
