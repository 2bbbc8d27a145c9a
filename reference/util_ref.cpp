#include "util_ref.h"

#include <algorithm>
#include <cmath>

namespace vyr_ref {

double int8_decode(int8_t code) {
    return code / 127.0;
}

int8_t int8_encode(double x) {
    if (std::isnan(x)) return 127;
    x = std::min(std::max(x, -1.0), 1.0) * 127.0;
    return (int8_t)std::nearbyint(x);  // the default rounding mode: ties to even
}

size_t interleaved_index(int n, int t, int c, int T, int C, int chunk) {
    const int group = c / chunk, lane = c % chunk;
    return (((size_t)n * C / chunk + group) * T + t) * chunk + lane;
}

std::vector<double> bias_interleave(int N, int T, int C, const std::vector<double>& in, int in_chunk,
                                    int out_chunk, const std::vector<float>& bias) {
    std::vector<double> out(in.size());
    for (int n = 0; n < N; ++n)
        for (int t = 0; t < T; ++t)
            for (int c = 0; c < C; ++c)
                out.at(interleaved_index(n, t, c, T, C, out_chunk ? out_chunk : C)) =
                    in.at(interleaved_index(n, t, c, T, C, in_chunk ? in_chunk : C)) +
                    (bias.empty() ? 0.0 : bias[c]);
    return out;
}

void strided_copy(const std::vector<double>& in, Strides in_s, std::vector<double>& out, Strides out_s,
                  int d0, int d1, int d2) {
    for (int i0 = 0; i0 < d0; ++i0)
        for (int i1 = 0; i1 < d1; ++i1)
            for (int i2 = 0; i2 < d2; ++i2) out.at(out_s.at(i0, i1, i2)) = in.at(in_s.at(i0, i1, i2));
}

void window_ntwc(int N, int T, int C, int W, int stride, long long batch_stride, long long time_stride,
                 const std::vector<double>& in, std::vector<double>& out) {
    for (int n = 0; n < N; ++n)
        for (int t = 0; t < T / stride; ++t)
            for (int w = 0; w < W; ++w) {
                const int ti = t * stride - W / 2 + w;
                for (int c = 0; c < C; ++c)
                    out.at(n * batch_stride + t * time_stride + w * C + c) =
                        (ti >= 0 && ti < T) ? in.at(((size_t)n * T + ti) * C + c) : 0.0;
            }
}

}  // namespace vyr_ref
