// vyr_linear on the tiled layout: half and int8 products with and without bias and scales against the
// reference, the work counter's final value, and every refusal (nothing written, counter untouched).
#include <cmath>
#include <string>

#include "tiled_harness.h"

namespace {

using vyr_test::dense_desc;
using vyr_test::DeviceBuffer;
using vyr_test::dim_of;
using vyr_test::kFill;

struct LinearCase {
    const char* name;
    uint32_t dtype;
    int M, N, K;
    bool bias, scales, reversed_dims;
};

// Operands of one case, uploaded, and their descriptors, which tests may then spoil.
struct LinearProblem : vyr_test::TiledProduct {
    LinearCase c;
    std::vector<float> b;
    DeviceBuffer<__half> db, dy;
    TensorDesc tx{}, tw{}, tb{}, ty{};

    LinearProblem(const LinearCase& lc, uint64_t seed)
        : TiledProduct(seed, lc.dtype == VYR_TYPE_HALF, lc.M, lc.N, lc.K, 1.0f, 1e-2f),
          c(lc),
          b(vyr_test::round_to_half(rng.uniform_vec(lc.N, -1, 1))),
          db(vyr_test::to_half(b)),
          dy((size_t)lc.M * lc.N) {
        dy.fill_bytes(kFill);
        describe(c.M, c.N, c.K);
        if (c.scales) attach_scales(tx, tw, 'K');
    }
    // Dense descriptors of an M x N x K problem over this problem's buffers.
    void describe(int M, int N, int K) {
        const int64_t wd = c.dtype == VYR_TYPE_HALF ? 8 : 16;
        tx = dense_desc(dx.get(), c.dtype, {{'M', M / 16}, {'K', K / wd}, {'m', 16}, {'k', wd}},
                        c.reversed_dims);
        tw = dense_desc(dw.get(), c.dtype, {{'N', N / 16}, {'K', K / wd}, {'n', 16}, {'k', wd}});
        ty = dense_desc(dy.get(), VYR_TYPE_HALF, {{'M', M / 16}, {'N', N / 8}, {'m', 16}, {'n', 8}},
                        c.reversed_dims);
        tb = dense_desc(db.get(), VYR_TYPE_HALF, {{'N', N}});
    }
    int call() { return vyr_linear(nullptr, &tx, &tw, c.bias ? &tb : nullptr, &ty, counter.get()); }
};

TEST(Linear, ProductsMatchTheReference) {
    const LinearCase cases[] = {
        {"half K=512 bias", VYR_TYPE_HALF, 512, 256, 512, true, false, false},
        {"half K=1536, dims listed innermost first", VYR_TYPE_HALF, 256, 128, 1536, false, false, true},
        {"half K=6144 bias", VYR_TYPE_HALF, 256, 128, 6144, true, false, false},
        {"int8 K=512 scales bias", VYR_TYPE_INT8, 256, 256, 512, true, true, false},
        {"int8 K=2048 no scales", VYR_TYPE_INT8, 512, 128, 2048, false, false, false},
    };
    for (const LinearCase& c : cases) {
        SCOPED_TRACE(c.name);
        LinearProblem p(c, 11);
        const std::vector<float> got = vyr_test::checked_output(p.call(), p.dy, c.M, c.N, 8);
        const std::vector<float> v =
            c.dtype == VYR_TYPE_HALF
                ? vyr_ref::matmul_half(c.M, c.N, c.K, p.x, p.w)
                : vyr_ref::matmul_int8(c.M, c.N, c.K, p.x, p.w, c.scales ? p.xs : std::vector<float>(),
                                       c.scales ? p.ws : std::vector<float>());
        const std::vector<float> want =
            vyr_ref::linear_epilogue(c.M, c.N, v, c.bias ? p.b : std::vector<float>());
#if defined(VYR_BACKEND_SIM)
        // The simulator's tensor-core product rounds to float once per 16 terms, as the reference does;
        // rounding to half, the half bias add and the int8 scaling are then exact.
        EXPECT_TRUE(vyr_test::all_equal(got, want));
#else
        // int8: exact integer sums and the same float and half steps. Half: the GPU's float accumulation
        // order differs from the reference's by at most (K/16) float roundings of sums bounded by K (inputs
        // in [-1, 1]), which may move the half result and the half bias add by one half ulp each.
        const double abs_tol = c.dtype == VYR_TYPE_HALF ? (c.K / 16.0) * std::ldexp(1.0, -24) * c.K : 0.0;
        EXPECT_TRUE(
            vyr_test::all_near(got, want, abs_tol, c.dtype == VYR_TYPE_HALF ? std::ldexp(1.0, -10) : 0.0));
#endif
        // Each item is 256 rows x 128 columns; each of the 1024 blocks also takes one failing index.
        EXPECT_EQ(c.M / 256 * (c.N / 128) + 1024, p.counter.download()[0]);
    }
}

// Refusals, one case per distinct check, leave the output and the counter untouched. A counter left from
// an earlier call (the first case: at the item count, 1) hands out no valid item: nothing is written either.
TEST(Linear, RefusalsAndStaleCountersWriteNothing) {
    using Spoil = void (*)(LinearProblem&);
    const std::pair<const char*, Spoil> spoils[] = {
        {"stale counter", [](LinearProblem&) {}},
        {"K=1024", [](LinearProblem& p) { p.describe(256, 128, 1024); }},
        {"M=128", [](LinearProblem& p) { p.describe(128, 128, 512); }},
        {"M=0", [](LinearProblem& p) { p.describe(0, 128, 512); }},
        {"M<0", [](LinearProblem& p) { p.describe(-256, 128, 512); }},
        {"N=64", [](LinearProblem& p) { p.describe(256, 64, 512); }},
        {"half x, int8 weights", [](LinearProblem& p) { p.tw.dtype = VYR_TYPE_INT8; }},
        {"int8 y", [](LinearProblem& p) { p.tx.dtype = p.tw.dtype = p.ty.dtype = VYR_TYPE_INT8; }},
        {"bias of N+1", [](LinearProblem& p) { p.tb.dims[0].size += 1; }},
        {"half x with scales", [](LinearProblem& p) { p.attach_scales(p.tx, p.tw, 'K'); }},
        {"padded tile-row stride", [](LinearProblem& p) { dim_of(p.tx, 'M')->stride += 128; }},
        {"rank 5", [](LinearProblem& p) { p.tx.ndims = 5; }},
        {"missing name", [](LinearProblem& p) { dim_of(p.ty, 'n')->name = 'q'; }},
        {"unaligned data", [](LinearProblem& p) { p.tx.data = static_cast<char*>(p.tx.data) + 2; }},
    };
    for (const auto& s : spoils) {
        SCOPED_TRACE(s.first);
        const bool stale = &s == &spoils[0];
        LinearProblem p({"", VYR_TYPE_HALF, 256, 128, 512, true, false, false}, 5);
        p.counter.upload({1});
        s.second(p);
        EXPECT_EQ(stale ? VyrSuccess : VyrUnsupported, p.call());
        CUDA_CHECK(cudaDeviceSynchronize());
        EXPECT_TRUE(vyr_test::untouched(p.dy, kFill));
        EXPECT_EQ(stale ? 1 + 1024 : 1, p.counter.download()[0]);
    }
    // int8 scales reduced over another dimension, or not float.
    for (int32_t bad : {0, 1}) {
        LinearProblem p({"", VYR_TYPE_INT8, 256, 128, 512, false, true, false}, 5);
        (bad ? p.tw.scale_dtype : p.tx.scale_dim) = bad ? (int32_t)VYR_TYPE_HALF : (int32_t)'M';
        EXPECT_EQ(VyrUnsupported, p.call());
    }
}

}  // namespace
