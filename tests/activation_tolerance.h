// Error bounds for a float pre-activation value, an activation on the GPU's fast arithmetic and the final
// rounding to half, against the exact activation of the exact pre-activation value.
#pragma once

#include <cmath>

#include "activation_ref.h"

namespace vyr_test {

constexpr double kHalfUnit = 0x1p-11;      // unit roundoff of half
constexpr double kHalfTinyStep = 0x1p-25;  // half the spacing of half subnormals
constexpr double kFloatUnit = 0x1p-24;
// tanh.approx.f32: relative error 2^-10.987. The exponential-based form used before 7.5 is far tighter
// (ex2.approx 2^-22, rcp.approx 1 ulp), so this bound covers both. The simulator's body is the exact tanh
// rounded to float (within 2 ulp): there the bounds below fall far under half a step of half precision, so
// the stores' rounding to nearest is checked exactly (a truncating store is off by up to a whole step).
#if defined(VYR_BACKEND_SIM)
constexpr double kTanhApproxRel = 2 * kFloatUnit;
#else
inline const double kTanhApproxRel = std::exp2(-10.987);
#endif

// |float activation(x + dx) - exact activation(x)| for |dx| <= pre_err, before rounding the result.
inline double activation_error(int act, double x, double pre_err) {
    const double y = vyr_ref::activation(act, x);
    double own = 0.0;
    // sigmoid = 0.5 tanh(x/2) + 0.5 carries 0.5 |tanh| 2^-10.987 absolute; times |x|, plus the roundings of
    // the fma and the product.
    if (act == 1 || act == 2)
        own = std::fabs(x) * 0.5 * kTanhApproxRel + 3 * kFloatUnit * (std::fabs(y) + std::fabs(x));
    else if (act == 3 || act == 4)
        own = kTanhApproxRel * std::fabs(y) + 2 * kFloatUnit * std::fabs(y);
    // Largest slope of each activation: swish peaks at about 1.0998, 5 tanh at 5.
    return own + (act == 4 ? 5.0 : act == 1 || act == 2 ? 1.1 : 1.0) * pre_err;
}

// The above plus rounding the result to half (round to nearest: half a unit in the last place).
inline double half_output_error(int act, double x, double pre_err) {
    const double y = vyr_ref::activation(act, x);
    return activation_error(act, x, pre_err) + kHalfUnit * std::fabs(y) + kHalfTinyStep;
}

}  // namespace vyr_test
