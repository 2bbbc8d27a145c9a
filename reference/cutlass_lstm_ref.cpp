#include "cutlass_lstm_ref.h"

#include <cuda_fp16.h>

#include <cmath>

namespace vyr_ref {

namespace {

double round_half(double x) {
    return __half2float(__double2half(x));
}

}  // namespace

void cutlass_lstm(CutlassLstmLayer& p, bool forward, double skew) {
    const int M = p.M, L = p.L, K = 2 * p.L;
    const size_t slice = (size_t)M * L;
    auto tanh_s = [skew](double x) { return std::tanh(x) * (1.0 + skew); };
    auto sigmoid_s = [&](double x) { return 0.5 * tanh_s(0.5 * x) + 0.5; };
    std::vector<double> a(K);
    for (int t = 0; t < p.T; ++t) {
        const int tp = forward ? t : p.T - t;
        for (int r = 0; r < M; ++r) {
            for (int k = 0; k < L; ++k) {
                a[k] = p.seq[(tp + 2) * slice + (size_t)r * L + k];
                a[L + k] = p.seq[tp * slice + (size_t)r * L + k];
            }
            for (int u = 0; u < L; ++u) {
                double z[4];
                for (int g = 0; g < 4; ++g) {
                    const int n = 4 * u + g;
                    const float* w = &p.weights[(size_t)n * K];
                    double acc = 0.0;
                    if (p.int8) {
                        for (int k = 0; k < K; ++k) acc += a[k] * w[k];
                        z[g] = acc / ((double)p.scale[n] * 127.0) + p.bias[n];
                    } else {
                        for (int k0 = 0; k0 < K; k0 += 16) {
                            double sum = acc;
                            for (int k = k0; k < k0 + 16; ++k) sum += a[k] * w[k];
                            acc = round_half(sum);
                        }
                        z[g] = acc + p.bias[n];
                    }
                }
                const double i = sigmoid_s(z[0]), f = sigmoid_s(z[1]), gg = tanh_s(z[2]), o = sigmoid_s(z[3]);
                float& cell = p.cell[(size_t)r * L + u];
                const double c = f * cell + i * gg;
                cell = (float)round_half(c);
                const double h = o * tanh_s(c);
                p.seq[(tp + 1) * slice + (size_t)r * L + u] =
                    p.int8 ? (float)std::round(127.0 * h) : (float)round_half(h);
            }
        }
    }
}

size_t CutlassLstmLayout::seq_index(int slice, int r, int k) const {
    const size_t in_slice =
        interleave ? (size_t)k / interleave * M * interleave + (size_t)r * interleave + k % interleave
                   : (size_t)r * lda + k;
    return slice * (size_t)M * (interleave ? L : lda) + in_slice;
}

size_t CutlassLstmLayout::weight_index(int n, int k) const {
    return interleave ? (size_t)k / interleave * 4 * L * interleave + (size_t)n * interleave + k % interleave
                      : (size_t)n * 2 * L + k;
}

std::vector<float> CutlassLstmLayout::store_seq(const std::vector<float>& seq) const {
    std::vector<float> out((size_t)(T + 3) * M * (interleave ? L : lda), 0.0f);
    for (int slice = 0; slice < T + 3; ++slice)
        for (int r = 0; r < M; ++r)
            for (int k = 0; k < L; ++k) out[seq_index(slice, r, k)] = seq[((size_t)slice * M + r) * L + k];
    return out;
}

std::vector<float> CutlassLstmLayout::store_weights(const std::vector<float>& weights) const {
    std::vector<float> out(weights.size());
    for (int n = 0; n < 4 * L; ++n)
        for (int k = 0; k < 2 * L; ++k) out[weight_index(n, k)] = weights[(size_t)n * 2 * L + k];
    return out;
}

std::vector<float> CutlassLstmLayout::load_seq(const std::vector<float>& stored) const {
    std::vector<float> seq((size_t)(T + 3) * M * L);
    for (int slice = 0; slice < T + 3; ++slice)
        for (int r = 0; r < M; ++r)
            for (int k = 0; k < L; ++k) seq[((size_t)slice * M + r) * L + k] = stored[seq_index(slice, r, k)];
    return seq;
}

}  // namespace vyr_ref
