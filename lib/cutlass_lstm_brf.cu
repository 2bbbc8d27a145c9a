// The tensor-core LSTM's 384 path: 8-bit layers of size 384, the weights held in registers. Block (x, y)
// owns gate columns 128 y .. 128 y + 127 (32 units) and serves batch tiles x, x + G, ... (32 rows each) of
// every step; the 12 blocks of group x meet at a device barrier after each step, since the next step reads
// the h that all of them wrote for those rows.
#include "cutlass_lstm_kernel.cuh"
#include "mma_multistage_brf.cuh"

namespace vyr {

template <int Interleave>
struct LstmBrfVariant {
    using Element = int8_t;
    static constexpr int kInterleave = Interleave;
    using Accumulator = int32_t;
    using ThreadblockShape = cutlass::gemm::GemmShape<32, 128, 128>;
    using WarpShape = cutlass::gemm::GemmShape<32, 32, 128>;
    using InstructionShape = cutlass::gemm::GemmShape<16, 8, 32>;
    using LayoutA = typename LstmVariant<int8_t, Interleave, 2>::LayoutA;
    using LayoutB = typename LstmVariant<int8_t, Interleave, 2>::LayoutB;
    static constexpr int kAccessElements = 16;
    static constexpr int kMaxLayer = 384;
    static constexpr int kStages = 2 * kMaxLayer / ThreadblockShape::kK;

    using Core = cutlass::gemm::threadblock::DefaultMmaCore<
        ThreadblockShape, WarpShape, InstructionShape, Element, LayoutA, Element, LayoutB, Accumulator,
        cutlass::layout::RowMajor, cutlass::arch::OpClassTensorOp, kStages,
        cutlass::arch::OpMultiplyAddSaturate, false, cutlass::arch::CacheOperation::Global,
        cutlass::arch::CacheOperation::Global>;
    using IteratorA = cutlass::gemm::threadblock::SplitAIterator<
        cutlass::transform::threadblock::PredicatedTileAccessIterator<
            cutlass::MatrixShape<ThreadblockShape::kM, ThreadblockShape::kK>, Element, LayoutA, 1,
            typename Core::IteratorThreadMapA, cutlass::Array<Element, kAccessElements>>>;
    using IteratorB = cutlass::transform::threadblock::PredicatedTileAccessIterator<
        cutlass::MatrixShape<ThreadblockShape::kK, ThreadblockShape::kN>, Element, LayoutB, 0,
        typename Core::IteratorThreadMapB, cutlass::Array<Element, kAccessElements>>;
    using Mma = cutlass::gemm::threadblock::MmaMultistageBrf<Core, IteratorA, IteratorB, 2 * kMaxLayer>;

