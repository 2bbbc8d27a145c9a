#include "dense_transformer_ref.h"

#include <algorithm>
#include <cmath>

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
    constexpr int D = 64, kTile = 16;
    std::vector<float> out((size_t)N * T * H * D);
    std::vector<double> w(T);
    for (int n = 0; n < N; ++n)
        for (int h = 0; h < H; ++h) {
            const size_t plane = ((size_t)n * H + h) * T * D;
            for (int t = 0; t < T; ++t) {
                const int tile = t / kTile;
                const int first = std::max(tile - band, 0) * kTile;
                const int last = std::min((tile + band + 1) * kTile, T);
                double top = -INFINITY;
                for (int s = first; s < last; ++s) {
                    double dot = 0.0;
                    for (int d = 0; d < D; ++d)
                        dot += (double)q[plane + (size_t)t * D + d] * k[plane + (size_t)s * D + d];
                    w[s] = dot / 8.0;
                    top = std::max(top, w[s]);
                }
                double sum = 0.0;
                for (int s = first; s < last; ++s) sum += (w[s] = std::exp(w[s] - top));
                for (int d = 0; d < D; ++d) {
                    double acc = 0.0;
                    for (int s = first; s < last; ++s) acc += w[s] * v[plane + (size_t)s * D + d];
                    out[(((size_t)n * T + t) * H + h) * D + d] = (float)(acc / sum);
                }
            }
        }
    return out;
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
    SampledProduct p{std::vector<double>((size_t)rows * n, NAN), std::vector<double>((size_t)rows * n, NAN)};
    for (int r = 0; r < rows; r += row_step)
        for (int c = 0; c < n; ++c) {
            double s = 0, m = 0;
            for (int k = 0; k < K; ++k) {
                const double xw = (double)x[(size_t)r * K + k] * w[(size_t)c * K + k];
                s += xw;
                m += std::fabs(xw);
            }
            p.y[(size_t)r * n + c] = s;
            p.mag[(size_t)r * n + c] = m;
        }
    return p;
}

}  // namespace vyr_ref
