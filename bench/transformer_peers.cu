#include <cublas_v2.h>

#include <cstdio>
#include <cstdlib>

#include "transformer_peers.h"

namespace vyr_peer {

struct Handle {
    cublasHandle_t blas;
    cudaStream_t stream;
};

namespace {

void ok(cublasStatus_t s, const char* what) {
    if (s != CUBLAS_STATUS_SUCCESS) {
        std::fprintf(stderr, "%s: cuBLAS status %d\n", what, (int)s);
        std::exit(1);
    }
}

// Row-major C (M x N) = A (M x K) B^T (B: N x K) is column-major C^T = B A^T.
void gemm_tn(Handle* h, int M, int N, int K, const void* a, const void* b, void* c, cudaDataType in,
             cudaDataType out, cublasComputeType_t compute) {
    const float alpha_f = 1.0f, beta_f = 0.0f;
    const int alpha_i = 1, beta_i = 0;
    const bool integer = compute == CUBLAS_COMPUTE_32I;
    ok(cublasGemmEx(h->blas, CUBLAS_OP_T, CUBLAS_OP_N, N, M, K, integer ? (const void*)&alpha_i : &alpha_f, b,
                    in, K, a, in, K, integer ? (const void*)&beta_i : &beta_f, c, out, N, compute,
                    CUBLAS_GEMM_DEFAULT),
       "cublasGemmEx");
}

unsigned blocks(long long n) {
    return (unsigned)((n + 255) / 256);
}

__global__ void bias_add(long long n, int N, const __half* bias, __half* y) {
    const long long i = blockIdx.x * 256ll + threadIdx.x;
    if (i < n) y[i] = __hadd(y[i], bias[i % N]);
}

__global__ void scale_bias(long long n, int N, const int* acc, const float* xs, const float* ws,
                           const __half* bias, __half* y) {
    const long long i = blockIdx.x * 256ll + threadIdx.x;
    if (i < n) y[i] = __hadd(__float2half(ws[i % N] * xs[i / N] * (float)acc[i]), bias[i % N]);
}

__global__ void swiglu_epilogue(long long n, int F, const __half* v, __half* y) {
    const long long i = blockIdx.x * 256ll + threadIdx.x;  // output element
    if (i >= n) return;
    const long long r = i / (F / 2), c = i % (F / 2);
    const long long base = r * F + c / 16 * 32 + c % 16;
    const float a = __half2float(v[base + 16]), b = __half2float(v[base]);
    y[i] = __float2half(b * a / (1.0f + __expf(-a)));
}

__global__ void rotary(long long pairs, int C, int L, int hd, const __half* table, __half* v) {
    const long long i = blockIdx.x * 256ll + threadIdx.x;  // query/key pair
    if (i >= pairs) return;
    const long long r = i / C, c = 2 * (i % C);  // C pairs per row: 2 C query and key columns
    const int step = (int)(r % L), d = (int)(c % hd);
    __half2* p = reinterpret_cast<__half2*>(v + r * 3 * C + c);
    const __half2 sc = reinterpret_cast<const __half2*>(table + (long long)step * hd + d)[0];
    const __half2 x = *p;
    *p = __halves2half2(
        __hsub(__hmul(__low2half(x), __high2half(sc)), __hmul(__high2half(x), __low2half(sc))),
        __hadd(__hmul(__low2half(x), __low2half(sc)), __hmul(__high2half(x), __high2half(sc))));
}

// One warp per score row: tile-granular band, softmax in float.
__global__ void band_softmax(long long rows, int L, int S, __half* s) {
    const long long row = blockIdx.x * 8ll + threadIdx.x / 32;
    if (row >= rows) return;
    const int lane = threadIdx.x % 32, i = (int)(row % L);
    const int lo = max(0, 16 * (i / 16 - S)), hi = min(L, 16 * (i / 16 + S + 1));
    __half* p = s + row * L;
    float m = -INFINITY, sum = 0.0f;
    for (int j = lo + lane; j < hi; j += 32) m = fmaxf(m, __half2float(p[j]));
    for (int d = 16; d; d /= 2) m = fmaxf(m, __shfl_xor_sync(0xffffffffu, m, d));
    for (int j = lo + lane; j < hi; j += 32) sum += __expf(__half2float(p[j]) - m);
    for (int d = 16; d; d /= 2) sum += __shfl_xor_sync(0xffffffffu, sum, d);
    const float inv = 1.0f / sum;
    for (int j = lane; j < L; j += 32)
        p[j] = j >= lo && j < hi ? __float2half(__expf(__half2float(p[j]) - m) * inv) : __float2half(0.0f);
}

}  // namespace

Handle* create(cudaStream_t stream) {
    Handle* h = new Handle{nullptr, stream};
    ok(cublasCreate(&h->blas), "cublasCreate");
    ok(cublasSetStream(h->blas, stream), "cublasSetStream");
    return h;
}
void destroy(Handle* h) {
    cublasDestroy(h->blas);
    delete h;
}

void linear_half(Handle* h, int M, int N, int K, const __half* x, const __half* w, const __half* bias,
                 __half* y) {
    gemm_tn(h, M, N, K, x, w, y, CUDA_R_16F, CUDA_R_16F, CUBLAS_COMPUTE_32F);
    const long long n = (long long)M * N;
    bias_add<<<blocks(n), 256, 0, h->stream>>>(n, N, bias, y);
}

void linear_int8(Handle* h, int M, int N, int K, const signed char* x, const signed char* w, const float* xs,
                 const float* ws, const __half* bias, int* acc, __half* y) {
    gemm_tn(h, M, N, K, x, w, acc, CUDA_R_8I, CUDA_R_32I, CUBLAS_COMPUTE_32I);
    const long long n = (long long)M * N;
    scale_bias<<<blocks(n), 256, 0, h->stream>>>(n, N, acc, xs, ws, bias, y);
}

void swiglu(Handle* h, int M, int F, int K, const __half* x, const __half* w, __half* v, __half* y) {
    gemm_tn(h, M, F, K, x, w, v, CUDA_R_16F, CUDA_R_16F, CUBLAS_COMPUTE_32F);
    const long long n = (long long)M * F / 2;
    swiglu_epilogue<<<blocks(n), 256, 0, h->stream>>>(n, F, v, y);
}

void qkv_rotary(Handle* h, int M, int C, int K, int L, int hd, const __half* x, const __half* w,
                const __half* table, __half* v) {
    gemm_tn(h, M, 3 * C, K, x, w, v, CUDA_R_16F, CUDA_R_16F, CUBLAS_COMPUTE_32F);
    const long long pairs = (long long)M * C;
    rotary<<<blocks(pairs), 256, 0, h->stream>>>(pairs, C, L, hd, table, v);
}

void band_attention(Handle* h, int B, int L, int S, const __half* q, const __half* k, const __half* v,
                    __half* s, __half* o) {
    const float scale = 0.125f, one = 1.0f, zero = 0.0f;
    // Column-major view: S^T (L x L) = K Q^T per batch.
    ok(cublasGemmStridedBatchedEx(h->blas, CUBLAS_OP_T, CUBLAS_OP_N, L, L, 64, &scale, k, CUDA_R_16F, 64,
                                  (long long)L * 64, q, CUDA_R_16F, 64, (long long)L * 64, &zero, s,
                                  CUDA_R_16F, L, (long long)L * L, B, CUBLAS_COMPUTE_32F,
                                  CUBLAS_GEMM_DEFAULT),
       "scores");
    const long long rows = (long long)B * L;
    band_softmax<<<(unsigned)((rows + 7) / 8), 256, 0, h->stream>>>(rows, L, S, s);
    // O^T (64 x L) = V^T P^T per batch.
    ok(cublasGemmStridedBatchedEx(h->blas, CUBLAS_OP_N, CUBLAS_OP_N, 64, L, L, &one, v, CUDA_R_16F, 64,
                                  (long long)L * 64, s, CUDA_R_16F, L, (long long)L * L, &zero, o, CUDA_R_16F,
                                  64, (long long)L * 64, B, CUBLAS_COMPUTE_32F, CUBLAS_GEMM_DEFAULT),
       "values");
}

}  // namespace vyr_peer
