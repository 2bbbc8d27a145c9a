// Element-wise activations applied after a bias add, evaluated in float. The activation is a template
// argument of every kernel that uses one, so no kernel branches on it.
//
// Two formulations of the building blocks exist: from compute capability 7.5 the hardware tanh
// approximation, before it the fast base-2 exponential. Both are callable from host code (with the exact
// host bodies of the intrinsics) so that tests exercise both on any backend.
#pragma once

#include "intrinsics.cuh"
#include "vyr.h"

namespace vyr {

enum class ActivationForm { Exp2, HardwareTanh };

// The formulation device code of the architecture being compiled uses.
constexpr ActivationForm kActivationForm =
    (VYR_ARCH == 0 || VYR_ARCH >= 750) ? ActivationForm::HardwareTanh : ActivationForm::Exp2;

template <ActivationForm F>
__host__ __device__ inline float sigmoid_form(float x) {
    if constexpr (F == ActivationForm::HardwareTanh) {
        return fmaf(fast_tanh(x * 0.5f), 0.5f, 0.5f);
    } else {
        // e^-x as 2^(x * -log2 e), then the approximate reciprocal of 1 + e^-x.
        return fast_rcp(1.0f + fast_exp2(x * -kLog2e));
    }
}

template <ActivationForm F>
__host__ __device__ inline float tanh_fast_form(float x) {
    if constexpr (F == ActivationForm::HardwareTanh) {
        return fast_tanh(x);
    } else {
        return fmaf(sigmoid_form<F>(x + x), 2.0f, -1.0f);
    }
}

template <ActivationForm F>
__host__ __device__ inline float swish_form(float x) {
    return x * sigmoid_form<F>(x);
}

template <VyrActivation A, ActivationForm F = kActivationForm>
__host__ __device__ inline float activation(float x) {
    if constexpr (A == VyrActivation::identity) {
        return x;
    } else if constexpr (A == VyrActivation::swish) {
        return swish_form<F>(x);
    } else if constexpr (A == VyrActivation::swish_clamp) {
        // fminf returns the other operand for a NaN, so a NaN swish gives 3.5.
        return fminf(swish_form<F>(x), 3.5f);
    } else if constexpr (A == VyrActivation::tanh) {
        return tanh_fast_form<F>(x);
    } else {
        static_assert(A == VyrActivation::tanh_x5, "unknown activation");
        return 5.0f * tanh_fast_form<F>(x);
    }
}

__host__ __device__ inline float sigmoid(float x) {
    return sigmoid_form<kActivationForm>(x);
}
__host__ __device__ inline float tanh_fast(float x) {
    return tanh_fast_form<kActivationForm>(x);
}
__host__ __device__ inline float swish(float x) {
    return swish_form<kActivationForm>(x);
}

}  // namespace vyr
