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

template <VyrActivation A, ActivationForm F>
float eval(float x) {
    return vyr::activation<A, F>(x);
}

struct Form {
    const char* name;
    float (*act[5])(float);
    double rel, abs;
};

const Form kForms[] = {
    {"hardware tanh",
     {eval<VyrActivation::identity, ActivationForm::HardwareTanh>,
      eval<VyrActivation::swish, ActivationForm::HardwareTanh>,
      eval<VyrActivation::swish_clamp, ActivationForm::HardwareTanh>,
      eval<VyrActivation::tanh, ActivationForm::HardwareTanh>,
      eval<VyrActivation::tanh_x5, ActivationForm::HardwareTanh>},
     kHwRel,
     3.2e-3},
    {"exponential",
     {eval<VyrActivation::identity, ActivationForm::Exp2>, eval<VyrActivation::swish, ActivationForm::Exp2>,
      eval<VyrActivation::swish_clamp, ActivationForm::Exp2>, eval<VyrActivation::tanh, ActivationForm::Exp2>,
      eval<VyrActivation::tanh_x5, ActivationForm::Exp2>},
     kExpRel,
     4 * kExpRel},
};

TEST(Activation, MatchesReferenceInBothForms) {
    vyr_test::Rng rng(11);
    for (const Form& f : kForms) {
        SCOPED_TRACE(f.name);
        for (int a = 0; a < 5; ++a) {
            std::vector<float> got, want;
            for (int i = 0; i < 2000; ++i) {
                const float x = i < 1000 ? rng.uniform(-12.0f, 12.0f) : rng.normal(0.0f, 2.0f);
                got.push_back(f.act[a](x));
                want.push_back((float)vyr_ref::activation(a, x));
            }
            // tanh_x5 scales both bounds by 5.
            const double scale = a == 4 ? 5.0 : 1.0;
            EXPECT_TRUE(vyr_test::all_near(got, want, scale * f.abs, f.rel)) << "activation " << a;
        }
    }
}

TEST(Activation, EdgeValues) {
    const float denormal = std::numeric_limits<float>::denorm_min() * 7;
    for (const Form& f : kForms) {
        SCOPED_TRACE(f.name);
        // identity returns its input bit for bit, NaN included.
        for (float x : {0.0f, -0.0f, 1.5f, -3.25e-5f, 65504.0f, std::numeric_limits<float>::infinity()})
            EXPECT_EQ(x, f.act[0](x));
        EXPECT_TRUE(std::isnan(f.act[0](std::nanf(""))));
        // swish_clamp clamps from above only: exactly 3.5 above about 3.6, negative results unchanged.
        for (float x : {3.7f, 10.0f, 1000.0f}) {
            EXPECT_EQ(3.5f, f.act[2](x));
            EXPECT_GT(f.act[1](x), 3.5f);
        }
        EXPECT_EQ(f.act[1](-2.0f), f.act[2](-2.0f));
        EXPECT_EQ(3.5f, f.act[2](std::nanf("")));  // the float minimum returns the other operand for a NaN
        // tanh_x5 saturates at +-5 and is 0 at 0; tanh and sigmoid behave at 0 and for denormals.
        EXPECT_NEAR(5.0f, f.act[4](40.0f), 5 * f.rel);
        EXPECT_NEAR(-5.0f, f.act[4](-40.0f), 5 * f.rel);
        EXPECT_EQ(0.0f, f.act[4](0.0f));
        EXPECT_EQ(0.0f, f.act[3](0.0f));
        EXPECT_EQ(0.0f, f.act[3](denormal));
    }
    EXPECT_EQ(0.5f, vyr::sigmoid_form<ActivationForm::HardwareTanh>(0.0f));
    EXPECT_EQ(0.5f, vyr::sigmoid_form<ActivationForm::Exp2>(0.0f));
    EXPECT_EQ(0.5f, vyr::sigmoid_form<ActivationForm::Exp2>(denormal));
}

}  // namespace
