// The dense transformer kernels: rotary embedding with transpose, residual RMS normalisation and banded
// attention, against the double references, with the shapes each one refuses.
#include <cmath>
#include <string>

#include "activation_tolerance.h"
#include "dense_transformer_ref.h"
#include "tiled_harness.h"

namespace {

using vyr_test::DeviceBuffer;

TEST(Rotary, MatchesReference) {
    const struct { int N, T, H, D; } cases[] = {{2, 5, 3, 8}, {1, 40, 1, 2}, {1, 2, 16, 128}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "N=" << c.N << " T=" << c.T << " H=" << c.H << " D=" << c.D);
        vyr_test::Rng rng(c.T + c.D);
        const size_t plane = (size_t)c.N * c.T * c.H * c.D;
        const std::vector<float> in = vyr_test::round_to_half(rng.uniform_vec(3 * plane, -1, 1));
        DeviceBuffer<__half> d_in(vyr_test::to_half(in)), d_out(3 * plane);
        const std::vector<float> got = vyr_test::checked_output(
            host_rotary_embed_transpose_f16(nullptr, c.N, c.T, c.H, c.D, d_in.get(), d_out.get(), 10000.0f),
            d_out);
        const std::vector<float> want = vyr_ref::rotary_embed_transpose(c.N, c.T, c.H, c.D, in, 1e4);
        // V is copied bit for bit, and so are Q and K at step e / D % T = 0 (angle 0: cos 1, sin 0).
        for (size_t e = 0; e < 3 * plane; ++e) {
            if (e >= 2 * plane || e / c.D % c.T == 0) {
                ASSERT_EQ(got[e], want[e]) << "element " << e;
            }
        }
        // The angle t f has f within a few 2^-22 relative (fast log2, division, exp2) and sin/cos.approx are
        // within 2^-20.5 absolute up to |angle| 100 pi; |x0| + |x1| <= 2 carries both, then the half store
        // adds 2^-11 relative.
        const double angle_err = c.T * 0x1p-20 + 0x1p-20;
        EXPECT_TRUE(
            vyr_test::all_near(got, want, 2 * angle_err + vyr_test::kHalfTinyStep, vyr_test::kHalfUnit));
    }
}

// C below and above one element per thread of 256 (2048: the whole row buffer); the weight and scale values
// take no branch of their own.
TEST(ResidualRmsNorm, MatchesReference) {
    const struct {
        int C, N;
        float scale;
    } cases[] = {{32, 3, 0.5f}, {96, 2, -1.25f}, {2048, 2, 0.75f}};
    for (const auto& c : cases) {
        SCOPED_TRACE("C=" + std::to_string(c.C));
        vyr_test::Rng rng(c.C);
        const size_t n = (size_t)c.N * c.C;
        const std::vector<float> in = vyr_test::round_to_half(rng.uniform_vec(n, -2, 2));
        const std::vector<float> res = vyr_test::round_to_half(rng.uniform_vec(n, -2, 2));
        const std::vector<float> weight = vyr_test::round_to_half(rng.uniform_vec(c.C, -2, 2));
        DeviceBuffer<__half> d_in(vyr_test::to_half(in)), d_res(vyr_test::to_half(res));
        DeviceBuffer<__half> d_scale(vyr_test::to_half({c.scale})), d_w(vyr_test::to_half(weight)), d_out(n);
        const std::vector<float> got = vyr_test::checked_output(
            host_fused_residual_rmsnorm_f16(nullptr, c.C, c.N, d_in.get(), d_res.get(), d_scale.get(),
                                            d_w.get(), d_out.get()),
            d_out);
        // v = in + residual * scale is formed in half (two roundings), so the reference starts from that v;
        // the remaining roundings are r to half and the two half products (2^-11 relative each), the float
        // sum of squares and rsqrt.approx (below 2^-20) being far smaller.
        std::vector<float> v(n);
        for (size_t i = 0; i < n; ++i)
            v[i] = vyr_ref::round_half(in[i] + vyr_ref::round_half(res[i] * c.scale));
        const std::vector<float> want =
            vyr_ref::residual_rmsnorm(c.C, c.N, v, std::vector<float>(n), 0.0, weight);
        EXPECT_TRUE(vyr_test::all_near(got, want, 2 * vyr_test::kHalfTinyStep, 3.01 * vyr_test::kHalfUnit));
    }
}

