// Banded softmax attention, head dimension 64, on tensor cores (compute capability 8.0 and later).
// q, k, v: (N, H, T, 64) half planes; out: (N, T, H, 64) half. The sequence is cut into tiles of 16 steps;
// query tile j attends to key tiles j - 8 .. j + 8 inside the sequence (no masking inside a tile), with the
// softmax computed online so the T x T scores never exist.
//
// One block per (n, h), 16 warps. K and V tiles pass through two rings of 32 tile images in shared memory:
// each outer iteration every warp loads one K and one V tile eight tiles ahead of its query tile, so the 32
// tiles that the block's 16 query tiles need are resident together.
#include "frame.cuh"

namespace vyr {
namespace attention {

constexpr int kHeadDim = 64;
constexpr int kTileSteps = 16;
constexpr int kBand = 8;  // key tiles on each side of a query tile
constexpr int kRingSlots = 32;
constexpr int kWindowLeft = 127, kWindowRight = 128;  // the only band the callers ask for

// One 8 x 8 block of a warp's tile: lane 4g + t holds row g, columns 2t and 2t + 1. This is the tensor-core
// fragment order of every operand and accumulator quarter of mma.m16n8k16 (see intrinsics.cuh).
template <class T>
struct Reg8x8 {
    T x[2];

    template <class F>
    __device__ void base_apply(F f) {
        x[0] = f(x[0]);
        x[1] = f(x[1]);
    }
    __device__ void base_mul(T s) {
        x[0] = x[0] * s;
        x[1] = x[1] * s;
    }
    __device__ void base_exp() {
        x[0] = fast_exp(x[0]);
        x[1] = fast_exp(x[1]);
    }
    __device__ unsigned bits() const {
        static_assert(sizeof(T) == 2, "operands are half pairs");
        return half2_bits(__halves2half2(x[0], x[1]));
    }
    __device__ static Reg8x8 from_bits(unsigned u) {
        const __half2 h = half2_from_bits(u);
        return Reg8x8{{__low2half(h), __high2half(h)}};
    }
    // The transposed block: lane (g, t) needs elements (2t, g) and (2t + 1, g), which lanes 4 (2t + j) + g /
    // 2 hold at position g % 2.
    __device__ Reg8x8 transpose(int lane) const {
        const int g = lane / 4, t = lane % 4;
        Reg8x8 r;
        for (int j = 0; j < 2; ++j) {
            const unsigned w = __shfl_sync(0xffffffffu, bits(), 4 * (2 * t + j) + g / 2);
            r.x[j] = from_bits(w).x[g % 2];
        }
        return r;
    }
};

// A 16 x 64 half tile in fragment order, one 32-bit word per lane and block: [row block][column block][lane].
struct TileImage {
    unsigned word[2][kHeadDim / 8][32];
};

struct SharedStorage {
    TileImage k[kRingSlots];
    TileImage v[kRingSlots];
};
constexpr size_t kSharedBytes = sizeof(SharedStorage);
static_assert(kSharedBytes == 131072, "two rings of 32 tiles of 16 x 64 halves");

template <class T, int Rows, int Cols>
struct RegTile {
    static constexpr int kRowBlocks = Rows / 8, kColBlocks = Cols / 8;
    Reg8x8<T> b[kRowBlocks][kColBlocks];

    __device__ void fill(T v) {
        for (auto& row : b)
            for (auto& blk : row) blk.x[0] = blk.x[1] = v;
    }
    // From a row-major half matrix with leading dimension ld (elements).
    __device__ void load(const __half* src, long long ld, int lane) {
        const int g = lane / 4, t = lane % 4;
        for (int i = 0; i < kRowBlocks; ++i)
            for (int j = 0; j < kColBlocks; ++j) {
                const __half* p = src + (8 * i + g) * ld + 8 * j + 2 * t;
                b[i][j] = Reg8x8<T>{{p[0], p[1]}};
            }
    }
    __device__ void load(const TileImage& img, int lane) {
        for (int i = 0; i < kRowBlocks; ++i)
            for (int j = 0; j < kColBlocks; ++j) b[i][j] = Reg8x8<T>::from_bits(img.word[i][j][lane]);
    }
    // The transpose of a 16 x 64 image: rows are the image's columns.
    __device__ void load_trans(const TileImage& img, int lane) {
        for (int i = 0; i < kRowBlocks; ++i)
            for (int j = 0; j < kColBlocks; ++j)
                b[i][j] = Reg8x8<T>::from_bits(img.word[j][i][lane]).transpose(lane);
    }
    __device__ void store(TileImage& img, int lane) const {
        for (int i = 0; i < kRowBlocks; ++i)
            for (int j = 0; j < kColBlocks; ++j) img.word[i][j][lane] = b[i][j].bits();
    }
    __device__ void store(__half* dst, long long ld, int lane) const {
        const int g = lane / 4, t = lane % 4;
        for (int i = 0; i < kRowBlocks; ++i)
            for (int j = 0; j < kColBlocks; ++j) {
                __half* p = dst + (8 * i + g) * ld + 8 * j + 2 * t;
                p[0] = b[i][j].x[0];
                p[1] = b[i][j].x[1];
            }
    }
    __device__ void mul_(T s) {
        for (auto& row : b)
            for (auto& blk : row) blk.base_mul(s);
    }
    __device__ void exp_() {
        for (auto& row : b)
            for (auto& blk : row) blk.base_exp();
    }
    template <class U>
    __device__ void copy_from(const RegTile<U, Rows, Cols>& o) {
        for (int i = 0; i < kRowBlocks; ++i)
            for (int j = 0; j < kColBlocks; ++j)
                for (int e = 0; e < 2; ++e) {
                    if constexpr (sizeof(T) == 2)
                        b[i][j].x[e] = __float2half_rn(o.b[i][j].x[e]);
                    else
                        b[i][j].x[e] = __half2float(o.b[i][j].x[e]);
                }
    }

