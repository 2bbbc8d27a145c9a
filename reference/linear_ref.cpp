#include "linear_ref.h"

#include <cmath>

namespace vyr_ref {

LinearPre linear_pre_activation(const LinearOperands& op) {
    LinearPre pre{std::vector<double>((size_t)op.M * op.N), std::vector<double>((size_t)op.M * op.N)};
    for (int r = 0; r < op.M; ++r)
        for (int n = 0; n < op.N; ++n) {
            double sum = 0, mag = 0;
            for (int k = 0; k < op.K; ++k) {
                const double t = (double)op.a[(size_t)r * op.lda + k] * op.b[(size_t)n * op.K + k];
                sum += t;
                mag += std::fabs(t);
            }
            const double unit = op.int8 ? 127.0 * op.scale[n] : 1.0;
            pre.value[(size_t)r * op.N + n] = sum / unit + (op.bias.empty() ? 0.0 : op.bias[n]);
            pre.magnitude[(size_t)r * op.N + n] = mag / std::fabs(unit);
        }
    return pre;
}

SwiGLUResult swiglu(const std::vector<float>& a, const std::vector<float>& w, int M, int N, int K) {
    const int P = N / 2;
    SwiGLUResult res;
    for (auto* v : {&res.out, &res.value, &res.gate, &res.value_magnitude, &res.gate_magnitude})
        v->assign((size_t)M * P, 0.0);
    for (int r = 0; r < M; ++r)
        for (int p = 0; p < P; ++p) {
            double v = 0, g = 0, vm = 0, gm = 0;
            for (int k = 0; k < K; ++k) {
                const double x = a[(size_t)r * K + k];
                v += x * w[(size_t)(2 * p) * K + k];
                g += x * w[(size_t)(2 * p + 1) * K + k];
                vm += std::fabs(x * w[(size_t)(2 * p) * K + k]);
                gm += std::fabs(x * w[(size_t)(2 * p + 1) * K + k]);
            }
            const size_t i = (size_t)r * P + p;
            res.value[i] = v;
            res.gate[i] = g;
            res.value_magnitude[i] = vm;
            res.gate_magnitude[i] = gm;
            res.out[i] = v * g / (1.0 + std::exp(-g));
        }
    return res;
}

}  // namespace vyr_ref
