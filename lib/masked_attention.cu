// Banded multi-head self-attention over the tiled QKV tensor written by vyr_qkv_rotary (head dimension 64):
// a query of time tile q attends to the keys of tiles q - S .. q + S inside the sequence, S = W / 32, with an
// online softmax, so the score matrix never exists. One block per (sequence, head) with S warps; time tiles
// are processed in chunks of S, warp w owning query tile a S + w of chunk a. Each chunk's key and value
// blocks are read from memory once into shared slots; every query tile meets its 2 S + 1 key tiles over three
// consecutive chunks (as the next chunk's tile, as its own, as the previous chunk's).
#include "linear.cuh"
#include "tensor_desc.cuh"

namespace vyr {

constexpr int kHeadDim = 64;
constexpr int kHeadBlockBytes = kHeadDim / 16 * kTilePairBytes;  // 16 steps x 64 halves

template <int W>
struct AttentionTraits {
    static constexpr int kSlots = W / 32;
    static constexpr int kThreads = 32 * kSlots;  // one warp per slot
    static constexpr int kMinBlocks = W == 256 ? 2 : 1;
    // Key blocks of slots 0 .. S-1, then the value blocks.
    static constexpr int kValueOffset = kSlots * kHeadBlockBytes;
    static constexpr int kSmemBytes = 2 * kSlots * kHeadBlockBytes;
};

// A warp's state for one query tile in flight: the scaled queries, the output kept normalised after every
// key tile, and per row (g and g + 8 of the lane's quad) the running maximum and sum.
struct QueryTile {
    RegTile<__half> q[kHeadDim / 16];
    RegTile<float> o[kHeadDim / 16];
    float m[2], l[2];
};

// Value i of an accumulator tile lies in row g + 8 * row_of(i).
__device__ inline int row_of(int i) {
    return i / 2 % 2;
}

// Row maxima of the score tile, across the quad that shares a row, raised into m.
__device__ inline void row_max_accum(const RegTile<float>& s, float (&m)[2]) {
    float mx[2] = {-INFINITY, -INFINITY};
#pragma unroll
    for (int i = 0; i < 8; ++i) mx[row_of(i)] = fmaxf(mx[row_of(i)], s.v[i]);
#pragma unroll
    for (int r = 0; r < 2; ++r) {
        mx[r] = fmaxf(mx[r], __shfl_xor_sync(0xffffffffu, mx[r], 1));
        mx[r] = fmaxf(mx[r], __shfl_xor_sync(0xffffffffu, mx[r], 2));
        m[r] = fmaxf(m[r], mx[r]);
    }
}
// s = 2^((s - m) log2 e), the fast base-2 exponential.
__device__ inline void row_sub_exp_(RegTile<float>& s, const float (&m)[2]) {
#pragma unroll
    for (int i = 0; i < 8; ++i) s.v[i] = fast_exp2((s.v[i] - m[row_of(i)]) * 1.442695f);
}
__device__ inline void row_sum_accum(const RegTile<float>& p, float (&l)[2]) {
    float sum[2] = {0.0f, 0.0f};
#pragma unroll
    for (int i = 0; i < 8; ++i) sum[row_of(i)] += p.v[i];
#pragma unroll
    for (int r = 0; r < 2; ++r) {
        sum[r] += __shfl_xor_sync(0xffffffffu, sum[r], 1);
        sum[r] += __shfl_xor_sync(0xffffffffu, sum[r], 2);
        l[r] += sum[r];
    }
}
__device__ inline void row_mul_(RegTile<float>& t, const float (&f)[2]) {
#pragma unroll
    for (int i = 0; i < 8; ++i) t.v[i] *= f[row_of(i)];
}

__device__ inline const char* head_block(const __half* qkv, int n, int T, int tau, int part, int H, int h) {
    const int64_t pair = ((((int64_t)n * T + tau) * 3 + part) * H + h) * (kHeadDim / 16);
    return reinterpret_cast<const char*>(qkv) + pair * kTilePairBytes;
}

__device__ inline void begin_query(QueryTile& st, const char* queries, int lane) {
#pragma unroll
    for (int p = 0; p < kHeadDim / 16; ++p) {
        st.q[p].load(queries + p * kTilePairBytes, lane);
        st.q[p].mul_(__float2half(0.125f));  // 1 / sqrt(64), exact in half
        st.o[p].zero();
    }
    st.m[0] = st.m[1] = -INFINITY;
    st.l[0] = st.l[1] = 0.0f;
}

__device__ inline void attend(QueryTile& st, const unsigned char* keys, const unsigned char* values,
                              int lane) {
    RegTile<float> s;
    s.zero();
#pragma unroll
    for (int p = 0; p < kHeadDim / 16; ++p) {
        RegTile<__half> k;
        k.load(keys + p * kTilePairBytes, lane);
        s.mma(st.q[p], k);
    }
    float m_new[2] = {st.m[0], st.m[1]};
    row_max_accum(s, m_new);
    row_sub_exp_(s, m_new);
    float c[2], l_new[2], inv[2], rescale[2];
#pragma unroll
    for (int r = 0; r < 2; ++r) c[r] = st.l[r] * fast_exp2((st.m[r] - m_new[r]) * 1.442695f);
    l_new[0] = c[0];
    l_new[1] = c[1];
    row_sum_accum(s, l_new);
#pragma unroll
    for (int r = 0; r < 2; ++r) {
        inv[r] = fast_rcp(l_new[r]);
        rescale[r] = fast_div(c[r], l_new[r]);
    }
    row_mul_(s, inv);
    RegTile<__half> prob;  // the score fragment is the A operand order: no data movement
    prob.copy_from(s);
#pragma unroll
    for (int p = 0; p < kHeadDim / 16; ++p) {
        row_mul_(st.o[p], rescale);
        RegTile<__half> v;
        v.load(values + p * kTilePairBytes, lane);
        st.o[p].mma_transposed(prob, v);
    }
#pragma unroll
    for (int r = 0; r < 2; ++r) {
        st.m[r] = m_new[r];
        st.l[r] = l_new[r];
    }
}

// Writes the 16 x 64 result of block `block` (= (n T + tau) H + h) of the output, plain (not transposed).
__device__ inline void finish_query(const QueryTile& st, __half* out, int block, int lane) {
#pragma unroll
    for (int p = 0; p < kHeadDim / 16; ++p) {
        RegTile<__half> h;
        h.copy_from(st.o[p]);
        store_tiled16x8(out, h, make_int2(block, p), kHeadDim / 16, lane);
    }
}

// One chunk a of warp `warp`: `prev` holds query tile a S + w - S (finished here, then reused for tile
// a S + S + w, begun here), `own` holds tile a S + w.
template <int S>
__device__ inline void attention_chunk(int a, QueryTile& prev, QueryTile& own, unsigned char* smem,
                                       const __half* qkv, __half* out, int n, int h, int H, int T, int warp,
                                       int lane) {
    const int base = a * S, tile = base + warp;
    const int last = min(base + S - 1, T - 1);  // the chunk's last key tile in the sequence
    const auto keys = [smem](int k) { return smem + (k % S) * kHeadBlockBytes; };
    const auto values = [smem](int k) { return smem + S * kHeadBlockBytes + (k % S) * kHeadBlockBytes; };
    // Every warp has finished with the previous chunk's slots.
    __syncthreads();
    if (tile >= 0 && tile < T) {
        const char* k = head_block(qkv, n, T, tile, 1, H, h);
        const char* v = head_block(qkv, n, T, tile, 2, H, h);
        for (int i = 0; i < kHeadBlockBytes / 512; ++i) {
            cp_async_16(keys(tile) + 512 * i + 16 * lane, k + 512 * i + 16 * lane);
            cp_async_16(values(tile) + 512 * i + 16 * lane, v + 512 * i + 16 * lane);
        }
        cp_async_commit();
        cp_async_wait<0>();
    }
    __syncthreads();
    if (tile - S >= 0 && tile - S < T) {
        for (int k = base; k <= min(tile, T - 1); ++k) attend(prev, keys(k), values(k), lane);
        finish_query(prev, out, ((n * T + tile - S) * H + h), lane);
    }
    if (tile >= 0 && tile < T)
        for (int k = max(base, 0); k <= last; ++k) attend(own, keys(k), values(k), lane);
    if (tile + S >= 0 && tile + S < T) {
        begin_query(prev, head_block(qkv, n, T, tile + S, 0, H, h), lane);
        for (int k = max(tile, 0); k <= last; ++k) attend(prev, keys(k), values(k), lane);
    }
}

// grid (N, H), one warp per slot. Two chunks per iteration, so that the two query states swap roles at
// compile time and stay in registers.
template <int W>
__global__ void __launch_bounds__(AttentionTraits<W>::kThreads, AttentionTraits<W>::kMinBlocks)
    attention(int T, const __half* qkv, __half* out) {
#if VYR_TILED_ARCH
    using Traits = AttentionTraits<W>;
    constexpr int S = Traits::kSlots;
    VYR_DYNAMIC_SMEM(unsigned char, smem);
    const int n = blockIdx.x, h = blockIdx.y, H = gridDim.y;
    const int warp = threadIdx.x / 32, lane = threadIdx.x % 32;
    QueryTile x, y;
    const int chunks = ceil_div(T, S);
    for (int a = -1; a <= chunks; a += 2) {
        attention_chunk<S>(a, x, y, smem, qkv, out, n, h, H, T, warp, lane);
        attention_chunk<S>(a + 1, y, x, smem, qkv, out, n, h, H, T, warp, lane);
    }
#else
    unused(T, qkv, out);
    __trap();
#endif
}

}  // namespace vyr

