// QKV projection with rotary embedding on the tiled layout. The output columns are (part, head, d) with part
// 0 query, 1 key, 2 value: query and key columns are rotated pair by pair with a caller's table of sines and
// cosines, value columns are stored with each 8 x 8 block transposed, which is the operand order the
// attention kernel wants for its probability x value product. One block per work item of 256 rows x 128
// columns; the rotary tables go through the idle pipeline stages after each 128-row product.
#include "linear.cuh"
#include "tensor_desc.cuh"

namespace vyr {

// (x0, x1) -> (x0 c - x1 s, x0 s + x1 c) with the table pair (s, c) at the same fragment position. Each
// product is rounded to half before the add or subtract (the _rn forms are never contracted into an fma).
__device__ inline void apply_RoPE(RegTile<__half>& x, const RegTile<__half>& table) {
#pragma unroll
    for (int i = 0; i < 4; ++i) {
        const __half2 v = x.pair(i), sc = table.pair(i);
        const __half2 a = __hmul2_rn(v, sc);                     // (x0 s, x1 c)
        const __half2 b = __hmul2_rn(v, __lowhigh2highlow(sc));  // (x0 c, x1 s)
        x.set_pair(i, __halves2half2(__hsub_rn(__low2half(b), __high2half(b)),
                                     __hadd_rn(__low2half(a), __high2half(a))));
    }
}

__device__ inline void transpose8x8(RegTile<__half>& x) {
#pragma unroll
    for (int i = 0; i < 4; ++i) x.r[i] = transpose8x8_b16(x.r[i]);
}

constexpr int kQkvItemRows = 256;

template <class Op, int kThreads, int kMinBlocks>
__global__ void __launch_bounds__(kThreads, kMinBlocks)
    qkv_rotary(int N, int H, int T, int hd16, [[maybe_unused]] float ignored, const typename Op::Element* x,
               const typename Op::Element* w, const float* x_scales, const float* w_scales,
               const __half* sincos, __half* out, int* work_counter) {
#if VYR_TILED_ARCH
    static_assert(Op::kThreads == kThreads && Op::kRowTiles == 8 && Op::kColTiles == 8 && Op::kTN == 4 &&
                      Op::kStages == 4,
                  "one 16-column tile per stage and warp column");
    static_assert(Op::kSteps % 4 == 0,
                  "the K loop ends reading stage 3, so stages 0-2 are free for the tables");
    using Smem = typename Op::template SMem<false>;
    VYR_DYNAMIC_SMEM(unsigned char, raw);
    const Smem smem{raw};
    Op op(threadIdx.x);
    const int col_pairs = 3 * H * hd16;  // 16-column tiles of the output
    const int2 item = get_grid_pos(raw, work_counter, col_pairs / 8, N * T / (kQkvItemRows / 16), op.tid);
    if (item.x < 0) return;  // a counter that was not zeroed: no item of this launch is left
    const int first_col = item.y * 8 + Op::kTN * op.warp_col;
    const bool rotate = first_col < 2 * H * hd16;
    const bool warp0_rotates = item.y * 8 < 2 * H * hd16;
    const char* table = reinterpret_cast<const char*>(sincos);

    for (int s = 0; s < kQkvItemRows / 128; ++s) {
        const int64_t row_tile0 = (int64_t)item.x * (kQkvItemRows / 16) + 8 * s;
        // Slower warps may still read the previous block's tables (stages 2, 3) or scales.
        __syncthreads();
        if constexpr (Op::kInt8)
            smem.load_scales(x_scales, w_scales, row_tile0, (int64_t)item.y * 8, op.tid, kThreads);
        op.mm(smem, x, w, row_tile0, (int64_t)item.y * 8);

        // Group c: the table tile pairs of column offset c for the block's 8 row tiles, into stage c.
        const auto table_pair = [&](int k, int c) {
            return ((row_tile0 + k) % T) * hd16 + (item.y * 8 + c) % hd16;
        };
        const auto issue = [&](int c) {
            if (op.warp == 0 && warp0_rotates)
                for (int k = 0; k < 8; ++k)
                    cp_async_16(smem.stage(c) + k * kTilePairBytes + 16 * op.lane,
                                table + table_pair(k, c) * kTilePairBytes + 16 * op.lane);
            cp_async_commit();
        };
        for (int c = 0; c < 3; ++c) issue(c);
#pragma unroll
        for (int c = 0; c < Op::kTN; ++c) {
            // Groups c .. 3 may be in flight except that group 3 is issued only after offset 0.
            cp_async_wait_at_most(c == 0 ? 2 : 3 - c);
            __syncthreads();
#pragma unroll
            for (int tm = 0; tm < Op::kTM; ++tm) {
                RegTile<__half> h;
                h.copy_from(op.scaled(smem, tm, c));
                const int rt = op.row_tile(tm);
                if (rotate) {
                    // The staged tile is that of warp column 0; when hd / 16 does not divide 4 the other
                    // column needs another tile, read straight from the table.
                    const int64_t own = ((row_tile0 + rt) % T) * hd16 + (first_col + c) % hd16;
                    RegTile<__half> tab;
                    if (own == table_pair(rt, c))
                        tab.load(smem.stage(c) + rt * kTilePairBytes, op.lane);
                    else
                        tab.load(table + own * kTilePairBytes, op.lane);
                    apply_RoPE(h, tab);
                } else {
                    transpose8x8(h);
                }
                store_tiled16x8(out, h, make_int2((int)(row_tile0 + rt), first_col + c), col_pairs, op.lane);
            }
            if (c == 0) issue(3);
        }
    }
#else
    unused(N, H, T, hd16, x, w, x_scales, w_scales, sincos, out, work_counter);
    __trap();
#endif
}

}  // namespace vyr

