// Transformer layer kernels for compute capability 7.0, on wmma 16 x 16 x 16 tensor-core products that read
// their operands straight from global memory.
//
// Every matrix is stored as 16 x 16 half tiles (512 bytes, row-major inside), the tiles ordered tile-row
// major: element (r, c) of an R x Q matrix at ((r / 16) (Q / 16) + c / 16) 256 + (r % 16) 16 + c % 16. Rows
// are the time steps of all sequences (M = N T, sequence-major).
// - linear: Y (M x 512) = X (M x K) W^T (W: 512 x K) [+ bias], K = 512 or 2048.
// - SwiGLU: out (M x 2048) from X (M x 512) and W (4096 x 512): weight rows 32q .. 32q+15 are the values
//   and 32q+16 .. 32q+31 the gates of output columns 16q .. 16q+15; out = (v g) sigmoid(g).
// - QKV with rotary embedding: out (M x 1536) = X W^T, W (1536 x 512) rows part*512 + head*64 + d; query
//   and key columns are rotated pair-wise with the table (T x 64, column 2p the sine and 2p+1 the cosine of
//   pair p at each step), value columns are stored as they are.
// - RMSNorm with residual: out = rmsnorm(alpha a + b) * weight over rows of 512.
// - attention: qkv (M x 1536) in, out (M x 512), 8 heads of 64, query tile j (16 steps) attends to key
//   tiles j - 8 .. j + 8 of its sequence.
//
// The kernels are compiled with the lane layout of the architecture they are built for; on any other than
// 7.0 the fragment layout of the compiled code and of the hardware may differ, so every call refuses
// devices other than 7.0.
#include <climits>
#include <cstdio>

#include "activation.cuh"
#include "frame.cuh"

namespace vyr {
namespace volta {

namespace wm = nvcuda::wmma;

constexpr int kTileElems = 256;  // halves per 16 x 16 tile
constexpr int kThreads = 512;
constexpr int kWarps = kThreads / 32;
constexpr int kModel = 512;        // model width
constexpr int kSwigluRows = 4096;  // weight rows of the SwiGLU projection
constexpr int kSwigluOut = 2048;   // its output columns
constexpr int kQkvCols = 3 * kModel;
constexpr int kHeads = 8, kHeadTiles = 4;  // heads of 64 = 4 tiles
constexpr int kBand = 8;
constexpr int kRmsThreads = 256;
constexpr int kRmsRowsPerBlock = 64;
constexpr size_t kRmsSmemBytes = (size_t)kRmsRowsPerBlock * kModel * sizeof(__half);
constexpr int kRowMultiple = 512;  // M of the linear, SwiGLU and RMSNorm calls
constexpr int kSequenceMultiple = 32, kStepMultiple = 16;

using FragA = wm::fragment<wm::matrix_a, 16, 16, 16, __half, wm::row_major>;
using FragBCol = wm::fragment<wm::matrix_b, 16, 16, 16, __half, wm::col_major>;
using FragBRow = wm::fragment<wm::matrix_b, 16, 16, 16, __half, wm::row_major>;

__device__ inline void LoadARow(FragA& f, const __half* tile) {
    wm::load_matrix_sync(f, tile, 16);
}
// A row-major weight tile (rows are output columns) is the column-major B operand.
__device__ inline void LoadBCol(FragBCol& f, const __half* tile) {
    wm::load_matrix_sync(f, tile, 16);
}
__device__ inline void LoadBRow(FragBRow& f, const __half* tile) {
    wm::load_matrix_sync(f, tile, 16);
}

// One warp's 16 x 16 accumulator tile.
template <class T>
struct RegTile {
    using Layout = WmmaAccLayout<T>;
    wm::fragment<wm::accumulator, 16, 16, 16, T> f;

