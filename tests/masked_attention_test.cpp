// vyr_masked_attention: both band widths against an exact softmax, with sequences shorter than, equal to
// and longer than a chunk (the band clipped at both ends), and the refusals.
#include <cmath>
#include <string>

#include "tiled_harness.h"

namespace {

using vyr_test::dense_desc;
using vyr_test::DeviceBuffer;
using vyr_test::dim_of;
using vyr_test::kFill;

struct AttentionProblem {
    int N, T, H;
    size_t rows = (size_t)N * T * 16, cols = 3 * (size_t)H * 64;
    std::vector<float> m;  // rows x (query, key, value) x H x 64
    DeviceBuffer<__half> dqkv, dout;
    TensorDesc tqkv{}, tout{};

    AttentionProblem(int n, int t, int h, uint64_t seed)
        : N(n), T(t), H(h), dqkv(rows * cols), dout(rows * cols / 3) {
        vyr_test::Rng rng(seed);
        m = vyr_test::round_to_half(rng.uniform_vec(rows * cols, -1, 1));
        dqkv.upload(vyr_test::to_half(vyr_ref::qkv_layout(m, rows, cols)));
        dout.fill_bytes(kFill);
        tqkv = dense_desc(dqkv.get(), VYR_TYPE_HALF,
                          {{'N', N}, {'T', T}, {0, 3}, {'H', H}, {'D', 8}, {'t', 16}, {'d', 8}});
        tout = dense_desc(dout.get(), VYR_TYPE_HALF,
                          {{'N', N}, {'T', T}, {'H', H}, {'D', 8}, {'t', 16}, {'d', 8}}, true);
    }
    int call(int left, int right) { return vyr_masked_attention(nullptr, left, right, &tqkv, &tout); }
};

TEST(MaskedAttention, BandsMatchTheReference) {
    struct Case {
        const char* name;
        int left, right, N, T, H;
    };
    const Case cases[] = {
        {"W=256, one tile", 127, 128, 1, 1, 1},
        {"W=256, 2.5 chunks, two sequences and heads", 127, 128, 2, 20, 2},
        {"W=512, shorter than a chunk", 255, 256, 1, 9, 1},
        {"W=512, 2.5 chunks", 255, 256, 1, 40, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AttentionProblem p(c.N, c.T, c.H, 41);
        const std::vector<float> got =
            vyr_test::checked_output(p.call(c.left, c.right), p.dout, p.rows, p.cols / 3, 8);
        const std::vector<float> want = vyr_ref::band_attention(c.N, c.T, c.H, (c.left + 1) / 16, p.m);
        // The probabilities are rounded to half before the value product: 2^-11 relative each, at most
        // 2^-11 max|v| = 2^-11 in all; the output's own rounding adds 2^-11 relative. The float scores (exact
        // half products), the approximate exponential (2 ulp), reciprocal and division, and the rescaling of
        // the running output over up to 33 key tiles stay below 2^-16.
        EXPECT_TRUE(vyr_test::all_near(got, want, 0x1p-11 + 0x1p-16, 0x1p-11));
    }
}

TEST(MaskedAttention, RefusalsAndEmptyBatches) {
    AttentionProblem p(1, 2, 1, 3), d128(1, 2, 1, 3), t1(1, 2, 1, 3);
    for (const auto& w : {std::make_pair(127, 127), std::make_pair(128, 128), std::make_pair(256, 255)})
        EXPECT_EQ(VyrUnsupported, p.call(w.first, w.second)) << w.first << "," << w.second;
    dim_of(d128.tqkv, 'D')->size = dim_of(d128.tout, 'D')->size = 16;  // head dimension 128
    EXPECT_EQ(VyrUnsupported, d128.call(127, 128));
    dim_of(t1.tout, 'T')->size = 1;  // queries of another sequence length
    dim_of(t1.tout, 'N')->stride /= 2;
    EXPECT_EQ(VyrUnsupported, t1.call(127, 128));
    // No sequences: nothing to do and nothing written.
    dim_of(p.tout, 'N')->size = dim_of(p.tqkv, 'N')->size = 0;
    EXPECT_EQ(VyrSuccess, p.call(127, 128));
    EXPECT_EQ(cudaSuccess, cudaGetLastError());
    for (const AttentionProblem* q : {&p, &d128, &t1}) EXPECT_TRUE(vyr_test::untouched(q->dout, kFill));
#if defined(VYR_BACKEND_SIM)
    vyr_test::SimulatedDevice small([&](VyrSimDevice& d) { d.smem_optin = 60 * 1024; });
    AttentionProblem wide(1, 2, 1, 3);
    testing::internal::CaptureStderr();
    EXPECT_EQ(VyrUnsupported, wide.call(255, 256));
    EXPECT_EQ("Vyr masked attention: failed to set smem size 65536\n",
              testing::internal::GetCapturedStderr());
    EXPECT_TRUE(vyr_test::untouched(wide.dout, kFill));
#endif
}

}  // namespace
