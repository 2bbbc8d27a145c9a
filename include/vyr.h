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

/* These functions wait for their tables: each launches on the default stream, then calls
 * cudaDeviceSynchronize() (which waits for every stream of the device) and returns cudaGetLastError(): 0 on
 * success, otherwise the runtime's error code, which may also come from earlier asynchronous work. A launch
 * configuration the runtime refuses runs nothing and is returned the same way. Sizes, pointers and index
 * tables are not otherwise checked. All scores are float in log space.
 *
 * The kernels are exported under their plain names, so a caller may launch them itself with
 * cudaLaunchKernel((const void*)name, grid, block, args, smem, stream). Their parameters are those of the
 * matching host function, in the order given below for each kernel.
 *
 * Sparse CRF. Sizes: T steps, N chunks, C states, NZ transitions into (and out of) every state.
 *   Ms, Ms_out   (T, N, C, NZ): element (t, n, s, k) at ((t*N + n)*C + s)*NZ + k, the k-th transition into
 *                state s at step t;
 *   idx          (C, NZ) int: idx[s*NZ + k] is the source state of transition (s, k);
 *   idx_T        (C, NZ) int: idx_T[s*NZ + k] is the position j*NZ + k' (within one step of Ms) of the k-th
 *                transition leaving s; its destination is j. Every state lists exactly NZ;
 *   init_scores, final_scores, Z (N, C): element n*C + s;
 *   alpha, beta  (T + 1, N, C): element (t*N + n)*C + s; alpha step 0 = init_scores, beta step T =
 *                final_scores.
 * Families, by suffix: max (maximum, NZ = 5), log_NZ5 (log-sum-exp, NZ = 5), log_NZ3 (log-sum-exp, NZ = 3).
 * The product is float addition. In the log semiring a state that no path reaches scores -inf.
 * Host functions launch grid (N), block (C), 8*C bytes of dynamic shared memory: C may not exceed the
 * device's block limit (1024). The kernels need blockDim.x >= C (a narrower block writes nothing) and
 * 8*blockDim.x bytes of dynamic shared memory. T = 0 writes only alpha step 0, beta step 0 (the final
 * scores) or Z = init + final; T < 0 writes nothing.
 *
 * logZ_fwd_host_<family>(T, N, C, reserved, Z, Ms_out, Ms, init_scores, final_scores, idx):
 *   Ms_out(t, n, s, k) = Ms(t, n, s, k) + alpha_t[idx[s*NZ + k]] and Z[n*C + s] = alpha_T[s] +
 *   final_scores[n*C + s]; the chunk's score is the semiring sum of Z over s. The fourth argument is ignored
 * (any integer or pointer; C++ callers may pass either); alpha is not written. Kernel logz_fwd_<family>(Z,
 * Ms_out, Ms, init_scores, final_scores, idx, T, N, C). fwd_scores_host_sparse_<family>(alpha, Ms,
 * init_scores, idx, T, N, C): the forward table. Kernel fwd_scores_<family>, same arguments in the same
 * order. bwd_scores_host_sparse_<family>(beta, Ms, final_scores, idx_T, T, N, C): the backward table. Kernel
 * bwd_scores_<family>, same arguments in the same order. */

/* Seen from host code, a kernel's name is the address of its launch stub. */
#if defined(__CUDACC__)
#define VYR_TRAINING_KERNEL __global__
#else
#define VYR_TRAINING_KERNEL
#endif

VYR_API int logZ_fwd_host_max(int T, int N, int C, const void* ignored, float* Z, float* Ms_out,
                              const float* Ms, const float* init_scores, const float* final_scores,
                              const int* idx);
VYR_API int fwd_scores_host_sparse_max(float* alpha, const float* Ms, const float* init_scores,
                                       const int* idx, int T, int N, int C);
VYR_API int bwd_scores_host_sparse_max(float* beta, const float* Ms, const float* final_scores,
                                       const int* idx_T, int T, int N, int C);
VYR_API VYR_TRAINING_KERNEL void logz_fwd_max(float* Z, float* Ms_out, const float* Ms,
                                              const float* init_scores, const float* final_scores,
                                              const int* idx, int T, int N, int C);
VYR_API VYR_TRAINING_KERNEL void fwd_scores_max(float* alpha, const float* Ms, const float* init_scores,
                                                const int* idx, int T, int N, int C);
VYR_API VYR_TRAINING_KERNEL void bwd_scores_max(float* beta, const float* Ms, const float* final_scores,
                                                const int* idx_T, int T, int N, int C);

VYR_API int logZ_fwd_host_log_NZ5(int T, int N, int C, const void* ignored, float* Z, float* Ms_out,
                                  const float* Ms, const float* init_scores, const float* final_scores,
                                  const int* idx);
VYR_API int fwd_scores_host_sparse_log_NZ5(float* alpha, const float* Ms, const float* init_scores,
                                           const int* idx, int T, int N, int C);
VYR_API int bwd_scores_host_sparse_log_NZ5(float* beta, const float* Ms, const float* final_scores,
                                           const int* idx_T, int T, int N, int C);
VYR_API VYR_TRAINING_KERNEL void logz_fwd_log_NZ5(float* Z, float* Ms_out, const float* Ms,
                                                  const float* init_scores, const float* final_scores,
                                                  const int* idx, int T, int N, int C);
