// The decoder end to end: planted reads through all five steps, the decode step on hand-built beam rows and
// posteriors (quality characters, run positions, summaries, failure output), and refused sizes.
#include <cmath>
#include <string>

#include "decoder_batch.h"

namespace {

using vyr_test::DecoderBatch;
using vyr_test::DecoderStep;

// A random path of steps and stays through the CRF, and raw network outputs that favour it: after the
// post-processing (scale 5, no bias) the planted step scores about +4.8, every other step about -4.8, and the
// stay scores the fixed +1, so the planted path is the best by a wide margin at every timestep (and its score
// is positive: the decoder reports a negative path score as a failed read). The first transition is a step,
// since the state a chunk starts in is only observable through the steps out of it.
struct Planted {
    std::vector<int> moves;  // per timestep, moves[0] forced to 1 as the decoder reports it
    std::vector<int> bases;  // base index per timestep
    std::string sequence;
};
Planted plant(vyr_test::Rng& rng, int T, int num_states, float* raw) {
    Planted p;
    int s = rng.integer(0, num_states - 1);
    for (int t = 0; t < T; ++t) {
        bool step = t == 0 || rng.uniform(0, 1) < 0.7f;
        int next = step ? (4 * s) % num_states + rng.integer(0, 3) : s;
        if (step) raw[(size_t)t * 4 * num_states + 4 * next + (4 * s) / num_states] = 2.0f;
        s = next;
        p.moves.push_back(step);
        p.bases.push_back(s % 4);
        if (p.moves.back()) p.sequence += "ACGT"[s % 4];
    }
    return p;
}

struct PlantedCase {
    const char* name;
    int num_states, beam_width;
    float beam_cut;
    int num_chunks, min_len, max_len;
};
const PlantedCase kPlantedCases[] = {
    {"64 states, beam 32, 33 chunks (two decode blocks)", 64, 32, 100.0f, 33, 1, 24},
    {"256 states, beam 256", 256, 256, 100.0f, 3, 20, 40},
    {"1024 states, beam 1", 1024, 1, 100.0f, 3, 10, 30},
    {"1024 states, beam 32", 1024, 32, 100.0f, 2, 15, 30},
    {"cut below one keeps the best", 64, 32, 0.5f, 4, 5, 30},
    {"no cut", 64, 32, 0.0f, 4, 5, 30},
    {"negative cut", 256, 8, -3.0f, 3, 5, 30},
};

TEST(DecoderPipeline, PlantedReadsDecodeExactly) {
    for (const PlantedCase& c : kPlantedCases) {
        SCOPED_TRACE(c.name);
        vyr_test::Rng rng(17);
        std::vector<int> lengths;
        for (int i = 0; i < c.num_chunks; ++i) lengths.push_back(rng.integer(c.min_len, c.max_len));
        int axis = 0;
        for (int T : lengths) axis += T;
        const int ns = c.num_states, nsc = 4 * ns;
        std::vector<float> raw(rng.uniform_vec((size_t)axis * nsc, -0.3f, 0.3f));
        for (float& x : raw) x -= 2.0f;
        std::vector<Planted> planted;
        for (int o = 0, ci = 0; ci < c.num_chunks; o += lengths[ci++])
            planted.push_back(plant(rng, lengths[ci], ns, raw.data() + (size_t)o * nsc));

        vyr_ref::DecodeParams p;
        p.num_states = ns;
        p.beam_width = c.beam_width;
        p.beam_cut = c.beam_cut;
        p.fixed_stay_score = 1.0f;
        p.q_scale = 0.9f;
        p.q_shift = 1.5f;
        DecoderBatch b(p, lengths, raw);
        vyr_test::DeviceBuffer<__half> bias(vyr_test::to_half(std::vector<float>(nsc, 0.0f)));
        ASSERT_EQ(VyrSuccess, host_post_gemm_no_modbase(bias.get(), b.scores.get(), nsc, axis, 5.0f));
        ASSERT_EQ(cudaSuccess, b.run_all(0));
        auto ws = b.workspace.download();
        const auto posts_all = vyr_test::to_float(b.scores.download());
        const auto states = b.states.download();
        const auto moves = b.moves.download(), seq = b.sequence.download(), qual = b.qstring.download();
        const auto results = b.results.download();
        for (int ci = 0; ci < c.num_chunks; ++ci) {
            SCOPED_TRACE("chunk " + std::to_string(ci));
            const int T = lengths[ci], o = b.desc[ci].timestep_offset;
            const ChunkResult& r = results[ci];
            EXPECT_EQ(planted[ci].moves, std::vector<int>(moves.begin() + o, moves.begin() + o + T));
            EXPECT_EQ(planted[ci].bases, std::vector<int>(states.begin() + o, states.begin() + o + T));
            ASSERT_EQ((int)planted[ci].sequence.size(), r.num_bases);
            EXPECT_EQ(planted[ci].sequence, std::string(seq.begin() + o, seq.begin() + o + r.num_bases));
            EXPECT_TRUE(r.timestep_offset == o && r.num_timesteps == T && r.reserved == 0);
            // Qualities against the reference decode of the kernel's own beam rows and posteriors. The Phred
            // value passes through fast log2 and the p^0.4 of fast exp2/log2 over half posteriors (2^-11
            // relative each), so a value that lands within that error of a rounding boundary may move by one.
            std::vector<std::vector<BeamElement>> rows;
            for (int t = 0; t <= T; ++t)
                rows.emplace_back(b.beam_row(ws, ci, t), b.beam_row(ws, ci, t) + c.beam_width);
            const auto ref = vyr_ref::decode(rows, r.score, b.posts(posts_all, ci), T, p);
            // fast reciprocal (1 ulp) times a small integer; the error mean sums num_bases terms of 2^-11.
            EXPECT_NEAR(ref.stay_fraction, r.stay_fraction, 1e-6);
            EXPECT_NEAR(ref.move_fraction, r.move_fraction, 1e-6);
            EXPECT_NEAR(ref.mean_error, r.mean_error, 2e-3);
            for (int i = 0; i < r.num_bases; ++i)
                EXPECT_LE(std::abs(qual[o + i] - vyr_ref::quality_char(ref.quality[i])), 1) << "base " << i;
        }
        EXPECT_TRUE(b.guards_intact());
    }
}

// A chunk whose scores overflow gives NaN guides: the beam search reports -1 and the decode writes its
// one-base failure read, while the other chunks decode normally. With no more states than the beam width
// there is no initial sort, so NaN guides show up as an empty initial beam instead: also a failed search,
// never a beam of uninitialised elements.
TEST(DecoderPipeline, FailedChunksGiveFailureReads) {
    vyr_ref::DecodeParams p;
    p.beam_width = 16;
    p.fixed_stay_score = -1.0f;
    vyr_test::Rng rng(3);
    std::vector<float> raw = rng.uniform_vec(20 * 256, -2, 2);
    std::fill(raw.begin() + 6 * 256, raw.begin() + 15 * 256, INFINITY);
    DecoderBatch b(p, {6, 9, 5}, raw);
    p.num_states = 16;
    p.beam_width = 32;
    p.fixed_stay_score = NAN;
    DecoderBatch nan_stay(p, {3, 5}, std::vector<float>(8 * 64, 1.0f));
    for (DecoderBatch* batch : {&b, &nan_stay}) {
        ASSERT_EQ(cudaSuccess, batch->run_all(0));
        const auto results = batch->results.download();
        const auto seq = batch->sequence.download();
        const auto qual = batch->qstring.download();
        for (int ci = 0; ci < batch->num_chunks(); ++ci) {
            const ChunkResult& r = results[ci];
            const int o = batch->desc[ci].timestep_offset;
            if (batch == &b && ci != 1) {
                EXPECT_TRUE(r.score >= 0.0f && r.num_bases >= 1) << "chunk " << ci;
                continue;
            }
            // The failure record itself is the decode step's (checked on hand-built rows below).
            EXPECT_EQ(-1.0f, r.score);
            EXPECT_EQ("A!.", std::string({seq[o], qual[o], seq[o + 1]}));
        }
        EXPECT_TRUE(batch->guards_intact());
    }
}

// The decode step alone, on hand-built beam rows and posteriors with known quality values.
TEST(DecoderDecode, RunsQualitiesAndSummaries) {
    vyr_ref::DecodeParams p;
    p.num_states = 64;
    p.beam_width = 4;
    // Chunk 0: moves 1,0,0,1,1. Chunks 1 and 2: one timestep each. Chunk 3: failed search. Chunk 4: empty, at
    // the end of the axis, so any write of it lands in a guard band.
    std::vector<int> lengths = {5, 1, 1, 4, 0};
    DecoderBatch b(p, lengths, std::vector<float>(11 * 256, 0.0f));
    auto ws = b.workspace.download();
    std::vector<float> posts = vyr_test::to_float(b.scores.download());
    auto set_row = [&](int c, int t, int idx, BeamElement e) { b.beam_row(ws, c, t)[idx] = e; };
    // Path through element indices 3, 0, 1, 2, 0 of rows 1..5; states 6, 6, 6, 27, 44 (bases G, G, G, T, A).
    set_row(0, 1, 3, {6, 0, 0});
    set_row(0, 2, 0, {6, 3, 1});
    set_row(0, 3, 1, {6, 0, 1});
    set_row(0, 4, 2, {27, 1, 0});
    set_row(0, 5, 0, {44, 2, 0});
    set_row(1, 1, 0, {13, 0, 1});  // a stay at t = 0 still starts a base
    set_row(2, 1, 0, {63, 0, 0});
    // Posterior mass only at the path's states, so p = P[s]: p^0.4 = 0.5 for the G run (mean 0.5, Phred 3.01,
    // "$"), 0.75 for T (Phred 6.02, "'"), 1 for A (Phred 50, "S"); chunk 1 has Phred 2.6 ("$", rounded up),
    // chunk 2 has p = 0 (Phred 0, raised to 1: "\"").
    auto set_post = [&](int c, int t, int s, float v) {
        posts[(size_t)b.desc[c].timestep_offset * b.num_scores + (size_t)t * 64 + s] = v;
    };
    const float p_half = std::pow(0.5f, 2.5f), p_three_quarter = std::pow(0.75f, 2.5f);
    for (int t : {1, 2, 3}) set_post(0, t, 6, p_half);
    set_post(0, 4, 27, p_three_quarter);
    set_post(0, 5, 44, 1.0f);
    set_post(1, 1, 13, std::pow(1.0f - std::pow(10.0f, -0.26f), 2.5f));
    b.workspace.upload(ws);
    b.scores.upload(vyr_test::to_half(posts));
    std::vector<ChunkResult> preset(5, ChunkResult{});
    preset[3].score = -1.0f;
    preset[4].score = -1.0f;
    b.results.upload(preset);

    for (int aligned : {0, 1}) {
        SCOPED_TRACE(aligned ? "aligned" : "compact");
        b.sequence.fill_bytes('.');
        b.qstring.fill_bytes('.');
        ASSERT_EQ(cudaSuccess, b.run(DecoderStep::Decode, aligned));
        CUDA_CHECK(cudaDeviceSynchronize());
        auto r = b.results.download();
        auto seq = b.sequence.download();
        auto qual = b.qstring.download();
        auto moves = b.moves.download();
        auto states = b.states.download();
        EXPECT_EQ(std::string(aligned ? "G..TA" : "GTA.."), std::string(seq.begin(), seq.begin() + 5));
        EXPECT_EQ(std::string(aligned ? "$..'S" : "$'S.."), std::string(qual.begin(), qual.begin() + 5));
        EXPECT_EQ(std::vector<char>({1, 0, 0, 1, 1}), std::vector<char>(moves.begin(), moves.begin() + 5));
        EXPECT_EQ(std::vector<int>({2, 2, 2, 3, 0}), std::vector<int>(states.begin(), states.begin() + 5));
        // The summary counts runs in both modes.
        EXPECT_EQ(3, r[0].num_bases);
        EXPECT_NEAR(0.4f, r[0].stay_fraction, 1e-7);
        EXPECT_NEAR(0.6f, r[0].move_fraction, 1e-7);
        // Half posteriors put each p^0.4 within 2.5 * 2^-11 relative of its target.
        EXPECT_NEAR(0.25f, r[0].mean_error, 1e-3);
        EXPECT_EQ(std::string("C$"), std::string() + seq[5] + qual[5]);
        EXPECT_EQ(std::string("T\""), std::string() + seq[6] + qual[6]);
        EXPECT_EQ(1, moves[5]);
        EXPECT_EQ(std::string("A!..."), std::string(seq.begin() + 7, seq.begin() + 11).insert(1, 1, qual[7]));
        EXPECT_TRUE(r[3].num_bases == 1 && r[3].mean_error == 1.0f && r[3].stay_fraction == 0.0f &&
                    r[3].move_fraction == 1.0f);
        EXPECT_EQ(std::vector<char>({1, 0, 0, 0}), std::vector<char>(moves.begin() + 7, moves.begin() + 11));
        EXPECT_EQ(std::vector<int>(4, 0), std::vector<int>(states.begin() + 7, states.begin() + 11));
        EXPECT_TRUE(r[4].num_bases == 0 && r[4].stay_fraction == 0.0f && r[4].move_fraction == 0.0f &&
                    r[4].mean_error == 0.0f && r[4].timestep_offset == 11);
        EXPECT_TRUE(b.guards_intact());
    }
}

// A caller may launch the exported kernels itself, with its own block size. A posterior block narrower than
// a warp (and not a power of two) still normalises: the normaliser is summed over 16 lanes instead of 32, a
// different float order (n * 2^-24 relative for n = 64 terms), so the half posteriors may differ from the
// host function's by one rounding (2^-10 relative at most, 2^-24 absolute among subnormals); the guides,
// one thread per state either way, are identical.
TEST(DecoderKernels, CallerLaunchesWithNarrowBlocks) {
    vyr_ref::DecodeParams p;
    p.beam_width = 16;
    p.fixed_stay_score = -0.5f;
    vyr_test::Rng rng(23);
    const std::vector<float> raw = rng.uniform_vec(17 * 256, -2, 2);
    DecoderBatch host(p, {5, 9, 3}, raw), narrow(p, {5, 9, 3}, raw);
    ASSERT_EQ(cudaSuccess, host.run_all(0));
    auto launch = [&](const void* kernel, size_t smem) {
        return std::apply(
            [&](auto... a) {
                void* argv[] = {&a...};
                return cudaLaunchKernel(kernel, 3, 24, argv, smem, nullptr);
            },
            narrow.args());
    };
    ASSERT_EQ(cudaSuccess, launch((const void*)&back_guide_step, 0));
    ASSERT_EQ(cudaSuccess, launch((const void*)&compute_posts_step, get_post_calc_shared_mem_bytes(64)));
    CUDA_CHECK(cudaDeviceSynchronize());
    const auto ws = narrow.workspace.download(), host_ws = host.workspace.download();
    EXPECT_TRUE(vyr_test::all_equal(std::vector<float>(ws.begin(), ws.begin() + 20 * 64),
                                    std::vector<float>(host_ws.begin(), host_ws.begin() + 20 * 64)));
    EXPECT_TRUE(vyr_test::all_near(vyr_test::to_float(narrow.scores.download()),
                                   vyr_test::to_float(host.scores.download()), 6e-8, 1.0 / 1024));
    EXPECT_TRUE(narrow.guards_intact());
}

// Sizes the kernels cannot index safely are refused before anything is enqueued; an empty batch has nothing
// to do. Only the beam search and the decode read beam_width: an unread one is no reason to refuse.
TEST(DecoderArguments, UnsupportedSizesAreRefused) {
    vyr_ref::DecodeParams p;
    p.beam_width = 8;
    DecoderBatch b(p, {4, 3}, std::vector<float>(7 * 256, 0.5f));
    const auto ws_before = b.workspace.download();
    const auto results_before = b.results.download();
    const struct {
        int num_chunks, num_scores, beam_width;
        cudaError_t expected;
    } cases[] = {
        {2, 4, 8, cudaErrorInvalidValue},  // one state
        {2, 4 * 32, 8, cudaErrorInvalidValue},    {2, 258, 8, cudaErrorInvalidValue},
        {2, 4 * 16384, 8, cudaErrorInvalidValue}, {2, 0, 8, cudaErrorInvalidValue},
        {-1, 256, 8, cudaErrorInvalidValue},      {2, 256, 0, cudaErrorInvalidValue},
        {2, 256, 257, cudaErrorInvalidValue},     {0, 256, 8, cudaSuccess},
    };
    for (const auto& c : cases)
        for (DecoderStep s :
             {DecoderStep::Guides, DecoderStep::Beam, DecoderStep::Posts, DecoderStep::Decode}) {
            b.launch_chunks = c.num_chunks;
            b.num_scores = c.num_scores;
            b.p.beam_width = c.beam_width;
            const bool reads_width = s == DecoderStep::Beam || s == DecoderStep::Decode;
            if (c.beam_width == 8 || reads_width) {
                EXPECT_EQ(c.expected, b.run(s)) << c.num_chunks << " " << c.num_scores << " " << c.beam_width;
            }
        }
    CUDA_CHECK(cudaDeviceSynchronize());
    EXPECT_TRUE(vyr_test::all_equal(b.workspace.download(), ws_before));
    EXPECT_TRUE(vyr_test::all_equal(b.results.download(), results_before));
    EXPECT_TRUE(b.guards_intact());
}

}  // namespace
