// The tile matrix-multiply core of the transformer kernels for 8.0 and later. Every activation and weight
// matrix is in the tiled layout: 256-byte MemTiles of 16 rows x 8 halves (or 16 x 16 int8), row-major inside,
// ordered by tile row then tile column. Two consecutive MemTiles (a "tile pair") cover 16 rows x 16 halves
// (or 16 x 32 int8), which is one tensor-core operand; their 128 words are already in fragment order, so
// every shared-to-register load is a plain 32-bit load at word lane + 32 j and needs no transposing load.
//
// Users: mm_kernel (linear.cu), mm_swiglu (mm_swiglu.cu), qkv_rotary (qkv_rotary.cu), attention
// (masked_attention.cu).
#pragma once

#include <cstdint>
#include <type_traits>

#include "frame.cuh"

// The tensor-core instructions of these kernels exist from 8.0 on. Device code built for older architectures
// (for the library's other families) gets kernels that trap, which also keeps their compile time down.
#define VYR_TILED_ARCH (VYR_ARCH == 0 || VYR_ARCH >= 800)

namespace vyr {

constexpr int kMemTileBytes = 256;
constexpr int kTilePairBytes = 2 * kMemTileBytes;
// A missing scale array stands for this scale on every row (float bits 0x3C010204).
constexpr float kDefaultInt8Scale = 1.0f / 127.0f;

struct alignas(16) MemTile {
    uint32_t words[kMemTileBytes / 4];
};

// Elements per MemTile row: 8 halves or 16 int8.
template <class T>
constexpr int tile_width() {
    return 16 / (int)sizeof(T);
}

// One warp's register copy of a 16 x 16 tile, lane = 4 g + t.
//   Operand tiles (RegTile<__half>, RegTile<signed char>): register j is word lane + 32 j of a tile pair.
//   For an A operand that is (row g, k low), (row g + 8, k low), (row g, k high), (row g + 8, k high), as
//   mma wants; for a B operand whose rows are output columns, registers 0 and 2 are the fragment of output
//   columns 0-7 and registers 1 and 3 that of columns 8-15.
//   Accumulator tiles (RegTile<float>, RegTile<int>: 8 values; RegTile<__half>: 4 half pairs): the 16 x 16
//   result as two 16 x 8 halves; value 2 i + e (or pair i) is row g + 8 (i % 2), column 8 (i / 2) + 2 t + e.
//   Pair i of a half accumulator is therefore word lane + 32 i of its output tile pair, and the same tile
//   read as an A operand is its operand order: a rounded score tile feeds the next product straight from
//   registers.
template <class T>
struct RegTile;

template <class E>
struct OperandTile {
    uint32_t r[4];
    // Loads from a tile pair in shared or global memory.
    __device__ void load(const void* pair, int lane) {
        const uint32_t* w = static_cast<const uint32_t*>(pair);
#pragma unroll
        for (int j = 0; j < 4; ++j) r[j] = w[lane + 32 * j];
    }
};

template <>
struct RegTile<signed char> : OperandTile<signed char> {};

template <>
struct RegTile<__half> : OperandTile<__half> {
    // Half pairs travel as 32-bit words, low half in the low bits.
    __device__ __half2 pair(int i) const {
        return __halves2half2(__ushort_as_half((unsigned short)(r[i] & 0xffffu)),
                              __ushort_as_half((unsigned short)(r[i] >> 16)));
    }
    __device__ void set_pair(int i, __half2 v) {
        r[i] = (uint32_t)__half_as_ushort(__low2half(v)) | (uint32_t)__half_as_ushort(__high2half(v)) << 16;
    }
    __device__ void zero() {
#pragma unroll
        for (int j = 0; j < 4; ++j) r[j] = 0;
    }
    // Round a float accumulator to half, to nearest even.
    template <class F>
    __device__ void copy_from(const RegTile<F>& acc) {
        static_assert(std::is_same<F, float>::value, "only float accumulators are rounded");
#pragma unroll
        for (int i = 0; i < 4; ++i) set_pair(i, __floats2half2_rn(acc.v[2 * i], acc.v[2 * i + 1]));
    }
    // Multiplies every element by s in half precision (no fused operation to contract with).
    __device__ void mul_(__half s) {
        const __half2 s2 = __half2half2(s);
#pragma unroll
        for (int i = 0; i < 4; ++i) set_pair(i, __hmul2_rn(pair(i), s2));
    }
    // Half-accumulating product: output columns 0-7 from B registers (b0, b1), 8-15 from (b2, b3).
    __device__ void mma_half(const RegTile<__half>& a, uint32_t b0, uint32_t b1, uint32_t b2, uint32_t b3) {
        mma8(0, a, b0, b1);
        mma8(1, a, b2, b3);
    }
    __device__ void mma(const RegTile<__half>& a, const RegTile<__half>& b) {
        mma_half(a, b.r[0], b.r[2], b.r[1], b.r[3]);
    }

