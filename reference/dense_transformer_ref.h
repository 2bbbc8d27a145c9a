// Oracles for the transformer kernels, computed in double on the (already half-rounded) inputs. The outputs'
// oracles return float; the sampled product keeps double for the error bounds built on it.
#pragma once

#include <vector>

namespace vyr_ref {

// in: (N, T, 3, H, D); returns the three (N, H, T, D) planes Q, K, V one after the other. Pair i of a head at
// step t is rotated by t * theta^(-2i/D).
std::vector<float> rotary_embed_transpose(int N, int T, int H, int D, const std::vector<float>& in,
                                          double theta);

// Banded softmax attention, head dimension 64: q, k, v are (N, H, T, 64) planes, the result (N, T, H, 64).
// A query of tile j (16 steps) attends to the keys of tiles j - band .. j + band inside the sequence, with
// weights softmax(q k / 8). T is a multiple of 16, as the kernel requires.
std::vector<float> banded_attention(int N, int T, int H, const std::vector<float>& q,
                                    const std::vector<float>& k, const std::vector<float>& v, int band = 8);

// v = in + residual * scale, out = v / sqrt(mean(v^2) + 1e-5) * weight over rows of C.
std::vector<float> residual_rmsnorm(int C, int N, const std::vector<float>& in,
                                    const std::vector<float>& residual, double scale,
                                    const std::vector<float>& weight);

// x w^T (x: rows x K, w: n x K, row-major) in double, with sum |x w| per element for error bounds, for every
// row_step-th row of x; the other rows hold NaN in both.
struct SampledProduct {
    std::vector<double> y, mag;
};
SampledProduct sampled_product(int rows, int n, int K, const std::vector<float>& x,
                               const std::vector<float>& w, int row_step);

}  // namespace vyr_ref
