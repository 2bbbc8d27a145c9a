// Register-resident LSTM layers of size H = 96 or 128. in [N][T][4H] half (input projections, gate blocks
// i, f, g, o); weights [H][4H] half or signed 8-bit, row k = unit k of h(t-1), column j = gate * H + unit;
// bias [4H] half; scale [4H] float (8-bit only); out [N][T][H] half, h(t) at its own t in both directions.
//
// One block serves four sequences with 4H threads. Thread j = y * H + x keeps weight column j in registers
// for the whole launch and computes that column's recurrent product for all four sequences (so every weight
// register is used four times per step); after a barrier the same thread switches roles and updates the cell
// of sequence y, unit x.
#include "activation.cuh"
#include "frame.cuh"

namespace vyr {

constexpr int kLstmSequencesPerBlock = 4;

template <class E, int H>
struct LstmDotProduct;

// Half weights: the hidden state and the weight column are read as pairs of consecutive rows, and the two
// lanes of the accumulator collect the even and the odd rows in half precision; the lanes meet in float.
template <int H>
struct LstmDotProduct<__half, H> {
    using Packed = __half2;  // rows 2k (low) and 2k + 1 (high)
    using Hidden = __half;
    static constexpr int kRowsPerWord = 2;
    static constexpr int kWords = H / kRowsPerWord;

    struct Accum {
        __half2 sum = __float2half2_rn(0.0f);
        __device__ void mul_acc(__half2 hidden, __half2 weight) { sum = hfma2(hidden, weight, sum); }
        __device__ float sum_as_float(float) const { return __low2float(sum) + __high2float(sum); }
    };

    // Left alone, the GPU compiler keeps the 2H loaded halves unpaired and pairs them again at every use:
    // twice the registers, so much of the column spills to local memory and is reloaded at every step. A
    // shuffle of each pair to the thread itself makes the paired word the value that stays live.
    __device__ static __half2 load_word(const __half* weights, int word, int column, int lane) {
        const __half* p = weights + (size_t)(word * kRowsPerWord) * (4 * H) + column;
        const unsigned pair = __half_as_ushort(__ldg(p)) | (unsigned)__half_as_ushort(__ldg(p + 4 * H)) << 16;
        const unsigned kept = __shfl_sync(0xffffffffu, pair, lane);
        return __halves2half2(__ushort_as_half((unsigned short)(kept & 0xffffu)),
                              __ushort_as_half((unsigned short)(kept >> 16)));
    }
    __device__ static float scale_factor(const float*, int) { return 1.0f; }
    __device__ static __half output(float h) { return __float2half_rn(h); }
};

// 8-bit weights: four consecutive rows per 32-bit word (byte k mod 4 holds row k), multiplied with the 8-bit
// hidden state by the four-way byte dot product into an exact integer sum, rescaled once per column.
template <int H>
struct LstmDotProduct<signed char, H> {
    using Packed = int;
    using Hidden = signed char;
    static constexpr int kRowsPerWord = 4;
    static constexpr int kWords = H / kRowsPerWord;

    struct Accum {
        int sum = 0;
        __device__ void mul_acc(int hidden, int weight) { sum = dot4_s8(hidden, weight, sum); }
        __device__ float sum_as_float(float factor) const { return (float)sum * factor; }
    };

