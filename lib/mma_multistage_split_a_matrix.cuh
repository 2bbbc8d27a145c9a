// The threadblock multiply of the tensor-core LSTM: CUTLASS's multistage (cp.async) mainloop over an A
// operand whose K extent lies in two places. An LSTM step multiplies [x_t | h_(t-1)] with the layer's
// weights; both halves are column ranges 0..L-1 of two different slices of the sequence buffer, so after the
// first L columns the A iterator jumps from column L of one slice to column 0 of the other, and the input and
// the recurrent products are one matrix product over K = 2L.
#pragma once

#include <cutlass/cutlass.h>
#include <cutlass/gemm/gemm.h>
#include <cutlass/gemm/threadblock/mma_multistage.h>

namespace cutlass {
namespace gemm {
namespace threadblock {

// A global-memory tile iterator over A that, once it has been advanced by `tiles_to_split` tiles along K,
// moves its pointer by `split_offset` elements. The multistage mainloop advances its A iterator exactly once
// per K tile, so the jump happens between K tile tiles_to_split - 1 and tiles_to_split.
template <class Base>
class SplitAIterator : public Base {
  public:
    using TensorCoord = typename Base::TensorCoord;
    using LongIndex = typename Base::LongIndex;

    SplitAIterator() = default;
    CUTLASS_HOST_DEVICE
    SplitAIterator(typename Base::Params const& params, typename Base::Pointer pointer, TensorCoord extent,
                   int thread_id, TensorCoord const& threadblock_offset, int tiles_to_split,
                   LongIndex split_offset)
        : Base(params, pointer, extent, thread_id, threadblock_offset),
          tiles_left_(tiles_to_split),
          split_offset_(split_offset) {}

    CUTLASS_DEVICE
    void add_tile_offset(TensorCoord const& tile_offset) {
        Base::add_tile_offset(tile_offset);
        if (tile_offset.column() != 0 && --tiles_left_ == 0) Base::add_pointer_offset(split_offset_);
    }

  private:
    int tiles_left_ = 0;
    LongIndex split_offset_ = 0;
};

// MmaMultistage with the split A iterator; everything else (shared-memory stages, warp tensor-op multiplies,
// predication of rows past the problem) is CUTLASS's.
template <class Shape, class IteratorA, class SmemIteratorA, arch::CacheOperation::Kind CacheOpA,
          class IteratorB, class SmemIteratorB, arch::CacheOperation::Kind CacheOpB, class ElementC,
          class LayoutC, class Policy, int Stages>
class MmaMultistageSplitAMatrix
    : public MmaMultistage<Shape, SplitAIterator<IteratorA>, SmemIteratorA, CacheOpA, IteratorB,
                           SmemIteratorB, CacheOpB, ElementC, LayoutC, Policy, Stages> {
    using Mainloop = MmaMultistage<Shape, SplitAIterator<IteratorA>, SmemIteratorA, CacheOpA, IteratorB,
                                   SmemIteratorB, CacheOpB, ElementC, LayoutC, Policy, Stages>;

  public:
    using Mainloop::Mainloop;
};

}  // namespace threadblock
}  // namespace gemm
}  // namespace cutlass
