// Peers of the tiled transformer kernels for the GPU benchmark: cuBLAS products followed by separate epilogue
// kernels, and a band-masked attention from cuBLAS batched products with a masked softmax kernel between them
// (the arithmetic of a framework's scaled-dot-product attention with a band mask, written here because no
// framework is installed on the benchmark machines). Row-major matrices; the peers pick their own layouts.
#pragma once

#include <cuda_fp16.h>
#include <cuda_runtime.h>

namespace vyr_peer {

struct Handle;
Handle* create(cudaStream_t stream);
void destroy(Handle* h);

// y = x w^T + bias (half, float accumulation), x M x K, w N x K.
void linear_half(Handle* h, int M, int N, int K, const __half* x, const __half* w, const __half* bias,
                 __half* y);
// int32 product of int8 x and w, then y = half(xs[r] ws[c] acc) + bias; acc is M x N int32 scratch.
void linear_int8(Handle* h, int M, int N, int K, const signed char* x, const signed char* w, const float* xs,
                 const float* ws, const __half* bias, int* acc, __half* y);
// v = x w^T (M x F, half), then y = v_value * silu(v_gate) over groups of 16 (M x F/2).
void swiglu(Handle* h, int M, int F, int K, const __half* x, const __half* w, __half* v, __half* y);
// v = x w^T (M x 3 C), then rotate query and key pairs with table (L x hd) in place.
void qkv_rotary(Handle* h, int M, int C, int K, int L, int hd, const __half* x, const __half* w,
                const __half* table, __half* v);
// Per batch b of B = N H: S = (q k^T) / 8 (L x L), band-masked softmax by tiles of 16 (S tiles each side),
// o = P v. q, k, v, o: [B][L][64]; s: B L L halves of scratch.
void band_attention(Handle* h, int B, int L, int S, const __half* q, const __half* k, const __half* v,
                    __half* s, __half* o);

}  // namespace vyr_peer