    __device__ static int load_word(const signed char* weights, int word, int column, int /*lane*/) {
        unsigned packed = 0;
        for (int b = 0; b < kRowsPerWord; ++b) {
            const signed char w = __ldg(weights + (size_t)(word * kRowsPerWord + b) * (4 * H) + column);
            packed |= (unsigned)(unsigned char)w << (8 * b);
        }
        return (int)packed;
    }
    // The hidden state enters as h * 127 and the weight as w * scale, so the integer sum carries both
    // factors.
    __device__ static float scale_factor(const float* scale, int column) {
        return fast_rcp(__ldg(scale + column) * 127.0f);
    }
    // Truncation toward zero, as the fed-back state is defined. h lies in [-1, 1], but a NaN input makes h
    // NaN: it becomes 0, as the GPU's float-to-integer conversion gives, and the clamp keeps an approximation
    // that overshoots 1 from wrapping round to -128.
    __device__ static signed char output(float h) {
        const float q = h * 127.0f;
        if (q != q) return 0;
        return (signed char)(int)fminf(fmaxf(q, -127.0f), 127.0f);
    }
};

template <class E, int H, bool reverse>
__global__ void __launch_bounds__(4 * H, 2)
    lstm(int T, const __half* in, const E* weights, const __half* bias, const float* scale, __half* out) {
    using Dot = LstmDotProduct<E, H>;
    static_assert(H % Dot::kRowsPerWord == 0, "the weight column is packed in whole words");
    static_assert(4 * H % 32 == 0, "the block is made of full warps, as the weight load's shuffle needs");
    constexpr int kGates = 4;

    __shared__ typename Dot::Packed out_prev_dp[kLstmSequencesPerBlock][Dot::kWords];
    __shared__ float sumW[kLstmSequencesPerBlock][kGates * H];

    const int x = threadIdx.x, y = threadIdx.y;
    const int j = y * H + x;
    const size_t sequence = (size_t)blockIdx.x * kLstmSequencesPerBlock + y;

    // Fully unrolled so that the column stays in registers rather than local memory.
    typename Dot::Packed column[Dot::kWords];
#pragma unroll
    for (int k = 0; k < Dot::kWords; ++k) column[k] = Dot::load_word(weights, k, j, j % 32);
    const float factor = Dot::scale_factor(scale, j);

    typename Dot::Hidden* own_prev = reinterpret_cast<typename Dot::Hidden*>(out_prev_dp[y]);
    own_prev[x] = Dot::output(0.0f);
    float c = 0.0f;
    __syncthreads();

    for (int step = 0; step < T; ++step) {
        const int t = reverse ? T - 1 - step : step;
        const size_t row = sequence * T + t;
        float z[kGates];
        for (int g = 0; g < kGates; ++g) z[g] = __half2float(in[row * (kGates * H) + g * H + x]);

            // One sequence at a time: unrolling all four would hold their hidden pairs in registers beside
            // the column.
#pragma unroll 1
        for (int s = 0; s < kLstmSequencesPerBlock; ++s) {
            typename Dot::Accum acc;
#pragma unroll
            for (int k = 0; k < Dot::kWords; ++k) acc.mul_acc(out_prev_dp[s][k], column[k]);
            sumW[s][j] = acc.sum_as_float(factor);
        }
        __syncthreads();

        // Input, then recurrent product, then bias, in float. The bias is read again at every step (from
        // cache) rather than held: registers are taken by the weight column.
        for (int g = 0; g < kGates; ++g)
            z[g] = (z[g] + sumW[y][g * H + x]) + __half2float(__ldg(bias + g * H + x));
        const float i = sigmoid(z[0]), f = sigmoid(z[1]), g = tanh_fast(z[2]), o = sigmoid(z[3]);
        c = c * f + i * g;
        const float h = tanh_fast(c) * o;
        out[row * H + x] = __float2half_rn(h);
        __syncthreads();

        own_prev[x] = Dot::output(h);
        __syncthreads();
    }
}

namespace {

using SmallLstmLaunch = cudaError_t (*)(cudaStream_t, int N, int T, const __half* in, const void* weights,
                                        const __half* bias, const float* scale, __half* out);

template <class E, int H, bool reverse>
cudaError_t launch_small_lstm(cudaStream_t stream, int N, int T, const __half* in, const void* weights,
                              const __half* bias, const float* scale, __half* out) {
    static const auto kernel = VYR_KERNEL(lstm<E, H, reverse>);
    return launch(kernel, dim3(N / kLstmSequencesPerBlock), dim3(H, kLstmSequencesPerBlock), 0, stream, T, in,
                  static_cast<const E*>(weights), bias, scale, out);
}

// The compiled variants; half weights exist for size 96 only, so a half layer of 128 is refused.
struct SmallLstmVariant {
    int H;
    bool int8;
    bool reverse;
    SmallLstmLaunch launch;
};
const SmallLstmVariant kSmallLstmVariants[] = {
    {96, false, true, launch_small_lstm<__half, 96, true>},
    {96, false, false, launch_small_lstm<__half, 96, false>},
    {96, true, true, launch_small_lstm<signed char, 96, true>},
    {96, true, false, launch_small_lstm<signed char, 96, false>},
    {128, true, true, launch_small_lstm<signed char, 128, true>},
    {128, true, false, launch_small_lstm<signed char, 128, false>},
};

}  // namespace
}  // namespace vyr

VYR_API int host_small_lstm(cudaStream_t stream, int N, int T, int H, int direction, const __half* in,
                            const void* weights, const __half* bias, const float* scale, __half* out) {
    if (N < 0 || T < 0 || N % vyr::kLstmSequencesPerBlock != 0) return VyrUnsupported;
    if (direction != 1 && direction != -1) return VyrUnsupported;
    const bool int8 = scale != nullptr, reverse = direction == -1;
    for (const vyr::SmallLstmVariant& v : vyr::kSmallLstmVariants) {
        if (v.H != H || v.int8 != int8 || v.reverse != reverse) continue;
        // An empty batch is nothing to do; a grid of zero blocks would be refused as a launch error.
        if (N > 0) v.launch(stream, N, T, in, weights, bias, scale, out);
        return vyr::peeked_error();
    }
    return VyrUnsupported;
}
