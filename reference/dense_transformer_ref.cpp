#include "dense_transformer_ref.h"

#include <algorithm>
#include <cmath>

#include "linear_ref.h"
#include "transformer_ref.h"

namespace vyr_ref {

std::vector<float> rotary_embed_transpose(int N, int T, int H, int D, const std::vector<float>& in,
                                          double theta) {
    const size_t plane = (size_t)N * H * T * D;
    std::vector<float> out(3 * plane);
    for (int n = 0; n < N; ++n)
        for (int t = 0; t < T; ++t)
            for (int h = 0; h < H; ++h)
                for (int i = 0; i < D / 2; ++i) {
                    const double angle = t * std::pow(theta, -2.0 * i / D);
                    const double s = std::sin(angle), c = std::cos(angle);
                    const size_t src = ((size_t)n * T + t) * 3 * H * D + (size_t)h * D + 2 * i;
                    const size_t dst = (((size_t)n * H + h) * T + t) * D + 2 * i;
                    for (int part = 0; part < 3; ++part) {
                        const double x0 = in[src + (size_t)part * H * D],
                                     x1 = in[src + (size_t)part * H * D + 1];
                        const bool rotate = part < 2;
                        out[part * plane + dst] = (float)(rotate ? c * x0 - s * x1 : x0);
                        out[part * plane + dst + 1] = (float)(rotate ? s * x0 + c * x1 : x1);
                    }
                }
    return out;
}

std::vector<float> banded_attention(int N, int T, int H, const std::vector<float>& q,
                                    const std::vector<float>& k, const std::vector<float>& v, int band) {
    // The planes as the rows of a QKV tensor, whose banded attention is the one oracle of both families.
    constexpr int D = 64;
    const size_t cols = 3 * (size_t)H * D;
    std::vector<float> qkv((size_t)N * T * cols);
    for (int n = 0; n < N; ++n)
        for (int h = 0; h < H; ++h)
            for (int t = 0; t < T; ++t)
                for (int part = 0; part < 3; ++part) {
                    const std::vector<float>& plane = part == 0 ? q : part == 1 ? k : v;
                    std::copy_n(&plane[(((size_t)n * H + h) * T + t) * D], D,
                                &qkv[((size_t)n * T + t) * cols + ((size_t)part * H + h) * D]);
                }
    return band_attention(N, T / 16, H, band, qkv);
}

std::vector<float> residual_rmsnorm(int C, int N, const std::vector<float>& in,
                                    const std::vector<float>& residual, double scale,
                                    const std::vector<float>& weight) {
    std::vector<float> out((size_t)N * C);
    std::vector<double> v(C);
    for (int n = 0; n < N; ++n) {
        double squares = 0.0;
        for (int c = 0; c < C; ++c) {
            v[c] = (double)in[(size_t)n * C + c] + residual[(size_t)n * C + c] * scale;
            squares += v[c] * v[c];
        }
        const double r = 1.0 / std::sqrt(squares / C + 1e-5);
        for (int c = 0; c < C; ++c) out[(size_t)n * C + c] = (float)(v[c] * r * weight[c]);
    }
    return out;
}

SampledProduct sampled_product(int rows, int n, int K, const std::vector<float>& x,
                               const std::vector<float>& w, int row_step) {
    // Every row_step-th row of x is one row of a product whose rows are row_step K apart.
    const LinearOperands op{(rows + row_step - 1) / row_step, n, K, K * row_step, false, x, w, {}, {}};
    const LinearPre pre = linear_pre_activation(op);
    SampledProduct p{std::vector<double>((size_t)rows * n, NAN), std::vector<double>((size_t)rows * n, NAN)};
    for (int r = 0; r < op.M; ++r) {
        std::copy_n(&pre.value[(size_t)r * n], n, &p.y[(size_t)r * row_step * n]);
        std::copy_n(&pre.magnitude[(size_t)r * n], n, &p.mag[(size_t)r * row_step * n]);
    }
    return p;
}

}  // namespace vyr_ref
