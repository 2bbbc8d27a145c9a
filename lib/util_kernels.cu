// Element-wise and layout kernels between network layers.
// - Bias + activation in place on a half matrix: element (r, c) at r * stride + c.
// - Bias + activation + int8/half conversion with re-interleaving of an (N, T, C) tensor: with chunk width
//   k, element (n, t, c) at n*T*C + (c / k)*(T*k) + t*k + c % k (k = C is the plain layout).
// - Strided (d0, d1, d2) copies, element (i0, i1, i2) at i0*s0 + i1*s1 + i2*s2 on each side: int8 <-> half
//   conversion, and half -> half layout changes (transposes).
// - Time windowing of (N, T, C) half into (N, T_out, W, C): each window row is contiguous.
// int8 is a symmetric fixed point of [-1, 1] with scale 127: -128 is never produced.
#include <cstdint>
#include <utility>

#include "activation.cuh"
#include "frame.cuh"

namespace vyr {

template <class T>
struct vyr_type;

template <>
struct vyr_type<__half> {
    __host__ __device__ static float to_float(__half x) { return __half2float(x); }
    __host__ __device__ static __half from_float(float f) { return __float2half_rn(f); }
};

template <>
struct vyr_type<signed char> {
    __host__ __device__ static float to_float(signed char x) { return fast_div((float)x, 127.0f); }
    // Upper bound first: fminf returns 1.0 for a NaN, so NaN encodes as 127.
    __device__ static signed char from_float(float f) {
        f = fmaxf(fminf(f, 1.0f), -1.0f);
        return (signed char)__float2int_rn(f * 127.0f);
    }
};

template <class In, class Out>
__device__ inline Out convert_type(In x) {
    return vyr_type<Out>::from_float(vyr_type<In>::to_float(x));
}

// Position of (n, t, c) in an (N, T, C) tensor whose channels are stored in groups of `chunk`, each group a
// contiguous (T, chunk) block.
__host__ __device__ inline long long interleaved_index(int n, int t, int c, int T, int C, int chunk) {
    return (long long)n * T * C + (long long)(c / chunk) * T * chunk + (long long)t * chunk + c % chunk;
}

// Each thread owns one column and Rows rows strided by the grid width; it reads them all before writing any,
// so the loads of a thread overlap.
template <VyrActivation A, int Rows>
__global__ void bias_activation_f16_inplace(int rows, int cols, int stride, __half* matrix,
                                            const __half* bias) {
    const int c = blockIdx.y * blockDim.x + threadIdx.x;
    if (c >= cols) return;
    const float b = bias ? __half2float(__ldg(&bias[c])) : 0.0f;
    __half x[Rows];
#pragma unroll
    for (int k = 0; k < Rows; ++k) {
        const long long r = blockIdx.x + (long long)k * gridDim.x;
        if (r < rows) x[k] = __ldg(&matrix[r * stride + c]);
    }
#pragma unroll
    for (int k = 0; k < Rows; ++k) {
        const long long r = blockIdx.x + (long long)k * gridDim.x;
        if (r < rows) matrix[r * stride + c] = __float2half_rn(activation<A>(__half2float(x[k]) + b));
    }
}

// One thread per channel and Steps consecutive time steps: grid (N, ceil(T / Steps), ceil(C / blockDim)).
template <int Steps, VyrActivation A, class In, class Out>
__global__ void bias_activation_interleave_convert(int N, int T, int C, const In* in, int in_chunk, Out* out,
                                                   int out_chunk, const __half* bias) {
    const int n = blockIdx.x;
    const int t0 = Steps * blockIdx.y;
    const int c = blockIdx.z * blockDim.x + threadIdx.x;
    if (n >= N || c >= C) return;
    const float b = bias ? __half2float(__ldg(&bias[c])) : 0.0f;
    In x[Steps];
#pragma unroll
    for (int i = 0; i < Steps; ++i)
        if (t0 + i < T) x[i] = __ldg(&in[interleaved_index(n, t0 + i, c, T, C, in_chunk)]);
#pragma unroll
    for (int i = 0; i < Steps; ++i)
        if (t0 + i < T)
            out[interleaved_index(n, t0 + i, c, T, C, out_chunk)] =
                vyr_type<Out>::from_float(activation<A>(vyr_type<In>::to_float(x[i]) + b));
}

// cp.async.wait_group takes its count as an immediate: pick the instantiation for a run-time count.
template <int Max>
__device__ inline void cp_async_wait_at_most(int pending) {
    if constexpr (Max == 0) {
        cp_async_wait<0>();
    } else {
        if (pending >= Max)
            cp_async_wait<Max>();
        else
            cp_async_wait_at_most<Max - 1>(pending);
    }
}

// Rows (i0, i1) of d2 elements, taken by the blocks in turn. With a unit inner input stride, rows up to
// MaxRow elements and 16-byte aligned row starts, a ring of Stages rows in shared memory is filled by
// asynchronous copies so that later rows load while the current one converts. Otherwise, and before 8.0,
// each element is converted straight from global memory; both paths give the same values.
template <class In, class Out, int MaxRow, int Stages>
__global__ void convert(const In* in, long long in_s0, long long in_s1, long long in_s2, Out* out,
                        long long out_s0, long long out_s1, long long out_s2, int d0, int d1, int d2) {
    const long long rows = (long long)d0 * d1;
    const long long step = gridDim.x;
#if VYR_ARCH >= 800
    const bool aligned = reinterpret_cast<uintptr_t>(in) % 16 == 0 &&
                         (d0 == 1 || in_s0 * (long long)sizeof(In) % 16 == 0) &&
                         (d1 == 1 || in_s1 * (long long)sizeof(In) % 16 == 0);
    if (in_s2 == 1 && d2 <= MaxRow && aligned) {
        struct alignas(16) Ring {
            In stage[Stages][MaxRow];
        };
        __shared__ Ring ring;
        // The last piece of a row copies only the row's remaining bytes (the rest of it is zero-filled and
        // never read), so no copy reaches past the end of a row.
        const int row_bytes = d2 * (int)sizeof(In);
        const int pieces = ceil_div(row_bytes, 16);
        long long next = blockIdx.x;
        int fetch_stage = 0, use_stage = 0;
        for (long long r = blockIdx.x; r < rows; r += step) {
            while (next < rows && next < r + Stages * step) {
                const char* src =
                    reinterpret_cast<const char*>(in + (next / d1) * in_s0 + (next % d1) * in_s1);
                char* dst = reinterpret_cast<char*>(ring.stage[fetch_stage]);
                for (int p = threadIdx.x; p < pieces; p += blockDim.x)
                    cp_async_16(dst + 16 * p, src + 16 * p, min(16, row_bytes - 16 * p));
                cp_async_commit();
                fetch_stage = (fetch_stage + 1) % Stages;
                next += step;
            }
            // Rows fetched after this one may stay in flight.
            cp_async_wait_at_most<Stages - 1>((int)((next - r) / step) - 1);
            __syncthreads();
            Out* dst = out + (r / d1) * out_s0 + (r % d1) * out_s1;
            for (int j = threadIdx.x; j < d2; j += blockDim.x)
                dst[j * out_s2] = convert_type<In, Out>(ring.stage[use_stage][j]);
            use_stage = (use_stage + 1) % Stages;
            __syncthreads();
        }
        return;
    }
#endif
    for (long long r = blockIdx.x; r < rows; r += step) {
        const In* src = in + (r / d1) * in_s0 + (r % d1) * in_s1;
        Out* dst = out + (r / d1) * out_s0 + (r % d1) * out_s1;
        for (long long j = threadIdx.x; j < d2; j += blockDim.x)
            dst[j * out_s2] = convert_type<In, Out>(__ldg(&src[j * in_s2]));
    }
}

// Strided copy for layouts whose innermost output dimension (slot 2) is innermost in the input too: threads
// walk i2, so reads and writes are both coalesced.
__global__ void transpose_f16(const __half* in, int d0, int d1, int d2, int in_s0, int in_s1, int in_s2,
                              int out_s0, int out_s1, int out_s2, __half* out) {
    // 64-bit counters: stepping past a size near 2^31 must not wrap around.
    for (long long i0 = blockIdx.x; i0 < d0; i0 += gridDim.x)
        for (long long i1 = 0; i1 < d1; ++i1)
            for (long long i2 = threadIdx.x; i2 < d2; i2 += blockDim.x)
                out[i0 * out_s0 + i1 * out_s1 + i2 * out_s2] =
                    __ldg(&in[i0 * in_s0 + i1 * in_s1 + i2 * in_s2]);
}

// Transpose of dimensions 1 (input-innermost) and 2 (output-innermost) through a shared tile, one tile per
// block and i0 = blockIdx.z. Loads run along i1 and stores along i2, so both sides are coalesced; the Pad
// halves per tile row put the column-wise pass in different banks.
template <int Threads, int Tile1, int Tile2, int Pad>
__global__ void transpose_f16_smem(const __half* in, [[maybe_unused]] int d0, int d1, int d2, int in_s0,
                                   int in_s1, int in_s2, int out_s0, int out_s1, int out_s2, __half* out) {
    __shared__ __half tile[Tile1][Tile2 + Pad];
    const int i0 = blockIdx.z;
    const int base1 = Tile1 * blockIdx.y, base2 = Tile2 * blockIdx.x;
    for (int e = threadIdx.x; e < Tile1 * Tile2; e += Threads) {
        const int a = e % Tile1, b = e / Tile1;
        if (base1 + a < d1 && base2 + b < d2)
            tile[a][b] = __ldg(
                &in[(long long)i0 * in_s0 + (long long)(base1 + a) * in_s1 + (long long)(base2 + b) * in_s2]);
    }
    __syncthreads();
    for (int e = threadIdx.x; e < Tile1 * Tile2; e += Threads) {
        const int a = e / Tile2, b = e % Tile2;
        if (base1 + a < d1 && base2 + b < d2)
            out[(long long)i0 * out_s0 + (long long)(base1 + a) * out_s1 + (long long)(base2 + b) * out_s2] =
                tile[a][b];
    }
}

// One block per sequence. The flattened (T, C) input is read once, in chunks of Threads halves, into a ring
// that slides forward with the windows. A window of up to Chunks * Threads elements may start anywhere in
// its first chunk, so its tail can reach one chunk further: the ring has one slot more than that.
template <int Threads, int Chunks>
__global__ void window_ntwc_f16([[maybe_unused]] int N, int T, int C, int W, int stride,
                                uint64_t out_batch_stride, uint64_t out_time_stride, const __half* in,
                                __half* out) {
    constexpr int kSlots = Chunks + 1;
    __shared__ __half ring[kSlots][Threads];
    const int n = blockIdx.x;
    const long long CT = (long long)C * T;
    const long long chunks = ceil_div(CT, Threads);
    const __half* seq = in + n * CT;
    const int T_out = T / stride;
    const int WC = W * C;
    long long loaded = 0;
    for (int t = 0; t < T_out; ++t) {
        const long long start = ((long long)t * stride - W / 2) * C;
        const long long first = start / Threads > 0 ? start / Threads : 0;
        __syncthreads();
        for (; loaded < first + kSlots && loaded < chunks; ++loaded) {
            const long long e = loaded * Threads + threadIdx.x;
            ring[loaded % kSlots][threadIdx.x] = e < CT ? __ldg(&seq[e]) : __float2half_rn(0.0f);
        }
        __syncthreads();
        __half* row = out + (uint64_t)n * out_batch_stride + (uint64_t)t * out_time_stride;
        for (int j = threadIdx.x; j < WC; j += blockDim.x) {
            const long long e = start + j;
            row[j] = (e >= 0 && e < CT) ? ring[(e / Threads) % kSlots][e % Threads] : __float2half_rn(0.0f);
        }
    }
}

}  // namespace vyr

