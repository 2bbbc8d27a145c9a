// Decoder steps one at a time against the sequential reference: post-processing, backward guides, beam search
// and posteriors, on batches of unequal chunks.
#include <cmath>
#include <limits>

#include "decoder_batch.h"

namespace {

using vyr_test::DecoderBatch;
using vyr_test::DecoderStep;

constexpr float kFloatMax = std::numeric_limits<float>::max();

TEST(DecoderPostGemm, MatchesScaledTanh) {
    struct Case {
        const char* name;
        int num_scores, total_timesteps;
        float scale;
    } cases[] = {
        {"fewer columns than threads", 64, 3, 5.0f},
        {"columns and rows beyond one grid pass", 1100, 1030, 1.0f},
    };
    for (const Case& c : cases) {
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
        // half (2^-11 relative, or 2^-25 absolute among subnormals).
        EXPECT_TRUE(vyr_test::all_near(out, expect, 5e-7 * c.scale + 3e-8, 1.0 / 2048));
        EXPECT_EQ(0.0f, out[0]);
        EXPECT_EQ(c.scale, out[1]);
        EXPECT_EQ(-c.scale, out[2]);
        EXPECT_TRUE(d_raw.guards_intact());
    }
}

TEST(DecoderRecords, ClampScoresBounds) {
    std::vector<__half> h = vyr_test::to_half({7.5f, -9.0f, NAN, 65504.0f, INFINITY});
    ClampScores clamped(h.data(), 5.0f), open(h.data(), 0.0f);
    EXPECT_EQ(5.0f, clamped[0]);
    EXPECT_EQ(-5.0f, clamped[1]);
    EXPECT_EQ(-5.0f, clamped[2]);  // NaN loses every comparison, so it reads as the lower bound
    EXPECT_EQ(-5.0f, clamped.from_offset(2)[0]);
    EXPECT_EQ(7.5f, open[0]);
    EXPECT_EQ(65504.0f, open[3]);
    EXPECT_EQ(kFloatMax, open[4]);
    EXPECT_EQ(-kFloatMax, open[2]);
}

// Random scores for a batch; chunks of unequal length, one empty, one with a gap before it.
struct StepCase {
    const char* name;
    int num_states, beam_width;
    float clamp, stay, beam_cut;
    std::vector<int> lengths, gaps;
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
    return DecoderBatch(p, c.lengths, rng.uniform_vec((size_t)axis * 4 * c.num_states, -3, 3), c.gaps);
}

const StepCase kStepCases[] = {
    {"64 states, beam 32", 64, 32, 0.0f, -0.5f, 100.0f, {7, 1, 0, 19, 12}, {0, 0, 0, 3}},
    {"64 states, beam 1, clamp 1", 64, 1, 1.0f, 0.2f, 100.0f, {9, 4}, {}},
    {"256 states, beam 256", 256, 256, 0.0f, -1.0f, 100.0f, {6, 11}, {}},
    {"1024 states, beam 32", 1024, 32, 0.0f, -1.0f, 100.0f, {5, 8, 3}, {}},
    {"4096 states, beam 32, strided blocks", 4096, 32, 0.0f, -1.0f, 100.0f, {3, 2}, {}},
    {"16 states, narrow cut", 16, 32, 0.0f, -1.0f, 1.5f, {14}, {}},
    {"4 states, cut below one", 4, 8, 0.0f, 0.0f, 0.5f, {10, 0}, {}},
};

TEST(DecoderSteps, GuidesBeamAndPosteriorsMatchReference) {
    for (const StepCase& c : kStepCases) {
        SCOPED_TRACE(c.name);
        DecoderBatch b = make_random_batch(c, 5);
        const int ns = c.num_states;

        ASSERT_EQ(cudaSuccess, b.run(DecoderStep::Guides));
        CUDA_CHECK(cudaDeviceSynchronize());
        auto ws_guides = b.workspace.download();
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
            auto guides = b.guides(ws_guides, ci);
            auto ref_guides = vyr_ref::back_guides(scores, T, b.p);
            // Each backward row is a 5-term log-sum-exp of the next: float adds (2^-24 relative of the
            // largest magnitude, |g| <= 4T + 2) and fast exp/log (2^-22 absolute each), accumulated over T
            // rows.
            double gmax = 4.0 * T + 2;
            EXPECT_TRUE(vyr_test::all_near(guides, std::vector<float>(ref_guides.begin(), ref_guides.end()),
                                           T * (4 * 2.0 * gmax / (1 << 24) + 1e-6)));

            auto ref_beam = vyr_ref::beam_search(scores, guides, T, b.p);
            EXPECT_EQ(b.desc[ci].timestep_offset, results[ci].timestep_offset);
            EXPECT_EQ(T, results[ci].num_timesteps);
            // Same float operations in the same order; only merges (log1p of a fast exp, 2^-22) may differ.
            EXPECT_NEAR(ref_beam.score, results[ci].score, 1e-5 * (T + 1));
            ASSERT_EQ((size_t)T + 1, ref_beam.rows.size());
            for (int t = 0; t <= T; ++t) {
                // Only position 0 of the last row is ordered; the others there are unspecified.
                size_t n = t == T && T > 0 ? 1 : ref_beam.rows[t].size();
                const BeamElement* row = b.beam_row(ws, ci, t);
                for (size_t i = 0; i < n; ++i) {
                    const BeamElement& e = ref_beam.rows[t][i];
                    ASSERT_TRUE(e.state == row[i].state &&
                                e.prev_element_index == row[i].prev_element_index && e.stay == row[i].stay)
                        << "row " << t << " element " << i << ": " << row[i].state << "/"
                        << (int)row[i].prev_element_index << "/" << (int)row[i].stay << ", expected "
                        << e.state << "/" << (int)e.prev_element_index << "/" << (int)e.stay;
                }
            }

            if (T == 0) continue;
            auto posts = b.posts(out_scores, ci);
            auto ref_posts =
                vyr_ref::posteriors(scores, std::vector<double>(guides.begin(), guides.end()), T, b.p);
            // Forward rows carry the same chained error as the guides (relative error of each posterior),
            // then the normaliser (exp/log, 2^-21) and the half store (2^-11 relative, 2^-25 absolute).
            double rel = T * (8.0 * gmax / (1 << 24) + 1e-6) + 1.0 / 2048;
            EXPECT_TRUE(
                vyr_test::all_near(posts, std::vector<float>(ref_posts.begin(), ref_posts.end()), 3e-8, rel));
            // Past the posterior rows the chunk's block keeps its last scores: nothing else was written.
            size_t block = (size_t)b.desc[ci].timestep_offset * b.num_scores;
            for (size_t i = (size_t)(T + 1) * ns; i < (size_t)T * b.num_scores; ++i)
                ASSERT_EQ(b.scores_in[block + i], out_scores[block + i]) << "score " << i << " overwritten";
        }
        // The empty chunk and the gap own no score rows: every score outside the chunks' blocks is untouched.
        std::vector<bool> owned(b.scores_in.size(), false);
        for (int ci = 0; ci < b.num_chunks(); ++ci)
            std::fill_n(owned.begin() + (size_t)b.desc[ci].timestep_offset * b.num_scores,
                        (size_t)b.T(ci) * b.num_scores, true);
        for (size_t i = 0; i < owned.size(); ++i)
            if (!owned[i]) ASSERT_EQ(b.scores_in[i], out_scores[i]) << "score " << i;
        EXPECT_TRUE(b.guards_intact());
    }
}