    __device__ void zero() { wm::fill_fragment(f, (T)0.0f); }
    template <class B>
    __device__ void mma(const FragA& a, const B& b) {
        wm::mma_sync(f, a, b, f);
    }
    __device__ float get(int i) const { return (float)f.x[i]; }
    __device__ void set(int i, float v) {
        if constexpr (Layout::kHalf)
            f.x[i] = __float2half_rn(v);
        else
            f.x[i] = v;
    }
    template <class U>
    __device__ void copy_from(const RegTile<U>& o, int lane) {
        if constexpr (std::is_same<T, U>::value)
            f = o.f;
        else if constexpr (Layout::kHalf)
            wmma_acc_to_half(f, o.f, lane);
        else
            wmma_acc_to_float(f, o.f, lane);
    }
    __device__ void store16x16(__half* tile) const {
        static_assert(Layout::kHalf, "tiles are stored as half");
        wm::store_matrix_sync(tile, f, 16, wm::mem_row_major);
    }
    // Adds bias[column] in half precision; bias holds the tile's 16 columns.
    __device__ void add_bias(const __half* bias, int lane) {
        for (int i = 0; i < Layout::kElements; ++i) f.x[i] = __hadd(f.x[i], bias[Layout::at(lane, i).col]);
    }
    // Row-wise reduction into the lane's row slots; every lane holding a row ends with its value.
    template <class F>
    __device__ void row_reduce(float (&acc)[Layout::kSlots], F op) const {
        for (int i = 0; i < Layout::kElements; ++i) acc[Layout::slot(i)] = op(acc[Layout::slot(i)], get(i));
        for (int s = 0; s < Layout::kSlots; ++s)
            for (int k = 0; k < Layout::kPeers; ++k)
                acc[s] = op(acc[s], __shfl_xor_sync(0xffffffffu, acc[s], Layout::peer_mask(k)));
    }
};

template <class T>
__device__ inline RegTile<__half> to_half(const RegTile<T>& t, int lane) {
    RegTile<__half> h;
    h.copy_from(t, lane);
    return h;
}

__device__ inline const __half* tile_at(const __half* m, long long row_tile, int col_tiles, int col_tile) {
    return m + (row_tile * col_tiles + col_tile) * kTileElems;
}
__device__ inline __half* tile_at(__half* m, long long row_tile, int col_tiles, int col_tile) {
    return m + (row_tile * col_tiles + col_tile) * kTileElems;
}

// Accumulates the warp's TM x TN tiles over K: row tiles row0 .. row0 + TM - 1 of X (those below
// row_tiles), weight row tiles col[0 .. TN - 1] of W.
template <class Acc, int K, int TM, int TN>
__device__ inline void warp_product(RegTile<Acc> (&acc)[TM][TN], const __half* X, const __half* W,
                                    long long row0, long long row_tiles, const int (&col)[TN]) {
    constexpr int kKTiles = K / 16;
    for (auto& row : acc)
        for (auto& t : row) t.zero();
    for (int kt = 0; kt < kKTiles; ++kt) {
        FragBCol b[TN];
        for (int j = 0; j < TN; ++j) LoadBCol(b[j], tile_at(W, col[j], kKTiles, kt));
        for (int i = 0; i < TM; ++i) {
            if (row0 + i >= row_tiles) break;  // uniform across the warp
            FragA a;
            LoadARow(a, tile_at(X, row0 + i, kKTiles, kt));
            for (int j = 0; j < TN; ++j) acc[i][j].mma(a, b[j]);
        }
    }
}

// Y = X W^T (+ bias). Block y computes output columns 256 y .. 256 y + 255; blocks take 128-row chunks in
// turn. Warp w: row tiles 2 (w / 4) + {0, 1} of the chunk, column tiles 4 (w % 4) + {0 .. 3} of the block.
template <class Acc, bool kBias, int Warps, int N, int K, int WarpRows, int WarpCols, int TM, int TN>
__global__ void __launch_bounds__(Warps * 32)
    mm_kernel(const __half* X, const __half* W, __half* Y, const __half* bias, int M) {
    constexpr int kChunkTiles = WarpRows * TM, kBlockColTiles = WarpCols * TN;
    static_assert(WarpRows * WarpCols == Warps && N == 2 * kBlockColTiles * 16, "two column blocks");
    __shared__ __half bias_s[kBlockColTiles * 16];
    const int warp = threadIdx.x / 32, lane = threadIdx.x % 32;
    const int block_col_tile = blockIdx.y * kBlockColTiles;
    if constexpr (kBias) {
        // 16 bytes per lane of warp 0.
        if (warp == 0)
            for (int e = 8 * lane; e < kBlockColTiles * 16; e += 8 * 32)
                for (int k = 0; k < 8; ++k) bias_s[e + k] = bias[block_col_tile * 16 + e + k];
        __syncthreads();
    }
    int col[TN];
    for (int j = 0; j < TN; ++j) col[j] = block_col_tile + (warp % WarpCols) * TN + j;
    const long long row_tiles = M / 16, chunks = row_tiles / kChunkTiles;
    for (long long chunk = blockIdx.x; chunk < chunks; chunk += gridDim.x) {
        const long long row0 = chunk * kChunkTiles + (warp / WarpCols) * TM;
        RegTile<Acc> acc[TM][TN];
        warp_product<Acc, K>(acc, X, W, row0, row_tiles, col);
        for (int i = 0; i < TM; ++i)
            for (int j = 0; j < TN; ++j) {
                RegTile<__half> out = to_half(acc[i][j], lane);
                if constexpr (kBias) out.add_bias(bias_s + (col[j] - block_col_tile) * 16, lane);
                out.store16x16(tile_at(Y, row0 + i, N / 16, col[j]));
            }
    }
}

// out = (v g) sigmoid(g). Block y owns weight row tiles 16 y .. 16 y + 15 (value/gate tile pairs) and output
// column tiles 8 y .. 8 y + 7; warp w the weight tiles 4 (w % 4) + {0 .. 3}, that is output tiles
// 2 (w % 4) + {0, 1}.
template <class Acc, int Warps, int Rows, int K, int WarpRows, int WarpCols, int TM, int TN>
__global__ void __launch_bounds__(Warps * 32)
    mm_swiglu_kernel(const __half* X, const __half* W, __half* out, int M) {
    constexpr int kChunkTiles = WarpRows * TM, kBlockTiles = WarpCols * TN;
    static_assert(WarpRows * WarpCols == Warps && TN % 2 == 0, "value and gate tiles in pairs");
    const int warp = threadIdx.x / 32, lane = threadIdx.x % 32;
    int col[TN];
    for (int j = 0; j < TN; ++j) col[j] = blockIdx.y * kBlockTiles + (warp % WarpCols) * TN + j;
    const long long row_tiles = M / 16, chunks = row_tiles / kChunkTiles;
    for (long long chunk = blockIdx.x; chunk < chunks; chunk += gridDim.x) {
        const long long row0 = chunk * kChunkTiles + (warp / WarpCols) * TM;
        RegTile<Acc> acc[TM][TN];
        warp_product<Acc, K>(acc, X, W, row0, row_tiles, col);
        for (int i = 0; i < TM; ++i)
            for (int p = 0; p < TN / 2; ++p) {
                RegTile<Acc> y;
                for (int e = 0; e < RegTile<Acc>::Layout::kElements; ++e) {
                    const float v = acc[i][2 * p].get(e), g = acc[i][2 * p + 1].get(e);
                    // The exponential form on every target: 1 / (1 + 2^(-g log2 e)).
                    y.set(e, (v * g) * sigmoid_form<ActivationForm::Exp2>(g));
                }
                to_half(y, lane).store16x16(tile_at(out, row0 + i, Rows / 32, col[2 * p] / 2));
            }
    }
}

// Block y is head y; row chunks of WarpRows x TM row tiles (the last one partial). Warp w: row tiles
// TM (w / 4) + {0 .. TM - 1} of the chunk, head-dimension tile d = w % 4 of the query, key and value parts.
template <class Acc, int Warps, int N, int K, int WarpRows, int WarpCols, int TM, int TN>
__global__ void __launch_bounds__(Warps * 32)
    qkv_rotary_kernel(const __half* X, const __half* W, __half* out, const __half* table, int N_seq, int T) {
    constexpr int kChunkTiles = WarpRows * TM;
    static_assert(WarpRows * WarpCols == Warps && WarpCols == kHeadTiles && TN == 3, "query, key, value");
    static_assert(RegTile<__half>::Layout::kElements % 2 == 0, "rotation pairs are element pairs");
    const int warp = threadIdx.x / 32, lane = threadIdx.x % 32;
    const int head = blockIdx.y, d = warp % WarpCols;
    int col[TN];
    for (int part = 0; part < TN; ++part) col[part] = part * (kModel / 16) + head * kHeadTiles + d;
    const long long row_tiles = (long long)N_seq * T / 16;
    const long long chunks = (row_tiles + kChunkTiles - 1) / kChunkTiles;
    const int time_tiles = T / 16;
    for (long long chunk = blockIdx.x; chunk < chunks; chunk += gridDim.x) {
        const long long row0 = chunk * kChunkTiles + (warp / WarpCols) * TM;
        RegTile<Acc> acc[TM][TN];
        warp_product<Acc, K>(acc, X, W, row0, row_tiles, col);
        for (int i = 0; i < TM && row0 + i < row_tiles; ++i) {
            // The table tile of the same steps and head-dimension columns, in the half accumulator layout:
            // elements 2k, 2k + 1 hold sine and cosine of the pair in the same elements of the tile.
            RegTile<__half> sincos;
            wm::load_matrix_sync(sincos.f, table + ((row0 + i) % time_tiles * kHeadTiles + d) * kTileElems,
                                 16, wm::mem_row_major);
            for (int part = 0; part < TN; ++part) {
                RegTile<__half> h = to_half(acc[i][part], lane);
                if (part < 2)
                    for (int e = 0; e < RegTile<__half>::Layout::kElements; e += 2) {
                        const float x0 = h.get(e), x1 = h.get(e + 1);
                        const float s = sincos.get(e), c = sincos.get(e + 1);
                        h.set(e, fmaf(x0, c, -(x1 * s)));
                        h.set(e + 1, fmaf(x0, s, x1 * c));
                    }
                h.store16x16(tile_at(out, row0 + i, N / 16, col[part]));
            }
        }
    }
}

// Block b: rows 64 b .. 64 b + 63, two warps per 16-row tile band, 8 rows per warp; lane l holds row l / 4,
// channels 4 (l % 4) .. + 3 of each 16-channel tile (LoadF16_8x16Tile).
template <int Warps, int C>
__global__ void __launch_bounds__(Warps * 32)
    rmsnorm_residual_kernel(const __half* a, const __half* b, const __half* weight, __half* out, float alpha,
                            [[maybe_unused]] int M) {  // the grid covers M exactly
    constexpr int kColTiles = C / 16;
    static_assert(Warps * 8 == kRmsRowsPerBlock, "8 rows per warp");
    VYR_DYNAMIC_SMEM(__half2, kept);
    const int warp = threadIdx.x / 32, lane = threadIdx.x % 32;
    const long long row_tile = (long long)blockIdx.x * (Warps / 2) + warp / 2;
    const int tile_offset = (8 * (warp % 2) + lane / 4) * 16 + 4 * (lane % 4);
    __half2* mine = kept + (size_t)threadIdx.x * 2 * kColTiles;
    const __half2 alpha2 = __float2half2_rn(alpha);
    float squares = 0.0f;
    for (int ct = 0; ct < kColTiles; ++ct) {
        const long long at = (row_tile * kColTiles + ct) * kTileElems + tile_offset;
        for (int k = 0; k < 2; ++k) {
            const __half2 v = hfma2(alpha2, __halves2half2(a[at + 2 * k], a[at + 2 * k + 1]),
                                    __halves2half2(b[at + 2 * k], b[at + 2 * k + 1]));
            mine[2 * ct + k] = v;
            squares = fmaf(__low2float(v), __low2float(v), squares);
            squares = fmaf(__high2float(v), __high2float(v), squares);
        }
    }
    squares += __shfl_xor_sync(0xffffffffu, squares, 2);
    squares += __shfl_xor_sync(0xffffffffu, squares, 1);
    const float rinv = fast_rsqrt(fast_div(squares, (float)C) + 9.99999975e-6f);
    for (int ct = 0; ct < kColTiles; ++ct) {
        const long long at = (row_tile * kColTiles + ct) * kTileElems + tile_offset;
        const int channel = 16 * ct + 4 * (lane % 4);
        for (int k = 0; k < 2; ++k) {
            const __half2 v = mine[2 * ct + k];
            out[at + 2 * k] =
                __float2half_rn(rinv * (__low2float(v) * __half2float(weight[channel + 2 * k])));
            out[at + 2 * k + 1] =
                __float2half_rn(rinv * (__high2float(v) * __half2float(weight[channel + 2 * k + 1])));
        }
    }
}

// Block (n, h); warp w takes query tiles w, w + Warps, ... The probabilities go through a per-warp shared
// tile to become the A operand of the product with V: the accumulator and operand layouts differ.
template <int Warps, int HeadTiles, int Band>
__global__ void __launch_bounds__(Warps * 32) attn_kernel(const __half* qkv, __half* out, int time_tiles) {
    using Layout = RegTile<__half>::Layout;
    __shared__ __half probabilities[Warps][kTileElems];
    const int n = blockIdx.x, head = blockIdx.y;
    const int warp = threadIdx.x / 32;
    constexpr int kQkvTiles = kQkvCols / 16, kOutTiles = kModel / 16, kPart = kModel / 16;
    for (int q = warp; q < time_tiles; q += Warps) {
        const long long row = (long long)n * time_tiles + q;
        FragA Q[HeadTiles];
        for (int d = 0; d < HeadTiles; ++d) {
            LoadARow(Q[d], tile_at(qkv, row, kQkvTiles, head * HeadTiles + d));
            for (int e = 0; e < Q[d].num_elements; ++e)
                Q[d].x[e] = __float2half_rn(__half2float(Q[d].x[e]) * 0.125f);
        }
        RegTile<__half> O[HeadTiles];
        for (auto& o : O) o.zero();
        float m[Layout::kSlots], l[Layout::kSlots];
        for (int s = 0; s < Layout::kSlots; ++s) {
            m[s] = -INFINITY;
            l[s] = 0.0f;
        }
        const int first = max(q - Band, 0), last = min(q + Band, time_tiles - 1);
        for (int kt = first; kt <= last; ++kt) {
            const long long key_row = (long long)n * time_tiles + kt;
            RegTile<__half> S;
            S.zero();
            for (int d = 0; d < HeadTiles; ++d) {
                FragBCol K;
                LoadBCol(K, tile_at(qkv, key_row, kQkvTiles, kPart + head * HeadTiles + d));
                S.mma(Q[d], K);
            }
            float m_new[Layout::kSlots], sums[Layout::kSlots], inv[Layout::kSlots], g[Layout::kSlots];
            for (int s = 0; s < Layout::kSlots; ++s) m_new[s] = m[s];
            S.row_reduce(m_new, [](float x, float y) { return fmaxf(x, y); });
            float p[Layout::kElements];
            for (int e = 0; e < Layout::kElements; ++e) p[e] = fast_exp(S.get(e) - m_new[Layout::slot(e)]);
            for (int s = 0; s < Layout::kSlots; ++s) sums[s] = 0.0f;
            for (int e = 0; e < Layout::kElements; ++e) sums[Layout::slot(e)] += p[e];
            for (int s = 0; s < Layout::kSlots; ++s)
                for (int k = 0; k < Layout::kPeers; ++k)
                    sums[s] += __shfl_xor_sync(0xffffffffu, sums[s], Layout::peer_mask(k));
            for (int s = 0; s < Layout::kSlots; ++s) {
                const float l_scaled = l[s] * fast_exp(m[s] - m_new[s]);
                const float l_new = l_scaled + sums[s];
                inv[s] = fast_rcp(l_new);
                g[s] = fast_div(l_scaled, l_new);
                m[s] = m_new[s];
                l[s] = l_new;
            }
            for (int e = 0; e < Layout::kElements; ++e) S.set(e, p[e] * inv[Layout::slot(e)]);
            S.store16x16(probabilities[warp]);
            __syncwarp();
            FragA Pa;
            LoadARow(Pa, probabilities[warp]);
            __syncwarp();
            for (int d = 0; d < HeadTiles; ++d) {
                for (int e = 0; e < Layout::kElements; ++e) O[d].set(e, O[d].get(e) * g[Layout::slot(e)]);
                FragBRow V;
                LoadBRow(V, tile_at(qkv, key_row, kQkvTiles, 2 * kPart + head * HeadTiles + d));
                O[d].mma(Pa, V);
            }
        }
        for (int d = 0; d < HeadTiles; ++d)
            O[d].store16x16(tile_at(out, row, kOutTiles, head * HeadTiles + d));
    }
}

// ---- Launch helpers ------------------------------------------------------------------------------------

// Multiprocessor count, or 0 when it cannot be queried (the grids below still get one block).
int multiprocessors() {
    int count = 0;
    return device_attribute(cudaDevAttrMultiProcessorCount, &count) == cudaSuccess ? count : 0;
}

unsigned at_least_one(int blocks) {
    return blocks > 0 ? (unsigned)blocks : 1u;
}

bool refuse_size(bool bad, const char* message) {
    if (bad) std::fprintf(stderr, "%s", message);
    return bad;
}

constexpr const char* kMsgM = "Dimension M is not a multiple of 512\n";
constexpr const char* kMsgK = "Invalid K dimension. Must be either 512 or 2048.\n";
constexpr const char* kMsgN = "Dimension N is not a multiple of 32\n";
constexpr const char* kMsgT = "Dimension T is not a multiple of 16\n";

using LinearKernel = Kernel<const __half*, const __half*, __half*, const __half*, int>;
struct LinearVariant {
    bool float_acc, bias;
    int K;
    LinearKernel kernel;
};
template <class Acc, bool kBias, int K>
LinearVariant linear_variant() {
    return {std::is_same<Acc, float>::value, kBias, K,
            VYR_KERNEL(mm_kernel<Acc, kBias, kWarps, kModel, K, 4, 4, 2, 4>)};
}

}  // namespace volta
}  // namespace vyr

