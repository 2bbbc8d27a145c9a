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


/* (end of convolution and element-wise) */


/* ---- Recurrent layers ----------------------------------------------------------------------------- */

/* One whole LSTM layer of size H = 96 or 128 over T steps for N sequences, the recurrent weights held in
 * registers. The caller has already applied the input weights: in is [N][T][4H] half, gate blocks i, f, g, o.
 * weights is [H][4H] (row k = unit k of the previous hidden state, column gate*H + unit): half when scale is
 * null, else signed 8-bit with scale[4H] floats, the stored weight being the real weight times scale[column].
 * bias is [4H] half; out is [N][T][H] half, h(t) stored at its own t in both directions. direction is +1
 * (t = 0 .. T-1) or -1 (t = T-1 .. 0); h and c start at zero in every call.
 * Served: N a multiple of 4; H = 96 with half or 8-bit weights; H = 128 with 8-bit weights. Anything else
 * (and N or T negative) returns VyrUnsupported and enqueues nothing; otherwise the result is
 * cudaPeekAtLastError() after the enqueue (N = 0 enqueues nothing). */
VYR_API int host_small_lstm(cudaStream_t stream, int N, int T, int H, int direction, const __half* in,
                            const void* weights, const __half* bias, const float* scale, __half* out);

/* The pointwise part of one LSTM step for N rows of layer size H: gates [N][4H] half (input and recurrent
 * products, gate blocks i, f, g, o) plus bias [4H] half; state [N][H] half is the cell state, read and
 * overwritten; h of row r, unit u goes to out[r * 2H + u], leaving the other H values of each row untouched.
 * Returns nothing: a launch failure stays in the runtime's error state. N <= 0 or H <= 0 does nothing. */
VYR_API void host_lstm_step_f16(cudaStream_t stream, int N, int H, const __half* bias, const __half* gates,
                                __half* state, __half* out);


/* (end of recurrent layers) */


#endif /* VYR_H */
