/* libvyr: GPU kernels for neural-network basecalling.
 *
 * Every function here runs on the calling host thread: it checks its sizes and type codes, picks a compiled
 * kernel variant for the current device, enqueues it on the caller's stream and returns without waiting
 * (the training-score functions are the exception: they synchronise the device). The caller owns the device,
 * the streams and every buffer; the library allocates nothing and keeps no state between calls.
 *
 * Conventions: device buffers are plain device pointers; sizes are 32-bit ints; __half is IEEE binary16.
 *
 * Results. Every function follows one of these conventions; the family sections below say what each status
 * means for each function.
 *
 *   convention                  functions
 *   VyrStatus                   vyr_tc_is_available, vyr_volta_tc_is_available (0 available, 1 not);
 *                               sanity_test (always 0); host_cublas_gemm_f16 (always 1);
 *                               host_post_gemm_no_modbase (always 0: a refused launch shows at the caller's
 *                               next error query); host_convolution_f16, host_bias_activation_f16_inplace,
 *                               host_bias_activation_interleave_convert, host_convert,
 *                               host_rotary_embed_transpose_f16, host_fused_residual_rmsnorm_f16,
 *                               host_masked_attention_f16, vyr_linear, vyr_mm_swiglu, vyr_qkv_rotary,
 *                               vyr_masked_attention, vyr_rmsnorm_residual, the vyr_volta_* functions
 *                               (0 enqueued or nothing to do, 1 refused, nothing enqueued); host_linear
 *                               (0, 1, 2 no kernel, 3 kernel failed); host_linear_swiglu_f16 (0, 1, 3)
 *   cudaError_t, cleared        host_back_guide_step, host_beam_search_step, host_compute_posts_step,
 *                               host_run_decode: cudaGetLastError() after the enqueue (refused sizes:
 *                               cudaErrorInvalidValue, nothing enqueued)
 *   cudaError_t, after a wait   the training functions (logZ_fwd_host_*, fwd_scores_host_sparse_*,
 *                               bwd_scores_host_sparse_*, fwd_bwd_logspace_host, fwd_bwd_logspace_loop_host):
 *                               cudaDeviceSynchronize(), then cudaGetLastError()
 *   VyrStatus or cudaError_t,   host_small_lstm, host_window_ntwc_f16: VyrUnsupported when the sizes are not
 *   peeked                      handled, else cudaPeekAtLastError() after the enqueue. Both codes are
 *                               integers, and 1 is both VyrUnsupported and cudaErrorInvalidValue: for these
 *                               two functions a 1 means either a refusal (nothing enqueued) or an invalid-
 *                               value error of the launch or of an earlier call, still pending
 *   nothing                     host_lstm_step_f16; host_cutlass_lstm (which ends the process with exit
 *                               status 1 and a message on a configuration it cannot serve)
 *
 * A cleared result has been taken out of the runtime's last-error state; a peeked one is still there for the
 * caller's next query. Functions with a VyrStatus result do not inspect their launch (except host_linear and
 * host_linear_swiglu_f16, which report it as 3): a configuration the runtime refuses is seen at the caller's
 * next error query. */
#ifndef VYR_H
#define VYR_H

#include <cuda_runtime_api.h>
#include <cuda_fp16.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

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

/* CRF state space: a state is the last k bases of the path (bases 0..3 = "ACGT"), two bits per base with the
 * most recent base lowest, so num_states = 4^k. The network emits num_scores = 4 * num_states half scores per
 * timestep; the step into state s' from a state whose dropped (oldest) base is k reads index 4 * s' + k. A
 * stay keeps the state and scores the constant fixed_stay_score. Supported: num_states 4, 16, 64, 256, 1024,
 * 4096.
 *
 * A batch is a list of chunks concatenated along one timestep axis, in array order; the last chunk of the
 * array ends the axis. Per-timestep arrays (scores, states, moves, sequence, qstring) are indexed on that
 * axis. */

/* One chunk of the batch (input; read-only for the decoder). */
typedef struct ChunkDesc {
    int32_t timestep_offset; /* first row of the chunk on the timestep axis */
    int32_t num_timesteps;   /* T, timesteps in the chunk */
    int32_t unused[2];       /* free for the caller; never read by the decoder */
} ChunkDesc;

/* Per-chunk result (output). */
typedef struct ChunkResult {
    int32_t timestep_offset; /* copy of the ChunkDesc field */
    int32_t num_timesteps;   /* copy of the ChunkDesc field */
    int32_t num_bases;       /* bases written for this chunk */
    float score;             /* log score of the best path; -1.0 when the beam search failed (see below) */
    float stay_fraction;     /* (T - num_bases) / T */
    float move_fraction;     /* num_bases / T */
    int32_t reserved;        /* always 0 */
    float mean_error;        /* mean per-base error probability */
} ChunkResult;

/* One entry of a beam row in the workspace: the traceback record of one path at one timestep. */
typedef struct BeamElement {
    int16_t state;              /* CRF state of this path at this timestep */
    uint8_t prev_element_index; /* index of its predecessor in the previous row */
    uint8_t stay;               /* 1 when reached by a stay, 0 by a step */
} BeamElement;

