#include "training_ref.h"

#include <cmath>
#include <limits>

namespace vyr_ref {

namespace {

template <class Real>
Real log_sum_exp(const Real* x, int count) {
    Real m = -std::numeric_limits<Real>::infinity();
    for (int k = 0; k < count; ++k) {
        if (std::isnan(x[k])) return x[k];
        m = std::max(m, x[k]);
    }
    if (std::isinf(m)) return m;
    Real s = 0;
    for (int k = 0; k < count; ++k) s += std::exp(x[k] - m);
    return m + std::log(s);
}

size_t at(int t, int n, int s, int N, int S) {
    return ((size_t)t * N + n) * S + s;
}

}  // namespace

template <class Real>
Real semiring_sum(Semiring semiring, const Real* x, int count) {
    if (semiring == Semiring::log) return log_sum_exp(x, count);
    Real m = x[0];
    for (int k = 1; k < count; ++k) m = (m > x[k]) ? m : x[k];
    return m;
}

template <class Real>
CrfTables<Real> crf_tables(Semiring semiring, const CrfShape& c, const std::vector<float>& ms,
                           const std::vector<float>& init, const std::vector<float>& final_scores,
                           const std::vector<int>& idx, const std::vector<int>& idx_t) {
    const int T = c.T, N = c.N, C = c.C, nz = c.nz;
    CrfTables<Real> r;
    r.alpha.assign((size_t)(T + 1) * N * C, 0);
    r.beta.assign((size_t)(T + 1) * N * C, 0);
    r.z.assign((size_t)N * C, 0);
    r.ms_out.assign((size_t)T * N * C * nz, 0);
    std::vector<Real> x(nz);
    for (int n = 0; n < N; ++n) {
        for (int s = 0; s < C; ++s) r.alpha[at(0, n, s, N, C)] = init[(size_t)n * C + s];
        for (int t = 0; t < T; ++t)
            for (int s = 0; s < C; ++s) {
                for (int k = 0; k < nz; ++k) {
                    const size_t e = at(t, n, s, N, C) * nz + k;
                    x[k] = (Real)ms[e] + r.alpha[at(t, n, idx[(size_t)s * nz + k], N, C)];
                    r.ms_out[e] = x[k];
                }
                r.alpha[at(t + 1, n, s, N, C)] = semiring_sum(semiring, x.data(), nz);
            }
        for (int s = 0; s < C; ++s)
            r.z[(size_t)n * C + s] = r.alpha[at(T, n, s, N, C)] + (Real)final_scores[(size_t)n * C + s];

        for (int s = 0; s < C; ++s) r.beta[at(T, n, s, N, C)] = final_scores[(size_t)n * C + s];
        for (int t = T - 1; t >= 0; --t)
            for (int s = 0; s < C; ++s) {
                for (int k = 0; k < nz; ++k) {
                    const int p = idx_t[(size_t)s * nz + k];
                    x[k] = (Real)ms[at(t, n, 0, N, C) * nz + p] + r.beta[at(t + 1, n, p / nz, N, C)];
                }
                r.beta[at(t, n, s, N, C)] = semiring_sum(semiring, x.data(), nz);
            }
    }
    return r;
}

double crf_brute_force(Semiring semiring, const CrfShape& c, const std::vector<float>& ms,
                       const std::vector<float>& init, const std::vector<float>& final_scores,
                       const std::vector<int>& idx, int n) {
    std::vector<double> scores;
    // Walks one path backwards from state s after step t + 1.
    auto walk = [&](auto&& self, int t, int s, double score) -> void {
        if (t < 0) {
            scores.push_back(score + init[(size_t)n * c.C + s]);
            return;
        }
        for (int k = 0; k < c.nz; ++k)
            self(self, t - 1, idx[(size_t)s * c.nz + k], score + ms[at(t, n, s, c.N, c.C) * c.nz + k]);
    };
    for (int s = 0; s < c.C; ++s) walk(walk, c.T - 1, s, final_scores[(size_t)n * c.C + s]);
    double best = scores[0];
    for (double v : scores) best = std::max(best, v);
    return semiring == Semiring::max ? best : log_sum_exp(scores.data(), (int)scores.size());
}

template <class Real>
CtcTables<Real> ctc_tables(const CtcShape& c, const std::vector<float>& stay, const std::vector<float>& move,
                           const std::vector<float>& alpha0, const std::vector<float>& final_scores) {
    const int T = c.T, N = c.N, S = c.S;
    const Real none = kCtcNoTransition;
    auto move_at = [&](int t, int n, int s) { return (Real)move[((size_t)t * N + n) * (S - 1) + s]; };
    auto lse2 = [](Real a, Real b) {
        Real x[2] = {a, b};
        return log_sum_exp(x, 2);
    };
    CtcTables<Real> r;
    r.alpha.assign((size_t)(T + 1) * N * S, 0);
    r.beta.assign((size_t)(T + 1) * N * S, 0);
    r.beta_stay.assign((size_t)T * N * S, 0);
    r.beta_move.assign((size_t)T * N * S, none);
    for (int n = 0; n < N; ++n) {
        for (int s = 0; s < S; ++s) {
            r.alpha[at(0, n, s, N, S)] = alpha0[(size_t)n * S + s];
            r.beta[at(T, n, s, N, S)] = final_scores[(size_t)n * S + s];
        }
        for (int t = 0; t < T; ++t)
            for (int s = 0; s < S; ++s) {
                const Real m = s >= 1 ? move_at(t, n, s - 1) + r.alpha[at(t, n, s - 1, N, S)] : none;
                const Real y = r.alpha[at(t, n, s, N, S)] + (Real)stay[at(t, n, s, N, S)];
                r.alpha[at(t + 1, n, s, N, S)] = lse2(y, m);
            }
        for (int t = T - 1; t >= 0; --t)
            for (int s = 0; s < S; ++s) {
                const Real m = s < S - 1 ? move_at(t, n, s) + r.beta[at(t + 1, n, s + 1, N, S)] : none;
                const Real y = r.beta[at(t + 1, n, s, N, S)] + (Real)stay[at(t, n, s, N, S)];
                r.beta_move[at(t, n, s, N, S)] = m;
                r.beta_stay[at(t, n, s, N, S)] = y;
                r.beta[at(t, n, s, N, S)] = lse2(y, m);
            }
    }
    return r;
}

double ctc_brute_force(const CtcShape& c, const std::vector<float>& stay, const std::vector<float>& move,
                       const std::vector<float>& alpha0, const std::vector<float>& final_scores, int n) {
    std::vector<double> scores;
    for (int start = 0; start < c.S; ++start)
        for (unsigned moves = 0; moves < (1u << c.T); ++moves) {
            int s = start;
            double score = alpha0[(size_t)n * c.S + start];
            bool valid = true;
            for (int t = 0; t < c.T && valid; ++t) {
                if (moves >> t & 1u) {
                    valid = s + 1 < c.S;
                    if (valid) score += move[((size_t)t * c.N + n) * (c.S - 1) + s++];
                } else {
                    score += stay[at(t, n, s, c.N, c.S)];
                }
            }
            if (valid) scores.push_back(score + final_scores[(size_t)n * c.S + s]);
        }
    return log_sum_exp(scores.data(), (int)scores.size());
}

template float semiring_sum(Semiring, const float*, int);
template double semiring_sum(Semiring, const double*, int);
template CrfTables<float> crf_tables(Semiring, const CrfShape&, const std::vector<float>&,
                                     const std::vector<float>&, const std::vector<float>&,
                                     const std::vector<int>&, const std::vector<int>&);
template CrfTables<double> crf_tables(Semiring, const CrfShape&, const std::vector<float>&,
                                      const std::vector<float>&, const std::vector<float>&,
                                      const std::vector<int>&, const std::vector<int>&);
template CtcTables<float> ctc_tables(const CtcShape&, const std::vector<float>&, const std::vector<float>&,
                                     const std::vector<float>&, const std::vector<float>&);
template CtcTables<double> ctc_tables(const CtcShape&, const std::vector<float>&, const std::vector<float>&,
                                      const std::vector<float>&, const std::vector<float>&);

}  // namespace vyr_ref