VYR_API VYR_TRAINING_KERNEL void fwd_scores_log_NZ5(float* alpha, const float* Ms, const float* init_scores,
                                                    const int* idx, int T, int N, int C);
VYR_API VYR_TRAINING_KERNEL void bwd_scores_log_NZ5(float* beta, const float* Ms, const float* final_scores,
                                                    const int* idx_T, int T, int N, int C);

VYR_API int logZ_fwd_host_log_NZ3(int T, int N, int C, const void* ignored, float* Z, float* Ms_out,
                                  const float* Ms, const float* init_scores, const float* final_scores,
                                  const int* idx);
VYR_API int fwd_scores_host_sparse_log_NZ3(float* alpha, const float* Ms, const float* init_scores,
                                           const int* idx, int T, int N, int C);
VYR_API int bwd_scores_host_sparse_log_NZ3(float* beta, const float* Ms, const float* final_scores,
                                           const int* idx_T, int T, int N, int C);
VYR_API VYR_TRAINING_KERNEL void logz_fwd_log_NZ3(float* Z, float* Ms_out, const float* Ms,
                                                  const float* init_scores, const float* final_scores,
                                                  const int* idx, int T, int N, int C);
VYR_API VYR_TRAINING_KERNEL void fwd_scores_log_NZ3(float* alpha, const float* Ms, const float* init_scores,
                                                    const int* idx, int T, int N, int C);
VYR_API VYR_TRAINING_KERNEL void bwd_scores_log_NZ3(float* beta, const float* Ms, const float* final_scores,
                                                    const int* idx_T, int T, int N, int C);

#ifdef __cplusplus
/* The ignored fourth argument may be an integer as well as a pointer. */
#define VYR_LOGZ_INTEGER_OVERLOAD(suffix)                                                                    \
    inline int logZ_fwd_host_##suffix(int T, int N, int C, int, float* Z, float* Ms_out, const float* Ms,    \
                                      const float* init_scores, const float* final_scores, const int* idx) { \
        return logZ_fwd_host_##suffix(T, N, C, static_cast<const void*>(nullptr), Z, Ms_out, Ms,             \
                                      init_scores, final_scores, idx);                                       \
    }
VYR_LOGZ_INTEGER_OVERLOAD(max)
VYR_LOGZ_INTEGER_OVERLOAD(log_NZ5)
VYR_LOGZ_INTEGER_OVERLOAD(log_NZ3)
#undef VYR_LOGZ_INTEGER_OVERLOAD
#endif

/* CTC-style forward-backward over a left-to-right lattice: at each step the alignment stays at its position
 * or moves one forward. Sizes: T steps, N chunks, S positions.
 *   stay_scores  (T, N, S): element (t*N + n)*S + s, staying at s during step t;
 *   move_scores  (T, N, S - 1): element (t*N + n)*(S - 1) + s, moving from s to s + 1 during step t;
 *   alpha        (T + 1, N, S): step 0 (initial scores) supplied by the caller, steps 1..T written;
 *   beta_stay    (T, N, S): beta_{t+1}[s] + stay_scores(t, n, s);
 *   beta_move    (T, N, S): move_scores(t, n, s) + beta_{t+1}[s + 1], written for s < S - 1 only;
 *   beta         fwd_bwd_logspace_host: (N, S) final scores, read only;
 *                fwd_bwd_logspace_loop_host: (T + 1, N, S), step T supplied (final scores), steps
 *                0..T-1 written.
 * A missing transition scores -1.0e38; a caller's -inf marks an unreachable position and stays -inf.
 * T <= 0 writes nothing. Both functions give the same alpha, beta_stay and beta_move.
 *
 * fwd_bwd_logspace_host(T, N, S, alpha, beta, beta_stay, beta_move, stay_scores, move_scores): one thread per
 *   position, grid (N, 2), block (S), 8*S bytes of dynamic shared memory; S above the device's block limit
 *   (1024) is refused by the runtime and that error returned.
 *   Kernel fwd_bwd_logspace(alpha, beta, beta_stay, beta_move, stay_scores, move_scores, T, N, S); needs
 *   blockDim.x >= S (a narrower block writes nothing) and 8*blockDim.x bytes of dynamic shared memory.
 * fwd_bwd_logspace_loop_host(T, N, S, alpha, beta, beta_stay, beta_move, stay_scores, move_scores): any S,
 *   grid (N, 2), block (min(S, 1024)), no dynamic shared memory.
 *   Kernel fwd_bwd_logspace_loop, same kernel arguments as fwd_bwd_logspace; any block size. */
VYR_API int fwd_bwd_logspace_host(int T, int N, int S, float* alpha, float* beta, float* beta_stay,
                                  float* beta_move, const float* stay_scores, const float* move_scores);
VYR_API int fwd_bwd_logspace_loop_host(int T, int N, int S, float* alpha, float* beta, float* beta_stay,
                                       float* beta_move, const float* stay_scores, const float* move_scores);
VYR_API VYR_TRAINING_KERNEL void fwd_bwd_logspace(float* alpha, float* beta, float* beta_stay,
                                                  float* beta_move, const float* stay_scores,
                                                  const float* move_scores, int T, int N, int S);
VYR_API VYR_TRAINING_KERNEL void fwd_bwd_logspace_loop(float* alpha, float* beta, float* beta_stay,
                                                       float* beta_move, const float* stay_scores,
                                                       const float* move_scores, int T, int N, int S);

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