/* A candidate or beam member while the beam search runs (in shared memory). */
typedef struct BeamFrontElement {
    uint32_t hash;              /* CRC-32C identity of the path's base sequence; equal hashes are merged */
    float score;                /* path log score (plus the backward guide while ranking) */
    int16_t state;              /* CRF state */
    uint8_t prev_element_index; /* index of the parent in the current beam */
    uint8_t stay;               /* 1 for a stay candidate */
} BeamFrontElement;

#ifdef __cplusplus
#define VYR_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define VYR_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif
/* These records cross the boundary as raw device memory; their layouts are fixed. */
VYR_STATIC_ASSERT(sizeof(ChunkDesc) == 16, "ChunkDesc is 16 bytes");
VYR_STATIC_ASSERT(offsetof(ChunkDesc, timestep_offset) == 0, "ChunkDesc layout");
VYR_STATIC_ASSERT(offsetof(ChunkDesc, num_timesteps) == 4, "ChunkDesc layout");
VYR_STATIC_ASSERT(sizeof(ChunkResult) == 32, "ChunkResult is 32 bytes");
VYR_STATIC_ASSERT(offsetof(ChunkResult, timestep_offset) == 0, "ChunkResult layout");
VYR_STATIC_ASSERT(offsetof(ChunkResult, num_timesteps) == 4, "ChunkResult layout");
VYR_STATIC_ASSERT(offsetof(ChunkResult, num_bases) == 8, "ChunkResult layout");
VYR_STATIC_ASSERT(offsetof(ChunkResult, score) == 12, "ChunkResult layout");
VYR_STATIC_ASSERT(offsetof(ChunkResult, stay_fraction) == 16, "ChunkResult layout");
VYR_STATIC_ASSERT(offsetof(ChunkResult, move_fraction) == 20, "ChunkResult layout");
VYR_STATIC_ASSERT(offsetof(ChunkResult, reserved) == 24, "ChunkResult layout");
VYR_STATIC_ASSERT(offsetof(ChunkResult, mean_error) == 28, "ChunkResult layout");
VYR_STATIC_ASSERT(sizeof(BeamElement) == 4, "BeamElement takes the room of one float in the workspace");
VYR_STATIC_ASSERT(offsetof(BeamElement, state) == 0, "BeamElement layout");
VYR_STATIC_ASSERT(offsetof(BeamElement, prev_element_index) == 2, "BeamElement layout");
VYR_STATIC_ASSERT(offsetof(BeamElement, stay) == 3, "BeamElement layout");
VYR_STATIC_ASSERT(sizeof(BeamFrontElement) == 12, "BeamFrontElement is 12 bytes");
VYR_STATIC_ASSERT(offsetof(BeamFrontElement, hash) == 0, "BeamFrontElement layout");
VYR_STATIC_ASSERT(offsetof(BeamFrontElement, score) == 4, "BeamFrontElement layout");
VYR_STATIC_ASSERT(offsetof(BeamFrontElement, state) == 8, "BeamFrontElement layout");
VYR_STATIC_ASSERT(offsetof(BeamFrontElement, prev_element_index) == 10, "BeamFrontElement layout");
VYR_STATIC_ASSERT(offsetof(BeamFrontElement, stay) == 11, "BeamFrontElement layout");

/* Workspace (caller-allocated, no initialisation needed). With R = timestep_offset + num_timesteps of the
 * last chunk, plus num_chunks (every chunk owns T + 1 rows): backward guides: R * num_states floats; chunk
 * c's row t (0..T) at float (timestep_offset + c + t) * num_states; beam rows: R * beam_width BeamElements
 * right after the guides; chunk c's row t at element (timestep_offset + c + t) * beam_width of that region.
 * Bytes needed, given end_of_axis = timestep_offset + num_timesteps of the last chunk: */
static inline size_t vyr_decode_workspace_bytes(int end_of_axis, int num_chunks, int num_scores,
                                                int beam_width) {
    return ((size_t)end_of_axis + (size_t)num_chunks) * ((size_t)(num_scores / 4) + (size_t)beam_width) * 4u;
}

#ifdef __cplusplus
/* Dynamic shared memory of the beam search: room to sort one row of float guides into a second buffer, and
 * ten BeamFrontElements per beam slot. */
__host__ __device__ inline int get_beamsearch_shared_mem_bytes(int num_states, int beam_width) {
    int sort_bytes = 2 * num_states * 4;
    int beam_bytes = 10 * beam_width * 12;
    return sort_bytes > beam_bytes ? sort_bytes : beam_bytes;
}
/* Dynamic shared memory of the posterior step: one scratch row and two forward rows. The second argument does
 * not enter the result. */
__host__ __device__ inline int get_post_calc_shared_mem_bytes(int num_states, int = 0) {
    return 3 * num_states * 4;
}

/* One chunk's scores as the decoder reads them: half to float, clamped to [-bound, bound]. A clamp of 0 means
 * no clamp. A NaN score reads as -bound, so it can never win a comparison. */
struct ClampScores {
    const __half* scores;
    float bound;