namespace {

using vyr::MatMulOp;

struct QkvArgs {
    int N, H, T, hd16;
    float unused;
    const void *x, *w;
    const float *x_scales, *w_scales;
    const __half* sincos;
    __half* out;
    int* counter;
};

template <class Op>
void launch_qkv(const QkvArgs& a, cudaStream_t stream) {
    using T = typename Op::Element;
    const auto kernel = VYR_KERNEL(vyr::qkv_rotary<Op, Op::kThreads, 2>);
    constexpr int kBytes = Op::template SMem<false>::kBytes;
    vyr::allow_dynamic_smem(kernel, kBytes, nullptr);  // not inspected: a refusal fails the launch
    const dim3 grid(a.N * a.T / (vyr::kQkvItemRows / 16), 3 * a.H * a.hd16 / 8);
    vyr::launch(kernel, grid, dim3(Op::kThreads), kBytes, stream, a.N, a.H, a.T, a.hd16, a.unused,
                static_cast<const T*>(a.x), static_cast<const T*>(a.w), a.x_scales, a.w_scales, a.sincos,
                a.out, a.counter);
}

struct QkvVariant {
    int c_in;
    uint32_t dtype;
    void (*launch)(const QkvArgs&, cudaStream_t);
};

const QkvVariant kQkvVariants[] = {
    {512, VYR_TYPE_HALF, launch_qkv<MatMulOp<512, 2, 2, 4, 4, 4, __half, float>>},
    {512, VYR_TYPE_INT8, launch_qkv<MatMulOp<512, 2, 2, 4, 4, 4, signed char, float>>},
    {1536, VYR_TYPE_HALF, launch_qkv<MatMulOp<1536, 2, 2, 4, 4, 4, __half, float>>},
    {1536, VYR_TYPE_INT8, launch_qkv<MatMulOp<1536, 2, 2, 4, 4, 4, signed char, float>>},
};

}  // namespace

VYR_API int vyr_qkv_rotary(cudaStream_t stream, const TensorDesc* x, const TensorDesc* weights,
                           const TensorDesc* sincos, const TensorDesc* out, int* work_counter, float unused) {
    using namespace vyr;
    if (!x || !weights || !sincos || !out || !work_counter) return VyrUnsupported;
    const uint32_t type = x->dtype;
    if (type != VYR_TYPE_HALF && type != VYR_TYPE_INT8) return VyrUnsupported;
    const int64_t w = type == VYR_TYPE_HALF ? 8 : 16;
    const int64_t N = dim_size(x, kDimN), T = dim_size(x, kDimT), c_tiles = dim_size(x, kDimC);
    const int64_t H = dim_size(weights, kDimH), hd16 = dim_size(weights, kDimD);
    if (!matches(x, type, {{kDimN, -1}, {kDimT, -1}, {kDimC, -1}, {kDimt, 16}, {kDimc, w}}) ||
        !matches(weights, type,
                 {{kDimPart, 3}, {kDimH, -1}, {kDimD, -1}, {kDimC, c_tiles}, {kDimd, 16}, {kDimc, w}}) ||
        // The table's element type is not checked: callers pass the halves under other type codes too.
        !matches(sincos, sincos->dtype, {{kDimT, T}, {kDimD, 2 * hd16}, {kDimt, 16}, {kDimd, 8}}) ||
        !matches(
            out, VYR_TYPE_HALF,
            {{kDimN, N}, {kDimT, T}, {kDimPart, 3}, {kDimH, H}, {kDimD, 2 * hd16}, {kDimt, 16}, {kDimd, 8}}))
        return VyrUnsupported;
    if (!scales_ok(x, kDimC) || !scales_ok(weights, kDimC)) return VyrUnsupported;
    // Both quotients positive: the grid has exactly one block per item.
    const int64_t cols = 3 * H * hd16 * 16, rows = N * T * 16;
    if (H <= 0 || hd16 <= 0 || cols % 128 != 0 || rows <= 0 || rows % kQkvItemRows != 0)
        return VyrUnsupported;
    if (rows / kQkvItemRows > INT32_MAX / 2 || cols / 128 > 65535) return VyrUnsupported;
    if (!data_ok(x) || !data_ok(weights) || !data_ok(sincos) || !data_ok(out)) return VyrUnsupported;
    for (const QkvVariant& v : kQkvVariants) {
        if (v.c_in != c_tiles * w || v.dtype != type) continue;
        v.launch(
            QkvArgs{(int)N, (int)H, (int)T, (int)hd16, unused, x->data, weights->data,
                    static_cast<const float*>(x->scale_data), static_cast<const float*>(weights->scale_data),
                    static_cast<const __half*>(sincos->data), static_cast<__half*>(out->data), work_counter},
            stream);
        return VyrSuccess;
    }
    return VyrUnsupported;
}
