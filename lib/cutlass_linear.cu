// Tensor-core linear layer, D = act(A B^T + bias) for `batch` products sharing B. A: M x K row-major (row
// stride lda, batch stride batch_stride_A); B: N x K row-major (row n = weights of output n, stride K); D:
// M x N row-major (row stride ldd, batch stride batch_stride_D); bias and scale: N halves. Half or 8-bit
// operands, half or 8-bit output (8-bit values are round(127 x)).
#include "activation.cuh"
#include "cutlass_linear.cuh"

namespace cutlass {
namespace gemm {
namespace kernel {

// Accumulator pair to float: half sums widen exactly; 32-bit integer sums of round(127 x) by scale[n] w
// become x w through one division by 127 scale[n].
template <class T>
struct AccumOp;
template <>
struct AccumOp<half_t> {
    CUTLASS_DEVICE static float2 to_float(half_t const* acc, __half2) {
        return make_float2(float(acc[0]), float(acc[1]));
    }
};
template <>
struct AccumOp<int> {
    CUTLASS_DEVICE static float2 to_float(int const* acc, __half2 scale) {
        return make_float2(vyr::fast_div((float)acc[0], __low2float(scale) * 127.0f),
                           vyr::fast_div((float)acc[1], __high2float(scale) * 127.0f));
    }
};

// Output pair: half rounds to nearest even; 8-bit stores round(127 y), halves away from zero, unclamped
// (only tanh, bounded by 1, is compiled for 8-bit output).
template <class T>
struct OutputOp;
template <>
struct OutputOp<half_t> {
    using Pair = __half2;
    CUTLASS_DEVICE static Pair convert(float a, float b) { return __floats2half2_rn(a, b); }
};
template <>
struct OutputOp<int8_t> {
    struct alignas(2) Pair {
        int8_t x, y;
    };
    CUTLASS_DEVICE static Pair convert(float a, float b) {
        return Pair{(int8_t)(int)roundf(127.0f * a), (int8_t)(int)roundf(127.0f * b)};
    }
};

template <typename Mma_, typename WarpShape_, VyrActivation Activation, typename ElementOutput_>
struct LinearLayer {
    using Mma = Mma_;
    using WarpShape = WarpShape_;
    using ElementOutput = ElementOutput_;
    using ElementA = typename Mma::IteratorA::Element;
    using ElementAccumulator = typename Mma::ElementC;
    using ThreadblockShape = typename Mma::Shape;
    using WarpCount = typename Mma::WarpCount;
    using Staging = vyr::WarpAccumulatorStaging<WarpShape>;
    static constexpr int kThreadCount = 32 * WarpCount::kCount;
    static_assert(std::is_same<WarpShape, typename Mma::Operator::Shape>::value, "the multiply's warp tile");

    struct Params {
        GemmCoord problem_size;
        GemmCoord grid_tiled_shape;
        int swizzle_log_tile;
        typename Mma::IteratorA::Params params_A;
        typename Mma::IteratorA::TensorRef ref_A;
        typename Mma::IteratorB::Params params_B;
        typename Mma::IteratorB::TensorRef ref_B;
        ElementOutput* ptr_D;
        __half const* ptr_bias;
        __half const* ptr_scale;
        int gemm_k_size;
        int64_t batch_stride_A;
        int64_t batch_stride_D;
        int64_t ldd;
    };

    // The main loop's buffers, reused by the epilogue's per-warp staging once the loop has finished.
    union SharedStorage {
        typename Mma::SharedStorage main_loop;
        ElementAccumulator staging[WarpCount::kCount][Staging::kRows * Staging::kStride];
    };