namespace vv = vyr::volta;

VYR_API int vyr_volta_linear(cudaStream_t stream, const __half* X, const __half* W, __half* Y,
                             const __half* bias, bool use_float_accumulator, bool use_bias, int M, int K) {
    if (vv::refuse_size(M < 0 || M % vv::kRowMultiple != 0, vv::kMsgM)) return VyrUnsupported;
    if (vv::refuse_size(K != 512 && K != 2048, vv::kMsgK)) return VyrUnsupported;
    if (M == 0) return VyrSuccess;
    if (vyr_volta_tc_is_available() != VyrSuccess) return VyrUnsupported;
    static const vv::LinearVariant kVariants[] = {
        vv::linear_variant<float, false, 512>(),   vv::linear_variant<float, true, 512>(),
        vv::linear_variant<__half, false, 512>(),  vv::linear_variant<__half, true, 512>(),
        vv::linear_variant<float, false, 2048>(),  vv::linear_variant<float, true, 2048>(),
        vv::linear_variant<__half, false, 2048>(), vv::linear_variant<__half, true, 2048>(),
    };
    for (const vv::LinearVariant& v : kVariants)
        if (v.float_acc == use_float_accumulator && v.bias == use_bias && v.K == K) {
            const dim3 grid(vv::at_least_one(vv::multiprocessors() / 2), 2);
            vyr::launch(v.kernel, grid, dim3(vv::kThreads), 0, stream, X, W, Y, use_bias ? bias : nullptr, M);
        }
    return VyrSuccess;
}

