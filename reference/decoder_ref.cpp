#include "decoder_ref.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

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

// The decoder's float exponential and logarithm as 2^(x log2 e) and log2(x) ln 2; exact on this host, as the
// simulator's are, so the beam search here takes the same decisions as the kernel on close calls too.
float exp_f(float x) {
    return std::exp2(x * 1.44269504f);
}
float log_f(float x) {
    return std::log2(x) * 0.693147181f;
}

uint32_t crc32c(uint32_t crc, uint32_t data, int bits) {
    for (int i = 0; i < bits; ++i) {
        uint32_t bit = (crc ^ (data >> i)) & 1u;
        crc >>= 1;
        if (bit) crc ^= 0x82F63B78u;
    }
    return crc;
}

}  // namespace

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

BeamResult beam_search(const std::vector<float>& scores, const std::vector<float>& guides, int T,
                       const DecodeParams& p) {
    struct Front {
        uint32_t hash;
        float score;
        int state;
        int prev;
        int stay;
    };
    const int ns = p.num_states, bw = p.beam_width;
    int bits = 0;
    while ((1 << bits) < ns) ++bits;
    const bool no_cut = !(p.beam_cut > 0.0f);
    const float log_cut = no_cut ? kMaxFloat : std::max(log_f(p.beam_cut), 0.0f);
    auto S = [&](int t, int i) { return (float)clamp_score(scores[(size_t)t * 4 * ns + i], p.score_clamp); };
    auto G = [&](int t, int s) { return guides[(size_t)t * ns + s]; };

    BeamResult out;
    out.score = -1.0f;
    float init_thr = -kMaxFloat;
    if (ns > bw) {
        std::vector<float> row(guides.begin(), guides.begin() + ns);
        std::stable_sort(row.begin(), row.end(), [](float a, float b) { return a > b; });
        init_thr = row[bw - 1];
    }
    if (std::isnan(init_thr)) return out;
    std::vector<Front> beam;
    for (int s = 0; s < ns && (int)beam.size() < bw; ++s)
        if (G(0, s) >= init_thr) beam.push_back({crc32c(0x12345678u, (uint32_t)s, 32), 0.0f, s, 0, 0});
    if (beam.empty()) return out;
    out.rows.emplace_back();
    for (const Front& f : beam) out.rows[0].push_back({(int16_t)f.state, 0, 0});

    for (int t = 0; t < T; ++t) {
        const int n = (int)beam.size();
        std::vector<Front> cand(5 * n);
        float best = -kMaxFloat, lowest = kMaxFloat;
        for (int i = 0; i < n; ++i) {
            const Front& q = beam[i];
            int shifted = (q.state * 4) & (ns - 1), top = (q.state * 4) >> bits;
            for (int b = 0; b < 4; ++b) {
                int to = shifted | b;
                float sc = (q.score + S(t, 4 * to + top)) + G(t + 1, to);
                cand[4 * i + b] = {crc32c(q.hash, (uint32_t)b, 2), sc, to, i, 0};
                best = std::fmax(best, sc);
                lowest = std::fmin(lowest, sc);
            }
            float sc = (q.score + p.fixed_stay_score) + G(t + 1, q.state);
            cand[4 * n + i] = {q.hash, sc, q.state, i, 1};
            best = std::fmax(best, sc);
            lowest = std::fmin(lowest, sc);
        }
        for (int i = 0; i < n; ++i) {
            Front& y = cand[4 * n + i];
            for (int j = 0; j < n; ++j) {
                Front& x = cand[4 * j + (y.state & 3)];
                if (x.hash != y.hash) continue;
                float gap = std::fabs(y.score - x.score);
                float m = std::fmax(y.score, x.score) + std::log1p(exp_f(-gap));
                best = std::fmax(best, m);
                if (y.score > x.score) {
                    y.score = m;
                    x.score = -kMaxFloat;
                } else {
                    x.score = m;
                    y.score = -kMaxFloat;
                }
            }
        }
        auto count_at = [&](float thr) {
            int c = 0;
            for (const Front& f : cand) c += f.score >= thr;
            return c;
        };
        float thr = no_cut ? std::max(lowest, std::nextafter(-kMaxFloat, 0.0f)) : best - log_cut;
        int count = count_at(thr);
        if (count > bw) {
            float lo = thr, hi = best;
            int guesses = 1;
            do {
                if (count > bw) {
                    lo = thr;
                    thr = (thr + hi) / 2;
                } else {
                    hi = thr;
                    thr = (thr + lo) / 2;
                }
                count = count_at(thr);
                ++guesses;
            } while ((count > bw || count < (8 * bw) / 10) && guesses < 10);
            if (guesses == 10) {
                thr = hi;
                count = count_at(thr);
            }
        }
        if (count == 0) return BeamResult{-1.0f, {}};
        // The kernel's lanes each take every 32nd candidate; survivors are ordered by lane, then index.
        std::vector<Front> next;
        for (int lane = 0; lane < 32; ++lane)
            for (int i = lane; i < 5 * n; i += 32)
                if (cand[i].score >= thr && (int)next.size() < bw) next.push_back(cand[i]);
        if (t == T - 1) {
            size_t best_i = 0;
            for (size_t i = 1; i < next.size(); ++i)
                if (next[i].score > next[best_i].score) best_i = i;
            std::swap(next[0], next[best_i]);  // only position 0 of the last row is defined
        }
        out.rows.emplace_back();
        for (Front& f : next) {
            f.score -= G(t + 1, f.state);
            out.rows.back().push_back({(int16_t)f.state, (uint8_t)f.prev, (uint8_t)f.stay});
        }
        beam = next;
    }
    out.score = beam[0].score;
    return out;
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