namespace {

using vyr::bias_activation_f16_inplace;
using vyr::bias_activation_interleave_convert;
using vyr::convert;
using vyr::transpose_f16;
using vyr::transpose_f16_smem;
using vyr::window_ntwc_f16;

constexpr int kBlock = 128;
constexpr int kRowsPerThread = 4;

constexpr VyrActivation kIdentity = VyrActivation::identity;
constexpr VyrActivation kSwish = VyrActivation::swish;
constexpr VyrActivation kSwishClamp = VyrActivation::swish_clamp;
constexpr VyrActivation kTanh = VyrActivation::tanh;
constexpr VyrActivation kTanhX5 = VyrActivation::tanh_x5;

int multiprocessor_count() {
    int count = 0;
    return vyr::device_attribute(cudaDevAttrMultiProcessorCount, &count) == cudaSuccess ? count : -1;
}

// ---- In-place bias and activation ----

using InplaceLaunch = void (*)(dim3, cudaStream_t, int, int, int, __half*, const __half*);

template <VyrActivation A>
void launch_inplace(dim3 grid, cudaStream_t stream, int rows, int cols, int stride, __half* matrix,
                    const __half* bias) {
    vyr::launch(VYR_KERNEL(bias_activation_f16_inplace<A, kRowsPerThread>), grid, dim3(kBlock), 0, stream,
                rows, cols, stride, matrix, bias);
}

const InplaceLaunch kInplaceVariants[] = {launch_inplace<kIdentity>, launch_inplace<kSwish>,
                                          launch_inplace<kSwishClamp>, launch_inplace<kTanh>,
                                          launch_inplace<kTanhX5>};

// ---- Bias, activation, conversion and re-interleaving ----

struct InterleaveArgs {
    int N, T, C;
    const void* in;
    int in_chunk;
    void* out;
    int out_chunk;
    const __half* bias;
};

template <VyrActivation A, class In, class Out>
void launch_interleave(const InterleaveArgs& a, cudaStream_t stream) {
    const dim3 grid(a.N, (a.T + kRowsPerThread - 1LL) / kRowsPerThread, (a.C + kBlock - 1LL) / kBlock);
    vyr::launch(VYR_KERNEL(bias_activation_interleave_convert<kRowsPerThread, A, In, Out>), grid,
                dim3(kBlock), 0, stream, a.N, a.T, a.C, static_cast<const In*>(a.in), a.in_chunk,
                static_cast<Out*>(a.out), a.out_chunk, a.bias);
}

struct InterleaveVariant {
    VyrActivation act;
    int in_type, out_type;
    void (*launch)(const InterleaveArgs&, cudaStream_t);
};

using s8 = signed char;
constexpr int kInt8 = VYR_TYPE_INT8;
constexpr int kHalf = VYR_TYPE_HALF;

// int8 input is only converted: no activation is compiled for it. A half -> half identity would be a copy.
const InterleaveVariant kInterleaveVariants[] = {
    {kIdentity, kInt8, kHalf, launch_interleave<kIdentity, s8, __half>},
    {kIdentity, kHalf, kInt8, launch_interleave<kIdentity, __half, s8>},
    {kSwish, kHalf, kHalf, launch_interleave<kSwish, __half, __half>},
    {kSwish, kHalf, kInt8, launch_interleave<kSwish, __half, s8>},
    {kSwishClamp, kHalf, kHalf, launch_interleave<kSwishClamp, __half, __half>},
    {kSwishClamp, kHalf, kInt8, launch_interleave<kSwishClamp, __half, s8>},
    {kTanh, kHalf, kHalf, launch_interleave<kTanh, __half, __half>},
    {kTanh, kHalf, kInt8, launch_interleave<kTanh, __half, s8>},
};

// A chunk width must split the channels into whole groups; any other width would place the last group's
// elements past the end of the tensor.
bool valid_chunk(int chunk, int C) {
    return chunk > 0 && chunk <= C && C % chunk == 0;
}

// ---- Strided conversion and layout changes ----

constexpr int kConvertMaxRow = 1024;
constexpr int kConvertStages = 5;

template <class In, class Out>
void launch_convert(int grid, cudaStream_t stream, const void* in, int in_s0, int in_s1, int in_s2, void* out,
                    int out_s0, int out_s1, int out_s2, int d0, int d1, int d2) {
    vyr::launch(VYR_KERNEL(convert<In, Out, kConvertMaxRow, kConvertStages>), dim3(grid), dim3(kBlock), 0,
                stream, static_cast<const In*>(in), (long long)in_s0, (long long)in_s1, (long long)in_s2,
                static_cast<Out*>(out), (long long)out_s0, (long long)out_s1, (long long)out_s2, d0, d1, d2);
}

// One dimension of a strided copy: its size and its stride on each side.
struct Axis {
    int size, in_s, out_s;
};

// Orders the axes so that slot 2 is output-innermost and slot 0 is the outermost input axis of the other
// two, then copies with the plain kernel when slot 2 is input-innermost as well and through the shared tile
// otherwise. The comparisons are strict, so ties keep the caller's order.
int convert_half_layout(cudaStream_t stream, const __half* in, __half* out, Axis s0, Axis s1, Axis s2) {
    if (s1.out_s > s0.out_s) std::swap(s0, s1);
    if (s2.out_s > s1.out_s) std::swap(s1, s2);
    if (s0.in_s < s1.in_s) std::swap(s0, s1);
    if (s2.in_s > s1.in_s) {
        constexpr int kTile = 32;
        const dim3 grid((s2.size + kTile - 1LL) / kTile, (s1.size + kTile - 1LL) / kTile, s0.size);
        vyr::launch(VYR_KERNEL(transpose_f16_smem<kBlock, kTile, kTile, 2>), grid, dim3(kBlock), 0, stream,
                    in, s0.size, s1.size, s2.size, s0.in_s, s1.in_s, s2.in_s, s0.out_s, s1.out_s, s2.out_s,
                    out);
        return VyrSuccess;
    }
    const int multiprocessors = multiprocessor_count();
    if (multiprocessors < 0) return VyrUnsupported;
    vyr::launch(VYR_KERNEL(transpose_f16), dim3(4 * multiprocessors), dim3(kBlock), 0, stream, in, s0.size,
                s1.size, s2.size, s0.in_s, s1.in_s, s2.in_s, s0.out_s, s1.out_s, s2.out_s, out);
    return VyrSuccess;
}

}  // namespace