    static constexpr int kThreads = Core::kThreads;
    static constexpr int kTileRows = ThreadblockShape::kM;
    static constexpr int kTileColumns = ThreadblockShape::kN;
    static constexpr int kTileUnits = kTileColumns / 4;
    static constexpr int kColumnTiles = 4 * kMaxLayer / kTileColumns;  // blocks per group
    static constexpr int kBatchMultiple = kTileRows;
    static constexpr int kLayerMultiple = 32;
    static constexpr size_t kCellBytes = (size_t)kTileRows * kTileUnits * sizeof(__half);
    // The family's published sizes (the opt-in a device needs, and what occupancy is computed with); the
    // storage below fits in either.
    static constexpr size_t kSmemBytes = Interleave == 0 ? 49152 : 32768;
    static_assert(sizeof(typename Mma::SharedStorage) + kCellBytes <= kSmemBytes, "storage fits");
    // Each group's barrier word (8 bytes, the low 4 used as the counter); the workspace holds at most this.
    static constexpr size_t kBarrierBytes = 8, kWorkspaceBytes = 4096;
};

template <class V>
__global__ void __launch_bounds__(V::kThreads) LstmBrfKernel([[maybe_unused]] LstmParams<typename V::Mma> p) {
#if VYR_ARCH == 0 || VYR_ARCH >= 800
    using Mma = typename V::Mma;
    const int tiles = p.grid_tiled_shape.m();
    const int x = blockIdx.x, y = blockIdx.y;
    if (x >= tiles || y >= V::kColumnTiles || blockIdx.z != 0) return;
    VYR_DYNAMIC_SMEM(unsigned char, smem);
    auto& storage = *reinterpret_cast<typename Mma::SharedStorage*>(smem);
    __half* staged_cell = reinterpret_cast<__half*>(smem + sizeof(typename Mma::SharedStorage));
    const int tid = threadIdx.x, lane = tid % 32;
    const int warp = __shfl_sync(0xffffffffu, tid / 32, 0);
    Mma mma(storage, tid, warp, lane);

    typename Mma::RegisterB weights;
    mma.load_B(typename Mma::IteratorB(p.params_B, p.ref_B.data(), {2 * p.L, 4 * p.L}, tid,
                                       {0, y * V::kTileColumns}),
               weights);

    unsigned* const barrier = p.workspace + x * (V::kBarrierBytes / sizeof(unsigned));
    unsigned phase = 0;
    for (int t = 0; t < p.T; ++t) {
        for (int m = x; m < tiles; m += gridDim.x) {
            const LstmStep<V, LstmParams<Mma>> s(p, (long long)p.ref_A.stride(0), t, m, y);
            __syncthreads();  // the previous tile's epilogue has finished with the staged cell block
            lstm_stage_cell<V>(p.cell, s.cell_offset, staged_cell);
            const long long column_L = lstm_seq_offset<V>(0, s.L, s.M, s.lda);
            typename Mma::IteratorA iterator_A(
                p.params_A, p.ref_A.data() + (s.tp + 2) * s.slice, {(int)s.M, (int)(2 * s.L)}, tid,
                {m * V::kTileRows, 0}, (int)(s.L / V::ThreadblockShape::kK), -(2 * s.slice + column_L));
            typename Mma::FragmentC acc;
            acc.clear();
            mma(iterator_A, weights, acc);
            lstm_epilogue<V>(p, s, acc, staged_cell, warp, m, y);
        }
        grid_barrier(barrier, V::kColumnTiles, phase++);
    }
#endif
}

template <class V>
bool run_lstm_brf(const LstmCall& c, int smem_optin) {
    const LstmAdmit admit = lstm_admit<V>(c, smem_optin);
    if (admit != LstmAdmit::Run) return admit == LstmAdmit::Nothing;
    const auto kernel = VYR_KERNEL(LstmBrfKernel<V>);
    if (!allow_dynamic_smem(kernel, V::kSmemBytes, kSmemMsgLstm))
        lstm_fail_status(cutlass::Status::kErrorMemoryAllocation);

    // All blocks of a group must be resident together: as many groups as the device holds.
    int per_processor = 0;
    if (cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(&per_processor, kernel.address(), V::kThreads,
                                                               V::kSmemBytes, 0) != cudaSuccess)
        per_processor = 0;
    const int groups = get_device_multiprocessor_count() * per_processor / V::kColumnTiles;
    if (c.workspace == nullptr || (size_t)groups * V::kBarrierBytes > V::kWorkspaceBytes ||
        reinterpret_cast<uintptr_t>(c.workspace) % 8 != 0)
        lstm_fail_status(cutlass::Status::kErrorWorkspaceNull);
    if (groups > 0) cudaMemsetAsync(c.workspace, 0, (size_t)groups * V::kBarrierBytes, c.stream);
    launch(kernel, dim3(groups, V::kColumnTiles, 1), V::kThreads, V::kSmemBytes, c.stream,
           lstm_params<V>(c, static_cast<unsigned*>(c.workspace)));
    if (cudaGetLastError() != cudaSuccess) lstm_fail_status(cutlass::Status::kErrorInternal);
    return true;
}

const LstmRunner kLstmBrfRunners[3] = {run_lstm_brf<LstmBrfVariant<0>>, run_lstm_brf<LstmBrfVariant<32>>,
                                       run_lstm_brf<LstmBrfVariant<64>>};

}  // namespace vyr