TEST(DecoderSteps, UniformScoresGiveUniformPosteriors) {
    vyr_ref::DecodeParams p;
    p.num_states = 256;
    p.fixed_stay_score = 0.25f;
    DecoderBatch b(p, {1, 6}, std::vector<float>(7 * 1024, 0.25f));
    ASSERT_EQ(cudaSuccess, b.run(DecoderStep::Guides));
    ASSERT_EQ(cudaSuccess, b.run(DecoderStep::Posts));
    CUDA_CHECK(cudaDeviceSynchronize());
    auto ws = b.workspace.download();
    // The T = 1 chunk: guides[0][s] = log(e^y + 4 e^x) with x = y = 0.25 (fast exp/log: 2^-21).
    auto g = b.guides(ws, 0);
    EXPECT_NEAR(0.25 + std::log(5.0), g[0], 1e-6);
    EXPECT_EQ(0.0f, g[256]);
    auto out = vyr_test::to_float(b.scores.download());
    for (int ci = 0; ci < 2; ++ci) {
        auto posts = b.posts(out, ci);
        // 1/256 is a power of two; only the fast exp/log of the normaliser (2^-21 relative) and the half
        // store.
        EXPECT_TRUE(vyr_test::all_near(posts, std::vector<float>(posts.size(), 1.0f / 256), 0, 1.0 / 2048));
    }
}

}  // namespace
