/* libvyr: GPU kernels for neural-network basecalling.
 *
 * Every function here runs on the calling host thread: it checks its sizes and type codes, picks a compiled
 * kernel variant for the current device, enqueues it on the caller's stream and returns without waiting
 * (the training-score functions are the exception: they synchronise the device). The caller owns the device,
 * the streams and every buffer; the library allocates nothing and keeps no state between calls.
 *
 * Conventions: device buffers are plain device pointers; sizes are 32-bit ints; __half is IEEE binary16. */
#ifndef VYR_H
#define VYR_H

#include <cuda_runtime_api.h>
#include <cuda_fp16.h>

#ifdef __cplusplus
#define VYR_EXTERN_C extern "C"
#else
#define VYR_EXTERN_C
/* cuda_fp16.h defines the storage type only for C. */
typedef __half_raw __half;
#endif

#if defined(VYR_BUILDING_LIBRARY)
#define VYR_API VYR_EXTERN_C __attribute__((visibility("default")))
#else
#define VYR_API VYR_EXTERN_C
#endif

/* Result of the exported functions that do not return a cudaError_t. */
typedef enum VyrStatus {
    VyrSuccess = 0,     /* enqueued, or nothing to do; for the availability queries: available */
    VyrUnsupported = 1, /* nothing enqueued: a size, type code or option outside what is handled, or a
                           failed device query; for the availability queries: not available */
    VyrNoKernel = 2,    /* host_linear: no kernel for this combination, or too little shared memory */
    VyrKernelFailed = 3 /* host_linear, host_linear_swiglu_f16: the tensor-core kernel reported failure */
} VyrStatus;

/* Activation applied after a bias add; passed to the exported functions as a plain int. */
#ifdef __cplusplus
enum class VyrActivation : int { identity = 0, swish = 1, swish_clamp = 2, tanh = 3, tanh_x5 = 4 };
#else
typedef int VyrActivation;
#endif
enum {
    VYR_ACTIVATION_IDENTITY = 0,    /* x */
    VYR_ACTIVATION_SWISH = 1,       /* x * sigmoid(x) */
    VYR_ACTIVATION_SWISH_CLAMP = 2, /* min(swish(x), 3.5): clamps from above only */
    VYR_ACTIVATION_TANH = 3,        /* tanh(x) */
    VYR_ACTIVATION_TANH_X5 = 4      /* 5 * tanh(x) */
};

/* Element-type codes of untyped tensor arguments. */
enum { VYR_TYPE_INT8 = 1, VYR_TYPE_HALF = 2, VYR_TYPE_FLOAT = 3 };

/* ---- Availability and sanity ---------------------------------------------------------------------- */

/* VyrSuccess when the current device has compute capability 8.0 or later (the tiled transformer family);
 * VyrUnsupported otherwise, or when the device cannot be queried. */
VYR_API int vyr_tc_is_available(void);
/* VyrSuccess only on compute capability exactly 7.0 (the Volta transformer family); 7.2 and 7.5 included,
 * every other device gives VyrUnsupported, as does a failed query. */
VYR_API int vyr_volta_tc_is_available(void);
/* Always VyrSuccess; does nothing. Lets a caller check that the library loads and links. */
VYR_API int sanity_test(void);
/* Always VyrUnsupported; does nothing with its arguments. The vendor GEMM path is not part of this library:
 * the arguments are (stream, M, N, K, A, B, C) as the linear layers would pass them. */
VYR_API int host_cublas_gemm_f16(cudaStream_t stream, int m, int n, int k, const __half* a, const __half* b,
                                 __half* c);

/* ---- Decoding: CRF scores to bases, qualities and moves ------------------------------------------- */


/* (end of decoding) */


/* ---- Training scores: sparse CRF and CTC forward/backward tables ---------------------------------- */


/* (end of training scores) */


/* ---- Convolution, bias/activation, int8 conversion, layout transforms ------------------------------ */