    CUTLASS_DEVICE void operator()(Params const& params, SharedStorage& shared_storage) {
        // Only x and y place the tile; z is the batch index, which the tiled shape does not count.
        const int tile_m = blockIdx.x, tile_n = blockIdx.y;
        const int64_t batch = blockIdx.z;
        if (tile_m >= params.grid_tiled_shape.m() || tile_n >= params.grid_tiled_shape.n()) return;

        const int warp = canonical_warp_idx_sync(), lane = threadIdx.x % 32;
        const int warp_m = warp % WarpCount::kM, warp_n = warp / WarpCount::kM;
        const int M = params.problem_size.m(), N = params.problem_size.n(), K = params.problem_size.k();

        // This thread's output columns 2 pair and 2 pair + 1.
        const int pair = (tile_n * ThreadblockShape::kN + warp_n * WarpShape::kN) / 2 + lane;
        const bool pair_in = pair < N / 2;
        __half2 bias = __float2half2_rn(0.0f), scale = __float2half2_rn(0.0f);
        if (pair_in) {
            if (params.ptr_bias) bias = reinterpret_cast<__half2 const*>(params.ptr_bias)[pair];
            if (params.ptr_scale) scale = reinterpret_cast<__half2 const*>(params.ptr_scale)[pair];
        }

        typename Mma::IteratorA iterator_A(params.params_A,
                                           params.ref_A.data() + batch * params.batch_stride_A, {M, K},
                                           threadIdx.x, {tile_m * ThreadblockShape::kM, 0});
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

        ElementAccumulator* staging = shared_storage.staging[warp];
        ElementOutput* out = params.ptr_D + batch * params.batch_stride_D + 2 * (int64_t)pair;
        const int row0 = tile_m * ThreadblockShape::kM + warp_m * WarpShape::kM;
        for (int pass = 0; pass < Staging::kPasses; ++pass) {
            __syncthreads();
            Staging::stage(staging, accumulators, pass, lane);
            __syncthreads();
            for (int r = 0; r < Staging::kRows; ++r) {
                const int row = row0 + pass * Staging::kRows + r;
                if (row >= M || !pair_in) continue;
                float2 v =
                    AccumOp<ElementAccumulator>::to_float(staging + r * Staging::kStride + 2 * lane, scale);
                const float y0 = vyr::activation<Activation>(v.x + __low2float(bias));
                const float y1 = vyr::activation<Activation>(v.y + __high2float(bias));
                *reinterpret_cast<typename OutputOp<ElementOutput>::Pair*>(out + row * params.ldd) =
                    OutputOp<ElementOutput>::convert(y0, y1);
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
using vyr::LinearWarpShape;

struct LinearArgs {
    int batch, M, K, N;
    int64_t batch_stride_A, lda, batch_stride_D, ldd;
    const void* A;
    const void* B;
    void* D;
    const __half* scale;
    const __half* bias;
};

template <class Kernel>
cutlass::Status run_linear(const LinearArgs& a, cudaStream_t stream) {
    using Mma = typename Kernel::Mma;
    using ElementA = typename Kernel::ElementA;
    auto* A = static_cast<ElementA*>(const_cast<void*>(a.A));
    auto* B = static_cast<ElementA*>(const_cast<void*>(a.B));
    const GemmCoord tiles(vyr::ceil_div(a.M, LinearThreadblockShape::kM),
                          vyr::ceil_div(a.N, LinearThreadblockShape::kN), 1);
    typename Kernel::Params params{
        GemmCoord(a.M, a.N, a.K),
        tiles,
        0,
        typename Mma::IteratorA::Params(cutlass::layout::RowMajor((int)a.lda)),
        typename Mma::IteratorA::TensorRef(A, cutlass::layout::RowMajor((int)a.lda)),
        typename Mma::IteratorB::Params(cutlass::layout::ColumnMajor(a.K)),
        typename Mma::IteratorB::TensorRef(B, cutlass::layout::ColumnMajor(a.K)),
        static_cast<typename Kernel::ElementOutput*>(a.D),
        a.bias,
        a.scale,
        vyr::ceil_div(a.K, LinearThreadblockShape::kK) * LinearThreadblockShape::kK,
        a.batch_stride_A,
        a.batch_stride_D,
        a.ldd};
    return vyr::run_kernel<Kernel>(params, dim3(tiles.m(), tiles.n(), a.batch), stream);
}

template <class Element, class Accumulator, VyrActivation A, class Output, int Stages>
using LinearKernel = cutlass::gemm::kernel::LinearLayer<vyr::LinearMma<Element, Accumulator, Stages>,
                                                        LinearWarpShape, A, Output>;

using RunLinear = cutlass::Status (*)(const LinearArgs&, cudaStream_t);

// One row per compiled (operand type, output type, activation), with its 3-stage and 2-stage kernels.
struct LinearVariant {
    int ab_type, d_type;
    VyrActivation activation;
    int smem_3stage, smem_2stage;
    RunLinear run_3stage, run_2stage;
};

template <class Element, class Accumulator, class Output, VyrActivation A>
constexpr LinearVariant linear_variant() {
    constexpr int ab = sizeof(Element) == 1 ? VYR_TYPE_INT8 : VYR_TYPE_HALF;
    constexpr int d = sizeof(Output) == 1 ? VYR_TYPE_INT8 : VYR_TYPE_HALF;
    return {ab,
            d,
            A,
            vyr::LinearMmaTraits<Element, Accumulator, 3>::kSmemBytes,
            vyr::LinearMmaTraits<Element, Accumulator, 2>::kSmemBytes,
            run_linear<LinearKernel<Element, Accumulator, A, Output, 3>>,
            run_linear<LinearKernel<Element, Accumulator, A, Output, 2>>};
}

using half_t = cutlass::half_t;
using Act = VyrActivation;
const LinearVariant kLinearVariants[] = {
    linear_variant<half_t, half_t, half_t, Act::identity>(),
    linear_variant<half_t, half_t, half_t, Act::swish>(),
    linear_variant<half_t, half_t, half_t, Act::swish_clamp>(),
    linear_variant<half_t, half_t, half_t, Act::tanh>(),
    linear_variant<half_t, half_t, half_t, Act::tanh_x5>(),
    linear_variant<half_t, half_t, int8_t, Act::tanh>(),
    linear_variant<int8_t, int, half_t, Act::identity>(),
    linear_variant<int8_t, int, half_t, Act::swish>(),
    linear_variant<int8_t, int, half_t, Act::swish_clamp>(),
    linear_variant<int8_t, int, half_t, Act::tanh>(),
    linear_variant<int8_t, int, half_t, Act::tanh_x5>(),
    linear_variant<int8_t, int, int8_t, Act::tanh>(),
};

// The access widths the kernel relies on: 16-byte loads of A and B (so K, lda and A's batch stride are
// multiples of 16 bytes), pair stores of D (even ldd and batch stride), pair loads of bias and scale.
bool linear_arguments_fit(const LinearArgs& a, int ab_type, int d_type) {
    const int vec = ab_type == VYR_TYPE_INT8 ? 16 : 8;
    const size_t pair_bytes = d_type == VYR_TYPE_INT8 ? 2 : 4;
    if (a.batch < 0 || a.M < 0 || a.N < 0 || a.K < 0) return false;
    if (a.K % vec || a.lda % vec || a.batch_stride_A % vec || a.lda < a.K) return false;
    if (a.ldd % 2 || a.batch_stride_D % 2 || a.ldd < a.N) return false;
    if (!vyr::aligned(a.A, 16) || !vyr::aligned(a.B, 16) || !vyr::aligned(a.D, pair_bytes)) return false;
    if (!vyr::aligned(a.bias, 4) || !vyr::aligned(a.scale, 4)) return false;
    return ab_type != VYR_TYPE_INT8 || a.scale != nullptr;
}

}  // namespace

VYR_API int host_linear(cudaStream_t stream, int ab_type, int activation, int d_type, int batch, int M, int K,
                        int N, int batch_stride_A, int lda, int batch_stride_D, int ldd, const void* A,
                        const void* B, void* D, const __half* scale, const __half* bias) {
    int smem_optin = 0;
    if (vyr::device_attribute(cudaDevAttrMaxSharedMemoryPerBlockOptin, &smem_optin) != cudaSuccess)
        return VyrUnsupported;
    const LinearVariant* variant = nullptr;
    for (const LinearVariant& v : kLinearVariants)
        if (v.ab_type == ab_type && v.d_type == d_type && (int)v.activation == activation) variant = &v;
    if (!variant) return VyrNoKernel;
    const RunLinear run = smem_optin >= variant->smem_3stage   ? variant->run_3stage
                          : smem_optin >= variant->smem_2stage ? variant->run_2stage
                                                               : nullptr;
    if (!run) return VyrNoKernel;

    const LinearArgs args{batch, M, K, N, batch_stride_A, lda, batch_stride_D, ldd, A, B, D, scale, bias};
    if (!linear_arguments_fit(args, ab_type, d_type)) return VyrUnsupported;
    if (batch == 0 || M == 0 || N == 0) return VyrSuccess;
    return run(args, stream) == cutlass::Status::kSuccess ? VyrSuccess : VyrKernelFailed;
}