  private:
    __device__ void mma8(int half, const RegTile<__half>& a, uint32_t b0, uint32_t b1) {
        MmaF16AccOperands op;
#pragma unroll
        for (int j = 0; j < 4; ++j) op.a[j] = a.r[j];
        op.b[0] = b0;
        op.b[1] = b1;
        op.c[0] = r[2 * half];
        op.c[1] = r[2 * half + 1];
        unsigned d[2];
        mma_m16n8k16_f16_acc16(d, op);
        r[2 * half] = d[0];
        r[2 * half + 1] = d[1];
    }
};

template <class V>
struct AccTile {
    V v[8];
    __device__ void zero() {
#pragma unroll
        for (int i = 0; i < 8; ++i) v[i] = V(0);
    }
    // Row of value i inside the 16 x 16 tile (add 16 x the tile row), and its column.
    __device__ static int row(int i, int lane) {
        return lane / 4 + 8 * (i / 2 % 2);
    }
    __device__ static int col(int i, int lane) {
        return 8 * (i / 4) + 2 * (lane % 4) + i % 2;
    }
};

template <>
struct RegTile<float> : AccTile<float> {
    // One m16n8k16 product into output columns 8 h .. 8 h + 7, B fragment registers (b0, b1).
    __device__ void mma8(int h, const RegTile<__half>& a, uint32_t b0, uint32_t b1) {
        MmaF16Operands op;
#pragma unroll
        for (int j = 0; j < 4; ++j) op.a[j] = a.r[j];
        op.b[0] = b0;
        op.b[1] = b1;
#pragma unroll
        for (int j = 0; j < 4; ++j) op.c[j] = v[4 * h + j];
        float d[4];
        mma_m16n8k16_f16(d, op);
#pragma unroll
        for (int j = 0; j < 4; ++j) v[4 * h + j] = d[j];
    }
    // B operand whose rows are output columns (weights, keys): two tensor-core products.
    __device__ void mma(const RegTile<__half>& a, const RegTile<__half>& b) {
        mma8(0, a, b.r[0], b.r[2]);
        mma8(1, a, b.r[1], b.r[3]);
    }
    // B operand stored with each 8 x 8 block transposed (the value blocks of the attention): registers 0 and
    // 1 hold output columns 0-7, registers 2 and 3 columns 8-15.
    __device__ void mma_transposed(const RegTile<__half>& a, const RegTile<__half>& b) {
        mma8(0, a, b.r[0], b.r[1]);
        mma8(1, a, b.r[2], b.r[3]);
    }
};

template <>
struct RegTile<int> : AccTile<int> {
    __device__ void mma(const RegTile<signed char>& a, const RegTile<signed char>& b) {
#pragma unroll
        for (int h = 0; h < 2; ++h) {
            MmaS8Operands op;
#pragma unroll
            for (int j = 0; j < 4; ++j) op.a[j] = a.r[j];
            op.b[0] = b.r[h];
            op.b[1] = b.r[h + 2];
#pragma unroll
            for (int j = 0; j < 4; ++j) op.c[j] = v[4 * h + j];
            int d[4];
            mma_m16n8k32_s8(d, op);
#pragma unroll
            for (int j = 0; j < 4; ++j) v[4 * h + j] = d[j];
        }
    }
};

template <class T>
__device__ inline void load_A(RegTile<T>& a, const void* pair, int lane) {
    a.load(pair, lane);
}
template <class T>
__device__ inline void load_B(RegTile<T>& b, const void* pair, int lane) {
    b.load(pair, lane);
}

// Adds (non-contracting, one rounding) the half bias of the tile's columns (2t, 2t + 1) and (8 + 2t, 9 + 2t)
// in half precision.
__device__ inline void apply_bias(RegTile<__half>& tile, __half2 low, __half2 high) {
    tile.set_pair(0, __hadd2_rn(tile.pair(0), low));
    tile.set_pair(1, __hadd2_rn(tile.pair(1), low));
    tile.set_pair(2, __hadd2_rn(tile.pair(2), high));
    tile.set_pair(3, __hadd2_rn(tile.pair(3), high));
}

// Writes a 16 x 16 half tile to tile pair (pos.x, pos.y) of a tiled matrix with `col_tiles` tile pairs per
// row of tiles, with streaming stores: results are read by the next kernel, not by this one.
__device__ inline void store_tiled16x8(void* out, const RegTile<__half>& tile, int2 pos, int col_tiles,
                                       int lane) {
    uint32_t* pair = reinterpret_cast<uint32_t*>(static_cast<char*>(out) +
                                                 ((int64_t)pos.x * col_tiles + pos.y) * kTilePairBytes);
#pragma unroll
    for (int j = 0; j < 4; ++j) store_stream(pair + lane + 32 * j, tile.r[j]);
}

// Takes the block's next work item from the caller's counter: thread 0 adds 1, the old value goes to every
// thread through the shared word between two barriers (after the second the word may be reused). The item v
// is (v / columns, v % columns): consecutive items walk along the columns of one band of rows. A value past
// the last item, or negative (a counter that was not zeroed), gives a row of -1: the caller stops.
__device__ inline int2 get_grid_pos(void* smem_word, int* counter, int columns, int rows, int tid) {
    volatile int* word = static_cast<volatile int*>(smem_word);
    if (tid == 0) *word = atomicAdd(counter, 1);
    __syncthreads();
    const int v = *word;
    __syncthreads();
    if (v < 0 || v / columns >= rows) return make_int2(-1, 0);
    return make_int2(v / columns, v % columns);
}

// Dynamic shared memory of a MatMulOp: S stages of MT A tile pairs then NT B tile pairs; for int8, the
// float row and column scales of the block; optionally the half bias of the block's columns. All sizes of the
// family come from here.
template <class T, int MT, int NT, int S, bool kHasBias = false>
struct MMOpSMem {
    static constexpr bool kInt8 = std::is_same<T, signed char>::value;
    static constexpr int kABytes = MT * kTilePairBytes;
    static constexpr int kStageBytes = (MT + NT) * kTilePairBytes;
    static constexpr int kRowScaleOffset = S * kStageBytes;
    static constexpr int kColScaleOffset = kRowScaleOffset + (kInt8 ? MT * 16 * 4 : 0);
    static constexpr int kBiasOffset = kColScaleOffset + (kInt8 ? NT * 16 * 4 : 0);
    static constexpr int kBytes = kBiasOffset + (kHasBias ? NT * 16 * 2 : 0);