namespace {

template <int W>
int launch_attention(int N, int H, int T, const __half* qkv, __half* out, cudaStream_t stream) {
    using Traits = vyr::AttentionTraits<W>;
    const auto kernel = VYR_KERNEL(vyr::attention<W>);
    if (!vyr::allow_dynamic_smem(kernel, Traits::kSmemBytes, vyr::kSmemMsgAttention)) return VyrUnsupported;
    vyr::launch(kernel, dim3(N, H), dim3(Traits::kThreads), Traits::kSmemBytes, stream, T, qkv, out);
    return VyrSuccess;
}

struct AttentionVariant {
    int left, right;
    int (*launch)(int, int, int, const __half*, __half*, cudaStream_t);
};

const AttentionVariant kAttentionVariants[] = {
    {127, 128, launch_attention<256>},
    {255, 256, launch_attention<512>},
};

}  // namespace

VYR_API int vyr_masked_attention(cudaStream_t stream, int window_left, int window_right,
                                 const TensorDesc* qkv, const TensorDesc* out) {
    using namespace vyr;
    if (!qkv || !out) return VyrUnsupported;
    const int64_t N = dim_size(out, kDimN), T = dim_size(out, kDimT), H = dim_size(out, kDimH);
    if (!matches(out, VYR_TYPE_HALF,
                 {{kDimN, -1}, {kDimT, -1}, {kDimH, -1}, {kDimD, kHeadDim / 8}, {kDimt, 16}, {kDimd, 8}}) ||
        !matches(qkv, VYR_TYPE_HALF,
                 {{kDimN, N},
                  {kDimT, T},
                  {kDimPart, 3},
                  {kDimH, H},
                  {kDimD, kHeadDim / 8},
                  {kDimt, 16},
                  {kDimd, 8}}))
        return VyrUnsupported;
    const AttentionVariant* variant = nullptr;
    for (const AttentionVariant& v : kAttentionVariants)
        if (v.left == window_left && v.right == window_right) variant = &v;
    if (!variant) return VyrUnsupported;
    // Output tile indices are 32-bit in the kernel; the grid's y extent is limited to 65535.
    if (N * T * H > INT32_MAX / 8 || H > 65535) return VyrUnsupported;
    if (N * T * H == 0) return VyrSuccess;  // nothing to attend; a zero-sized grid would be a launch error
    if (!data_ok(qkv) || !data_ok(out)) return VyrUnsupported;
    return variant->launch((int)N, (int)H, (int)T, static_cast<const __half*>(qkv->data),
                           static_cast<__half*>(out->data), stream);
}
