// Convolution over time in double: the oracle for host_convolution_f16.
#pragma once

#include <vector>

namespace vyr_ref {

struct ConvShape {
    int N, C_in, C_out, T_in, W, stride, padding;
    int t_out() const { return T_in / stride; }
};

// Pre-activation sums bias[o] + sum over taps k and channels c of in[n][t*stride - padding + k][c] *
// weights[k][c][o], taps outside [0, T_in) skipped; dense [N][T_out][C_out]. When abs_sum is given it
// receives |bias| + sum |in * weight| per output, the scale of the rounding error of any summation order.
std::vector<double> convolution_pre(const ConvShape& s, const std::vector<float>& in,
                                    const std::vector<float>& weights, const std::vector<float>& bias,
                                    std::vector<double>* abs_sum = nullptr);

}  // namespace vyr_ref
