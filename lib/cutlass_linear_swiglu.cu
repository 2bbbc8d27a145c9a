// Gated feed-forward projection on tensor cores: P = A W^T with A: M x K row-major half and W: N x K
// row-major half (rows 2p and 2p + 1 are the value and gate of output p); D: M x N/2 row-major half,
// D[r][p] = P[r][2p] * silu(P[r][2p + 1]).
#include "cutlass_linear.cuh"

namespace cutlass {
namespace gemm {
namespace kernel {

template <typename Mma_, typename WarpShape_>
struct LinearSwiGLU {
    using Mma = Mma_;
    using WarpShape = WarpShape_;
    using ThreadblockShape = typename Mma::Shape;
    using WarpCount = typename Mma::WarpCount;
    using Staging = vyr::WarpAccumulatorStaging<WarpShape>;
    static constexpr int kThreadCount = 32 * WarpCount::kCount;
    static_assert(std::is_same<WarpShape, typename Mma::Operator::Shape>::value, "the multiply's warp tile");

    struct Params {
        GemmCoord problem_size;  // rows of this launch, N, K
        GemmCoord grid_tiled_shape;
        int swizzle_log_tile;
        typename Mma::IteratorA::Params params_A;
        typename Mma::IteratorA::TensorRef ref_A;
        typename Mma::IteratorB::Params params_B;
        typename Mma::IteratorB::TensorRef ref_B;
        __half* ptr_D;
        int gemm_k_size;
    };

    // The main loop's buffers, reused by the epilogue's per-warp staging (float sums rounded to half).
    union SharedStorage {
        typename Mma::SharedStorage main_loop;
        half_t staging[WarpCount::kCount][Staging::kRows * Staging::kStride];
    };

    CUTLASS_DEVICE void operator()(Params const& params, SharedStorage& shared_storage) {
        const int tile_m = blockIdx.x, tile_n = blockIdx.y;
        if (tile_m >= params.grid_tiled_shape.m() || tile_n >= params.grid_tiled_shape.n()) return;

        const int warp = canonical_warp_idx_sync(), lane = threadIdx.x % 32;
        const int warp_m = warp % WarpCount::kM, warp_n = warp / WarpCount::kM;
        const int rows = params.problem_size.m(), N = params.problem_size.n(), K = params.problem_size.k();

        typename Mma::IteratorA iterator_A(params.params_A, params.ref_A.data(), {rows, K}, threadIdx.x,
                                           {tile_m * ThreadblockShape::kM, 0});
        typename Mma::IteratorB iterator_B(params.params_B, params.ref_B.data(), {K, N}, threadIdx.x,
                                           {0, tile_n * ThreadblockShape::kN});
        Mma mma(shared_storage.main_loop, threadIdx.x, warp, lane);
        typename Mma::FragmentC accumulators;
        accumulators.clear();
        const int k_end = K < params.gemm_k_size ? K : params.gemm_k_size;
        mma((k_end + ThreadblockShape::kK - 1) / ThreadblockShape::kK, accumulators, iterator_A, iterator_B,
            accumulators);
        arch::cp_async_wait<0>();
        __syncthreads();

        // Output column p takes product columns 2p (value) and 2p + 1 (gate).
        const int p = (tile_n * ThreadblockShape::kN + warp_n * WarpShape::kN) / 2 + lane;
        const int64_t out_stride = N / 2;
        half_t* staging = shared_storage.staging[warp];
        const int row0 = tile_m * ThreadblockShape::kM + warp_m * WarpShape::kM;
        for (int pass = 0; pass < Staging::kPasses; ++pass) {
            __syncthreads();
            Staging::stage(staging, accumulators, pass, lane);
            __syncthreads();
            for (int r = 0; r < Staging::kRows; ++r) {
                const int row = row0 + pass * Staging::kRows + r;
                if (row >= rows || p >= N / 2) continue;
                half_t const* pair = staging + r * Staging::kStride + 2 * lane;
                const float y = float(pair[1]);
                // silu(y) = y / (1 + e^-y), e^-y as 2^(-y log2 e), rounded to half; the gating product is a
                // half multiply.
                const __half s = __float2half_rn(vyr::fast_div(y, 1.0f + vyr::fast_exp2(-y * 1.44269504f)));
                params.ptr_D[row * out_stride + p] = __hmul(pair[0].to_half(), s);
            }
        }
    }
};

}  // namespace kernel
}  // namespace gemm
}  // namespace cutlass

namespace {

using cutlass::gemm::GemmCoord;
using vyr::LinearThreadblockShape;
using SwiGLUKernel =
    cutlass::gemm::kernel::LinearSwiGLU<vyr::LinearMma<cutlass::half_t, float, 3>, vyr::LinearWarpShape>;

}  // namespace

VYR_API int host_linear_swiglu_f16(cudaStream_t stream, int M, int N, int K, const __half* A, const __half* B,
                                   __half* D) {
    if (M < 1 || N < 1) return VyrSuccess;
    // The 16-byte loads of A and W need K a multiple of 8 halves and 16-byte aligned bases.
    if (K < 0 || K % 8 || !vyr::aligned(A, 16) || !vyr::aligned(B, 16) || !vyr::aligned(D, 2))
        return VyrUnsupported;
    using Mma = SwiGLUKernel::Mma;
    auto* weights = reinterpret_cast<cutlass::half_t*>(const_cast<__half*>(B));
    // Launches of at most 2^31 / N rows keep each launch's product below 2^31 elements.
    const int64_t chunk = (int64_t)2147483648LL / N;
    for (int64_t first = 0; first < M; first += chunk) {
        const int rows = (int)std::min<int64_t>(M - first, chunk);
        const GemmCoord tiles(vyr::ceil_div(rows, LinearThreadblockShape::kM),
                              vyr::ceil_div(N, LinearThreadblockShape::kN), 1);
        auto* a = reinterpret_cast<cutlass::half_t*>(const_cast<__half*>(A)) + first * K;
        SwiGLUKernel::Params params{
            GemmCoord(rows, N, K),
            tiles,
            0,
            typename Mma::IteratorA::Params(cutlass::layout::RowMajor(K)),
            typename Mma::IteratorA::TensorRef(a, cutlass::layout::RowMajor(K)),
            typename Mma::IteratorB::Params(cutlass::layout::ColumnMajor(K)),
            typename Mma::IteratorB::TensorRef(weights, cutlass::layout::ColumnMajor(K)),
            D + first * (N / 2),
            vyr::ceil_div(K, LinearThreadblockShape::kK) * LinearThreadblockShape::kK};
        if (vyr::run_kernel<SwiGLUKernel>(params, dim3(tiles.m(), tiles.n(), 1), stream) !=
            cutlass::Status::kSuccess)
            return VyrKernelFailed;
    }
    return VyrSuccess;
}