VYR_API int host_bias_activation_f16_inplace(cudaStream_t stream, int rows, int cols, int stride,
                                             __half* matrix, const __half* bias, int activation) {
    if (activation < 0 || activation >= (int)(sizeof(kInplaceVariants) / sizeof(kInplaceVariants[0])))
        return VyrUnsupported;
    if (rows <= 0 || cols <= 0) return VyrSuccess;
    const dim3 grid((rows + kRowsPerThread - 1LL) / kRowsPerThread, (cols + kBlock - 1LL) / kBlock);
    kInplaceVariants[activation](grid, stream, rows, cols, stride, matrix, bias);
    return VyrSuccess;
}

VYR_API int host_bias_activation_interleave_convert(cudaStream_t stream, int N, int T, int C, const void* in,
                                                    int in_chunk, int in_type, void* out, int out_chunk,
                                                    int out_type, const __half* bias, int activation) {
    const InterleaveVariant* variant = nullptr;
    for (const InterleaveVariant& v : kInterleaveVariants)
        if ((int)v.act == activation && v.in_type == in_type && v.out_type == out_type) variant = &v;
    if (!variant) return VyrUnsupported;
    if (N <= 0 || T <= 0 || C <= 0) return VyrSuccess;
    if (in_chunk == 0) in_chunk = C;
    if (out_chunk == 0) out_chunk = C;
    if (!valid_chunk(in_chunk, C) || !valid_chunk(out_chunk, C)) return VyrUnsupported;
    variant->launch(InterleaveArgs{N, T, C, in, in_chunk, out, out_chunk, bias}, stream);
    return VyrSuccess;
}

