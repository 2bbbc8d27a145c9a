// The simulator's cutlass/arch/mma_sm80.h: the 8.0 warp-level tensor-core instructions that the library's
// kernels use, on the device header's mma emulation. Any other shape or type has no specialisation here, so
// a kernel that needs one fails to compile instead of computing nothing.
#pragma once

#include <cstring>

#include "cutlass/arch/mma.h"
#include "cutlass/cutlass.h"
#include "cutlass/layout/matrix.h"
#include "cutlass/numeric_types.h"
#include "intrinsics.cuh"

#define CUTLASS_ARCH_MMA_SM80_SUPPORTED 1

namespace cutlass {
namespace arch {

namespace vyr_detail {
template <class Ops, class FragmentA, class FragmentB>
CUTLASS_DEVICE void gather(Ops& ops, FragmentA const& a, FragmentB const& b) {
    static_assert(sizeof(FragmentA) == sizeof(ops.a) && sizeof(FragmentB) == sizeof(ops.b),
                  "register counts");
    std::memcpy(ops.a, &a, sizeof(ops.a));
    std::memcpy(ops.b, &b, sizeof(ops.b));
}
}  // namespace vyr_detail

// m16n8k16, F32 = F16 * F16 + F32.
template <>
struct Mma<gemm::GemmShape<16, 8, 16>, 32, half_t, layout::RowMajor, half_t, layout::ColumnMajor, float,
           layout::RowMajor, OpMultiplyAdd> {
    using Shape = gemm::GemmShape<16, 8, 16>;
    using ElementA = half_t;
    using LayoutA = layout::RowMajor;
    using FragmentA = Array<half_t, 8>;
    using ElementB = half_t;
    using LayoutB = layout::ColumnMajor;
    using FragmentB = Array<half_t, 4>;
    using ElementC = float;
    using LayoutC = layout::RowMajor;
    using FragmentC = Array<float, 4>;
    using Operator = OpMultiplyAdd;
    using ArchTag = arch::Sm80;

    CUTLASS_HOST_DEVICE
    void operator()(FragmentC& d, FragmentA const& a, FragmentB const& b, FragmentC const& c) const {
        ::vyr::MmaF16Operands ops;
        vyr_detail::gather(ops, a, b);
        std::memcpy(ops.c, &c, sizeof ops.c);
        float out[4];
        ::vyr::mma_m16n8k16_f16(out, ops);
        std::memcpy(&d, out, sizeof out);
    }
};

// m16n8k16, F16 = F16 * F16 + F16.
template <>
struct Mma<gemm::GemmShape<16, 8, 16>, 32, half_t, layout::RowMajor, half_t, layout::ColumnMajor, half_t,
           layout::RowMajor, OpMultiplyAdd> {
    using Shape = gemm::GemmShape<16, 8, 16>;
    using ElementA = half_t;
    using LayoutA = layout::RowMajor;
    using FragmentA = Array<half_t, 8>;
    using ElementB = half_t;
    using LayoutB = layout::ColumnMajor;
    using FragmentB = Array<half_t, 4>;
    using ElementC = half_t;
    using LayoutC = layout::RowMajor;
    using FragmentC = Array<half_t, 4>;
    using Operator = OpMultiplyAdd;
    using ArchTag = arch::Sm80;

    CUTLASS_HOST_DEVICE
    void operator()(FragmentC& d, FragmentA const& a, FragmentB const& b, FragmentC const& c) const {
        ::vyr::MmaF16AccOperands ops;
        vyr_detail::gather(ops, a, b);
        std::memcpy(ops.c, &c, sizeof ops.c);
        unsigned out[2];
        ::vyr::mma_m16n8k16_f16_acc16(out, ops);
        std::memcpy(&d, out, sizeof out);
    }
};

// m16n8k32, S32 = (S8 or U8) * (S8 or U8) + S32, wrapping (OpMultiplyAdd) or saturating
// (OpMultiplyAddSaturate).
template <class ElementA_, class ElementB_, class Operator_>
struct Mma<gemm::GemmShape<16, 8, 32>, 32, ElementA_, layout::RowMajor, ElementB_, layout::ColumnMajor, int,
           layout::RowMajor, Operator_> {
    static_assert(
        (platform::is_same<ElementA_, int8_t>::value || platform::is_same<ElementA_, uint8_t>::value) &&
            (platform::is_same<ElementB_, int8_t>::value || platform::is_same<ElementB_, uint8_t>::value),
        "m16n8k32 multiplies signed or unsigned bytes");
    static_assert(platform::is_same<Operator_, OpMultiplyAdd>::value ||
                      platform::is_same<Operator_, OpMultiplyAddSaturate>::value,
                  "m16n8k32 adds with or without saturation");
    using Shape = gemm::GemmShape<16, 8, 32>;
    using ElementA = ElementA_;
    using LayoutA = layout::RowMajor;
    using FragmentA = Array<ElementA_, 16>;
    using ElementB = ElementB_;
    using LayoutB = layout::ColumnMajor;
    using FragmentB = Array<ElementB_, 8>;
    using ElementC = int;
    using LayoutC = layout::RowMajor;
    using FragmentC = Array<int, 4>;
    using Operator = Operator_;
    using ArchTag = arch::Sm80;

    CUTLASS_HOST_DEVICE
    void operator()(FragmentC& d, FragmentA const& a, FragmentB const& b, FragmentC const& c) const {
        ::vyr::MmaS8Operands ops;
        vyr_detail::gather(ops, a, b);
        std::memcpy(ops.c, &c, sizeof ops.c);
        int out[4];
        ::vyr::mma_m16n8k32_8bit<platform::is_same<ElementA_, int8_t>::value,
                                 platform::is_same<ElementB_, int8_t>::value,
                                 platform::is_same<Operator_, OpMultiplyAddSaturate>::value>(out, ops);
        std::memcpy(&d, out, sizeof out);
    }
};

}  // namespace arch
}  // namespace cutlass
