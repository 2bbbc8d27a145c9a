// One-dimensional convolution over time with bias and fused activation, half in and out, float accumulation.
// Input [N][T_in][IN] dense; weights [W][IN][OUT]; bias [OUT]; output sequence n starts at n * out_stride
// and holds [T_out][OUT] with T_out = T_in / stride. Taps outside [0, T_in) are zero padding.
#include <climits>
#include <cstdint>

#include "activation.cuh"
#include "frame.cuh"

namespace vyr {

// Each thread owns one output channel for its lifetime; consecutive threads of a time step cover the OUT
// channels of one contiguous output row. All W * IN weights of that channel stay in registers, which is why
// the shape is a template argument and the tap and channel loops unroll fully.
template <VyrActivation A, int IN, int OUT, int W>
__global__ void convolution_ntc(int N, int T_in, int stride, int padding, int out_stride, const __half* in,
                                __half* out, const __half* weights, const __half* bias) {
    const int o = threadIdx.x % OUT;
    const int t_first = threadIdx.x / OUT;
    const int t_step = blockDim.x / OUT;

    float w[W][IN];
#pragma unroll
    for (int k = 0; k < W; ++k)
#pragma unroll
        for (int c = 0; c < IN; ++c) w[k][c] = __half2float(__ldg(&weights[(k * IN + c) * OUT + o]));
    const float b = __half2float(__ldg(&bias[o]));

    const int T_out = T_in / stride;
    // Counters and window positions in 64 bits: stepping past a size near 2^31, or a large padding of either
    // sign, must not wrap around.
    for (long long n = blockIdx.x; n < N; n += gridDim.x) {
        for (long long t = t_first; t < T_out; t += t_step) {
            const long long t0 = t * stride - padding;
            float acc = b;
#pragma unroll
            for (int k = 0; k < W; ++k) {
                const long long ti = t0 + k;
                if (ti < 0 || ti >= T_in) continue;
                // The host refuses N * T_in * IN >= 2^31, so 32-bit input offsets cannot overflow.
                const __half* row = in + ((int)n * T_in + (int)ti) * IN;
#pragma unroll
                for (int c = 0; c < IN; ++c) acc = fmaf(__half2float(__ldg(&row[c])), w[k][c], acc);
            }
            out[n * out_stride + t * OUT + o] = __float2half_rn(activation<A>(acc));
        }
    }
}

}  // namespace vyr

namespace {

using vyr::convolution_ntc;

struct ConvArgs {
    int N, T_in, stride, padding, out_stride;
    const __half* in;
    __half* out;
    const __half* weights;
    const __half* bias;
};

template <VyrActivation A, int IN, int OUT, int W>
void launch_convolution(const ConvArgs& a, int grid, int threads, cudaStream_t stream) {
    // A refused launch is left to the caller's next error query, like every other asynchronous failure.
    vyr::launch(VYR_KERNEL(convolution_ntc<A, IN, OUT, W>), dim3(grid), dim3(threads), 0, stream, a.N, a.T_in,
                a.stride, a.padding, a.out_stride, a.in, a.out, a.weights, a.bias);
}

// The compiled shapes. A single input channel (raw signal) gets a 128-thread block, wider inputs 256.
struct ConvVariant {
    VyrActivation act;
    int c_in, c_out, w;
    void (*launch)(const ConvArgs&, int, int, cudaStream_t);
    int threads() const { return c_in == 1 ? 128 : 256; }
};

constexpr VyrActivation kSwish = VyrActivation::swish;
constexpr VyrActivation kSwishClamp = VyrActivation::swish_clamp;
constexpr VyrActivation kTanh = VyrActivation::tanh;

const ConvVariant kConvVariants[] = {
    {kSwish, 1, 4, 5, launch_convolution<kSwish, 1, 4, 5>},
    {kSwish, 1, 16, 5, launch_convolution<kSwish, 1, 16, 5>},
    {kSwish, 4, 16, 5, launch_convolution<kSwish, 4, 16, 5>},
    {kSwish, 13, 16, 5, launch_convolution<kSwish, 13, 16, 5>},
    {kSwish, 16, 16, 5, launch_convolution<kSwish, 16, 16, 5>},
    {kSwishClamp, 1, 16, 5, launch_convolution<kSwishClamp, 1, 16, 5>},
    {kSwishClamp, 13, 16, 5, launch_convolution<kSwishClamp, 13, 16, 5>},
    {kSwishClamp, 16, 16, 5, launch_convolution<kSwishClamp, 16, 16, 5>},
    {kTanh, 1, 16, 5, launch_convolution<kTanh, 1, 16, 5>},
    {kTanh, 16, 16, 5, launch_convolution<kTanh, 16, 16, 5>},
    {kTanh, 1, 64, 5, launch_convolution<kTanh, 1, 64, 5>},
};

}  // namespace

VYR_API int host_convolution_f16(cudaStream_t stream, int N, int C_in, int C_out, int T_in, int W, int stride,
                                 int padding, int out_stride, const __half* in, __half* out,
                                 const __half* weights, const __half* bias, int activation) {
    int multiprocessors = 0;
    if (vyr::device_attribute(cudaDevAttrMultiProcessorCount, &multiprocessors) != cudaSuccess)
        return VyrUnsupported;

    const ConvVariant* variant = nullptr;
    for (const ConvVariant& v : kConvVariants)
        if ((int)v.act == activation && v.c_in == C_in && v.c_out == C_out && v.w == W) variant = &v;
    if (!variant) return VyrUnsupported;
    // T_out = T_in / stride on the device: a zero or negative stride has no meaning there.
    if (stride < 1) return VyrUnsupported;
    // Input offsets are 32-bit in the kernel (the hot loop stays in 32-bit registers); refuse a tensor they
    // cannot address instead of reading out of bounds.
    if ((long long)N * T_in * C_in > INT_MAX) return VyrUnsupported;
    if (N <= 0) return VyrSuccess;

    const int grid = (long long)multiprocessors * 16 < N ? multiprocessors * 16 : N;
    variant->launch(ConvArgs{N, T_in, stride, padding, out_stride, in, out, weights, bias}, grid,
                    variant->threads(), stream);
    return VyrSuccess;
}