    __host__ __device__ ClampScores(const __half* s, float clamp)
        : scores(s), bound(clamp == 0.0f ? 3.4028235e38f : clamp) {}
    /* The same bound over the scores from element n on. */
    __host__ __device__ ClampScores from_offset(long long n) const {
        ClampScores r = *this;
        r.scores += n;
        return r;
    }
    __host__ __device__ float operator[](long long i) const {
        float x = __half2float(scores[i]);
        x = x > -bound ? x : -bound; /* max first: a NaN fails the comparison and becomes -bound */
        return x < bound ? x : bound;
    }
};
#endif

/* Score post-processing, in place over [total_timesteps][num_scores] half scores:
 * scores = scale * tanh(scores + bias[column]), with a fast exponential-based tanh. Runs on stream 0 (it
 * takes no stream). Always returns VyrSuccess; a refused launch shows at the caller's next
 * cudaGetLastError(). */
VYR_API int host_post_gemm_no_modbase(const __half* bias, __half* scores, int num_scores, int total_timesteps,
                                      float scale);

/* The four decoder steps. Enqueue them on one stream in this order with the same argument values, after the
 * post-processing: host_back_guide_step, host_beam_search_step, host_compute_posts_step, host_run_decode.
 * Arguments, in order:
 *   stream, chunks [num_chunks], chunk_results [num_chunks], num_chunks,
 *   scores [axis][num_scores] (raw scores in; posteriors [T + 1][num_states] per chunk written over them by
 *     host_compute_posts_step),
 *   score_clamp (scores clamped to +-score_clamp when read; 0 = no clamp), num_scores, workspace (see above),
 *   states [axis] (base index 0..3 per timestep), moves [axis] (1 where a timestep starts a base),
 *   reserved (unused, may be NULL), sequence [axis] and qstring [axis] (base and Phred+33 quality
 * characters), q_scale, q_shift (quality = clamp(q_scale * Phred + q_shift, 1, 50)), beam_width (1..256),
 *   beam_cut (candidates scoring below best - ln(beam_cut) are dropped), fixed_stay_score,
 *   and for host_run_decode only: timestep_aligned (1: each base at the first timestep of its run; otherwise
 *   the chunk's bases fill sequence/qstring from timestep_offset on without gaps, num_bases of them).
 *
 * Each returns cudaGetLastError() after the enqueue (a cudaError_t value). A num_scores that is not 4 * 4^k
 * (4^k from 4 to 4096), a beam_width outside 1..256 (beam search and decode, which use it) or a negative
 * num_chunks is refused with cudaErrorInvalidValue and nothing is enqueued. num_chunks = 0 enqueues nothing.
 *
 * beam_cut: values that would leave no candidate standing are softened so that the best candidate always
 * survives: beam_cut in (0, 1) acts as 1 (keep only the best score and its ties) and beam_cut <= 0 (or NaN)
 * means no cut (only beam_width limits the beam).
 *
 * Failure output: when a chunk's beam search cannot proceed (NaN guides leave no initial beam, or no
 * candidate with a finite score is left at some timestep) its score is -1.0. host_run_decode treats any
 * negative score as a failed read: it writes one base "A" with quality "!" at timestep_offset, moves 1, 0,
 * ..., states 0, and num_bases = 1, stay_fraction = 0, move_fraction = 1, mean_error = 1. A chunk with
 * num_timesteps = 0 writes nothing on the timestep axis (it owns no row there); its summary holds num_bases =
 * 0 and zero fractions and mean_error. */
VYR_API int host_back_guide_step(cudaStream_t stream, const ChunkDesc* chunks, ChunkResult* chunk_results,
                                 int num_chunks, __half* scores, float score_clamp, int num_scores,
                                 float* workspace, int* states, char* moves, float* reserved, char* sequence,
                                 char* qstring, float q_scale, float q_shift, int beam_width, float beam_cut,
                                 float fixed_stay_score);
VYR_API int host_beam_search_step(cudaStream_t stream, const ChunkDesc* chunks, ChunkResult* chunk_results,
                                  int num_chunks, __half* scores, float score_clamp, int num_scores,
                                  float* workspace, int* states, char* moves, float* reserved, char* sequence,
                                  char* qstring, float q_scale, float q_shift, int beam_width, float beam_cut,
                                  float fixed_stay_score);
VYR_API int host_compute_posts_step(cudaStream_t stream, const ChunkDesc* chunks, ChunkResult* chunk_results,
                                    int num_chunks, __half* scores, float score_clamp, int num_scores,
                                    float* workspace, int* states, char* moves, float* reserved,
                                    char* sequence, char* qstring, float q_scale, float q_shift,
                                    int beam_width, float beam_cut, float fixed_stay_score);
VYR_API int host_run_decode(cudaStream_t stream, const ChunkDesc* chunks, ChunkResult* chunk_results,
                            int num_chunks, __half* scores, float score_clamp, int num_scores,
                            float* workspace, int* states, char* moves, float* reserved, char* sequence,
                            char* qstring, float q_scale, float q_shift, int beam_width, float beam_cut,
                            float fixed_stay_score, int timestep_aligned);