    // Row-wise operations on a float tile: this lane holds rows g (block row 0) and g + 8 (block row 1); the
    // four lanes of a row (t = 0..3) combine with butterfly shuffles, so every one of them ends with the
    // row's value.
    template <class F>
    __device__ void row_reduce(float (&acc)[2], F op) const {
        for (int r = 0; r < 2; ++r) {
            float v = acc[r];
            for (int j = 0; j < kColBlocks; ++j) v = op(op(v, b[r][j].x[0]), b[r][j].x[1]);
            for (int offset = 1; offset < 4; offset *= 2) v = op(v, __shfl_xor_sync(0xffffffffu, v, offset));
            acc[r] = v;
        }
    }
    __device__ void row_max_accum(float (&m)[2]) const {
        row_reduce(m, [](float a, float c) { return fmaxf(a, c); });
    }
    // Adds the row sums to sums (which enter as each row's own partial, so lanes must agree on them).
    __device__ void row_sum_accum(float (&sums)[2]) const {
        float own[2] = {0.0f, 0.0f};
        row_reduce(own, [](float a, float c) { return a + c; });
        sums[0] += own[0];
        sums[1] += own[1];
    }
    __device__ void row_sub_(const float (&m)[2]) {
        for (int r = 0; r < 2; ++r)
            for (auto& blk : b[r]) blk.base_apply([&](float x) { return x - m[r]; });
    }
    __device__ void row_mul_(const float (&s)[2]) {
        for (int r = 0; r < 2; ++r)
            for (auto& blk : b[r]) blk.base_mul(s[r]);
    }
};

// acc (16 x N) += a (16 x K) * bt^T, bt holding the N x K transpose of the right operand: the m16n8k16
// fragments are the tiles' own blocks, two k-blocks per product.
template <int N, int K>
__device__ void mma(RegTile<float, 16, N>& acc, const RegTile<__half, 16, K>& a,
                    const RegTile<__half, N, K>& bt) {
    for (int ks = 0; ks < K / 16; ++ks)
        for (int j = 0; j < N / 8; ++j) {
            MmaF16Operands in;
            in.a[0] = a.b[0][2 * ks].bits();
            in.a[1] = a.b[1][2 * ks].bits();
            in.a[2] = a.b[0][2 * ks + 1].bits();
            in.a[3] = a.b[1][2 * ks + 1].bits();
            in.b[0] = bt.b[j][2 * ks].bits();
            in.b[1] = bt.b[j][2 * ks + 1].bits();
            in.c[0] = acc.b[0][j].x[0];
            in.c[1] = acc.b[0][j].x[1];
            in.c[2] = acc.b[1][j].x[0];
            in.c[3] = acc.b[1][j].x[1];
            float d[4];
            mma_m16n8k16_f16(d, in);
            acc.b[0][j].x[0] = d[0];
            acc.b[0][j].x[1] = d[1];
            acc.b[1][j].x[0] = d[2];
            acc.b[1][j].x[1] = d[3];
        }
}

// One query tile against its band of key tiles; O always holds the softmax-weighted mean of the value rows
// seen so far.
__device__ inline void attend_tile(const SharedStorage& smem, const __half* q, __half* out, long long out_ld,
                                   int query_tile, int tiles, int lane) {
    RegTile<__half, 16, kHeadDim> Q;
    Q.load(q, kHeadDim, lane);
    Q.mul_(__float2half(0.125f));  // 1 / sqrt(64), exact in half
    RegTile<float, 16, kHeadDim> O;
    O.fill(0.0f);
    float m[2] = {-INFINITY, -INFINITY}, l[2] = {0.0f, 0.0f};
    const int first = max(query_tile - kBand, 0), last = min(query_tile + kBand, tiles - 1);
    for (int j = first; j <= last; ++j) {
        RegTile<__half, 16, kHeadDim> K;
        K.load(smem.k[j % kRingSlots], lane);
        RegTile<float, 16, 16> S;
        S.fill(0.0f);
        mma(S, Q, K);
        float m_new[2] = {m[0], m[1]};
        S.row_max_accum(m_new);
        S.row_sub_(m_new);
        S.exp_();
        float l_new[2], inv[2], g[2];
        for (int r = 0; r < 2; ++r) l_new[r] = l[r] * fast_exp(m[r] - m_new[r]);
        const float l_scaled[2] = {l_new[0], l_new[1]};
        S.row_sum_accum(l_new);
        for (int r = 0; r < 2; ++r) {
            inv[r] = fast_rcp(l_new[r]);
            g[r] = fast_div(l_scaled[r], l_new[r]);
        }
        S.row_mul_(inv);
        O.row_mul_(g);
        RegTile<__half, 16, 16> P;
        P.copy_from(S);
        RegTile<__half, kHeadDim, 16> Vt;
        Vt.load_trans(smem.v[j % kRingSlots], lane);
        mma(O, P, Vt);
        for (int r = 0; r < 2; ++r) {
            m[r] = m_new[r];
            l[r] = l_new[r];
        }
    }
    RegTile<__half, 16, kHeadDim> result;
    result.copy_from(O);
    result.store(out, out_ld, lane);
}

template <int Warps>
__global__ void __launch_bounds__(Warps * 32)
    attn(int T, const __half* q, const __half* k, const __half* v, __half* out) {
    static_assert(kRingSlots == 2 * Warps && kBand == Warps / 2, "the ring holds the band of all warps");
    VYR_DYNAMIC_SMEM(SharedStorage, smem);
    const int n = blockIdx.x, h = blockIdx.y, H = gridDim.y;
    const int warp = threadIdx.x / 32, lane = threadIdx.x % 32;
    const int tiles = T / kTileSteps;
    const long long plane = ((long long)n * H + h) * T * kHeadDim;
    constexpr int kTile = kTileSteps * kHeadDim;
    for (int c = -1; c < (tiles + Warps - 1) / Warps; ++c) {
        const int load = Warps * c + warp + kBand;
        if (load >= 0 && load < tiles) {
            RegTile<__half, 16, kHeadDim> t;
            t.load(k + plane + (long long)load * kTile, kHeadDim, lane);
            t.store(smem->k[load % kRingSlots], lane);
            t.load(v + plane + (long long)load * kTile, kHeadDim, lane);
            t.store(smem->v[load % kRingSlots], lane);
        }
        __syncthreads();
        const int query = Warps * c + warp;
        if (query >= 0 && query < tiles)
            attend_tile(*smem, q + plane + (long long)query * kTile,
                        out + (((long long)n * T + (long long)query * kTileSteps) * H + h) * kHeadDim,
                        (long long)H * kHeadDim, query, tiles, lane);
        __syncthreads();
    }
}

constexpr int kWarps = 16;

}  // namespace attention
}  // namespace vyr

VYR_API int host_masked_attention_f16(cudaStream_t stream, int N, int T, int H, int D, int window_left,
                                      int window_right, const __half* q, const __half* k, const __half* v,
                                      __half* out) {
    namespace at = vyr::attention;
    if (D != at::kHeadDim || T % at::kTileSteps != 0 || window_left != at::kWindowLeft ||
        window_right != at::kWindowRight)
        return VyrUnsupported;
    if (N < 0 || T < 0 || H < 0 || H > 65535) return VyrUnsupported;
    if (N == 0 || T == 0 || H == 0) return VyrSuccess;
    static const auto kernel = VYR_KERNEL(at::attn<at::kWarps>);
    // A device with less opt-in shared memory cannot run the kernel at all: refuse rather than report a
    // success that computed nothing.
    if (!vyr::allow_dynamic_smem(kernel, at::kSharedBytes, vyr::kSmemMsgAttention)) return VyrUnsupported;
    vyr::launch(kernel, dim3(N, H), dim3(at::kWarps * 32), at::kSharedBytes, stream, T, q, k, v, out);
    return VyrSuccess;
}