VYR_API int host_convert(cudaStream_t stream, const void* in, int in_s0, int in_s1, int in_s2, int in_type,
                         void* out, int out_s0, int out_s1, int out_s2, int out_type, int d0, int d1,
                         int d2) {
    const bool to_half = in_type == VYR_TYPE_INT8 && out_type == VYR_TYPE_HALF;
    const bool to_int8 = in_type == VYR_TYPE_HALF && out_type == VYR_TYPE_INT8;
    const bool layout = in_type == VYR_TYPE_HALF && out_type == VYR_TYPE_HALF;
    if (!to_half && !to_int8 && !layout) return VyrUnsupported;
    if (d0 <= 0 || d1 <= 0 || d2 <= 0) return VyrSuccess;
    if (layout)
        return convert_half_layout(stream, static_cast<const __half*>(in), static_cast<__half*>(out),
                                   Axis{d0, in_s0, out_s0}, Axis{d1, in_s1, out_s1}, Axis{d2, in_s2, out_s2});
    const int multiprocessors = multiprocessor_count();
    if (multiprocessors < 0) return VyrUnsupported;
    const auto run = to_half ? launch_convert<signed char, __half> : launch_convert<__half, signed char>;
    run(16 * multiprocessors, stream, in, in_s0, in_s1, in_s2, out, out_s0, out_s1, out_s2, d0, d1, d2);
    return VyrSuccess;
}

VYR_API int host_window_ntwc_f16(cudaStream_t stream, int N, int T, int C, int W, int stride,
                                 int out_batch_stride, int out_time_stride, const __half* in, __half* out) {
    constexpr int kMaxWindow = 2048;
    if ((long long)C * W > kMaxWindow) return VyrUnsupported;
    // T_out = T / stride on the device: a zero or negative stride has no meaning there.
    if (stride < 1) return VyrUnsupported;
    if (N <= 0 || T / stride <= 0 || C <= 0 || W <= 0) return vyr::peeked_error();
    vyr::launch(VYR_KERNEL(window_ntwc_f16<kBlock, kMaxWindow / kBlock>), dim3(N), dim3(kBlock), 0, stream, N,
                T, C, W, stride, (uint64_t)(int64_t)out_batch_stride, (uint64_t)(int64_t)out_time_stride, in,
                out);
    return vyr::peeked_error();
}