/* The kernels behind them are exported under their plain names with the host functions' parameters minus the
 * stream, so a caller may launch them itself (cudaLaunchKernel). The host functions' launch geometry, N =
 * num_chunks, num_states = num_scores / 4:
 *   post_gemm_no_modbase  grid 1024, block 1024, no dynamic shared memory;
 *   back_guide_step       grid N, block 1024 when num_scores >= 4100, else num_states; none;
 *   beam_search_step      grid N, block 32 (one warp per chunk); get_beamsearch_shared_mem_bytes() bytes;
 *   compute_posts_step    grid N, block as back_guide_step; get_post_calc_shared_mem_bytes() bytes;
 *   decode_step           grid (N + 31) / 32, block 32 (one thread per chunk); none.
 * Seen from host code, a kernel's name is the address of its launch stub. */
#if defined(__CUDACC__)
#define VYR_DECODER_KERNEL __global__
#else
#define VYR_DECODER_KERNEL
#endif
VYR_API VYR_DECODER_KERNEL void post_gemm_no_modbase(const __half* bias, __half* scores, int num_scores,
                                                     int total_timesteps, float scale);
VYR_API VYR_DECODER_KERNEL void back_guide_step(const ChunkDesc* chunks, ChunkResult* chunk_results,
                                                int num_chunks, __half* scores, float score_clamp,
                                                int num_scores, float* workspace, int* states, char* moves,
                                                float* reserved, char* sequence, char* qstring, float q_scale,
                                                float q_shift, int beam_width, float beam_cut,
                                                float fixed_stay_score);
VYR_API VYR_DECODER_KERNEL void beam_search_step(const ChunkDesc* chunks, ChunkResult* chunk_results,
                                                 int num_chunks, __half* scores, float score_clamp,
                                                 int num_scores, float* workspace, int* states, char* moves,
                                                 float* reserved, char* sequence, char* qstring,
                                                 float q_scale, float q_shift, int beam_width, float beam_cut,
                                                 float fixed_stay_score);
VYR_API VYR_DECODER_KERNEL void compute_posts_step(const ChunkDesc* chunks, ChunkResult* chunk_results,
                                                   int num_chunks, __half* scores, float score_clamp,
                                                   int num_scores, float* workspace, int* states, char* moves,
                                                   float* reserved, char* sequence, char* qstring,
                                                   float q_scale, float q_shift, int beam_width,
                                                   float beam_cut, float fixed_stay_score);
VYR_API VYR_DECODER_KERNEL void decode_step(const ChunkDesc* chunks, ChunkResult* chunk_results,
                                            int num_chunks, __half* scores, float score_clamp, int num_scores,
                                            float* workspace, int* states, char* moves, float* reserved,
                                            char* sequence, char* qstring, float q_scale, float q_shift,
                                            int beam_width, float beam_cut, float fixed_stay_score,
                                            int timestep_aligned);

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
 * (any integer or pointer, see VyrIgnoredArg); alpha is not written. Kernel logz_fwd_<family>(Z,
 * Ms_out, Ms, init_scores, final_scores, idx, T, N, C). fwd_scores_host_sparse_<family>(alpha, Ms,
 * init_scores, idx, T, N, C): the forward table. Kernel fwd_scores_<family>, same arguments in the same
 * order. bwd_scores_host_sparse_<family>(beta, Ms, final_scores, idx_T, T, N, C): the backward table. Kernel
 * bwd_scores_<family>, same arguments in the same order. */

/* The ignored fourth argument of the log-partition functions: any integer or pointer. In C++ a one-pointer
 * record that converts from either (it is passed exactly as a pointer, so C and C++ callers use the same
 * symbol), which keeps a single function per name: calls with 0, NULL, nullptr, a pointer or an integer
 * variable all compile, and so does taking the function's address. */
#ifdef __cplusplus
struct VyrIgnoredArg {
    const void* unused;
    template <class T>
    VyrIgnoredArg(T) : unused(nullptr) {}
};
#else
typedef const void* VyrIgnoredArg;
#endif

/* Seen from host code, a kernel's name is the address of its launch stub. */
#if defined(__CUDACC__)
#define VYR_TRAINING_KERNEL __global__
#else
#define VYR_TRAINING_KERNEL
#endif

