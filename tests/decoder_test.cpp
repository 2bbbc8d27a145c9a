// Decoder steps one at a time: post-processing, backward guides and posteriors against the sequential
// reference, and the beam search against what its definition fixes (the initial beam, valid transitions,
// one element per path identity, top-k with the cut, the best path's score), on batches of unequal chunks.
#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <tuple>

#include "decoder_batch.h"

namespace {

using vyr_test::DecoderBatch;
using vyr_test::DecoderStep;

TEST(DecoderPostGemm, MatchesScaledTanh) {
    const struct {
        const char* name;
        int num_scores, total_timesteps;
        float scale;
    } cases[] = {
        {"fewer columns than threads", 64, 3, 5.0f},
        {"columns and rows beyond one grid pass", 1100, 1030, 1.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vyr_test::Rng rng(11);
        auto raw = vyr_test::round_to_half(rng.uniform_vec((size_t)c.num_scores * c.total_timesteps, -4, 4));
        auto bias = vyr_test::round_to_half(rng.uniform_vec(c.num_scores, -1, 1));
        // Exact fixed points: 0 stays 0, large magnitudes saturate to exactly +-scale.
        raw[0] = 0.0f, bias[0] = 0.0f, raw[1] = 30.0f, raw[2] = -30.0f;
        vyr_test::DeviceBuffer<__half> d_raw(vyr_test::to_half(raw)), d_bias(vyr_test::to_half(bias));
        EXPECT_EQ(VyrSuccess, host_post_gemm_no_modbase(d_bias.get(), d_raw.get(), c.num_scores,
                                                        c.total_timesteps, c.scale));
        CUDA_CHECK(cudaDeviceSynchronize());
        auto out = vyr_test::to_float(d_raw.download());
        std::vector<float> expect(out.size());
        for (size_t i = 0; i < out.size(); ++i)
            expect[i] = (float)vyr_ref::post_gemm(raw[i], bias[i % c.num_scores], c.scale);
        // tanh as 2 sigmoid(2x) - 1 with ex2.approx (2 ulp) and rcp.approx (1 ulp): the sigmoid is within
        // 4 * 2^-24 relative, doubled by the 2s - 1 form: 5e-7 absolute before scaling. The store rounds to
        // nearest half (2^-11 relative, or 2^-25 absolute among subnormals).
        EXPECT_TRUE(vyr_test::all_near(out, expect, 5e-7 * c.scale + 3e-8, 1.0 / 2048));
        EXPECT_EQ(0.0f, out[0]);
        EXPECT_EQ(c.scale, out[1]);
        EXPECT_EQ(-c.scale, out[2]);
        EXPECT_TRUE(d_raw.guards_intact());
    }
}

// Random scores for a batch; chunks of unequal length, one empty, one with a gap before it.
struct StepCase {
    const char* name;
    int num_states, beam_width;
    float clamp, stay, beam_cut;
    std::vector<int> lengths, gaps;
    bool constant = false;  // every score equal to the stay score: every merge of a stay and a step is a tie
    bool exhaustive = false;  // no path is dropped before the last timestep
};

const StepCase kStepCases[] = {
    {"64 states, beam 32", 64, 32, 0.0f, -0.5f, 100.0f, {7, 1, 0, 19, 12}, {0, 0, 0, 3}},
    {"64 states, beam 1, clamp 1", 64, 1, 1.0f, 0.2f, 100.0f, {9, 4}, {}},
    {"256 states, beam 256", 256, 256, 0.0f, -1.0f, 100.0f, {6, 11}, {}},
    {"1024 states, beam 32", 1024, 32, 0.0f, -1.0f, 100.0f, {5, 8, 3}, {}},
    {"4096 states, beam 32, strided blocks", 4096, 32, 0.0f, -1.0f, 100.0f, {3, 2}, {}},
    {"16 states, cut 3, no count limit", 16, 256, 0.0f, -1.0f, 3.0f, {14, 6, 9}, {}},
    {"4 states, cut below one", 4, 8, 0.0f, 0.0f, 0.5f, {10, 0}, {}},
    {"64 states, no cut", 64, 32, 0.0f, -0.5f, 0.0f, {8}, {}},
    {"4 states, every path kept", 4, 256, 0.0f, -0.5f, 1e30f, {3, 2}, {}, false, true},
    {"4 states, all ties, every path kept", 4, 256, 0.0f, 0.5f, 1e30f, {3}, {}, true, true},
    // Every path scores about -100: the normaliser must not underflow to zero.
    {"all paths far below zero", 16, 32, 0.0f, -5.0f, 100.0f, {30}, {}, true},
};

DecoderBatch make_random_batch(const StepCase& c, uint64_t seed) {
    vyr_ref::DecodeParams p;
    p.num_states = c.num_states;
    p.beam_width = c.beam_width;
    p.score_clamp = c.clamp;
    p.fixed_stay_score = c.stay;
    p.beam_cut = c.beam_cut;
    int axis = 0;
    DecoderBatch::make_desc(c.lengths, c.gaps, &axis);
    vyr_test::Rng rng(seed);
    std::vector<float> scores = rng.uniform_vec((size_t)axis * 4 * c.num_states, -3, 3);
    if (c.constant) std::fill(scores.begin(), scores.end(), c.stay);
    return DecoderBatch(p, c.lengths, scores, c.gaps);
}

// The beam search of one chunk against its definition.
void check_beam(DecoderBatch& b, std::vector<float>& ws, int c, float score, const StepCase& sc) {
    const int T = b.T(c), ns = b.p.num_states, bw = b.p.beam_width;
    const std::vector<float> scores = b.chunk_scores(c), G = b.guides(ws, c);
    auto next = [&](int s, int base) { return vyr_ref::step_state(s, base, ns); };
    auto step = [&](int t, int s, int base) { return vyr_ref::step_score(scores, t, s, base, b.p); };
    const std::vector<int> first = vyr_ref::initial_beam(G, b.p);
    // Path identities, numbered as first met: (parent identity, base) of a step; a stay keeps its parent's.
    std::map<std::pair<int, int>, int> ids;
    std::vector<std::pair<int, int>> def;
    auto id_of = [&](int parent, int base) {
        auto it = ids.emplace(std::make_pair(parent, base), (int)def.size());
        if (it.second) def.emplace_back(parent, base);
        return it.first->second;
    };
    std::vector<std::vector<int>> row_ids(T + 1);
    for (size_t i = 0; i < first.size(); ++i) {
        ASSERT_EQ(first[i], b.beam_row(ws, c, 0)[i].state) << "row 0 element " << i;
        row_ids[0].push_back(id_of(-1, first[i]));
    }
    // Rows hold their elements first and keep the workspace fill (state -1) after them; only position 0 of
    // the last row is defined.
    for (int t = 1; t <= T; ++t) {
        const BeamElement* row = b.beam_row(ws, c, t);
        const BeamElement* prev = b.beam_row(ws, c, t - 1);
        for (int i = 0; i < (t == T ? 1 : bw) && row[i].state != -1; ++i) {
            const BeamElement& e = row[i];
            ASSERT_LT(e.prev_element_index, row_ids[t - 1].size()) << "row " << t << " element " << i;
            const int ps = prev[e.prev_element_index].state, parent = row_ids[t - 1][e.prev_element_index];
            ASSERT_EQ(e.stay ? ps : next(ps, e.state & 3), e.state) << "row " << t << " element " << i;
            row_ids[t].push_back(e.stay ? parent : id_of(parent, e.state & 3));
            // On equal scores the step keeps the merged path, so only paths without a base stay.
            EXPECT_TRUE(!sc.constant || !sc.exhaustive ||
                        (def[row_ids[t].back()].first == -1) == (e.stay == 1));
        }
        ASSERT_FALSE(row_ids[t].empty()) << "row " << t;
        EXPECT_EQ(row_ids[t].size(), std::set<int>(row_ids[t].begin(), row_ids[t].end()).size())
            << "row " << t
            << " holds a path identity twice: a stay and a step with the same bases not merged";
    }
    auto identity = [&](int id, int* s0) {
        std::vector<int> bases;
        for (; def[id].first != -1; id = def[id].first) bases.insert(bases.begin(), def[id].second);
        *s0 = def[id].second;
        return bases;
    };
    if (T >= 2) {
        // Row 1 (no merges yet, forward scores are the transition scores): the candidates ranked by score
        // plus guide, in float as the ranking is defined. Within the cut best - ln(beam_cut) (a cut below one
        // acts as one, none at all for a cut <= 0) all are kept up to beam_width; beyond that a top set of
        // 80 to 100 % of beam_width.
        const auto cand = vyr_ref::first_step_candidates(scores, G, first, b.p);
        float best = -INFINITY;
        for (const auto& x : cand) best = std::max(best, x.second);
        const float thr = !(sc.beam_cut > 0) ? -3.4e38f : best - std::max(0.0f, std::log(sc.beam_cut));
        std::set<std::tuple<int, int, int>> passing, kept;
        for (const auto& x : cand)
            if (x.second >= thr) passing.insert(x.first);
        float lowest_kept = INFINITY, best_dropped = -INFINITY;
        for (size_t i = 0; i < row_ids[1].size(); ++i) {
            const BeamElement& e = b.beam_row(ws, c, 1)[i];
            kept.insert({e.prev_element_index, e.stay, e.state});
            lowest_kept = std::min(lowest_kept, cand.at({e.prev_element_index, e.stay, e.state}));
        }
        for (const auto& x : cand)
            if (!kept.count(x.first)) best_dropped = std::max(best_dropped, x.second);
        EXPECT_GE(lowest_kept, best_dropped) << "row 1 is not the top of the candidates";
        if ((int)passing.size() <= bw)
            EXPECT_TRUE(kept == passing) << kept.size() << " kept, " << passing.size() << " within the cut";
        else
            EXPECT_TRUE((int)kept.size() >= 8 * bw / 10 && (int)kept.size() <= bw) << kept.size() << " kept";
    }
    if (T == 0) {
        EXPECT_EQ(0.0f, score);
        return;
    }
    // The score is the merged forward score of the best path's identity: at least the score of the alignment
    // the rows trace, at most the weight of all alignments of that identity. Float sums and merges (log1p of
    // a fast exp, 2^-22) stay within 1e-5 per timestep.
    const double tol = 1e-5 * (T + 1);
    double traced = 0;
    for (int t = T, i = 0; t > 0; i = b.beam_row(ws, c, t--)[i].prev_element_index) {
        const BeamElement& e = b.beam_row(ws, c, t)[i];
        const int ps = b.beam_row(ws, c, t - 1)[e.prev_element_index].state;
        traced += e.stay ? sc.stay : step(t - 1, ps, e.state & 3);
    }
    int s0;
    const std::vector<int> bases = identity(row_ids[T][0], &s0);
    EXPECT_LE(traced - tol, score);
    EXPECT_LE(score, vyr_ref::identity_score(scores, s0, bases, T, b.p) + tol);
    if (!sc.exhaustive) return;
    // With every path kept, the best identity over all alignments, enumerated.
    const double best = vyr_ref::best_identity_score(scores, first, T, b.p);
    EXPECT_NEAR(best, score, tol);
}

TEST(DecoderSteps, GuidesBeamAndPosteriors) {
    for (const StepCase& c : kStepCases) {
        SCOPED_TRACE(c.name);
        DecoderBatch b = make_random_batch(c, 5);
        const int ns = c.num_states;
        ASSERT_EQ(cudaSuccess, b.run(DecoderStep::Guides));
        ASSERT_EQ(cudaSuccess, b.run(DecoderStep::Beam));
        CUDA_CHECK(cudaDeviceSynchronize());
        auto ws = b.workspace.download();
        auto results = b.results.download();
        ASSERT_EQ(cudaSuccess, b.run(DecoderStep::Posts));
        CUDA_CHECK(cudaDeviceSynchronize());
        auto out_scores = vyr_test::to_float(b.scores.download());

        for (int ci = 0; ci < b.num_chunks(); ++ci) {
            SCOPED_TRACE("chunk " + std::to_string(ci));
            const int T = b.T(ci);
            auto scores = b.chunk_scores(ci);
            auto guides = b.guides(ws, ci);
            auto ref_guides = vyr_ref::back_guides(scores, T, b.p);
            // Each backward row is a 5-term log-sum-exp of the next: float adds (2^-24 relative of the
            // largest magnitude, |g| <= 4T + 2) and fast exp/log (2^-22 absolute each), accumulated over T
            // rows.
            double gmax = 4.0 * T + 2;
            EXPECT_TRUE(vyr_test::all_near(guides, std::vector<float>(ref_guides.begin(), ref_guides.end()),
                                           T * (4 * 2.0 * gmax / (1 << 24) + 1e-6)));
            EXPECT_EQ(b.desc[ci].timestep_offset, results[ci].timestep_offset);
            EXPECT_EQ(T, results[ci].num_timesteps);
            check_beam(b, ws, ci, results[ci].score, c);

            if (T == 0) continue;
            auto posts = b.posts(out_scores, ci);
            auto ref_posts =
                vyr_ref::posteriors(scores, std::vector<double>(guides.begin(), guides.end()), T, b.p);
            // Forward rows carry the same chained error as the guides (relative error of each posterior),
            // then the normaliser (exp/log, 2^-21) and the half store (2^-11 relative, 2^-25 absolute).
            double rel = T * (8.0 * gmax / (1 << 24) + 1e-6) + 1.0 / 2048;
            EXPECT_TRUE(
                vyr_test::all_near(posts, std::vector<float>(ref_posts.begin(), ref_posts.end()), 3e-8, rel));
        }
        // Posterior rows end before the chunk's last score row; nothing else (gaps, the empty chunk, the
        // rest of each block) is written.
        std::vector<bool> written(b.scores_in.size(), false);
        for (int ci = 0; ci < b.num_chunks(); ++ci)
            if (b.T(ci) > 0)
                std::fill_n(written.begin() + (size_t)b.desc[ci].timestep_offset * b.num_scores,
                            (size_t)(b.T(ci) + 1) * ns, true);
        for (size_t i = 0; i < written.size(); ++i)
            ASSERT_TRUE(written[i] || b.scores_in[i] == out_scores[i]) << "score " << i << " overwritten";
        EXPECT_TRUE(b.guards_intact());
    }
}

}  // namespace
