// First projection of a feed-forward block: out = value * SiLU(gate) of v = x * weights^T on the tiled
// layout. Weight rows come in groups of 32: 16 value rows, then the 16 gate rows of the same output columns,
// so a warp's value tile and its gate tile are neighbours and the F-column product never leaves registers.
#include "linear.cuh"
#include "tensor_desc.cuh"

namespace vyr {

constexpr int kSwigluBlocks = 1024;

// value * gate * sigmoid(gate), with the gate's sigmoid as 0.5 tanh(0.5 gate) + 0.5: h = 0.5 gate,
// s = h tanh(h) + h. Every step is a separate half operation, each rounded once: the _rn forms keep the
// compiler from contracting the multiply and the add.
__device__ inline __half2 swiGLU(__half2 value, __half2 gate) {
    const __half2 h = __hmul2_rn(gate, __float2half2_rn(0.5f));
    const __half2 s = __hadd2_rn(__hmul2_rn(h, fast_tanh_h2(h)), h);
    return __hmul2_rn(value, s);
}
// Float accumulators: h = half(0.5 gate) in float then rounded, the value rounded to half, then as above.
__device__ inline __half2 swiGLU(float2 value, float2 gate) {
    const __half2 h = __floats2half2_rn(__fmul_rn(0.5f, gate.x), __fmul_rn(0.5f, gate.y));
    const __half2 s = __hadd2_rn(__hmul2_rn(h, fast_tanh_h2(h)), h);
    return __hmul2_rn(__floats2half2_rn(value.x, value.y), s);
}

template <class V>
__device__ inline RegTile<__half> swiGLU(const RegTile<V>& value, const RegTile<V>& gate);
template <>
__device__ inline RegTile<__half> swiGLU<float>(const RegTile<float>& value, const RegTile<float>& gate) {
    RegTile<__half> y;
#pragma unroll
    for (int i = 0; i < 4; ++i)
        y.set_pair(i, swiGLU(make_float2(value.v[2 * i], value.v[2 * i + 1]),
                             make_float2(gate.v[2 * i], gate.v[2 * i + 1])));
    return y;
}
template <>
__device__ inline RegTile<__half> swiGLU<__half>(const RegTile<__half>& value, const RegTile<__half>& gate) {
    RegTile<__half> y;
#pragma unroll
    for (int i = 0; i < 4; ++i) y.set_pair(i, swiGLU(value.pair(i), gate.pair(i)));
    return y;
}

// blocks: (row blocks of WM * TM * 16 rows, F / 128).
template <class Op, int kThreads>
__global__ void __launch_bounds__(kThreads)
    mm_swiglu(int2 blocks, const typename Op::Element* x, const typename Op::Element* w,
              const float* x_scales, const float* w_scales, __half* out, int* work_counter) {
#if VYR_TILED_ARCH
    static_assert(Op::kThreads == kThreads && Op::kColTiles == 8 && Op::kTN == 4,
                  "value/gate pairs per warp");
    using Smem = typename Op::template SMem<false>;
    VYR_DYNAMIC_SMEM(unsigned char, raw);
    const Smem smem{raw};
    Op op(threadIdx.x);
    const int out_col_pairs = blocks.y * 4;
    for (;;) {
        // The barriers inside get_grid_pos also keep the previous item's scales until every warp used them.
        const int2 item = get_grid_pos(raw, work_counter, blocks.y, blocks.x, op.tid);
        if (item.x < 0) return;
        const int64_t row_tile0 = (int64_t)item.x * Op::kRowTiles, col_tile0 = (int64_t)item.y * 8;
        if constexpr (Op::kInt8) smem.load_scales(x_scales, w_scales, row_tile0, col_tile0, op.tid, kThreads);
        op.mm(smem, x, w, row_tile0, col_tile0);
#pragma unroll
        for (int tm = 0; tm < Op::kTM; ++tm)
#pragma unroll
            for (int p = 0; p < 2; ++p) {
                RegTile<__half> y;
                if constexpr (Op::kInt8 || std::is_same<typename Op::Accum, RegTile<float>>::value)
                    y = swiGLU<float>(op.scaled(smem, tm, 2 * p), op.scaled(smem, tm, 2 * p + 1));
                else
                    y = swiGLU<__half>(op.acc[tm][2 * p], op.acc[tm][2 * p + 1]);
                const int2 pos =
                    make_int2((int)(row_tile0 + op.row_tile(tm)), item.y * 4 + 2 * op.warp_col + p);
                store_tiled16x8(out, y, pos, out_col_pairs, op.lane);
            }
    }
#else
    unused(blocks, x, w, x_scales, w_scales, out, work_counter);
    __trap();
#endif
}

}  // namespace vyr

