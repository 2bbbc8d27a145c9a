// Forward and backward log-space scores of a left-to-right stay/move lattice, for a CTC-style training loss.
// Layouts (float, log space): stay_scores (T, N, S); move_scores (T, N, S - 1), move from s to s + 1;
// alpha (T + 1, N, S), step 0 supplied by the caller; beta_stay and beta_move (T, N, S), beta_move written
// for s < S - 1 only. beta is (N, S) final scores for fwd_bwd_logspace (read only) and a (T + 1, N, S) table
// with the final scores at step T for fwd_bwd_logspace_loop. Grid (N, 2): block (n, 0) runs chunk n forwards,
// block (n, 1) backwards; their outputs are disjoint.
#include <math.h>

#include "frame.cuh"
#include "log_sum_exp.cuh"

namespace {

// Score of a transition that does not exist; finite, so that sums with it never meet inf - inf.
constexpr float kNoTransition = -1.0e38f;

__device__ inline float add(float a, float b) {
    return a + b;
}

struct CtcLayout {
    int N, S;
    // Element (t, n, s) of a (T, N, S) or (T + 1, N, S) table; t = 0 addresses the (N, S) final scores.
    __device__ size_t pos(int t, int n, int s) const { return ((size_t)t * N + n) * S + s; }
    // move_scores (t, n, s): the move from s to s + 1.
    __device__ size_t move(int t, int n, int s) const { return ((size_t)t * N + n) * (S - 1) + s; }
};

struct CtcArgs {
    float* alpha;
    float* beta;
    float* beta_stay;
    float* beta_move;
    const float* stay_scores;
    const float* move_scores;
    int T, N, S;
};

// The previous step lives in shared memory, double-buffered by time parity: one barrier per step orders the
// writes of the next step after every read of this one. Threads past the last position only keep the
// barriers company.
__device__ void forward_shared(const CtcArgs& p, int n, int s, int threads) {
    VYR_DYNAMIC_SMEM(float, prev);
    const CtcLayout L{p.N, p.S};
    const bool active = s < p.S;
    float a = active ? p.alpha[L.pos(0, n, s)] : 0.0f;
    for (int t = 0; t < p.T; ++t) {
        float* buf = prev + (t & 1) * threads;
        if (active) buf[s] = a;
        __syncthreads();
        if (active) {
            const float m = s >= 1 ? add(p.move_scores[L.move(t, n, s - 1)], buf[s - 1]) : kNoTransition;
            const float y = add(a, p.stay_scores[L.pos(t, n, s)]);
            a = vyr::log_sum_exp(y, m);
            p.alpha[L.pos(t + 1, n, s)] = a;
        }
    }
}

__device__ void backward_shared(const CtcArgs& p, int n, int s, int threads) {
    VYR_DYNAMIC_SMEM(float, prev);
    const CtcLayout L{p.N, p.S};
    const bool active = s < p.S;
    float b = active ? p.beta[L.pos(0, n, s)] : 0.0f;
    for (int t = p.T - 1; t >= 0; --t) {
        float* buf = prev + ((t + 1) & 1) * threads;
        if (active) buf[s] = b;
        __syncthreads();
        if (active) {
            float m = kNoTransition;
            if (s < p.S - 1) {
                m = add(p.move_scores[L.move(t, n, s)], buf[s + 1]);
                p.beta_move[L.pos(t, n, s)] = m;
            }
            const float y = add(b, p.stay_scores[L.pos(t, n, s)]);
            p.beta_stay[L.pos(t, n, s)] = y;
            b = vyr::log_sum_exp(y, m);
        }
    }
}

// The same recursions through global memory, each thread covering every blockDim-th position: any S.
__device__ void forward_global(const CtcArgs& p, int n, int tid, int threads) {
    const CtcLayout L{p.N, p.S};
    for (int t = 0; t < p.T; ++t) {
        for (int s = tid; s < p.S; s += threads) {
            const float m =
                s >= 1 ? add(p.move_scores[L.move(t, n, s - 1)], p.alpha[L.pos(t, n, s - 1)]) : kNoTransition;
            const float y = add(p.alpha[L.pos(t, n, s)], p.stay_scores[L.pos(t, n, s)]);
            p.alpha[L.pos(t + 1, n, s)] = vyr::log_sum_exp(y, m);
        }
        __syncthreads();
    }
}

__device__ void backward_global(const CtcArgs& p, int n, int tid, int threads) {
    const CtcLayout L{p.N, p.S};
    for (int t = p.T - 1; t >= 0; --t) {
        // Descending from the top, so the last (partial) pass falls on the low positions; every position is
        // visited once either way.
        for (int s = p.S - threads + tid; s >= 0; s -= threads) {
            float m = kNoTransition;
            if (s < p.S - 1) {
                m = add(p.move_scores[L.move(t, n, s)], p.beta[L.pos(t + 1, n, s + 1)]);
                p.beta_move[L.pos(t, n, s)] = m;
            }
            const float y = add(p.beta[L.pos(t + 1, n, s)], p.stay_scores[L.pos(t, n, s)]);
            p.beta_stay[L.pos(t, n, s)] = y;
            p.beta[L.pos(t, n, s)] = vyr::log_sum_exp(y, m);
        }
        __syncthreads();
    }
}

// Blocks outside the (N, 2) grid have nothing to do, and T <= 0 writes nothing; both return before their
// first barrier, all threads of the block alike.
__device__ inline bool ctc_block_has_work(const CtcArgs& p) {
    return p.T > 0 && (int)blockIdx.x < p.N && blockIdx.y < 2;
}

// Default stream, then wait and report the launch's own error or an earlier one; a refused configuration
// launches nothing and takes the same path.
template <class... P>
int launch_and_wait(const vyr::Kernel<P...>& kernel, int threads, size_t smem, const CtcArgs& p) {
    vyr::launch(kernel, dim3((unsigned)p.N, 2), dim3((unsigned)threads), smem, nullptr, p.alpha, p.beta,
                p.beta_stay, p.beta_move, p.stay_scores, p.move_scores, p.T, p.N, p.S);
    return vyr::synchronized_error();
}

}  // namespace

