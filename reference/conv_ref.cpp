#include "conv_ref.h"

#include <cmath>

namespace vyr_ref {

std::vector<double> convolution_pre(const ConvShape& s, const std::vector<float>& in,
                                    const std::vector<float>& weights, const std::vector<float>& bias,
                                    std::vector<double>* abs_sum) {
    const int T_out = s.t_out();
    std::vector<double> pre((size_t)s.N * T_out * s.C_out);
    if (abs_sum) abs_sum->assign(pre.size(), 0.0);
    for (int n = 0; n < s.N; ++n)
        for (int t = 0; t < T_out; ++t)
            for (int o = 0; o < s.C_out; ++o) {
                double acc = bias[o], mag = std::fabs(bias[o]);
                for (int k = 0; k < s.W; ++k) {
                    const long long ti = (long long)t * s.stride - s.padding + k;
                    if (ti < 0 || ti >= s.T_in) continue;
                    for (int c = 0; c < s.C_in; ++c) {
                        const double term = (double)in[((size_t)n * s.T_in + ti) * s.C_in + c] *
                                            weights[((size_t)k * s.C_in + c) * s.C_out + o];
                        acc += term;
                        mag += std::fabs(term);
                    }
                }
                const size_t i = ((size_t)n * T_out + t) * s.C_out + o;
                pre[i] = acc;
                if (abs_sum) (*abs_sum)[i] = mag;
            }
    return pre;
}

}  // namespace vyr_ref