namespace {

using vyr::MatMulOp;

struct SwigluArgs {
    int M, F;
    const void *x, *w;
    const float *x_scales, *w_scales;
    __half* out;
    int* counter;
};

template <class Op>
void launch_swiglu(const SwigluArgs& a, cudaStream_t stream) {
    using T = typename Op::Element;
    const auto kernel = VYR_KERNEL(vyr::mm_swiglu<Op, Op::kThreads>);
    constexpr int kBytes = Op::template SMem<false>::kBytes;
    vyr::allow_dynamic_smem(kernel, kBytes, nullptr);  // not inspected: a refusal fails the launch
    vyr::launch(kernel, dim3(vyr::kSwigluBlocks), dim3(Op::kThreads), kBytes, stream,
                make_int2(a.M / (16 * Op::kRowTiles), a.F / 128), static_cast<const T*>(a.x),
                static_cast<const T*>(a.w), a.x_scales, a.w_scales, a.out, a.counter);
}

template <int K>
using FloatAcc = MatMulOp<K, 2, 2, 4, 4, 4, __half, float>;
template <int K>
using HalfAcc = MatMulOp<K, 2, 2, 8, 4, 4, __half, __half>;  // 256 rows per block
template <int K>
using Int8Acc = MatMulOp<K, 2, 2, 4, 4, 4, signed char, float>;

struct SwigluVariant {
    int k;
    uint32_t dtype;
    int float_acc;  // -1: any
    int rows;       // rows per block
    void (*launch)(const SwigluArgs&, cudaStream_t);
};

const SwigluVariant kSwigluVariants[] = {
    {512, VYR_TYPE_HALF, 1, 128, launch_swiglu<FloatAcc<512>>},
    {512, VYR_TYPE_HALF, 0, 256, launch_swiglu<HalfAcc<512>>},
    {512, VYR_TYPE_INT8, -1, 128, launch_swiglu<Int8Acc<512>>},
    {1536, VYR_TYPE_HALF, 1, 128, launch_swiglu<FloatAcc<1536>>},
    {1536, VYR_TYPE_HALF, 0, 256, launch_swiglu<HalfAcc<1536>>},
    {1536, VYR_TYPE_INT8, -1, 128, launch_swiglu<Int8Acc<1536>>},
};

}  // namespace

VYR_API int vyr_mm_swiglu(cudaStream_t stream, const TensorDesc* x, const TensorDesc* weights,
                          const TensorDesc* out, int* work_counter, int float_accumulate) {
    using namespace vyr;
    if (!x || !weights || !out || !work_counter) return VyrUnsupported;
    const uint32_t type = x->dtype;
    if (type != VYR_TYPE_HALF && type != VYR_TYPE_INT8) return VyrUnsupported;
    const int64_t w = type == VYR_TYPE_HALF ? 8 : 16;
    const int64_t m_tiles = dim_size(x, kDimM), k_tiles = dim_size(x, kDimK),
                  f_tiles = dim_size(weights, kDimN);
    if (!matches(x, type, {{kDimM, -1}, {kDimK, -1}, {kDimm, 16}, {kDimk, w}}) ||
        !matches(weights, type, {{kDimN, -1}, {kDimK, k_tiles}, {kDimn, 16}, {kDimk, w}}) ||
        !matches(out, VYR_TYPE_HALF, {{kDimM, m_tiles}, {kDimN, f_tiles}, {kDimm, 16}, {kDimn, 8}}))
        return VyrUnsupported;
    if (!scales_ok(x, kDimK) || !scales_ok(weights, kDimK)) return VyrUnsupported;
    if (!data_ok(x) || !data_ok(weights) || !data_ok(out)) return VyrUnsupported;
    const int acc = float_accumulate != 0;
    for (const SwigluVariant& v : kSwigluVariants) {
        if (v.k != k_tiles * w || v.dtype != type || (v.float_acc >= 0 && v.float_acc != acc)) continue;
        // Whole blocks of rows and of 128 weight rows, neither zero: the persistent blocks walk whole items.
        if (m_tiles <= 0 || (16 * m_tiles) % v.rows != 0 || f_tiles <= 0 || f_tiles % 8 != 0)
            return VyrUnsupported;
        v.launch(SwigluArgs{(int)(16 * m_tiles), (int)(16 * f_tiles), x->data, weights->data,
                            static_cast<const float*>(x->scale_data),
                            static_cast<const float*>(weights->scale_data), static_cast<__half*>(out->data),
                            work_counter},
                 stream);
        return VyrSuccess;
    }
    return VyrUnsupported;
}
