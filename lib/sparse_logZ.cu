// Forward, backward and log-partition tables of a sparse linear-chain CRF, for training.
// Layouts (float scores in log space, int indices):
//   Ms, Ms_out (T, N, C, NZ): element (t, n, s, k) is the k-th transition into state s at step t;
//   idx (C, NZ): source state of transition (s, k); idx_T (C, NZ): flat position j * NZ + k' within one step
//   of Ms of the k-th transition leaving s (its destination is j);
//   init_scores, final_scores, Z (N, C); alpha, beta (T + 1, N, C).
// One block per chunk, one thread per state. The same templates are instantiated for three families: the max
// semiring with five transitions per state, and the log semiring with five and with three.
#include <math.h>

#include "frame.cuh"
#include "log_sum_exp.cuh"

namespace {

// The semiring product.
__device__ inline float add(float a, float b) {
    return a + b;
}

// A tie, or a NaN on either side, takes x[k]: the comparison order is part of the Viterbi scores' contract.
template <int NZ>
__device__ inline float max_(const float (&x)[NZ]) {
    float m = x[0];
    for (int k = 1; k < NZ; ++k) m = (m > x[k]) ? m : x[k];
    return m;
}

template <int NZ>
struct MaxSemiring {
    static constexpr int kNZ = NZ;
    __device__ static float sum(const float (&x)[NZ]) { return max_<NZ>(x); }
};
template <int NZ>
struct LogSemiring {
    static constexpr int kNZ = NZ;
    __device__ static float sum(const float (&x)[NZ]) { return vyr::log_sum_exp(x); }
};

// Offsets into the per-chunk tables, in 64 bits: T * N * C * NZ passes 2^31 for long training batches.
struct CrfLayout {
    int N, C, NZ;
    // Element (t, n, s) of a (T + 1, N, C) table; t = 0 addresses the (N, C) tables.
    __device__ size_t state(int t, int n, int s) const { return ((size_t)t * N + n) * C + s; }
    // First element of chunk n at step t in Ms: the (C, NZ) block that idx_T positions index.
    __device__ size_t step(int t, int n) const { return ((size_t)t * N + n) * C * NZ; }
};

// The forward recursion shared by the forward table and the log partition. Each output is optional (null):
// alpha receives every step, Ms_out every summand, Z the last step plus the final scores.
// The previous step's scores live in shared memory, double-buffered by time parity so that one barrier per
// step orders the writes of step t + 1 after every read of step t.
template <class Semiring>
__device__ void crf_forward(float* alpha, float* Ms_out, float* Z, const float* Ms, const float* init_scores,
                            const float* final_scores, const int* idx, int T, int N, int C, int n, int s,
                            int threads) {
    constexpr int NZ = Semiring::kNZ;
    VYR_DYNAMIC_SMEM(float, prev);
    const CrfLayout layout{N, C, NZ};
    // Threads past the last state take no part in the sums but must still reach every barrier.
    const bool active = s < C;

    int src[NZ];
    float a = 0.0f;
    if (active) {
        for (int k = 0; k < NZ; ++k) src[k] = idx[s * NZ + k];
        a = init_scores[layout.state(0, n, s)];
        if (alpha) alpha[layout.state(0, n, s)] = a;
    }
    __syncthreads();
    for (int t = 0; t < T; ++t) {
        float* buf = prev + (t & 1) * threads;
        if (active) buf[s] = a;
        __syncthreads();
        if (active) {
            const size_t row = layout.step(t, n) + (size_t)s * NZ;
            float x[NZ];
            for (int k = 0; k < NZ; ++k) x[k] = add(__ldg(Ms + row + k), buf[src[k]]);
            if (Ms_out)
                for (int k = 0; k < NZ; ++k) Ms_out[row + k] = x[k];
            a = Semiring::sum(x);
            if (alpha) alpha[layout.state(t + 1, n, s)] = a;
        }
    }
    if (active && Z) Z[layout.state(0, n, s)] = add(a, final_scores[layout.state(0, n, s)]);
}

template <class Semiring>
__device__ void crf_backward(float* beta, const float* Ms, const float* final_scores, const int* idx_T, int T,
                             int N, int C, int n, int s, int threads) {
    constexpr int NZ = Semiring::kNZ;
    VYR_DYNAMIC_SMEM(float, prev);
    const CrfLayout layout{N, C, NZ};
    const bool active = s < C;

    int pos[NZ];
    float b = 0.0f;
    if (active) {
        for (int k = 0; k < NZ; ++k) pos[k] = idx_T[s * NZ + k];
        b = final_scores[layout.state(0, n, s)];
        beta[layout.state(T, n, s)] = b;
    }
    __syncthreads();
    for (int t = T - 1; t >= 0; --t) {
        float* buf = prev + (t & 1) * threads;
        if (active) buf[s] = b;
        __syncthreads();
        if (active) {
            const size_t step = layout.step(t, n);
            float x[NZ];
            for (int k = 0; k < NZ; ++k) x[k] = add(__ldg(Ms + step + pos[k]), buf[pos[k] / NZ]);
            b = Semiring::sum(x);
            beta[layout.state(t, n, s)] = b;
        }
    }
}

// A block outside the batch has no tables, and a negative step count describes none. A block narrower than
// C cannot hold a step in its shared buffers (sources would be read past them), so it writes nothing rather
// than a wrong table. Such blocks return before their first barrier, all their threads alike.
__device__ inline bool crf_block_has_work(int T, int N, int C) {
    return T >= 0 && (int)blockIdx.x < N && (int)blockDim.x >= C;
}

// The training functions wait for their tables: launch on the default stream, synchronise the device, and
// report the launch's own error or any earlier one. A refused configuration launches nothing and takes the
// same path.
template <class... P, class... A>
int launch_and_wait(const vyr::Kernel<P...>& kernel, int N, int C, A... args) {
    const size_t smem = 2 * sizeof(float) * (size_t)(C > 0 ? C : 0);
    vyr::launch(kernel, dim3((unsigned)N), dim3((unsigned)C), smem, nullptr, args...);
    return vyr::synchronized_error();
}

}  // namespace