VYR_API int logZ_fwd_host_max(int T, int N, int C, VyrIgnoredArg ignored, float* Z, float* Ms_out,
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

VYR_API int logZ_fwd_host_log_NZ5(int T, int N, int C, VyrIgnoredArg ignored, float* Z, float* Ms_out,
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

VYR_API int logZ_fwd_host_log_NZ3(int T, int N, int C, VyrIgnoredArg ignored, float* Z, float* Ms_out,
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

/* One whole LSTM layer over T steps for a large batch on tensor cores (compute capability 8.0 and later), in
 * one persistent launch. type: VYR_TYPE_HALF or VYR_TYPE_INT8 (8-bit sequences carry 127 x, rounded with
 * halves away from zero); unused is never read. M: batch, L: layer size, T: steps; direction 1 runs forward,
 * any other value in reverse.
 *
 * seq holds T + 3 slices, each M rows by L columns: row-major with row stride lda (interleave 0) or the
 * column-major layout interleaved by 32 or 64 columns (element (r, k) at (k / I) * M * I + r * I + k % I;
 * lda is then not used). Step t reads [slice t'+2 | slice t'] and writes h into slice t'+1, with t' = t
 * forward and T - t in reverse: a forward layer reads x_t from slice t+2 and h(-1) from slice 0 and leaves
 * h_t in slice t+1; a reverse layer reads x_t from slice t+1 and its initial state from slice T+2 and leaves
 * h_t in slice t+2. A forward layer's output is thus a reverse layer's input on the same buffer.
 * weights: the 4L x 2L matrix, row 4u + g for unit u and gate g (i, f, g, o), row-major (interleave 0) or the
 * 2L x 4L transposed view row-major interleaved like seq. bias, scale: 4L half values in the same order
 * (scale only for 8-bit: pre-activation = sum / (127 scale) + bias). cell: M * L half values of cell state,
 * in the kernels' own tile order; zero it to start, keep it to continue a sequence in the next call.
 *
 * workspace may be null. The general path uses its first 12 bytes (three counters, zeroed on the stream by
 * each call) for the dynamic schedule, taken when a workspace is given and M / 64 differs from the
 * multiprocessor count; without one, min(P, M / 64) blocks each serve batch tiles b, b + P, ... (P the
 * multiprocessor count). The 384 path (L = 384, 8-bit, brf >= 0; brf > 0 requires it) needs an 8-byte
 * aligned workspace of 8 bytes per group of 12 co-resident blocks (as many groups as the device holds), at
 * most 4096 bytes: give it 4096. Its barrier words are zeroed on the stream by each call.
 *
 * Served: L a multiple of 64 (half) or 128 (8-bit) up to 1024, M a multiple of 64; on the 384 path M a
 * multiple of 32. M, L or T equal to 0 do nothing. Pointers seq, weights and cell must be 16-byte aligned,
 * and 2L * M, 2L and lda multiples of 16 bytes' worth of elements with lda >= L.
 *
 * Returns nothing. If the device cannot be queried, or type is neither code, nothing happens. A
 * configuration outside the above prints one of these and ends the process with exit status 1:
 * "Cutlass LSTM: Invalid interleave value %d", "Vyr Cutlass LSTM: cannot force BRF",
 * "Cutlass LSTM: Unsupported batch size, must be multiple of %d: %d" (also for a negative M),
 * "Cutlass LSTM: Unsupported layer size, must be multiple of %d, and <%d: %d" (also for a negative L),
 * "Vyr Cutlass LSTM: insufficient shared memory", or "Cutlass LSTM returned status %s" with
 * "Error Misaligned Operand" (alignment, lda < L), "Error Memory Allocation failed" (after "Vyr LSTM: failed
 * to set smem size %d"), "Error Workspace Null" (384 path without workspace or with too many groups) or
 * "Error Internal" (the launch was refused). */
VYR_API void host_cutlass_lstm(cudaStream_t stream, int type, int unused, int M, int L, int T, int direction,
                               int lda, void* seq, const void* weights, const __half* bias,
                               const __half* scale, __half* cell, void* workspace, int interleave, int brf);

/* (end of recurrent layers) */

/* ---- Transformer blocks (compute capability 8.0 and later), tiled layout ----------------------------- */

/* One named dimension of a TensorDesc: `name` is a character code ('M' = 77, 'm' = 109, ...; one dimension of
 * the QKV tensors is named 0), `size` an element count, `stride` in elements. */
typedef struct DimDesc {
    int32_t name;
    int64_t size;
    int64_t stride;
} DimDesc;

/* A tensor as the transformer functions receive it. `dtype` is a VYR_TYPE_* code. `dims` lists the
 * dimensions in any order; the first entry with a given name is the one used. A function states an expected
 * rank and the expected names and sizes, outermost first, and accepts a descriptor only when ndims equals
 * that rank and, from the innermost named dimension outward, every size is as expected (and not negative) and
 * every stride is the product of the sizes inside it: the memory must be dense in the expected order. int8
 * tensors may carry one float scale per row (`scale_data`, with `scale_dim` naming the reduced dimension and
 * `scale_dtype` = VYR_TYPE_FLOAT); a missing scale array stands for 1/127 on every row.
 *
 * The tiled layout: a half matrix of R rows and Q columns is the dense array [R/16][Q/8][16][8] (tiles of
 * 16 x 8), an int8 matrix [R/16][Q/16][16][16]; every tile is 256 bytes, row-major inside. Element (r, c)
 * lies at ((r / 16) * (Q / w) + c / w) * 16 * w + (r % 16) * w + c % w with w = 8 (half) or 16 (int8). */
typedef struct TensorDesc {
    void* data;
    int32_t ndims;
    uint32_t dtype;
    DimDesc dims[8];
    void* scale_data;
    int32_t scale_dim;
    int32_t scale_dtype;
} TensorDesc;

VYR_STATIC_ASSERT(sizeof(DimDesc) == 24 && offsetof(DimDesc, size) == 8, "DimDesc layout");
VYR_STATIC_ASSERT(sizeof(TensorDesc) == 224 && offsetof(TensorDesc, dims) == 16, "TensorDesc layout");
VYR_STATIC_ASSERT(offsetof(TensorDesc, scale_data) == 208 && offsetof(TensorDesc, scale_dtype) == 220,
                  "TensorDesc layout");

/* The work counter of vyr_linear, vyr_mm_swiglu and vyr_qkv_rotary is one int in device memory that the
 * caller sets to 0 on the stream before every call; blocks take work items from it with atomic adds and it is
 * never reset by the library. After vyr_linear and vyr_mm_swiglu it holds (work items) + 1024, after
 * vyr_qkv_rotary (work items). A counter that was not zeroed makes the kernels skip items, never access
 * memory outside the tensors.
 *
 * Every function below returns VyrSuccess once enqueued (launch errors are left to the caller's next error
 * query) or VyrUnsupported with nothing enqueued when a descriptor does not match, a size is negative or out
 * of the compiled set, a data pointer is null or not 16-byte aligned. */

/* y = x * weights^T + bias in the tiled layout. x: (M/16, K/w, 16, w) named M, K, m, k; weights:
 * (N/16, K/w, 16, w) named N, K, n, k; y: half (M/16, N/8, 16, 8) named M, N, m, n; bias: NULL or half, rank
 * 1, named N, N elements, stride 1. x and weights both half, or both int8 (scales with scale_dim 'K', one per
 * row of x and of weights; y = half((wscale * xscale) * sum) + bias). Served: K = 512, 1536, 2048, 6144; M a
 * positive multiple of 256; N a positive multiple of 128. The sum is accumulated in float (half) or exactly
 * in int32 (int8), rounded to half, then the half bias is added in half precision. */
VYR_API int vyr_linear(cudaStream_t stream, const TensorDesc* x, const TensorDesc* weights,
                       const TensorDesc* bias, const TensorDesc* y, int* work_counter);

/* QKV projection with rotary embedding. x: (N, T, C_in/w, 16, w) named N, T, C, t, c; weights: (3, H, hd/16,
 * C_in/w, 16, w) named 0, H, D, C, d, c; sincos: half (T, hd/8, 16, 8) named T, D, t, d, holding at (step,
 * 2p) the sine and at (step, 2p + 1) the cosine of pair p; out: half (N, T, 3, H, hd/8, 16, 8) named N, T, 0,
 * H, D, t, d. Query and key columns are rotated, (x0, x1) -> (x0 c - x1 s, x0 s + x1 c) in half precision
 * with every product rounded; value columns are stored with each 8 x 8 block transposed. Served: C_in = 512
 * or 1536; hd a positive multiple of 16; 3 * H * hd a multiple of 128; N * T * 16 a positive multiple of 256.
 * `unused` has no effect. */
VYR_API int vyr_qkv_rotary(cudaStream_t stream, const TensorDesc* x, const TensorDesc* weights,
                           const TensorDesc* sincos, const TensorDesc* out, int* work_counter, float unused);

/* Banded multi-head self-attention over the output of vyr_qkv_rotary (head dimension 64): qkv (N, T, 3, H,
 * 8, 16, 8) named N, T, 0, H, D, t, d; out half (N, T, H, 8, 16, 8) named N, T, H, D, t, d. A query in time
 * tile q attends to the keys of tiles q - S .. q + S inside the sequence (S = 8 for the window (127, 128),
 * 16 for (255, 256); no other window is served). N, T or H of 0: VyrSuccess with nothing enqueued. A refused
 * shared-memory opt-in prints a message and returns VyrUnsupported. */
VYR_API int vyr_masked_attention(cudaStream_t stream, int window_left, int window_right,
                                 const TensorDesc* qkv, const TensorDesc* out);

/* out = value * SiLU(gate) of v = x * weights^T, the weight rows interleaved in groups of 16 (rows 32q .. +15
 * values, 32q + 16 .. +31 gates of output columns 16q .. +15). x: (M/16, K/w, 16, w) named M, K, m, k;
 * weights: (F/16, K/w, 16, w) named N, K, n, k; out: half (M/16, F/16, 16, 8) named M, N, m, n. Half operands
 * accumulate in float when float_accumulate is non-zero, in half otherwise; int8 operands (scales as for
 * vyr_linear) always in int32. Served: K = 512 or 1536; F a positive multiple of 128; M a positive multiple
 * of 128 (256 with half accumulation). */
VYR_API int vyr_mm_swiglu(cudaStream_t stream, const TensorDesc* x, const TensorDesc* weights,
                          const TensorDesc* out, int* work_counter, int float_accumulate);

/* v = alpha * residual + x (one half fused multiply-add), out = half(v * weight / rms(v)) per row, with
 * rms(v) = sqrt(mean(v^2) + 1e-5). x, residual, out: half (N, T, F/8, 16, 8) named N, T, C, t, c (residual
 * and out with the same sizes and strides as x; out NULL or with NULL data: no half output); weight: half,
 * rank 1, named C, F elements, stride 1. out8 (NULL or rank 0: none): int8 (N, T, F/16, 16, 16), the same
 * elements rounded half away from zero and clamped to [-127, 127]: with scales (scale_data, scale_dim 'C')
 * each row is quantised to its own scale max|v * weight| / rms / 128, written there; without, to the fixed
 * scale 1/127 that readers assume for a missing scale array (q = 127 * out). F must be a positive multiple of
 * 32; N or T of 0: VyrSuccess with nothing enqueued. A refused shared-memory opt-in prints a message and
 * returns VyrUnsupported. */
VYR_API int vyr_rmsnorm_residual(cudaStream_t stream, const TensorDesc* x, const TensorDesc* residual,
                                 const TensorDesc* weight, const TensorDesc* out, const TensorDesc* out8,
                                 float alpha);
/* Dynamic shared memory of vyr_rmsnorm_residual's kernel for F channels: 32 * F + 2048 bytes. */
VYR_API int RmsNormSharedStorageSize(int F);

/* (end of transformer blocks) */

/* ---- Simple transformer kernels (plain dense half tensors) ------------------------------------------ */

/* Rotary position embedding of Q and K with a transpose into planes. in: (N, T, 3, H, D), per (n, t) all Q
 * heads, then K, then V; out: three (N, H, T, D) planes, Q at 0, K at N*H*T*D, V at 2*N*H*T*D. Pair i of a
 * head (elements 2i, 2i+1) at step t is rotated by the angle t * theta^(-2i/D); V is copied bit for bit.
 * Returns VyrSuccess once enqueued (also for N * T = 0, nothing enqueued); VyrUnsupported with nothing
 * enqueued when D is odd or not positive, H is not positive, H * D / 2 exceeds 1024 (one thread per pair),
 * N or T is negative, or N * T exceeds 2^31 - 1. */
VYR_API int host_rotary_embed_transpose_f16(cudaStream_t stream, int N, int T, int H, int D, const __half* in,
                                            __half* out, float theta);

/* Banded attention with head dimension 64: q, k, v are (N, H, T, 64) planes, out is (N, T, H, 64). The
 * sequence is cut into tiles of 16 steps; a query in tile j attends to every key of tiles j - 8 .. j + 8
 * that lie in the sequence, with softmax(q k / 8). Needs compute capability 8.0 or later and 131072 bytes of
 * opt-in shared memory per block. Returns VyrSuccess once enqueued (also when N, T or H is 0, nothing
 * enqueued); VyrUnsupported with nothing enqueued unless D = 64, T is a multiple of 16, window_left = 127
 * and window_right = 128, for negative sizes or H > 65535, and when the device refuses the shared memory
 * (after printing "Vyr masked attention: failed to set smem size 131072"; no error is left pending). */
VYR_API int host_masked_attention_f16(cudaStream_t stream, int N, int T, int H, int D, int window_left,
                                      int window_right, const __half* q, const __half* k, const __half* v,
                                      __half* out);

/* RMS normalisation with a scaled residual over N rows of C halves: v = in + residual * residual_scale[0]
 * (both in half precision), out = (v * r) * weight with r = half(1 / sqrt(mean(v^2) + 1e-5)), products in
 * half. residual_scale is one half in device memory; weight has C halves. Returns VyrSuccess once enqueued
 * (also when C or N is 0, nothing enqueued); VyrUnsupported with nothing enqueued when C > 2048, C is not a
 * multiple of 32, or C or N is negative. */
VYR_API int host_fused_residual_rmsnorm_f16(cudaStream_t stream, int C, int N, const __half* in,
                                            const __half* residual, const __half* residual_scale,
                                            const __half* weight, __half* out);

/* (end of simple transformer kernels) */

/* ---- Volta transformer kernels (compute capability 7.0 only) ---------------------------------------- */

/* Matrices are 16 x 16 half tiles (row-major inside) in tile-row-major order: element (r, c) of an R x Q
 * matrix at ((r / 16) * (Q / 16) + c / 16) * 256 + (r % 16) * 16 + c % 16. Rows are the time steps of all
 * sequences, M = N * T. Every function returns VyrSuccess once enqueued (also for an empty problem, nothing
 * enqueued) and VyrUnsupported with nothing enqueued on a size error (after printing the message given),
 * for negative sizes, and on any device but compute capability 7.0 (see vyr_volta_tc_is_available): the
 * kernels are built for that generation's fragment layout only. Launch errors are left to the caller.
 *
 * Y (M x 512) = X (M x K) * W^T (W: 512 x K), plus bias[512] (plain vector, read only with use_bias).
 * Messages, checked in this order: "Dimension M is not a multiple of 512", "Invalid K dimension. Must be
 * either 512 or 2048." */
VYR_API int vyr_volta_linear(cudaStream_t stream, const __half* X, const __half* W, __half* Y,
                             const __half* bias, bool use_float_accumulator, bool use_bias, int M, int K);
/* out (M x 2048) = (v * g) * sigmoid(g) with X (M x 512) and W (4096 x 512): weight rows 32q .. 32q+15 are
 * the values, 32q+16 .. 32q+31 the gates of output columns 16q .. 16q+15. Message: "Dimension M is not a
 * multiple of 512". */
VYR_API int vyr_volta_mm_swiglu(cudaStream_t stream, const __half* X, const __half* W, __half* out,
                                bool use_float_accumulator, int M);
/* out (M x 1536) = X (M x 512) * W^T, W (1536 x 512) rows part * 512 + head * 64 + d (part 0 query, 1 key,
 * 2 value, 8 heads); query and key column pairs (2p, 2p+1) are rotated by the table (T x 64, tiled: column
 * 2p the sine and 2p+1 the cosine of pair p at each step), (x0, x1) -> (x0 cos - x1 sin, x0 sin + x1 cos).
 * Messages, in this order: "Dimension N is not a multiple of 32", "Dimension T is not a multiple of 16". */
VYR_API int vyr_volta_qkv_rotary(cudaStream_t stream, const __half* X, const __half* W, __half* out,
                                 const __half* rotary_table, bool use_float_accumulator, int N, int T);
/* out = v / sqrt(mean(v^2) + 1e-5) * weight[512] over rows of 512, v = alpha * a + b (one half fused
 * multiply-add, alpha rounded to half). Message: "Dimension M is not a multiple of 512"; a device refusing
 * 64 KiB of shared memory prints "Vyr RMSNorm residual: failed to set smem size 65536". */
VYR_API int vyr_volta_rmsnorm_residual(cudaStream_t stream, const __half* a, const __half* b,
                                       const __half* weight, __half* out, int M, float alpha);
/* Banded attention over the QKV output (M x 1536) into out (M x 512, column head * 64 + d): a query of time
 * tile j (16 steps) attends to key tiles j - 8 .. j + 8 of its sequence with softmax(q k / 8). Messages, in
 * this order: "Dimension T is not a multiple of 16", "Dimension N is not a multiple of 32". */
VYR_API int vyr_volta_attn(cudaStream_t stream, const __half* qkv, __half* out, int N, int T);

/* (end of Volta transformer kernels) */

/* ---- Tensor-core linear layers (compute capability 8.0 and later) --------------------------------- */

/* D = act(A B^T + bias) for `batch` products that share the weights B, on tensor cores.
 *   A: M x K row-major, element (z, r, k) at A + z*batch_stride_A + r*lda + k; half or signed 8-bit
 * (ab_type); B: N x K row-major (row n = the weights of output n), element (n, k) at B + n*K + k; same type
 * as A; D: M x N row-major, element (z, r, n) at D + z*batch_stride_D + r*ldd + n; half or signed 8-bit
 * (d_type); bias: N halves or NULL (0); scale: N halves, required for 8-bit operands, ignored for half ones.
 * Strides count elements. Half operands accumulate in half precision over the whole K; 8-bit operands hold
 * round(127 x) (A) and the weights times scale[n] (B), accumulate exactly in 32-bit integers (saturating)
 * and are divided by 127 * scale[n] in float. Bias, activation (a VyrActivation value) and the output
 * conversion run in float; 8-bit output stores round(127 y), halves away from zero. Compiled combinations
 * (ab_type, d_type: activations): half, half: 0-4; half, int8: 3; int8, half: 0-4; int8, int8: 3. A device
 * with at least 147456 (half) / 73728 (8-bit) bytes of opt-in shared memory per block runs the 3-stage
 * asynchronous-copy kernel, one with at least 98304 / 49152 the 2-stage kernel. With an odd N the last
 * column is not written.
 * Returns (in this order of checks):
 *   VyrUnsupported: the device queries failed;
 *   VyrNoKernel: no compiled combination, or too little opt-in shared memory for either kernel;
 *   VyrUnsupported, nothing enqueued, for arguments the 16-byte and pair accesses cannot serve: negative
 *     sizes; K, lda or batch_stride_A not a multiple of 8 (half) / 16 (8-bit) elements; lda < K; ldd or
 *     batch_stride_D odd; ldd < N; A or B not 16-byte aligned; D not 4-byte (half) / 2-byte (8-bit)
 *     aligned; bias or scale not 4-byte aligned; 8-bit operands without a scale;
 *   VyrSuccess with nothing enqueued when batch, M or N is 0;
 *   VyrKernelFailed: an error was pending before the launch ("Vyr Cutlass kernel: CUDA error %d", cleared),
 *     the shared-memory limit was refused ("Vyr Cutlass kernel: failed to set smem size %d"), or the launch
 *     failed (also on a device older than 8.0);
 *   VyrSuccess otherwise: enqueued. */
VYR_API int host_linear(cudaStream_t stream, int ab_type, int activation, int d_type, int batch, int M, int K,
                        int N, int batch_stride_A, int lda, int batch_stride_D, int ldd, const void* A,
                        const void* B, void* D, const __half* scale, const __half* bias);

/* Gated projection: with P = A W^T (M x N, float accumulation), D[r][p] = P[r][2p] * silu(P[r][2p+1]) for
 * p < N/2, where silu(y) = y / (1 + e^-y) is rounded to half and the product taken in half precision.
 * A: M x K row-major half; W: N x K row-major half; D: M x N/2 row-major half (an odd N leaves the last
 * column of P unused). Rows go in launches of at most 2^31 / N rows. Only the 3-stage kernel exists (147456
 * bytes of opt-in shared memory).
 * Returns VyrSuccess with nothing enqueued when M < 1 or N < 1; VyrUnsupported with nothing enqueued when K
 * is negative or not a multiple of 8, or A or W is not 16-byte aligned, or D not 2-byte aligned;
 * VyrKernelFailed (messages as host_linear's) when a launch is refused, earlier launches of the call staying
 * enqueued; VyrSuccess otherwise. */
VYR_API int host_linear_swiglu_f16(cudaStream_t stream, int M, int N, int K, const __half* A, const __half* B,
                                   __half* D);

/* (end of tensor-core linear layers) */

#endif /* VYR_H */
