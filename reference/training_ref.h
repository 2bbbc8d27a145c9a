// Plain oracles for the training score tables: the sparse CRF forward, backward and log-partition tables and
// the stay/move lattice forward-backward. Templates on the arithmetic type: double for the reference values,
// float to re-run the kernels' own arithmetic where a chain of roundings is too long to bound by hand.
#pragma once

#include <vector>

namespace vyr_ref {

enum class Semiring { max, log };

// Semiring sum of x, in index order. Maximum: a tie or a NaN on either side takes the later value.
// Log: log(sum exp), -inf when every term is -inf.
template <class Real>
Real semiring_sum(Semiring semiring, const Real* x, int count);

// Sparse CRF over T steps, N chunks, C states, nz transitions into each state; the layouts of the library:
// ms (T, N, C, nz), idx (C, nz) sources, idx_t (C, nz) flat positions of outgoing transitions,
// init/final (N, C), alpha/beta (T + 1, N, C).
struct CrfShape {
    int T, N, C, nz;
};
template <class Real>
struct CrfTables {
    std::vector<Real> alpha, beta, z, ms_out;
};
template <class Real>
CrfTables<Real> crf_tables(Semiring semiring, const CrfShape& shape, const std::vector<float>& ms,
                           const std::vector<float>& init, const std::vector<float>& final_scores,
                           const std::vector<int>& idx, const std::vector<int>& idx_t);

// Semiring sum over every path of chunk n, found by enumerating them: a path is a final state and, going
// back, the transition taken at each step (C * nz^T paths). For tiny sizes only.
double crf_brute_force(Semiring semiring, const CrfShape& shape, const std::vector<float>& ms,
                       const std::vector<float>& init, const std::vector<float>& final_scores,
                       const std::vector<int>& idx, int n);

// Stay/move lattice over T steps, N chunks, S positions. Inputs: stay (T, N, S), move (T, N, S - 1),
// alpha0 and final_scores (N, S). Outputs: alpha and beta (T + 1, N, S), beta_stay and beta_move (T, N, S);
// beta_move at s = S - 1 is the no-transition score.
struct CtcShape {
    int T, N, S;
};
template <class Real>
struct CtcTables {
    std::vector<Real> alpha, beta, beta_stay, beta_move;
};
constexpr float kCtcNoTransition = -1.0e38f;
template <class Real>
CtcTables<Real> ctc_tables(const CtcShape& shape, const std::vector<float>& stay,
                           const std::vector<float>& move, const std::vector<float>& alpha0,
                           const std::vector<float>& final_scores);

// log of the sum over every alignment of chunk n (any start, any end, S * 2^T candidates, those that would
// move past the last position dropped), for tiny sizes.
double ctc_brute_force(const CtcShape& shape, const std::vector<float>& stay, const std::vector<float>& move,
                       const std::vector<float>& alpha0, const std::vector<float>& final_scores, int n);

}  // namespace vyr_ref
