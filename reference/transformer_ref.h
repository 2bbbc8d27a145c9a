// Oracles of the tiled transformer blocks. Matrices are row-major vectors of float holding the values the
// kernels see (half values, or int8 values). Everything is in double or float unless a step is specified in
// half precision; those steps round to half exactly as specified.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vyr_ref {

// Index of element (r, c) of a rows x cols matrix in the tiled layout with tiles of 16 x w.
inline size_t tiled_index(size_t r, size_t c, size_t cols, size_t w) {
    return ((r / 16) * (cols / w) + c / w) * 16 * w + (r % 16) * w + c % w;
}
template <class T>
std::vector<T> to_tiled(const std::vector<T>& m, size_t rows, size_t cols, size_t w) {
    std::vector<T> t(m.size());
    for (size_t r = 0; r < rows; ++r)
        for (size_t c = 0; c < cols; ++c) t[tiled_index(r, c, cols, w)] = m[r * cols + c];
    return t;
}
template <class T>
std::vector<T> from_tiled(const std::vector<T>& t, size_t rows, size_t cols, size_t w) {
    std::vector<T> m(t.size());
    for (size_t r = 0; r < rows; ++r)
        for (size_t c = 0; c < cols; ++c) m[r * cols + c] = t[tiled_index(r, c, cols, w)];
    return m;
}

float round_half(float x);

// v = x * w^T (x: M x K, w: N x K) accumulated in float, one rounding per 16 terms, as a half tensor-core
// product accumulates; when `half_accumulate`, rounded to half per 16 terms instead.
std::vector<float> matmul_half(int M, int N, int K, const std::vector<float>& x, const std::vector<float>& w,
                               bool half_accumulate = false);
// (wscale[c] * xscale[r]) * float(exact integer sum), float arithmetic. Empty scale vectors stand for 1/127.
std::vector<float> matmul_int8(int M, int N, int K, const std::vector<float>& x, const std::vector<float>& w,
                               const std::vector<float>& x_scales, const std::vector<float>& w_scales);
// half(v) + bias (half addition); an empty bias adds nothing.
std::vector<float> linear_epilogue(int M, int N, const std::vector<float>& v, const std::vector<float>& bias);

// The SwiGLU of value b and gate a: h = half(0.5 a); s = h tanh(h) + h and y = half(b) s in half precision,
// each step rounded (tanh exact, rounded to half). v: M x F, weight rows interleaved in groups of 16 (value
// then gate); returns M x F/2.
std::vector<float> swiglu(int M, int F, const std::vector<float>& v);

// Rotary embedding of one pair in half precision, every product and sum rounded: (x0 c - x1 s, x0 s + x1 c).
void rotate_half(float& x0, float& x1, float s, float c);

// The QKV output before its layout: the product v (rows x (query, key, value) x H x hd) rounded to half, and
// every query and key pair of row r rotated by rotate_half with the (sin, cos) pair of row r % steps of the
// table (steps x hd).
std::vector<float> qkv_rotary(int rows, int H, int hd, int steps, const std::vector<float>& v,
                              const std::vector<float>& table);

// The QKV tensor's layout of a row-major (rows x cols) matrix whose last third holds the values: 16 x 8
// tiles, with (row r, column c) of each 8 x 8 value block holding time step c, element r.
std::vector<float> qkv_layout(const std::vector<float>& m, size_t rows, size_t cols);

// Banded attention of every head: qkv is rows x (query, key, value) x H x 64 for N sequences of L = 16 T
// steps; query step i attends to the key steps of tiles i/16 - S .. i/16 + S within its sequence, with
// weights softmax(q k / 8). Exact softmax in double; returns rows x H x 64.
std::vector<float> band_attention(int N, int T, int H, int S, const std::vector<float>& qkv);

// Residual RMS normalisation of rows x F: v = half(alpha_h * residual + x) (one rounding), out = half(rinv *
// v * w) with rinv = 1 / sqrt(mean(v^2) + 1e-5). When q8 is given, the int8 outputs: with scales, per row
// s = max(1e-5, max |half(v w)|) / 128, q = round_away((1 / s) * (v w)) clamped to 127 in magnitude and scale
// rinv * s; without, q = round_away(127 rinv * (v w)) clamped.
struct RmsNormResult {
    std::vector<float> v, out, q8, scales;
};
RmsNormResult rmsnorm_residual(int rows, int F, const std::vector<float>& x,
                               const std::vector<float>& residual, const std::vector<float>& weight,
                               float alpha, bool with_scales);

}  // namespace vyr_ref