    unsigned char* base;

    __device__ unsigned char* stage(int s) const { return base + s * kStageBytes; }
    __device__ float* row_scales() const { return reinterpret_cast<float*>(base + kRowScaleOffset); }
    __device__ float* col_scales() const { return reinterpret_cast<float*>(base + kColScaleOffset); }
    __device__ __half* bias() const { return reinterpret_cast<__half*>(base + kBiasOffset); }

    // Row scales of row tiles row_tile0 .., column scales of weight row tiles col_tile0 ..; a missing array
    // stands for 1/127. Callers put a barrier before this: slower warps may still apply the previous block's.
    __device__ void load_scales(const float* xs, const float* ws, int64_t row_tile0, int64_t col_tile0,
                                int tid, int threads) const {
        for (int i = tid; i < MT * 16; i += threads)
            row_scales()[i] = xs ? xs[row_tile0 * 16 + i] : kDefaultInt8Scale;
        for (int i = tid; i < NT * 16; i += threads)
            col_scales()[i] = ws ? ws[col_tile0 * 16 + i] : kDefaultInt8Scale;
    }
    // (column scale x row scale) x float(sum) for each value of the block's tile (rt, ct), flush-to-zero
    // float.
    __device__ RegTile<float> apply_scale(const RegTile<int>& acc, int rt, int ct, int lane) const {
        RegTile<float> out;
#pragma unroll
        for (int i = 0; i < 8; ++i) {
            const float s = __fmul_rn(col_scales()[16 * ct + RegTile<float>::col(i, lane)],
                                      row_scales()[16 * rt + RegTile<float>::row(i, lane)]);
            out.v[i] = __fmul_rn(s, (float)acc.v[i]);
        }
        return out;
    }
};

// The block's share of one product: WM x WN warps, each computing TM x TN 16 x 16 tiles, over a reduction of
// K elements in k-steps of one tile pair (16 halves or 32 int8), through an S-stage cp.async pipeline with a
// look-ahead of two k-steps. Warp w sits at warp row w / WN and warp column w % WN. Acc: float, or __half for
// half accumulation; int8 operands always accumulate in int32.
template <int K, int WM, int WN, int TM, int TN, int S, class T, class Acc>
struct MatMulOp {
    static constexpr bool kInt8 = std::is_same<T, signed char>::value;
    static_assert(kInt8 || std::is_same<T, __half>::value, "operands are half or int8");
    static_assert(!kInt8 || std::is_same<Acc, float>::value,
                  "int8 products accumulate in int32, scaled to float");
    static_assert(S >= 3, "the stage refilled at step k was last read at step k - 2");
    using Element = T;
    static constexpr int kK = K;
    static constexpr int kTM = TM, kTN = TN;
    static constexpr int kWarps = WM * WN;
    static constexpr int kThreads = 32 * kWarps;
    static constexpr int kRowTiles = WM * TM;
    static constexpr int kColTiles = WN * TN;
    static constexpr int kTileW = tile_width<T>();
    static constexpr int kKTiles = K / kTileW;  // MemTiles along K per row tile
    static constexpr int kSteps = kKTiles / 2;
    static constexpr int kStages = S;
    static_assert(K % (2 * kTileW) == 0, "K is a whole number of k-steps");
    static_assert(kSteps >= 2, "the prologue fills two stages");

