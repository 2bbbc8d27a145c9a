// The activation functions in both formulations (hardware tanh from 7.5, base-2 exponential before), called
// from host code. Tolerances are the GPU's documented bounds, not the exact host bodies the test runs here.
#include <cmath>
#include <limits>

#include "activation.cuh"
#include "activation_ref.h"
#include "harness.h"

namespace {

using vyr::ActivationForm;

// Relative error of each formulation on the GPU:
//  - hardware tanh: tanh.approx.f32, 2^-10.987 relative; sigmoid = 0.5 tanh(x/2) + 0.5 keeps it near 1 but
//    is only absolutely accurate (2^-11.987) where it is small, so swish(x) = x sigmoid(x) gets an absolute
//    bound of |x| 2^-11.987, at most 12 * 2^-11.987 < 3.2e-3 over the inputs below.
//  - exponential form: ex2.approx (2^-22) and rcp.approx (1 ulp, 2^-23) give sigmoid within 2^-21; tanh =
//    2 sigmoid(2x) - 1 loses accuracy by cancellation near 0, so it is bounded absolutely by 2 * 2^-21.
constexpr double kHwRel = 1.0 / 1024;
constexpr double kExpRel = 1.0 / (1 << 21);

// Activation a (0 identity .. 4 tanh_x5) of form F, chosen at run time.
template <ActivationForm F>
float act(int a, float x) {
    using A = VyrActivation;
    constexpr float (*fn[])(float) = {vyr::activation<A::identity, F>, vyr::activation<A::swish, F>,
                                      vyr::activation<A::swish_clamp, F>, vyr::activation<A::tanh, F>,
                                      vyr::activation<A::tanh_x5, F>};
    return fn[a](x);
}

// Each form with its relative bound and its absolute bound (tanh_x5 scales both by 5).
template <ActivationForm F>
void check_form(double rel, double abs) {
    vyr_test::Rng rng(11);
    for (int a = 0; a < 5; ++a) {
        std::vector<float> got, want;
        for (int i = 0; i < 2000; ++i) {
            const float x = rng.uniform(-12.0f, 12.0f) / (i % 2 ? 4 : 1);
            got.push_back(act<F>(a, x));
            want.push_back((float)vyr_ref::activation(a, x));
        }
        const double scale = a == 4 ? 5.0 : 1.0;
        EXPECT_TRUE(vyr_test::all_near(got, want, scale * abs, rel)) << "activation " << a;
    }
    // identity returns its input bit for bit, NaN included.
    for (float x : {0.0f, -0.0f, 1.5f, -3.25e-5f, 65504.0f, INFINITY}) EXPECT_EQ(x, act<F>(0, x));
    EXPECT_TRUE(std::isnan(act<F>(0, NAN)));
    // swish_clamp clamps from above only: exactly 3.5 above about 3.6, negative results unchanged; the float
    // minimum returns the other operand for a NaN.
    for (float x : {3.7f, 10.0f, 1000.0f}) EXPECT_EQ(3.5f, act<F>(2, x));
    EXPECT_EQ(act<F>(1, -2.0f), act<F>(2, -2.0f));
    EXPECT_EQ(3.5f, act<F>(2, NAN));
    // tanh_x5 saturates at +-5 and is 0 at 0; tanh and sigmoid behave at 0 and for denormals.
    const float denormal = std::numeric_limits<float>::denorm_min() * 7;
    EXPECT_NEAR(5.0f, act<F>(4, 40.0f), 5 * rel);
    EXPECT_NEAR(-5.0f, act<F>(4, -40.0f), 5 * rel);
    EXPECT_EQ(0.0f, act<F>(4, 0.0f));
    EXPECT_EQ(0.0f, act<F>(3, 0.0f));
    EXPECT_EQ(0.0f, act<F>(3, denormal));
    EXPECT_EQ(0.5f, vyr::sigmoid_form<F>(0.0f));
    EXPECT_EQ(0.5f, vyr::sigmoid_form<F>(denormal));
}

TEST(Activation, HardwareTanhForm) {
    check_form<ActivationForm::HardwareTanh>(kHwRel, 3.2e-3);
}

TEST(Activation, ExponentialForm) {
    check_form<ActivationForm::Exp2>(kExpRel, 4 * kExpRel);
}

}  // namespace