// T = 16: one tile attending to itself; T = 272: tile 8 sees all 17 tiles, tile 0 only tiles 0 .. 8; T = 48
// with two sequences and heads checks the plane and output strides.
TEST(MaskedAttention, MatchesBandedReference) {
    const struct { int N, T, H; } cases[] = {{1, 16, 1}, {1, 272, 1}, {2, 48, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE("N=" + std::to_string(c.N) + " T=" + std::to_string(c.T) + " H=" + std::to_string(c.H));
        vyr_test::Rng rng(c.T);
        const size_t n = (size_t)c.N * c.H * c.T * 64;
        const std::vector<float> hq = vyr_test::round_to_half(rng.uniform_vec(n, -1, 1)),
                                 hk = vyr_test::round_to_half(rng.uniform_vec(n, -1, 1)),
                                 hv = vyr_test::round_to_half(rng.uniform_vec(n, -1, 1));
        DeviceBuffer<__half> q(vyr_test::to_half(hq)), k(vyr_test::to_half(hk)), v(vyr_test::to_half(hv)),
            out(n);
        const std::vector<float> got =
            vyr_test::checked_output(host_masked_attention_f16(nullptr, c.N, c.T, c.H, 64, 127, 128, q.get(),
                                                               k.get(), v.get(), out.get()),
                                     out);
        const std::vector<float> want = vyr_ref::banded_attention(c.N, c.T, c.H, hq, hk, hv);
        // Each probability is rounded to half before its product with V (2^-11 relative, so at most 2^-11
        // max|V| = 2^-11 in all, the weights summing to 1) and the output store adds 2^-11 |O| <= 2^-11. The
        // scores are float sums of 64 products of at most 1/8 (error ~2^-20), the exponentials, reciprocals
        // and rescalings are within a few 2^-22 per step over 17 steps: 2^-11 more covers them.
        EXPECT_TRUE(vyr_test::all_near(got, want, 3 * vyr_test::kHalfUnit));
    }
}

// The shapes each kernel refuses, one per check, and empty batches: nothing is written.
TEST(RotaryNormAttention, RefusalsWriteNothing) {
    DeviceBuffer<__half> buf(3 * 2048), out(3 * 2048);
    out.fill_bytes(0x5a);
    const std::vector<__half> before = out.download();
    __half *p = buf.get(), *o = out.get();
    // Rotary: an odd, empty or zero-head pair count, or more pairs (H D / 2) than a block holds.
    const struct {
        int N, T, H, D;
    } rotary[] = {{1, 1, 2, 7}, {1, 1, 2, 0}, {1, 1, 0, 8}, {1, 1, 3, 700}, {-1, 2, 1, 8}};
    for (const auto& c : rotary)
        EXPECT_EQ(VyrUnsupported, host_rotary_embed_transpose_f16(nullptr, c.N, c.T, c.H, c.D, p, o, 1e4f))
            << "rotary H=" << c.H << " D=" << c.D;
    EXPECT_EQ(VyrSuccess, host_rotary_embed_transpose_f16(nullptr, 0, 5, 2, 8, p, o, 1e4f));
    // Normalisation: wider than the row buffer, not a multiple of 32, negative.
    for (int C : {4096, 48, -32})
        EXPECT_EQ(VyrUnsupported, host_fused_residual_rmsnorm_f16(nullptr, C, 1, p, p, p, p, o)) << "C=" << C;
    EXPECT_EQ(VyrSuccess, host_fused_residual_rmsnorm_f16(nullptr, 64, 0, p, p, p, p, o));
    // Attention: head dimension 128, T not whole tiles, windows without a kernel.
    const struct {
        int T, D, left, right;
    } attention[] = {{16, 128, 127, 128}, {100, 64, 127, 128}, {16, 64, 128, 128}, {16, 64, 127, 127}};
    for (const auto& c : attention)
        EXPECT_EQ(VyrUnsupported,
                  host_masked_attention_f16(nullptr, 1, c.T, 1, c.D, c.left, c.right, p, p, p, o))
            << "attention T=" << c.T << " D=" << c.D << " window " << c.left << "," << c.right;
    EXPECT_EQ(VyrSuccess, host_masked_attention_f16(nullptr, 0, 16, 1, 64, 127, 128, p, p, p, o));
#if defined(VYR_BACKEND_SIM)
    {
        // A device offering less than 128 KiB of shared memory per block cannot run the attention kernel: the
        // call says so and leaves no error for the caller's next query.
        vyr_test::SimulatedDevice device([&](VyrSimDevice& d) {
            d.cc_major = 8;
            d.cc_minor = 6;
            d.smem_optin = 101376;
        });
        testing::internal::CaptureStderr();
        EXPECT_EQ(VyrUnsupported, host_masked_attention_f16(nullptr, 1, 16, 1, 64, 127, 128, p, p, p, o));
        EXPECT_EQ("Vyr masked attention: failed to set smem size 131072\n",
                  testing::internal::GetCapturedStderr());
        EXPECT_EQ(cudaSuccess, cudaGetLastError());
    }
#endif
    vyr_test::expect_clean_run();
    EXPECT_TRUE(vyr_test::all_equal(out.download(), before));
}

}  // namespace