    using Operand = RegTile<T>;
    using Accum = RegTile<typename std::conditional<kInt8, int, Acc>::type>;
    template <bool kHasBias = false>
    using SMem = MMOpSMem<T, kRowTiles, kColTiles, S, kHasBias>;

    int tid, lane, warp, warp_row, warp_col;
    Accum acc[TM][TN];

    __device__ explicit MatMulOp(int thread)
        : tid(thread),
          lane(thread % 32),
          warp(thread / 32),
          warp_row(thread / 32 / WN),
          warp_col(thread / 32 % WN) {}

    // Block row tile of the warp's tile tm, and block column tile of tn.
    __device__ int row_tile(int tm) const { return warp_row * TM + tm; }
    __device__ int col_tile(int tn) const { return warp_col * TN + tn; }

    // Starts the copies of k-step k into stage `stage`: warps take whole tile pairs, 16 bytes per lane.
    __device__ void prefetch(unsigned char* stage, const T* x, const T* w, int64_t row_tile0,
                             int64_t col_tile0, int k) const {
        for (int p = warp; p < kRowTiles + kColTiles; p += kWarps) {
            const bool a = p < kRowTiles;
            const int64_t tile_row = a ? row_tile0 + p : col_tile0 + (p - kRowTiles);
            const char* src = reinterpret_cast<const char*>(a ? x : w) +
                              (tile_row * kKTiles + 2 * k) * kMemTileBytes + 16 * lane;
            cp_async_16(stage + p * kTilePairBytes + 16 * lane, src);
        }
    }

    // acc = (row tiles row_tile0 .. of x) x (row tiles col_tile0 .. of w)^T. Ends with the block's last
    // k-step read in flight in other warps: callers that write shared memory next put a barrier first.
    template <class Smem>
    __device__ void mm(const Smem& smem, const T* x, const T* w, int64_t row_tile0, int64_t col_tile0) {
#pragma unroll
        for (int tm = 0; tm < TM; ++tm)
#pragma unroll
            for (int tn = 0; tn < TN; ++tn) acc[tm][tn].zero();
        prefetch(smem.stage(0), x, w, row_tile0, col_tile0, 0);
        cp_async_commit();
        prefetch(smem.stage(1), x, w, row_tile0, col_tile0, 1);
        cp_async_commit();
#pragma unroll 4
        for (int k = 0; k < kSteps; ++k) {
            // An empty group past the last k-step keeps the count of outstanding groups in step.
            if (k + 2 < kSteps) prefetch(smem.stage((k + 2) % S), x, w, row_tile0, col_tile0, k + 2);
            cp_async_commit();
            cp_async_wait<2>();
            __syncthreads();
            const unsigned char* st = smem.stage(k % S);
            Operand a[TM], b[TN];
#pragma unroll
            for (int tm = 0; tm < TM; ++tm) load_A(a[tm], st + row_tile(tm) * kTilePairBytes, lane);
#pragma unroll
            for (int tn = 0; tn < TN; ++tn)
                load_B(b[tn], st + Smem::kABytes + col_tile(tn) * kTilePairBytes, lane);
#pragma unroll
            for (int tm = 0; tm < TM; ++tm)
#pragma unroll
                for (int tn = 0; tn < TN; ++tn) acc[tm][tn].mma(a[tm], b[tn]);
        }
    }

    // The accumulator of tile (tm, tn) as float: int8 sums scaled by their row and column scales.
    template <class Smem>
    __device__ RegTile<float> scaled(const Smem& smem, int tm, int tn) const {
        if constexpr (kInt8) {
            return smem.apply_scale(acc[tm][tn], row_tile(tm), col_tile(tn), lane);
        } else {
            return acc[tm][tn];
        }
    }
};

}  // namespace vyr