VYR_API int vyr_volta_mm_swiglu(cudaStream_t stream, const __half* X, const __half* W, __half* out,
                                bool use_float_accumulator, int M) {
    if (vv::refuse_size(M < 0 || M % vv::kRowMultiple != 0, vv::kMsgM)) return VyrUnsupported;
    if (M == 0) return VyrSuccess;
    if (vyr_volta_tc_is_available() != VyrSuccess) return VyrUnsupported;
    static const auto kFloat =
        VYR_KERNEL(vv::mm_swiglu_kernel<float, vv::kWarps, vv::kSwigluRows, vv::kModel, 4, 4, 2, 4>);
    static const auto kHalf =
        VYR_KERNEL(vv::mm_swiglu_kernel<__half, vv::kWarps, vv::kSwigluRows, vv::kModel, 4, 4, 2, 4>);
    const dim3 grid(vv::at_least_one(vv::multiprocessors() / 16), vv::kSwigluOut / 128);
    vyr::launch(use_float_accumulator ? kFloat : kHalf, grid, dim3(vv::kThreads), 0, stream, X, W, out, M);
    return VyrSuccess;
}

VYR_API int vyr_volta_qkv_rotary(cudaStream_t stream, const __half* X, const __half* W, __half* out,
                                 const __half* rotary_table, bool use_float_accumulator, int N, int T) {
    if (vv::refuse_size(N < 0 || N % vv::kSequenceMultiple != 0, vv::kMsgN)) return VyrUnsupported;
    if (vv::refuse_size(T < 0 || T % vv::kStepMultiple != 0, vv::kMsgT)) return VyrUnsupported;
    if (N == 0 || T == 0) return VyrSuccess;
    if ((long long)N * T > INT_MAX) return VyrUnsupported;
    if (vyr_volta_tc_is_available() != VyrSuccess) return VyrUnsupported;
    static const auto kFloat =
        VYR_KERNEL(vv::qkv_rotary_kernel<float, vv::kWarps, vv::kQkvCols, vv::kModel, 4, 4, 3, 3>);
    static const auto kHalf =
        VYR_KERNEL(vv::qkv_rotary_kernel<__half, vv::kWarps, vv::kQkvCols, vv::kModel, 4, 4, 3, 3>);
    const dim3 grid(vv::at_least_one(vv::multiprocessors() / 8), vv::kHeads);
    vyr::launch(use_float_accumulator ? kFloat : kHalf, grid, dim3(vv::kThreads), 0, stream, X, W, out,
                rotary_table, N, T);
    return VyrSuccess;
}

