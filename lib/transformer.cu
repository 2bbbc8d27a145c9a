// Stand-alone transformer kernels on plain dense half tensors.
// - Rotary embedding with transpose: in is (N, T, 3, H, D) (per (n, t) a row of all Q heads, then K, then V);
//   out is three (N, H, T, D) planes, Q at 0, K at N*H*T*D, V at 2*N*H*T*D. Q and K are rotated pair-wise
//   (elements 2i, 2i+1 of a head), V is copied bit for bit.
// - Residual RMS normalisation: rows of C halves, out = (v * r) * weight with v = in + residual * scale and
//   r = 1 / sqrt(mean(v^2) + 1e-5), one block per row.
#include <climits>

#include "frame.cuh"

namespace vyr {

constexpr int kRotaryMaxThreads = 1024;  // one thread per rotation pair of all heads
constexpr int kRmsNormThreads = 256;
constexpr int kRmsNormMaxChannels = 2048;  // the row is held in shared memory
constexpr int kRmsNormChannelMultiple = 32;

__device__ inline float warp_reduce_add(float x) {
    for (int offset = 16; offset > 0; offset /= 2) x += __shfl_xor_sync(0xffffffffu, x, offset);
    return x;
}

__global__ void rotary_embed_transpose_f16(int N, int T, int H, int D, float theta, const __half* in,
                                           __half* out) {
    const int P = D / 2;
    const int h = threadIdx.x / P, i = threadIdx.x % P;
    // theta^(-2i/D), once per thread.
    const float f = fast_exp2(fast_log2(theta) * fast_div((float)-i, (float)P));
    const long long rows = (long long)N * T;
    const long long plane = rows * H * D;
    for (long long r = blockIdx.x; r < rows; r += gridDim.x) {
        const long long n = r / T, t = r % T;
        const float angle = f * (float)t;
        const float s = fast_sin(angle), c = fast_cos(angle);
        const __half* row = in + r * 3 * H * D + (long long)h * D + 2 * i;
        const long long dst = ((n * H + h) * T + t) * D + 2 * i;
        for (int part = 0; part < 2; ++part) {
            const float x0 = __half2float(row[part * H * D]), x1 = __half2float(row[part * H * D + 1]);
            out[part * plane + dst] = __float2half_rn(fmaf(c, x0, -(s * x1)));
            out[part * plane + dst + 1] = __float2half_rn(fmaf(s, x0, c * x1));
        }
        out[2 * plane + dst] = row[2 * H * D];
        out[2 * plane + dst + 1] = row[2 * H * D + 1];
    }
}

__global__ void fused_residual_rmsnorm(int C, [[maybe_unused]] int N, const __half* in,
                                       const __half* residual, const __half* residual_scale,
                                       const __half* weight, __half* out) {
    __shared__ __half row[kRmsNormMaxChannels];
    __shared__ float warp_sums[32];
    const long long base = (long long)blockIdx.x * C;
    const __half a = residual_scale[0];
    float squares = 0.0f;
    for (int i = threadIdx.x; i < C; i += blockDim.x) {
        const __half v = __hadd(in[base + i], __hmul(residual[base + i], a));
        row[i] = v;
        squares = fmaf(__half2float(v), __half2float(v), squares);
    }
    squares = warp_reduce_add(squares);
    const int warp = threadIdx.x / 32, lane = threadIdx.x % 32;
    if (lane == 0) warp_sums[warp] = squares;
    __syncthreads();
    const float sum = warp_reduce_add(lane < (int)blockDim.x / 32 ? warp_sums[lane] : 0.0f);
    const __half r = __float2half_rn(fast_rsqrt(fast_div(sum, (float)C) + 9.99999975e-6f));
    // Each thread reads back only the elements it stored above.
    for (int i = threadIdx.x; i < C; i += blockDim.x) out[base + i] = __hmul(__hmul(row[i], r), weight[i]);
}

}  // namespace vyr

VYR_API int host_rotary_embed_transpose_f16(cudaStream_t stream, int N, int T, int H, int D, const __half* in,
                                            __half* out, float theta) {
    // One thread per pair of every head: an odd or empty head, or more pairs than a block holds, has no
    // launch that covers the planes exactly.
    if (N < 0 || T < 0 || H <= 0 || D <= 0 || D % 2 != 0) return VyrUnsupported;
    if ((long long)H * D / 2 > vyr::kRotaryMaxThreads) return VyrUnsupported;
    const long long rows = (long long)N * T;
    if (rows > INT_MAX) return VyrUnsupported;
    if (rows == 0) return VyrSuccess;
    static const auto kernel = VYR_KERNEL(vyr::rotary_embed_transpose_f16);
    vyr::launch(kernel, dim3((unsigned)rows), dim3(H * D / 2), 0, stream, N, T, H, D, theta, in, out);
    return VyrSuccess;
}

VYR_API int host_fused_residual_rmsnorm_f16(cudaStream_t stream, int C, int N, const __half* in,
                                            const __half* residual, const __half* residual_scale,
                                            const __half* weight, __half* out) {
    if (C > vyr::kRmsNormMaxChannels || C % vyr::kRmsNormChannelMultiple != 0) return VyrUnsupported;
    if (C < 0 || N < 0) return VyrUnsupported;
    if (C == 0 || N == 0) return VyrSuccess;
    static const auto kernel = VYR_KERNEL(vyr::fused_residual_rmsnorm);
    vyr::launch(kernel, dim3(N), dim3(vyr::kRmsNormThreads), 0, stream, C, N, in, residual, residual_scale,
                weight, out);
    return VyrSuccess;
}