// The exported kernels and host functions of one family. The token pasting is what the preprocessor alone can
// do: each family's entry points have plain C names.
#define VYR_SPARSE_CRF_FAMILY(suffix, Semiring)                                                              \
    VYR_API __global__ void logz_fwd_##suffix(float* Z, float* Ms_out, const float* Ms,                      \
                                              const float* init_scores, const float* final_scores,           \
                                              const int* idx, int T, int N, int C) {                         \
        if (!crf_block_has_work(T, N, C)) return;                                                            \
        crf_forward<Semiring>(nullptr, Ms_out, Z, Ms, init_scores, final_scores, idx, T, N, C, blockIdx.x,   \
                              threadIdx.x, blockDim.x);                                                      \
    }                                                                                                        \
    VYR_REGISTER_KERNEL(logz_fwd_##suffix);                                                                  \
    VYR_API __global__ void fwd_scores_##suffix(float* alpha, const float* Ms, const float* init_scores,     \
                                                const int* idx, int T, int N, int C) {                       \
        if (!crf_block_has_work(T, N, C)) return;                                                            \
        crf_forward<Semiring>(alpha, nullptr, nullptr, Ms, init_scores, nullptr, idx, T, N, C, blockIdx.x,   \
                              threadIdx.x, blockDim.x);                                                      \
    }                                                                                                        \
    VYR_REGISTER_KERNEL(fwd_scores_##suffix);                                                                \
    VYR_API __global__ void bwd_scores_##suffix(float* beta, const float* Ms, const float* final_scores,     \
                                                const int* idx_T, int T, int N, int C) {                     \
        if (!crf_block_has_work(T, N, C)) return;                                                            \
        crf_backward<Semiring>(beta, Ms, final_scores, idx_T, T, N, C, blockIdx.x, threadIdx.x, blockDim.x); \
    }                                                                                                        \
    VYR_REGISTER_KERNEL(bwd_scores_##suffix);                                                                \
    VYR_API int logZ_fwd_host_##suffix(int T, int N, int C, VyrIgnoredArg /*ignored*/, float* Z,             \
                                       float* Ms_out, const float* Ms, const float* init_scores,             \
                                       const float* final_scores, const int* idx) {                          \
        return launch_and_wait(VYR_KERNEL(logz_fwd_##suffix), N, C, Z, Ms_out, Ms, init_scores,              \
                               final_scores, idx, T, N, C);                                                  \
    }                                                                                                        \
    VYR_API int fwd_scores_host_sparse_##suffix(float* alpha, const float* Ms, const float* init_scores,     \
                                                const int* idx, int T, int N, int C) {                       \
        return launch_and_wait(VYR_KERNEL(fwd_scores_##suffix), N, C, alpha, Ms, init_scores, idx, T, N, C); \
    }                                                                                                        \
    VYR_API int bwd_scores_host_sparse_##suffix(float* beta, const float* Ms, const float* final_scores,     \
                                                const int* idx_T, int T, int N, int C) {                     \
        return launch_and_wait(VYR_KERNEL(bwd_scores_##suffix), N, C, beta, Ms, final_scores, idx_T, T, N,   \
                               C);                                                                           \
    }

// The compiled families, and the only ones: (name suffix, semiring with its transitions per state).
VYR_SPARSE_CRF_FAMILY(max, MaxSemiring<5>)
VYR_SPARSE_CRF_FAMILY(log_NZ5, LogSemiring<5>)
VYR_SPARSE_CRF_FAMILY(log_NZ3, LogSemiring<3>)