VYR_API int vyr_volta_rmsnorm_residual(cudaStream_t stream, const __half* a, const __half* b,
                                       const __half* weight, __half* out, int M, float alpha) {
    if (vv::refuse_size(M < 0 || M % vv::kRowMultiple != 0, vv::kMsgM)) return VyrUnsupported;
    if (M == 0) return VyrSuccess;
    if (vyr_volta_tc_is_available() != VyrSuccess) return VyrUnsupported;
    static const auto kernel = VYR_KERNEL(vv::rmsnorm_residual_kernel<vv::kRmsThreads / 32, vv::kModel>);
    if (!vyr::allow_dynamic_smem(kernel, vv::kRmsSmemBytes, vyr::kSmemMsgRmsNorm)) return VyrUnsupported;
    vyr::launch(kernel, dim3(M / vv::kRmsRowsPerBlock), dim3(vv::kRmsThreads), vv::kRmsSmemBytes, stream, a,
                b, weight, out, alpha, M);
    return VyrSuccess;
}

VYR_API int vyr_volta_attn(cudaStream_t stream, const __half* qkv, __half* out, int N, int T) {
    if (vv::refuse_size(T < 0 || T % vv::kStepMultiple != 0, vv::kMsgT)) return VyrUnsupported;
    if (vv::refuse_size(N < 0 || N % vv::kSequenceMultiple != 0, vv::kMsgN)) return VyrUnsupported;
    if (N == 0 || T == 0) return VyrSuccess;
    if ((long long)N * T > INT_MAX) return VyrUnsupported;
    if (vyr_volta_tc_is_available() != VyrSuccess) return VyrUnsupported;
    static const auto kernel = VYR_KERNEL(vv::attn_kernel<vv::kWarps, vv::kHeadTiles, vv::kBand>);
    vyr::launch(kernel, dim3(N, vv::kHeads), dim3(vv::kThreads), 0, stream, qkv, out, T / 16);
    return VyrSuccess;
}