/* One-dimensional convolution over time, half in and out, float accumulation, fused bias and activation.
 * in: [N][T_in][C_in]; weights: [W][C_in][C_out]; bias: [C_out] (required); output sequence n starts at
 * out + n * out_stride and holds [T_out][C_out] with T_out = T_in / stride; taps outside the sequence are
 * zero padding (`padding` steps before the first input step). Compiled shapes (activation, C_in, C_out, W):
 * swish (1,4,5) (1,16,5) (4,16,5) (13,16,5) (16,16,5); swish_clamp (1,16,5) (13,16,5) (16,16,5);
 * tanh (1,16,5) (16,16,5) (1,64,5). Arguments in order as below; `activation` is a VyrActivation value.
 * Returns VyrSuccess once enqueued (launch errors are left to the next error query), VyrUnsupported with
 * nothing enqueued for a shape outside the table, stride < 1, N * T_in * C_in >= 2^31, or a failed device
 * query. Inputs must not alias the output. */
VYR_API int host_convolution_f16(cudaStream_t stream, int N, int C_in, int C_out, int T_in, int W, int stride,
                                 int padding, int out_stride, const __half* in, __half* out,
                                 const __half* weights, const __half* bias, int activation);

/* matrix[r * stride + c] = activation(matrix[r * stride + c] + bias[c]) for r < rows, c < cols, in place,
 * evaluated in float and rounded to half. bias may be NULL (adds 0). Activations 0..4.
 * Returns VyrSuccess (also when nothing is to do or the launch is refused: (cols + 127) / 128 must not exceed
 * 65535), VyrUnsupported for any other activation, nothing enqueued. */
VYR_API int host_bias_activation_f16_inplace(cudaStream_t stream, int rows, int cols, int stride,
                                             __half* matrix, const __half* bias, int activation);

/* out = encode(activation(decode(in) + bias[c])) over an (N, T, C) tensor, changing the channel interleaving:
 * with chunk width k, element (n, t, c) lies at n*T*C + (c / k)*(T*k) + t*k + c % k; a chunk of 0 means C.
 * Type codes VYR_TYPE_INT8 (symmetric fixed point of [-1, 1], scale 127, clamped, ties to even) and
 * VYR_TYPE_HALF. Accepted (activation: in -> out): 0: int8 -> half, half -> int8; 1, 2, 3: half -> half,
 * half -> int8. bias: C halves or NULL. Input and output must not overlap.
 * Returns VyrSuccess (also when nothing is to do or the launch is refused: (T + 3) / 4 and (C + 127) / 128
 * must not exceed 65535), VyrUnsupported with nothing enqueued for another combination or a chunk width that
 * is negative, above C, or does not divide C. */
VYR_API int host_bias_activation_interleave_convert(cudaStream_t stream, int N, int T, int C, const void* in,
                                                    int in_chunk, int in_type, void* out, int out_chunk,
                                                    int out_type, const __half* bias, int activation);

/* Copies a strided (d0, d1, d2) tensor, element (i0, i1, i2) at i0*s0 + i1*s1 + i2*s2 on each side,
 * converting int8 -> half or half -> int8 (encoding as above), or rearranging half -> half (a transpose when
 * the output-innermost dimension is not the input's). Input and output must not overlap. Returns VyrSuccess
 * (also when nothing is to do or the launch is refused), VyrUnsupported with nothing enqueued for any other
 * pair of type codes or a failed device query. */
VYR_API int host_convert(cudaStream_t stream, const void* in, int in_s0, int in_s1, int in_s2, int in_type,
                         void* out, int out_s0, int out_s1, int out_s2, int out_type, int d0, int d1, int d2);

/* Unfolds (N, T, C) over time: for output step t < T / stride of sequence n, the W*C halves at
 * out + n*out_batch_stride + t*out_time_stride are input steps t*stride - W/2 .. + W - 1 (all channels),
 * zero outside [0, T). Returns VyrUnsupported (1) with nothing enqueued when C*W > 2048 or stride < 1,
 * otherwise cudaPeekAtLastError() after the launch (0: accepted). */
VYR_API int host_window_ntwc_f16(cudaStream_t stream, int N, int T, int C, int W, int stride,
                                 int out_batch_stride, int out_time_stride, const __half* in, __half* out);

/* (end of convolution and element-wise) */


/* ---- Recurrent layers ----------------------------------------------------------------------------- */


/* (end of recurrent layers) */


#endif /* VYR_H */
