// What the tensor-core linear families share: the CUTLASS threadblock multiply they are built from, their
// tile shapes and shared-memory sizes, the lane map of the warp accumulators that their epilogues stage, and
// the launch helper with its messages.
#pragma once

#include <cstdio>

#include "cutlass/cutlass.h"
#include "cutlass/device_kernel.h"
#include "cutlass/gemm/threadblock/default_mma.h"
#include "frame.cuh"

namespace vyr {

// 128 x 256 x 64 threadblock tiles of 8 warps (2 along M, 4 along N), each warp 64 x 64.
using LinearThreadblockShape = cutlass::gemm::GemmShape<128, 256, 64>;
using LinearWarpShape = cutlass::gemm::GemmShape<64, 64, 64>;

// The CUTLASS threadblock multiply: A row-major and B column-major (row n of the weights), 16-byte global
// accesses into crosswise shared layouts, mma m16n8k16 for half and m16n8k32 (saturating) for 8-bit
// operands. Three stages give MmaMultistage (asynchronous copies, cache-global, no shared-memory clearing),
// two give MmaPipelined (register-staged double buffering).
template <class Element, class Accumulator, int Stages>
struct LinearMmaTraits {
    static constexpr int kBits = cutlass::sizeof_bits<Element>::value;
    static constexpr int kAlignment = 128 / kBits;  // elements per 16-byte access
    using InstructionShape = cutlass::gemm::GemmShape<16, 8, 256 / kBits>;
    using Operator = typename cutlass::platform::conditional<kBits == 8, cutlass::arch::OpMultiplyAddSaturate,
                                                             cutlass::arch::OpMultiplyAdd>::type;
    using Mma = typename cutlass::gemm::threadblock::DefaultMma<
        Element, cutlass::layout::RowMajor, kAlignment, Element, cutlass::layout::ColumnMajor, kAlignment,
        Accumulator, cutlass::layout::RowMajor, cutlass::arch::OpClassTensorOp, cutlass::arch::Sm80,
        LinearThreadblockShape, LinearWarpShape, InstructionShape, Stages, Operator>::ThreadblockMma;
    // Each stage holds a 128 x 64 tile of A and a 64 x 256 tile of B.
    static constexpr int kSmemBytes = Stages * (LinearThreadblockShape::kM + LinearThreadblockShape::kN) *
                                      LinearThreadblockShape::kK * kBits / 8;
    static_assert(sizeof(typename Mma::SharedStorage) == kSmemBytes, "the main loop's shared memory");
};
template <class Element, class Accumulator, int Stages>
using LinearMma = typename LinearMmaTraits<Element, Accumulator, Stages>::Mma;

// Warp accumulators of the tensor-op multiply, with g = lane / 4 and t = lane % 4: instruction tile (m, n)
// (16 x 8) holds its four values at fragment index 4 (m + n * kTilesM) + i, row 16 m + g + 8 (i / 2), column
// 8 n + 2 t + i % 2 of the warp tile. The epilogues stage eight rows at a time through shared memory (row
// stride kStride elements, 8 of padding) so that each row leaves as one contiguous store of the warp.
template <class WarpShape>
struct WarpAccumulatorStaging {
    static constexpr int kTilesM = WarpShape::kM / 16, kTilesN = WarpShape::kN / 8;
    static constexpr int kRows = 8, kStride = WarpShape::kN + 8, kPasses = WarpShape::kM / kRows;

    // Writes the lane's values of rows 8 pass .. 8 pass + 7 into the staging area.
    template <class Fragment, class T>
    CUTLASS_DEVICE static void stage(T* area, Fragment const& acc, int pass, int lane) {
        const int g = lane / 4, t = lane % 4;
        CUTLASS_PRAGMA_UNROLL
        for (int n = 0; n < kTilesN; ++n) {
            CUTLASS_PRAGMA_UNROLL
            for (int c = 0; c < 2; ++c)
                area[g * kStride + 8 * n + 2 * t + c] =
                    T(acc[4 * (pass / 2 + n * kTilesM) + 2 * (pass % 2) + c]);
        }
    }
};

// Launches cutlass::Kernel<KernelOp>: refuses to start while an earlier error is pending (reporting and
// clearing it), raises the kernel's dynamic shared-memory limit on every call, launches, and reports the
// launch's own error.
template <class KernelOp>
cutlass::Status run_kernel(typename KernelOp::Params& params, dim3 grid, cudaStream_t stream) {
    const cudaError_t pending = cudaGetLastError();
    if (pending != cudaSuccess) {
        std::fprintf(stderr, "Vyr Cutlass kernel: CUDA error %d\n", (int)pending);
        return cutlass::Status::kErrorInternal;
    }
    const auto kernel = VYR_KERNEL(cutlass::Kernel<KernelOp>);
    // (All variants but the 2-stage 8-bit one, whose 48 KiB are within the default limit, raise it.)
    constexpr size_t kSmem = sizeof(typename KernelOp::SharedStorage);
    if (!allow_dynamic_smem(kernel, kSmem, kSmemMsgCutlass)) return cutlass::Status::kErrorMemoryAllocation;
    launch(kernel, grid, KernelOp::kThreadCount, kSmem, stream, params);
    return cudaGetLastError() == cudaSuccess ? cutlass::Status::kSuccess : cutlass::Status::kErrorInternal;
}

inline bool aligned(const void* p, size_t bytes) {
    return reinterpret_cast<uintptr_t>(p) % bytes == 0;
}

}  // namespace vyr
