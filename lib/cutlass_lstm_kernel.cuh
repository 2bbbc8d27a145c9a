// The tensor-core LSTM's general path: one persistent launch runs a whole layer over T steps. Each unit of
// work is one step of one batch tile (64 rows) and one column tile of the gate pre-activations (64 units for
// half, 128 for 8-bit, all four gates of each): the split-A multiply of [x | h] with the weights, then the
// cell update in the epilogue, which writes h back into the sequence buffer for the next step to read.
//
// Included by the units that instantiate the variant tables (cutlass_lstm_f16.cu, cutlass_lstm_s8.cu, and
// cutlass_lstm_brf.cu, whose 384 path shares the cell staging, the epilogue and the launch checks).
#pragma once

#include <cutlass/cutlass.h>
#include <cutlass/gemm/gemm.h>
#include <cutlass/gemm/threadblock/default_mma_core_sm80.h>
#include <cutlass/layout/matrix.h>
#include <cutlass/transform/threadblock/predicated_tile_access_iterator.h>

#include <cstdio>
#include <cstdlib>
#include <type_traits>

#include "activation.cuh"
#include "cutlass_lstm.h"
#include "frame.cuh"
#include "grid_sync.cuh"
#include "mma_multistage_split_a_matrix.cuh"

namespace vyr {

[[noreturn]] inline void lstm_fail_status(cutlass::Status status) {
    std::fprintf(stderr, "Cutlass LSTM returned status %s\n", cutlass::cutlassGetStatusString(status));
    std::exit(1);
}

// One row of the general path's variant table: element type, interleave and pipeline depth fix the
// threadblock multiply; everything the kernel and the host need to know about sizes comes from here.
template <class Element_, int Interleave, int Stages>
struct LstmVariant {
    using Element = Element_;
    static constexpr bool kHalf = std::is_same<Element, cutlass::half_t>::value;
    static constexpr int kInterleave = Interleave;
    static constexpr int kStages = Stages;
    using Accumulator = std::conditional_t<kHalf, cutlass::half_t, int32_t>;
    using ThreadblockShape = cutlass::gemm::GemmShape<64, kHalf ? 256 : 512, 64>;
    using WarpShape = cutlass::gemm::GemmShape<64, 64, 64>;
    using InstructionShape = cutlass::gemm::GemmShape<16, 8, kHalf ? 16 : 32>;
    using Operator =
        std::conditional_t<kHalf, cutlass::arch::OpMultiplyAdd, cutlass::arch::OpMultiplyAddSaturate>;
    using LayoutA = std::conditional_t<Interleave == 0, cutlass::layout::RowMajor,
                                       cutlass::layout::ColumnMajorInterleaved<Interleave ? Interleave : 32>>;
    using LayoutB = std::conditional_t<Interleave == 0, cutlass::layout::ColumnMajor,
                                       cutlass::layout::RowMajorInterleaved<Interleave ? Interleave : 32>>;
    static constexpr int kAccessElements = 128 / cutlass::sizeof_bits<Element>::value;  // 16-byte copies

    using Core = cutlass::gemm::threadblock::DefaultMmaCore<
        ThreadblockShape, WarpShape, InstructionShape, Element, LayoutA, Element, LayoutB, Accumulator,
        cutlass::layout::RowMajor, cutlass::arch::OpClassTensorOp, Stages, Operator, false,
        cutlass::arch::CacheOperation::Global, cutlass::arch::CacheOperation::Global>;
    using IteratorA = cutlass::transform::threadblock::PredicatedTileAccessIterator<
        cutlass::MatrixShape<ThreadblockShape::kM, ThreadblockShape::kK>, Element, LayoutA, 1,
        typename Core::IteratorThreadMapA, cutlass::Array<Element, kAccessElements>>;
    using IteratorB = cutlass::transform::threadblock::PredicatedTileAccessIterator<
        cutlass::MatrixShape<ThreadblockShape::kK, ThreadblockShape::kN>, Element, LayoutB, 0,
        typename Core::IteratorThreadMapB, cutlass::Array<Element, kAccessElements>>;
    using Mma = cutlass::gemm::threadblock::MmaMultistageSplitAMatrix<
        typename Core::Shape, IteratorA, typename Core::SmemIteratorA, Core::kCacheOpA, IteratorB,
        typename Core::SmemIteratorB, Core::kCacheOpB, Accumulator, cutlass::layout::RowMajor,
        typename Core::MmaPolicy, Stages>;

