// The threadblock multiply of the LSTM's 384 path, for 8-bit layers of size 384 (K = 768): the B operand, a
// block's 128 weight columns over the whole K, is loaded once into the warps' registers (each warp keeps its
// 32 columns: 24 fragments of 32 bytes per thread) and stays there for the whole launch; per work item only
// the A tile (32 rows x 768) streams through shared memory, all of K at once in its stages. Built from
// CUTLASS's global and shared-memory tile iterators and its warp-level tensor-op multiply.
#pragma once

#include <cutlass/aligned_buffer.h>
#include <cutlass/arch/memory_sm80.h>
#include <cutlass/cutlass.h>
#include <cutlass/gemm/gemm.h>

namespace cutlass {
namespace gemm {
namespace threadblock {

// Core: a DefaultMmaCore (shared-memory layouts, iterators, warp multiply) of the block tile; IteratorA and
// IteratorB: global tile iterators over A (advancing along K once per stage) and B; K: the whole K extent.
template <class Core, class IteratorA_, class IteratorB_, int K>
class MmaMultistageBrf {
  public:
    using Shape = typename Core::Shape;
    using IteratorA = IteratorA_;
    using IteratorB = IteratorB_;
    using Operator = typename Core::MmaTensorOp;
    using WarpShape = typename Operator::Shape;
    using FragmentA = typename Operator::FragmentA;
    using FragmentB = typename Operator::FragmentB;
    using FragmentC = typename Operator::FragmentC;
    using WarpCount = GemmShape<Shape::kM / WarpShape::kM, Shape::kN / WarpShape::kN, 1>;
    static constexpr int kStages = K / Shape::kK;  // the whole of K is resident
    static constexpr int kWarpGemmIterations = WarpShape::kK / Operator::Policy::MmaShape::kK;
    static constexpr int kKGroups = kStages * kWarpGemmIterations;
    static_assert(K % Shape::kK == 0 && WarpShape::kK == Shape::kK, "one warp covers a stage's K");

    using LayoutA = typename Operator::LayoutA;
    using LayoutB = typename Operator::LayoutB;
    using ShapeA = MatrixShape<Shape::kM, Shape::kK * kStages>;
    using ShapeB = MatrixShape<Shape::kK, Shape::kN>;

    // The A stages, and the one B stage used while the weights are loaded (never both at once).
    union SharedStorage {
        AlignedBuffer<typename Operator::ElementA, ShapeA::kCount> operand_A;
        AlignedBuffer<typename Operator::ElementB, ShapeB::kCount> operand_B;
    };

    // The warp's weight fragments, for all of K.
    struct RegisterB {
        FragmentB k_group[kKGroups];
    };

    CUTLASS_DEVICE
    MmaMultistageBrf(SharedStorage& shared, int thread_idx, int warp_idx, int lane_idx)
        : shared_(shared), thread_idx_(thread_idx), warp_n_(warp_idx % WarpCount::kN), lane_idx_(lane_idx) {}

    // Loads the block's B tile (all of K) into registers, one stage of shared memory at a time.
    CUTLASS_DEVICE
    void load_B(IteratorB iterator_B, RegisterB& b) {
        TensorRef<typename Operator::ElementB, LayoutB> ref_B{
            shared_.operand_B.data(), LayoutB::packed({ShapeB::kRow, ShapeB::kColumn})};
        for (int stage = 0; stage < kStages; ++stage) {
            typename Core::SmemIteratorB smem_B(ref_B, thread_idx_);
            copy_tile<Core::kCacheOpB>(iterator_B, smem_B);
            iterator_B.add_tile_offset({1, 0});
            arch::cp_async_fence();
            arch::cp_async_wait<0>();
            __syncthreads();
            typename Operator::IteratorB warp_B(ref_B, lane_idx_);
            warp_B.add_tile_offset({0, warp_n_});
            for (int k = 0; k < kWarpGemmIterations; ++k) {
                warp_B.set_kgroup_index(k);
                warp_B.load(b.k_group[stage * kWarpGemmIterations + k]);
                ++warp_B;
            }
            __syncthreads();
        }
    }

    // Streams the A tile (all of K) into the stages, then multiplies it with the register-resident B.
    CUTLASS_DEVICE
    void operator()(IteratorA iterator_A, const RegisterB& b, FragmentC& accum) {
        TensorRef<typename Operator::ElementA, LayoutA> ref_A{
            shared_.operand_A.data(), LayoutA::packed({ShapeA::kRow, ShapeA::kColumn})};
        typename Core::SmemIteratorA smem_A(ref_A, thread_idx_);
        for (int stage = 0; stage < kStages; ++stage) {
            copy_tile<Core::kCacheOpA>(iterator_A, smem_A);
            iterator_A.add_tile_offset({0, 1});
            smem_A.add_tile_offset({0, 1});
            arch::cp_async_fence();
        }
        arch::cp_async_wait<0>();
        __syncthreads();
        typename Operator::IteratorA warp_A(ref_A, lane_idx_);
        Operator warp_mma;
        FragmentA a;
        for (int k = 0; k < kKGroups; ++k) {
            warp_A.set_kgroup_index(k % kWarpGemmIterations);
            warp_A.load(a);
            ++warp_A;
            warp_mma(accum, a, b.k_group[k], accum);
        }
        // The stages are free for the next tile once every warp has read them.
        __syncthreads();
    }

  private:
    template <arch::CacheOperation::Kind CacheOp, class Global, class Smem>
    CUTLASS_DEVICE static void copy_tile(Global& global, Smem& smem) {
        global.set_iteration_index(0);
        smem.set_iteration_index(0);
        for (int j = 0; j < Global::ThreadMap::Iterations::kCount; ++j) {
            auto* dst = reinterpret_cast<typename Global::AccessType*>(smem.get());
            for (int v = 0; v < Global::kAccessesPerVector; ++v) {
                constexpr int kBytes = sizeof_bits<typename Global::Element>::value *
                                       Global::ThreadMap::kElementsPerAccess / Global::kAccessesPerVector / 8;
                arch::cp_async_zfill<kBytes, CacheOp>(dst + v, global.get(), global.valid());
                ++global;
            }
            ++smem;
        }
    }

    SharedStorage& shared_;
    int thread_idx_;
    int warp_n_;
    int lane_idx_;
};

}  // namespace threadblock
}  // namespace gemm
}  // namespace cutlass
