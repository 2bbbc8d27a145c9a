#include "transformer_ref.h"

#include <cuda_fp16.h>

#include <algorithm>
#include <cmath>

namespace vyr_ref {

float round_half(float x) {
    return __half2float(__float2half_rn(x));
}

std::vector<float> matmul_half(int M, int N, int K, const std::vector<float>& x, const std::vector<float>& w,
                               bool half_accumulate) {
    std::vector<float> v((size_t)M * N);
    for (int r = 0; r < M; ++r)
        for (int c = 0; c < N; ++c) {
            float acc = 0.0f;
            for (int k0 = 0; k0 < K; k0 += 16) {
                double s = acc;  // products of halves and their 16-term sums are exact in double here
                for (int k = k0; k < k0 + 16; ++k) s += (double)x[(size_t)r * K + k] * w[(size_t)c * K + k];
                acc = half_accumulate ? round_half((float)s) : (float)s;
            }
            v[(size_t)r * N + c] = acc;
        }
    return v;
}

std::vector<float> matmul_int8(int M, int N, int K, const std::vector<float>& x, const std::vector<float>& w,
                               const std::vector<float>& x_scales, const std::vector<float>& w_scales) {
    std::vector<float> v((size_t)M * N);
    for (int r = 0; r < M; ++r)
        for (int c = 0; c < N; ++c) {
            int64_t sum = 0;
            for (int k = 0; k < K; ++k) sum += (int64_t)x[(size_t)r * K + k] * (int64_t)w[(size_t)c * K + k];
            const float xs = x_scales.empty() ? 1.0f / 127.0f : x_scales[r];
            const float ws = w_scales.empty() ? 1.0f / 127.0f : w_scales[c];
            const float scale = ws * xs;
            v[(size_t)r * N + c] = scale * (float)sum;
        }
    return v;
}

std::vector<float> linear_epilogue(int M, int N, const std::vector<float>& v,
                                   const std::vector<float>& bias) {
    std::vector<float> y(v.size());
    for (int r = 0; r < M; ++r)
        for (int c = 0; c < N; ++c) {
            const float h = round_half(v[(size_t)r * N + c]);
            y[(size_t)r * N + c] = bias.empty() ? h : round_half(h + bias[c]);
        }
    return y;
}

std::vector<float> swiglu(int M, int F, const std::vector<float>& v) {
    std::vector<float> y((size_t)M * F / 2);
    for (int r = 0; r < M; ++r)
        for (int q = 0; q < F / 32; ++q)
            for (int c = 0; c < 16; ++c) {
                const float b = round_half(v[(size_t)r * F + 32 * q + c]);
                const float a = v[(size_t)r * F + 32 * q + 16 + c];
                const float h = round_half(0.5f * a);
                const float t = round_half((float)std::tanh((double)h));
                const float s = round_half(round_half(h * t) + h);
                y[(size_t)r * F / 2 + 16 * q + c] = round_half(b * s);
            }
    return y;
}

void rotate_half(float& x0, float& x1, float s, float c) {
    const float r0 = round_half(round_half(x0 * c) - round_half(x1 * s));
    const float r1 = round_half(round_half(x0 * s) + round_half(x1 * c));
    x0 = r0;
    x1 = r1;
}

std::vector<float> qkv_rotary(int rows, int H, int hd, int steps, const std::vector<float>& v,
                              const std::vector<float>& table) {
    std::vector<float> out(v.size());
    for (size_t i = 0; i < v.size(); ++i) out[i] = round_half(v[i]);
    const size_t cols = 3 * (size_t)H * hd;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < 2 * H * hd; c += 2) {
            const size_t i = r * cols + c, t = (size_t)(r % steps) * hd + c % hd;
            rotate_half(out[i], out[i + 1], table[t], table[t + 1]);
        }
    return out;
}

std::vector<float> qkv_layout(const std::vector<float>& m, size_t rows, size_t cols) {
    std::vector<float> t(m.size());
    for (size_t r = 0; r < rows; ++r)
        for (size_t c = 0; c < cols; ++c)
            t[c < cols / 3 * 2 ? tiled_index(r, c, cols, 8)
                               : tiled_index(r / 8 * 8 + c % 8, c / 8 * 8 + r % 8, cols, 8)] =
                m[r * cols + c];
    return t;
}

std::vector<float> band_attention(int N, int T, int H, int S, const std::vector<float>& qkv) {
    const int L = 16 * T, D = 64;
    const size_t cols = 3 * (size_t)H * D;
    std::vector<float> out((size_t)N * L * H * D);
    for (int n = 0; n < N; ++n)
        for (int h = 0; h < H; ++h)
            for (int i = 0; i < L; ++i) {
                // Rows of this sequence; query, key and value of head h start at columns h D, (H + h) D, (2 H
                // + h) D.
                const float* row = &qkv[(size_t)n * L * cols];
                const size_t q = i * cols + (size_t)h * D, k = (size_t)(H + h) * D,
                             v = (size_t)(2 * H + h) * D;
                const int lo = std::max(0, 16 * (i / 16 - S)), hi = std::min(L, 16 * (i / 16 + S + 1));
                std::vector<double> p(hi - lo);
                double mx = -INFINITY, sum = 0.0;
                for (int j = lo; j < hi; ++j) {
                    double s = 0.0;
                    for (int d = 0; d < D; ++d) s += (double)row[q + d] * row[j * cols + k + d];
                    p[j - lo] = s / 8.0;
                    mx = std::max(mx, p[j - lo]);
                }
                for (double& x : p) sum += (x = std::exp(x - mx));
                for (int d = 0; d < D; ++d) {
                    double o = 0.0;
                    for (int j = lo; j < hi; ++j) o += p[j - lo] * row[j * cols + v + d];
                    out[((size_t)n * L + i) * H * D + (size_t)h * D + d] = (float)(o / sum);
                }
            }
    return out;
}

RmsNormResult rmsnorm_residual(int rows, int F, const std::vector<float>& x,
                               const std::vector<float>& residual, const std::vector<float>& weight,
                               float alpha, bool with_scales) {
    RmsNormResult r;
    r.v.resize((size_t)rows * F);
    r.out.resize(r.v.size());
    r.q8.resize(r.v.size());
    r.scales.resize(rows);
    const double alpha_h = round_half(alpha);
    for (int i = 0; i < rows; ++i) {
        double sum = 0.0;
        float mx = 1e-5f;
        for (int c = 0; c < F; ++c) {
            const size_t e = (size_t)i * F + c;
            r.v[e] = round_half((float)(alpha_h * residual[e] + x[e]));
            sum += (double)r.v[e] * r.v[e];
            mx = std::max(mx, std::fabs(round_half(r.v[e] * weight[c])));
        }
        const float rinv = (float)(1.0 / std::sqrt(sum / F + 1e-5));
        const float s = mx / 128.0f;
        const float mult = with_scales ? 1.0f / s : 127.0f * rinv;
        r.scales[i] = rinv * s;
        for (int c = 0; c < F; ++c) {
            const size_t e = (size_t)i * F + c;
            const float y = r.v[e] * weight[c];
            r.out[e] = round_half(rinv * y);
            r.q8[e] = std::min(127.0f, std::max(-127.0f, std::round(mult * y)));
        }
    }
    return r;
}

}  // namespace vyr_ref
