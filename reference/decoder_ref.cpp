#include "decoder_ref.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

namespace vyr_ref {
namespace {

constexpr float kMaxFloat = std::numeric_limits<float>::max();

double log_sum_exp(const double* x, int n) {
    double m = *std::max_element(x, x + n);
    if (m == -INFINITY) return m;
    double sum = 0;
    for (int i = 0; i < n; ++i) sum += std::exp(x[i] - m);
    return m + std::log(sum);
}

int pred(int s, int k, int num_states) {
    return s / 4 + k * (num_states / 4);
}
int succ(int s, int b, int num_states) {
    return (4 * s) % num_states + b;
}

}  // namespace

int step_state(int s, int b, int num_states) {
    return succ(s, b, num_states);
}

double step_score(const std::vector<float>& scores, int t, int s, int b, const DecodeParams& p) {
    const int ns = p.num_states;
    return clamp_score(scores[(size_t)t * 4 * ns + 4 * succ(s, b, ns) + 4 * s / ns], p.score_clamp);
}

double identity_score(const std::vector<float>& scores, int s0, const std::vector<int>& bases, int T,
                      const DecodeParams& p) {
    std::vector<double> w(bases.size() + 1, -INFINITY);
    std::vector<int> state = {s0};
    for (int b : bases) state.push_back(succ(state.back(), b, p.num_states));
    w[0] = 0;
    for (int t = 0; t < T; ++t)
        for (int k = (int)bases.size(); k >= 0; --k) {
            double x[2] = {w[k] + p.fixed_stay_score,
                           k ? w[k - 1] + step_score(scores, t, state[k - 1], bases[k - 1], p) : -INFINITY};
            w[k] = log_sum_exp(x, 2);
        }
    return w.back();
}

double best_identity_score(const std::vector<float>& scores, const std::vector<int>& starts, int T,
                           const DecodeParams& p) {
    std::map<std::vector<int>, double> all;  // (start, bases...) -> summed weight of its alignments
    auto walk = [&](auto&& self, int t, int s, std::vector<int>& key, double w) -> void {
        if (t == T) {
            auto it = all.emplace(key, -INFINITY).first;
            double x[2] = {it->second, w};
            it->second = log_sum_exp(x, 2);
            return;
        }
        self(self, t + 1, s, key, w + p.fixed_stay_score);
        for (int b = 0; b < 4; ++b) {
            key.push_back(b);
            self(self, t + 1, succ(s, b, p.num_states), key, w + step_score(scores, t, s, b, p));
            key.pop_back();
        }
    };
    for (int s : starts) {
        std::vector<int> key = {s};
        walk(walk, 0, s, key, 0.0);
    }
    double best = -INFINITY;
    for (const auto& x : all) best = std::max(best, x.second);
    return best;
}

std::vector<int> initial_beam(const std::vector<float>& guides, const DecodeParams& p) {
    std::vector<int> beam(p.num_states);
    for (int s = 0; s < p.num_states; ++s) beam[s] = s;
    std::stable_sort(beam.begin(), beam.end(), [&](int x, int y) { return guides[x] > guides[y]; });
    beam.resize(std::min(p.num_states, p.beam_width));
    std::sort(beam.begin(), beam.end());
    return beam;
}

std::map<std::tuple<int, int, int>, float> first_step_candidates(const std::vector<float>& scores,
                                                                 const std::vector<float>& guides,
                                                                 const std::vector<int>& first,
                                                                 const DecodeParams& p) {
    const int ns = p.num_states;
    std::map<std::tuple<int, int, int>, float> cand;
    for (size_t i = 0; i < first.size(); ++i) {
        const int s = first[i];
        for (int b = 0; b < 4; ++b)
            cand[{(int)i, 0, succ(s, b, ns)}] =
                (float)step_score(scores, 0, s, b, p) + guides[ns + succ(s, b, ns)];
        cand[{(int)i, 1, s}] = p.fixed_stay_score + guides[ns + s];
    }
    return cand;
}

double post_gemm(double raw, double bias, double scale) {
    return scale * std::tanh(raw + bias);
}

double clamp_score(float x, float clamp) {
    double bound = clamp == 0.0f ? (double)kMaxFloat : (double)clamp;
    if (std::isnan(x)) return -bound;
    return std::min(std::max((double)x, -bound), bound);
}

std::vector<double> back_guides(const std::vector<float>& scores, int T, const DecodeParams& p) {
    const int n = p.num_states;
    std::vector<double> g((size_t)(T + 1) * n, 0.0);
    for (int t = T - 1; t >= 0; --t) {
        for (int s = 0; s < n; ++s) {
            double terms[5];
            terms[0] = g[(size_t)(t + 1) * n + s] + p.fixed_stay_score;
            for (int b = 0; b < 4; ++b) {
                int to = succ(s, b, n);
                int dropped = (4 * s) / n;
                terms[1 + b] = g[(size_t)(t + 1) * n + to] +
                               clamp_score(scores[(size_t)t * 4 * n + 4 * to + dropped], p.score_clamp);
            }
            g[(size_t)t * n + s] = log_sum_exp(terms, 5);
        }
    }
    return g;
}

std::vector<double> posteriors(const std::vector<float>& scores, const std::vector<double>& guides, int T,
                               const DecodeParams& p) {
    const int n = p.num_states;
    std::vector<double> fwd(n, 0.0), next(n), post((size_t)(T + 1) * n);
    for (int t = 0; t <= T; ++t) {
        std::vector<double> x(n);
        for (int s = 0; s < n; ++s) x[s] = fwd[s] + guides[(size_t)t * n + s];
        double lse = log_sum_exp(x.data(), n);
        for (int s = 0; s < n; ++s) post[(size_t)t * n + s] = std::exp(x[s] - lse);
        if (t == T) break;
        for (int s = 0; s < n; ++s) {
            double terms[5];
            terms[0] = fwd[s] + p.fixed_stay_score;
            for (int k = 0; k < 4; ++k)
                terms[1 + k] =
                    fwd[pred(s, k, n)] + clamp_score(scores[(size_t)t * 4 * n + 4 * s + k], p.score_clamp);
            next[s] = log_sum_exp(terms, 5);
        }
        fwd.swap(next);
    }
    return post;
}

char quality_char(double q) {
    return (char)(int)std::floor(q + 33.5);
}

DecodeResult decode(const std::vector<std::vector<BeamElement>>& rows, float score,
                    const std::vector<float>& posts, int T, const DecodeParams& p) {
    const int ns = p.num_states;
    DecodeResult r;
    if (T == 0) return r;
    r.states.assign(T, 0);
    r.moves.assign(T, 0);
    if (score < 0) {
        r.moves[0] = 1;
        r.sequence = "A";
        r.quality = {0.0};
        r.num_bases = 1;
        r.move_fraction = 1;
        r.mean_error = 1;
        return r;
    }
    int idx = 0;
    for (int t = T; t >= 1; --t) {
        const BeamElement& e = rows[t][idx];
        r.states[t - 1] = e.state;
        r.moves[t - 1] = e.stay ? 0 : 1;
        idx = e.prev_element_index;
    }
    r.moves[0] = 1;
    if (p.timestep_aligned == 1) r.sequence.assign(T, '\0');
    if (p.timestep_aligned == 1) r.quality.assign(T, 0.0);
    double acc = 0, err_sum = 0;
    int run = 0;
    for (int t = 0; t < T; ++t) {
        int s = r.states[t];
        const float* P = &posts[(size_t)(t + 1) * ns];
        std::vector<int> seen = {s};
        for (int k = 0; k < 4; ++k)
            for (int x : {pred(s, k, ns), succ(s, k, ns)})
                if (std::find(seen.begin(), seen.end(), x) == seen.end()) seen.push_back(x);
        double prob = 0;
        for (int x : seen) prob += P[x];
        prob = std::min(std::max(prob, 0.0), 1.0);
        acc += std::pow(prob, 0.4);
        ++run;
        r.states[t] = s % 4;
        if (t + 1 < T && r.moves[t + 1] == 0) continue;
        double mean = acc / run;
        double q = -10.0 * std::log10(1.0 - mean) * p.q_scale + p.q_shift;
        q = std::max(1.0, std::min(50.0, q));
        if (p.timestep_aligned == 1) {
            r.sequence[t - (run - 1)] = "ACGT"[s % 4];
            r.quality[t - (run - 1)] = q;
        } else {
            r.sequence += "ACGT"[s % 4];
            r.quality.push_back(q);
        }
        ++r.num_bases;
        err_sum += 1.0 - mean;
        acc = 0;
        run = 0;
    }
    r.stay_fraction = (double)(T - r.num_bases) / T;
    r.move_fraction = (double)r.num_bases / T;
    r.mean_error = err_sum / r.num_bases;
    return r;
}

}  // namespace vyr_ref
