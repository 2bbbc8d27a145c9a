// Tensor-core linear layers at basecaller shapes (rows = chunks x timesteps, features 96 .. 2048):
// host_linear with half and 8-bit operands and host_linear_swiglu_f16. On the CUDA backend each half shape is
// also run as a cuBLAS GEMM (half operands and accumulation, as ours) followed by the library's bias +
// activation pass, and the two are compared with report_vs. --quick runs one small shape (for the simulator).
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "bench.h"
#include "vyr.h"
#if defined(VYR_BENCH_CUBLAS)
#include <cublas_v2.h>
#endif

namespace {

struct Shape {
    int M, K, N, act;
};

void* device_random(std::mt19937& gen, size_t n, bool int8, float bound) {
    void* p = nullptr;
    vyr_bench::check(cudaMalloc(&p, n * (int8 ? 1 : 2)), "cudaMalloc");
    if (int8) {
        std::vector<int8_t> h(n);
        std::uniform_int_distribution<int> d(-127, 127);
        for (int8_t& x : h) x = (int8_t)d(gen);
        vyr_bench::check(cudaMemcpy(p, h.data(), n, cudaMemcpyHostToDevice), "cudaMemcpy");
    } else {
        std::vector<__half> h(n);
        std::uniform_real_distribution<float> d(-bound, bound);
        for (__half& x : h) x = __float2half(d(gen));
        vyr_bench::check(cudaMemcpy(p, h.data(), 2 * n, cudaMemcpyHostToDevice), "cudaMemcpy");
    }
    return p;
}

#if defined(VYR_BENCH_CUBLAS)
// D^T = B A^T in cuBLAS's column-major terms: D (M x N row-major) is N x M column-major.
double cublas_with_epilogue(cublasHandle_t handle, cudaStream_t stream, const Shape& s, const void* A,
                            const void* B, void* D, const __half* bias, int iters) {
    const __half one = __float2half(1.0f), zero = __float2half(0.0f);
    return vyr_bench::time_ms(stream, 2, iters, [&](cudaStream_t st) {
        if (cublasGemmEx(handle, CUBLAS_OP_T, CUBLAS_OP_N, s.N, s.M, s.K, &one, B, CUDA_R_16F, s.K, A,
                         CUDA_R_16F, s.K, &zero, D, CUDA_R_16F, s.N, CUBLAS_COMPUTE_16F,
                         CUBLAS_GEMM_DEFAULT) != CUBLAS_STATUS_SUCCESS)
            vyr_bench::check(cudaErrorUnknown, "cublasGemmEx");
        if (host_bias_activation_f16_inplace(st, s.M, s.N, s.N, static_cast<__half*>(D), bias, s.act) !=
            VyrSuccess)
            vyr_bench::check(cudaErrorUnknown, "host_bias_activation_f16_inplace");
    });
}
#endif

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    vyr_bench::print_device();
    std::mt19937 gen(1);
    cudaStream_t stream;
    vyr_bench::check(cudaStreamCreate(&stream), "cudaStreamCreate");
#if defined(VYR_BENCH_CUBLAS)
    cublasHandle_t handle;
    if (cublasCreate(&handle) != CUBLAS_STATUS_SUCCESS) vyr_bench::check(cudaErrorUnknown, "cublasCreate");
    cublasSetStream(handle, stream);
#endif
    // Convolution output to LSTM input projections, LSTM-sized square layers, and the wide layers of a
    // transformer-style encoder; activations as such layers use them.
    const std::vector<Shape> shapes =
        quick ? std::vector<Shape>{{256, 64, 256, 1}}
              : std::vector<Shape>{{1000000, 96, 384, 1},   {512000, 384, 1536, 3}, {256000, 768, 768, 0},
                                   {256000, 1024, 1024, 2}, {128000, 512, 2048, 1}, {64000, 2048, 2048, 4}};
    const int iters = quick ? 1 : 10;
    for (const Shape& s : shapes)
        for (bool int8 : {false, true}) {
            void* A = device_random(gen, (size_t)s.M * s.K, int8, 1.0f);
            void* B = device_random(gen, (size_t)s.N * s.K, int8, 1.0f / 16);
            __half* bias = static_cast<__half*>(device_random(gen, s.N, false, 0.5f));
            __half* scale = nullptr;
            {
                std::vector<__half> h(s.N, __float2half(64.0f));
                vyr_bench::check(cudaMalloc(&scale, 2 * s.N), "cudaMalloc");
                vyr_bench::check(cudaMemcpy(scale, h.data(), 2 * s.N, cudaMemcpyHostToDevice), "cudaMemcpy");
            }
            __half* D = nullptr;
            vyr_bench::check(cudaMalloc(&D, (size_t)s.M * s.N * 2), "cudaMalloc");
            const int ab = int8 ? VYR_TYPE_INT8 : VYR_TYPE_HALF;
            char name[96];
            std::snprintf(name, sizeof name, "host_linear %s M=%d K=%d N=%d act=%d", int8 ? "int8" : "half",
                          s.M, s.K, s.N, s.act);
            const double ms = vyr_bench::time_ms(stream, 2, iters, [&](cudaStream_t st) {
                if (host_linear(st, ab, s.act, VYR_TYPE_HALF, 1, s.M, s.K, s.N, 0, s.K, 0, s.N, A, B, D,
                                scale, bias) != VyrSuccess)
                    vyr_bench::check(cudaErrorUnknown, name);
            });
            vyr_bench::check_output(D, (size_t)s.M * s.N, name);
            vyr_bench::report(name, ms, 2.0 * s.M * s.N * s.K / (ms * 1e-3) / 1e12, "TFLOP/s");
#if defined(VYR_BENCH_CUBLAS)
            if (!int8) {
                const double peer = cublas_with_epilogue(handle, stream, s, A, B, D, bias, iters);
                vyr_bench::report_vs(name, ms, "cuBLAS GEMM + bias/activation", peer);
            }
#endif
            if (!int8 && s.act == 1) {
                // The same product as a gated projection: N product columns give N/2 outputs.
                std::snprintf(name, sizeof name, "host_linear_swiglu_f16 M=%d K=%d N=%d", s.M, s.K, s.N);
                const double ms_swiglu = vyr_bench::time_ms(stream, 2, iters, [&](cudaStream_t st) {
                    if (host_linear_swiglu_f16(st, s.M, s.N, s.K, static_cast<const __half*>(A),
                                               static_cast<const __half*>(B), D) != VyrSuccess)
                        vyr_bench::check(cudaErrorUnknown, name);
                });
                vyr_bench::check_output(D, (size_t)s.M * s.N / 2, name);
                vyr_bench::report(name, ms_swiglu, 2.0 * s.M * s.N * s.K / (ms_swiglu * 1e-3) / 1e12,
                                  "TFLOP/s");
            }
            for (void* p : {A, B, (void*)bias, (void*)scale, (void*)D}) cudaFree(p);
        }
#if defined(VYR_BENCH_CUBLAS)
    cublasDestroy(handle);
#endif
    cudaStreamDestroy(stream);
    return 0;
}