    static constexpr int kThreads = Core::kThreads;
    static constexpr int kTileRows = ThreadblockShape::kM;
    static constexpr int kTileColumns = ThreadblockShape::kN;  // gate columns: 4 per unit
    static constexpr int kTileUnits = kTileColumns / 4;
    static constexpr int kBatchMultiple = kTileRows;
    static constexpr int kLayerMultiple = kTileUnits;
    static constexpr int kMaxLayer = 1024;
    // Dynamic shared memory: the multiply's stages, the staged cell-state block, 16 bytes for the ticket.
    static constexpr size_t kCellBytes = (size_t)kTileRows * kTileUnits * sizeof(__half);
    static constexpr size_t kSmemBytes = sizeof(typename Mma::SharedStorage) + kCellBytes + 16;
};

// Gate pre-activation from the accumulator, and the stored form of h (LstmGateScale<T>::scale_bias, out).
template <class Accumulator>
struct LstmGateScale;
template <>
struct LstmGateScale<cutlass::half_t> {
    using Stored = cutlass::half_t;
    __device__ static float scale_bias(cutlass::half_t acc, const __half* bias, const __half*, int n) {
        return float(acc) + __half2float(bias[n]);
    }
    __device__ static Stored out(float h) { return Stored(h); }  // to nearest even
};
template <>
struct LstmGateScale<int32_t> {
    using Stored = int8_t;
    __device__ static float scale_bias(int32_t acc, const __half* bias, const __half* scale, int n) {
        return fast_div((float)acc, __half2float(scale[n]) * 127.0f) + __half2float(bias[n]);
    }
    // 8-bit sequences carry 127 x; roundf takes halves away from zero, |h| <= 1 keeps it in range.
    __device__ static Stored out(float h) { return (Stored)roundf(127.0f * h); }
};

// The general path's kernel argument.
template <class Mma>
struct LstmParams {
    cutlass::gemm::GemmCoord problem_size;      // M, 4L, 2L
    cutlass::gemm::GemmCoord grid_tiled_shape;  // batch tiles, column tiles, K tiles
    typename Mma::IteratorA::Params params_A;
    typename Mma::IteratorA::TensorRef ref_A;  // sequence buffer, lda (or the interleaved stride)
    typename Mma::IteratorB::Params params_B;
    typename Mma::IteratorB::TensorRef ref_B;  // weights
    const __half* bias;
    const __half* scale;
    __half* cell;
    unsigned* workspace;  // ticket counter, completion counters of the two halves of the batch tiles
    void* unused_pointer;
    int L;
    int T;
    int direction;
    int unused;
};

// Shared memory of one block: the multiply's storage, then the cell-state block, then the ticket.
template <class V>
struct LstmShared {
    typename V::Mma::SharedStorage* mma;
    __half* cell;
    int* ticket;
    __device__ explicit LstmShared(unsigned char* base)
        : mma(reinterpret_cast<typename V::Mma::SharedStorage*>(base)),
          cell(reinterpret_cast<__half*>(base + sizeof(typename V::Mma::SharedStorage))),
          ticket(reinterpret_cast<int*>(base + sizeof(typename V::Mma::SharedStorage) + V::kCellBytes)) {}
};

// Element offset of (row, column) within a slice of the sequence buffer, and the size of a slice.
template <class V>
__device__ inline long long lstm_seq_offset(long long row, long long col, long long M, long long lda) {
    if constexpr (V::kInterleave == 0) {
        (void)M;
        return row * lda + col;
    } else {
        (void)lda;
        return col / V::kInterleave * (M * V::kInterleave) + row * V::kInterleave + col % V::kInterleave;
    }
}

// Where a step's operands are: the sequence buffer's slice size and row stride, the first slice it reads
// (t'+2), the one it writes (t'+1), and the cell block of batch tile m and column tile n.
template <class V, class Params>
struct LstmStep {
    long long M, L, lda, slice;
    int tp;
    long long cell_offset;
    __device__ LstmStep(const Params& p, long long lda_, int t, int m, int n)
        : M(p.problem_size.m()),
          L(p.L),
          lda(V::kInterleave == 0 ? lda_ : p.L),
          slice(M * lda),
          tp(p.direction == 1 ? t : p.T - t),
          cell_offset(m * V::kTileRows * L + (long long)n * V::kTileRows * V::kTileUnits) {}
};

// Copies the cell block of the step into shared memory (all threads, 16 bytes each).
template <class V>
__device__ inline void lstm_stage_cell(const __half* cell, long long cell_offset, __half* staged) {
    const uint4* src = reinterpret_cast<const uint4*>(cell + cell_offset);
    uint4* dst = reinterpret_cast<uint4*>(staged);
    for (int i = threadIdx.x; i < (int)(V::kCellBytes / sizeof(uint4)); i += V::kThreads) dst[i] = src[i];
}

// The cell update of one step from the warp's accumulators. Each warp holds its WarpShape tile as m16n8
// pieces: piece (pm, pn) is elements 4 (pn * PiecesM + pm) .. +3, rows quad and quad + 8, columns
// 2 (lane % 4) and +1 of the piece. Four consecutive columns are one unit's gates i, f, g, o, so a lane holds
// gates i, f (even lanes) or g, o (odd lanes) of one unit for two rows. Each lane pair swaps one row: the
// even lane completes row quad, the odd lane row quad + 8, and each updates one cell.
template <class V, class Params, class FragmentC>
__device__ void lstm_epilogue(const Params& p, const LstmStep<V, Params>& s, const FragmentC& acc,
                              const __half* staged_cell, int warp, int m, int n) {
    using Acc = typename V::Accumulator;
    using Scale = LstmGateScale<Acc>;
    const int lane = threadIdx.x % 32, quad = lane / 4;
    const bool odd = lane & 1;
    typename V::Element* seq = p.ref_A.data();
    constexpr int kPiecesM = V::WarpShape::kM / 16, kPiecesN = V::WarpShape::kN / 8;
    constexpr int kWarpsN = V::ThreadblockShape::kN / V::WarpShape::kN;
    const int warp_m = warp / kWarpsN, warp_n = warp % kWarpsN;
    static_assert(sizeof(Acc) * 2 <= sizeof(unsigned long long), "a gate pair fits one shuffle");
    for (int pn = 0; pn < kPiecesN; ++pn) {
        for (int pm = 0; pm < kPiecesM; ++pm) {
            const Acc* a = acc.data() + 4 * (pn * kPiecesM + pm);
            Acc send[2] = {odd ? a[0] : a[2], odd ? a[1] : a[3]}, got[2];
            unsigned long long word = 0;
            memcpy(&word, send, sizeof send);
            word = __shfl_xor_sync(0xffffffffu, word, 1);
            memcpy(got, &word, sizeof got);
            const Acc gates[4] = {odd ? got[0] : a[0], odd ? got[1] : a[1], odd ? a[2] : got[0],
                                  odd ? a[3] : got[1]};
            const int r = warp_m * V::WarpShape::kM + pm * 16 + quad + (odd ? 8 : 0);
            const int unit = (warp_n * V::WarpShape::kN + pn * 8) / 4 + (lane % 4) / 2;  // within the tile
            const int u = n * V::kTileUnits + unit;
            float z[4];
            for (int g = 0; g < 4; ++g) z[g] = Scale::scale_bias(gates[g], p.bias, p.scale, 4 * u + g);
            const float i = sigmoid(z[0]), f = sigmoid(z[1]), g = tanh_fast(z[2]), o = sigmoid(z[3]);
            const int cell_index = r * V::kTileUnits + unit;
            const float c = f * __half2float(staged_cell[cell_index]) + i * g;
            p.cell[s.cell_offset + cell_index] = __float2half_rn(c);
            const float h = o * tanh_fast(c);
            const long long row = (long long)m * V::kTileRows + r;
            seq[(s.tp + 1) * s.slice + lstm_seq_offset<V>(row, u, s.M, s.lda)] = Scale::out(h);
        }
    }
}

// Step t of batch tile m and column tile n (mm_lstm_block).
template <class V>
__device__ void mm_lstm_block(const LstmParams<typename V::Mma>& p, const LstmShared<V>& shared, int t, int m,
                              int n) {
    using Mma = typename V::Mma;
    const int tid = threadIdx.x, lane = tid % 32;
    const int warp = __shfl_sync(0xffffffffu, tid / 32, 0);
    const LstmStep<V, LstmParams<Mma>> s(p, (long long)p.ref_A.stride(0), t, m, n);

    // The previous unit's epilogue has finished with the staged cell block.
    __syncthreads();
    lstm_stage_cell<V>(p.cell, s.cell_offset, shared.cell);

    // [slice t'+2 | slice t'] times the tile's weight columns. At K = L the A iterator has reached column L
    // of slice t'+2 and moves back two slices and L columns, to column 0 of slice t'.
    const long long column_L = lstm_seq_offset<V>(0, s.L, s.M, s.lda);
    typename Mma::IteratorA iterator_A(p.params_A, p.ref_A.data() + (s.tp + 2) * s.slice,
                                       {(int)s.M, (int)(2 * s.L)}, tid, {m * V::kTileRows, 0},
                                       (int)(s.L / V::ThreadblockShape::kK), -(2 * s.slice + column_L));
    typename Mma::IteratorB iterator_B(p.params_B, p.ref_B.data(), {(int)(2 * s.L), (int)(4 * s.L)}, tid,
                                       {0, n * V::kTileColumns});
    Mma mma(*shared.mma, tid, warp, lane);
    typename Mma::FragmentC acc;
    acc.clear();
    mma(p.grid_tiled_shape.k(), acc, iterator_A, iterator_B, acc);
    cp_async_wait<0>();
    __syncthreads();
    __syncthreads();
    lstm_epilogue<V>(p, s, acc, shared.cell, warp, m, n);
}

// Static schedule: block b serves batch tiles b, b + gridDim.x, ... for every step. A tile's step t+1 reads
// only the h rows that its own step t wrote, so blocks never wait on each other.
template <class V>
__device__ void lstm_static_schedule(const LstmParams<typename V::Mma>& p, const LstmShared<V>& shared) {
    const int tiles = p.grid_tiled_shape.m(), column_tiles = p.grid_tiled_shape.n();
    for (int t = 0; t < p.T; ++t) {
        __syncthreads();
        for (int m = blockIdx.x; m < tiles; m += gridDim.x)
            for (int n = 0; n < column_tiles; ++n) mm_lstm_block<V>(p, shared, t, m, n);
    }
}

// Dynamic schedule: blocks take work items (t, m, n) in order from a ticket counter. An item waits until
// its half of the batch tiles has completed every item of the steps before t (the h it reads, and the slice
// it overwrites, are then final); the two halves run up to a step apart.
template <class V>
__device__ void lstm_dynamic_schedule(const LstmParams<typename V::Mma>& p, const LstmShared<V>& shared) {
    unsigned* const tickets = p.workspace;
    const int tiles = p.grid_tiled_shape.m(), column_tiles = p.grid_tiled_shape.n();
    const int per_step = tiles * column_tiles;
    const int first_half_items = tiles / 2 * column_tiles;
    for (;;) {
        if (threadIdx.x == 0) {
            fence_sc_gpu();
            const int ticket = (int)atomic_add_acq_rel_gpu(tickets, 1u);
            const int rest = ticket % per_step;
            shared.ticket[0] = ticket / per_step;
            shared.ticket[1] = rest;
            shared.ticket[2] = rest / column_tiles;
            shared.ticket[3] = rest % column_tiles;
        }
        __syncthreads();
        const int t = shared.ticket[0], rest = shared.ticket[1], m = shared.ticket[2], n = shared.ticket[3];
        if (t >= p.T) return;
        const int half = rest < first_half_items ? 0 : 1;
        const unsigned items = half == 0 ? first_half_items : per_step - first_half_items;
        unsigned* const done = tickets + 1 + half;
        if (threadIdx.x == 0) {
            fence_sc_gpu();
            wait_at_least_gpu(done, (unsigned)t * items);
        }
        __syncthreads();
        fence_acq_rel_gpu();
        mm_lstm_block<V>(p, shared, t, m, n);
        // Every thread's h and cell stores of the item precede the release that publishes it.
        __syncthreads();
        if (threadIdx.x == 0) {
            fence_acq_rel_gpu();
            red_release_gpu(done, 1u);
        }
    }
}

template <class V, bool Dynamic>
__global__ void __launch_bounds__(V::kThreads)
    LstmKernel([[maybe_unused]] LstmParams<typename V::Mma> params) {
#if VYR_ARCH == 0 || VYR_ARCH >= 800
    VYR_DYNAMIC_SMEM(unsigned char, smem);
    const LstmShared<V> shared(smem);
    if constexpr (Dynamic) {
        lstm_dynamic_schedule<V>(params, shared);
    } else {
        lstm_static_schedule<V>(params, shared);
    }
#endif
}

// The checks every variant makes before launching: batch and layer size (fatal), nothing to compute,
// shared memory (the variant does not fit), then alignment (fatal). 16-byte copies need the buffers and
// every row or slice start 16-byte aligned, and a row of the sequence must hold the layer (lda >= L) for
// the slices not to overlap.
enum class LstmAdmit { Nothing, NoFit, Run };
template <class V>
LstmAdmit lstm_admit(const LstmCall& c, int smem_optin) {
    if (c.M < 0 || c.M % V::kBatchMultiple != 0) lstm_fail(kLstmBatchMsg, V::kBatchMultiple, c.M);
    if (c.L < 0 || c.L > V::kMaxLayer || c.L % V::kLayerMultiple != 0)
        lstm_fail(kLstmLayerMsg, V::kLayerMultiple, V::kMaxLayer, c.L);
    if (c.M == 0 || c.L == 0 || c.T <= 0) return LstmAdmit::Nothing;
    if ((size_t)smem_optin < V::kSmemBytes) return LstmAdmit::NoFit;
    constexpr int kVector = V::kAccessElements;
    const bool interleaved = V::kInterleave != 0;
    if ((2LL * c.L * c.M) % kVector != 0 || (2 * c.L) % kVector != 0 ||
        (!interleaved && (c.lda % kVector != 0 || c.lda < c.L)) ||
        reinterpret_cast<uintptr_t>(c.seq) % 16 != 0 || reinterpret_cast<uintptr_t>(c.weights) % 16 != 0 ||
        reinterpret_cast<uintptr_t>(c.cell) % 16 != 0)
        lstm_fail_status(cutlass::Status::kErrorMisalignedOperand);
    return LstmAdmit::Run;
}

// The kernel argument for a call: problem and tile counts, iterator parameters for the sequence buffer
// (A) and the weights (B).
template <class V>
LstmParams<typename V::Mma> lstm_params(const LstmCall& c, unsigned* workspace) {
    using Mma = typename V::Mma;
    const bool interleaved = V::kInterleave != 0;
    const long long stride_A = interleaved ? (long long)c.M * V::kInterleave : c.lda;
    const long long stride_B = interleaved ? 4LL * c.L * V::kInterleave : 2LL * c.L;
    const typename V::LayoutA layout_A((typename V::LayoutA::Stride::Index)stride_A);
    const typename V::LayoutB layout_B((typename V::LayoutB::Stride::Index)stride_B);
    return {{c.M, 4 * c.L, 2 * c.L},
            {c.M / V::kTileRows, 4 * c.L / V::kTileColumns, 2 * c.L / V::ThreadblockShape::kK},
            typename Mma::IteratorA::Params(layout_A),
            {static_cast<typename V::Element*>(c.seq), layout_A},
            typename Mma::IteratorB::Params(layout_B),
            {static_cast<typename V::Element*>(const_cast<void*>(c.weights)), layout_B},
            c.bias,
            c.scale,
            c.cell,
            workspace,
            nullptr,
            c.L,
            c.T,
            c.direction,
            c.unused};
}

// Checks the call against this variant and launches it (run_lstm_kernel). Returns false, launching nothing,
// when the device's opt-in shared memory is below the variant's size.
template <class V>
bool run_lstm_kernel(const LstmCall& c, int smem_optin) {
    const LstmAdmit admit = lstm_admit<V>(c, smem_optin);
    if (admit != LstmAdmit::Run) return admit == LstmAdmit::Nothing;
    const int processors = get_device_multiprocessor_count();
    const int batch_tiles = c.M / V::kTileRows;
    const bool dynamic = batch_tiles != processors && c.workspace != nullptr;
    if (dynamic && reinterpret_cast<uintptr_t>(c.workspace) % 4 != 0)
        lstm_fail_status(cutlass::Status::kErrorMisalignedOperand);

    const LstmParams<typename V::Mma> params =
        lstm_params<V>(c, dynamic ? static_cast<unsigned*>(c.workspace) : nullptr);

    const auto kernel = dynamic ? VYR_KERNEL(LstmKernel<V, true>) : VYR_KERNEL(LstmKernel<V, false>);
    if (!allow_dynamic_smem(kernel, V::kSmemBytes, kSmemMsgLstm))
        lstm_fail_status(cutlass::Status::kErrorMemoryAllocation);
    if (dynamic) cudaMemsetAsync(c.workspace, 0, 3 * sizeof(unsigned), c.stream);
    const int blocks = dynamic ? processors : (processors < batch_tiles ? processors : batch_tiles);
    launch(kernel, blocks, V::kThreads, V::kSmemBytes, c.stream, params);
    if (cudaGetLastError() != cudaSuccess) lstm_fail_status(cutlass::Status::kErrorInternal);
    return true;
}

}  // namespace vyr