VYR_API __global__ void fwd_bwd_logspace(float* alpha, float* beta, float* beta_stay, float* beta_move,
                                         const float* stay_scores, const float* move_scores, int T, int N,
                                         int S) {
    const CtcArgs p{alpha, beta, beta_stay, beta_move, stay_scores, move_scores, T, N, S};
    // One thread per position: a narrower block would read its neighbours past the shared buffers, so it
    // writes nothing rather than a wrong table.
    if (!ctc_block_has_work(p) || (int)blockDim.x < S) return;
    if (blockIdx.y == 0)
        forward_shared(p, blockIdx.x, threadIdx.x, blockDim.x);
    else
        backward_shared(p, blockIdx.x, threadIdx.x, blockDim.x);
}
VYR_REGISTER_KERNEL(fwd_bwd_logspace);

VYR_API __global__ void fwd_bwd_logspace_loop(float* alpha, float* beta, float* beta_stay, float* beta_move,
                                              const float* stay_scores, const float* move_scores, int T,
                                              int N, int S) {
    const CtcArgs p{alpha, beta, beta_stay, beta_move, stay_scores, move_scores, T, N, S};
    if (!ctc_block_has_work(p)) return;
    if (blockIdx.y == 0)
        forward_global(p, blockIdx.x, threadIdx.x, blockDim.x);
    else
        backward_global(p, blockIdx.x, threadIdx.x, blockDim.x);
}
VYR_REGISTER_KERNEL(fwd_bwd_logspace_loop);

// One thread per position: S above the device's block limit is refused by the runtime, and that error is
// what the caller gets back.
VYR_API int fwd_bwd_logspace_host(int T, int N, int S, float* alpha, float* beta, float* beta_stay,
                                  float* beta_move, const float* stay_scores, const float* move_scores) {
    const CtcArgs p{alpha, beta, beta_stay, beta_move, stay_scores, move_scores, T, N, S};
    return launch_and_wait(VYR_KERNEL(fwd_bwd_logspace), S, 2 * sizeof(float) * (size_t)(S > 0 ? S : 0), p);
}

VYR_API int fwd_bwd_logspace_loop_host(int T, int N, int S, float* alpha, float* beta, float* beta_stay,
                                       float* beta_move, const float* stay_scores, const float* move_scores) {
    const CtcArgs p{alpha, beta, beta_stay, beta_move, stay_scores, move_scores, T, N, S};
    return launch_and_wait(VYR_KERNEL(fwd_bwd_logspace_loop), S < 1024 ? S : 1024, 0, p);
}
