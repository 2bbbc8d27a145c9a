// vyr_linear on the tiled layout: half and int8 products with and without bias and scales against the
// reference, the work counter's final value, and every refusal (nothing written, counter untouched).
#include <cmath>
#include <string>

#include "tiled_harness.h"

namespace {

using vyr_test::dense_desc;
using vyr_test::DeviceBuffer;

constexpr unsigned char kFill = 0x5A;

struct LinearCase {
    const char* name;
    uint32_t dtype;
    int M, N, K;
    bool bias, scales, reversed_dims;
};

struct LinearRun {
    std::vector<float> y;
    int counter;
};

// Operands of one case, uploaded; desc() builds the four descriptors, which tests may then spoil.
struct LinearProblem {
    LinearCase c;
    std::vector<float> x, w, b, xs, ws;
    DeviceBuffer<unsigned char> dx, dw;
    DeviceBuffer<__half> db, dy;
    DeviceBuffer<float> dxs, dws;
    DeviceBuffer<int> counter{1};
    TensorDesc tx{}, tw{}, tb{}, ty{};

    LinearProblem(const LinearCase& lc, uint64_t seed)
        : c(lc),
          dx((size_t)lc.M * lc.K * (lc.dtype == VYR_TYPE_HALF ? 2 : 1)),
          dw((size_t)lc.N * lc.K * (lc.dtype == VYR_TYPE_HALF ? 2 : 1)),
          db(lc.N),
          dy((size_t)lc.M * lc.N),
          dxs(lc.M),
          dws(lc.N) {
        vyr_test::Rng rng(seed);
        const bool half = c.dtype == VYR_TYPE_HALF;
        x = half ? vyr_test::round_to_half(rng.uniform_vec((size_t)c.M * c.K, -1, 1))
                 : vyr_test::random_int8(rng, (size_t)c.M * c.K);
        w = half ? vyr_test::round_to_half(rng.uniform_vec((size_t)c.N * c.K, -1, 1))
                 : vyr_test::random_int8(rng, (size_t)c.N * c.K);
        b = vyr_test::round_to_half(rng.uniform_vec(c.N, -1, 1));
        xs = rng.uniform_vec(c.M, 1e-3f, 1e-2f);
        ws = rng.uniform_vec(c.N, 1e-3f, 1e-2f);
        dx.upload(vyr_test::tiled_bytes(x, c.M, c.K, half));
        dw.upload(vyr_test::tiled_bytes(w, c.N, c.K, half));
        db.upload(vyr_test::to_half(b));
        dxs.upload(xs);
        dws.upload(ws);
        dy.fill_bytes(kFill);
        cudaMemset(counter.get(), 0, sizeof(int));
        const int64_t wd = half ? 8 : 16;
        tx = dense_desc(dx.get(), c.dtype, {{'M', c.M / 16}, {'K', c.K / wd}, {'m', 16}, {'k', wd}},
                        c.reversed_dims);
        tw = dense_desc(dw.get(), c.dtype, {{'N', c.N / 16}, {'K', c.K / wd}, {'n', 16}, {'k', wd}});
        ty = dense_desc(dy.get(), VYR_TYPE_HALF, {{'M', c.M / 16}, {'N', c.N / 8}, {'m', 16}, {'n', 8}},
                        c.reversed_dims);
        tb = dense_desc(db.get(), VYR_TYPE_HALF, {{'N', c.N}});
        if (c.scales) {
            for (TensorDesc* t : {&tx, &tw}) {
                t->scale_dim = 'K';
                t->scale_dtype = VYR_TYPE_FLOAT;
            }
            tx.scale_data = dxs.get();
            tw.scale_data = dws.get();
        }
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
        ASSERT_EQ(VyrSuccess, p.call());
        CUDA_CHECK(cudaDeviceSynchronize());
        CUDA_CHECK(cudaGetLastError());
        const std::vector<float> v =
            c.dtype == VYR_TYPE_HALF
                ? vyr_ref::matmul_half(c.M, c.N, c.K, p.x, p.w)
                : vyr_ref::matmul_int8(c.M, c.N, c.K, p.x, p.w, c.scales ? p.xs : std::vector<float>(),
                                       c.scales ? p.ws : std::vector<float>());
        const std::vector<float> want =
            vyr_ref::linear_epilogue(c.M, c.N, v, c.bias ? p.b : std::vector<float>());
        const std::vector<float> got = vyr_test::untiled_half(p.dy, c.M, c.N);
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
        EXPECT_TRUE(p.dy.guards_intact());
        // Each item is 256 rows x 128 columns; each of the 1024 blocks also takes one failing index.
        EXPECT_EQ(c.M / 256 * (c.N / 128) + 1024, vyr_test::read_counter(p.counter));
    }
}

// A counter left from an earlier call (or garbage) hands out no valid item: nothing is written.
TEST(Linear, StaleCounterWritesNothing) {
    for (int start : {2, 1 << 30}) {
        SCOPED_TRACE(start);
        LinearProblem p({"", VYR_TYPE_HALF, 256, 256, 512, true, false, false}, 3);
        p.counter.upload({start});
        ASSERT_EQ(VyrSuccess, p.call());
        CUDA_CHECK(cudaDeviceSynchronize());
        EXPECT_TRUE(vyr_test::untouched(p.dy, kFill));
        EXPECT_EQ(start + 1024, vyr_test::read_counter(p.counter));
    }
}

TEST(Linear, RefusalsWriteNothing) {
    using Spoil = void (*)(LinearProblem&);
    const std::pair<const char*, Spoil> spoils[] = {
        {"K=1024",
         [](LinearProblem& p) {
             vyr_test::dim_of(p.tx, 'K')->size = 128;
             vyr_test::dim_of(p.tw, 'K')->size = 128;
             vyr_test::dim_of(p.tx, 'M')->stride = 128 * 128;
             vyr_test::dim_of(p.tw, 'N')->stride = 128 * 128;
         }},
        {"M=128",
         [](LinearProblem& p) {
             vyr_test::dim_of(p.tx, 'M')->size = 8;
             vyr_test::dim_of(p.ty, 'M')->size = 8;
         }},
        {"M=384",
         [](LinearProblem& p) {
             vyr_test::dim_of(p.tx, 'M')->size = 24;
             vyr_test::dim_of(p.ty, 'M')->size = 24;
         }},
        {"M=0",
         [](LinearProblem& p) {
             vyr_test::dim_of(p.tx, 'M')->size = 0;
             vyr_test::dim_of(p.ty, 'M')->size = 0;
         }},
        {"M<0",
         [](LinearProblem& p) {
             vyr_test::dim_of(p.tx, 'M')->size = -16;
             vyr_test::dim_of(p.ty, 'M')->size = -16;
         }},
        {"N=64",
         [](LinearProblem& p) {
             vyr_test::dim_of(p.tw, 'N')->size = 4;
             vyr_test::dim_of(p.ty, 'N')->size = 8;
             vyr_test::dim_of(p.ty, 'M')->stride = 8 * 128;
             vyr_test::dim_of(p.tb, 'N')->size = 64;
         }},
        {"N<0",
         [](LinearProblem& p) {
             vyr_test::dim_of(p.tw, 'N')->size = -8;
             vyr_test::dim_of(p.ty, 'N')->size = -16;
             vyr_test::dim_of(p.tb, 'N')->size = -128;
         }},
        {"half x, int8 weights", [](LinearProblem& p) { p.tw.dtype = VYR_TYPE_INT8; }},
        {"int8 y", [](LinearProblem& p) { p.tx.dtype = p.tw.dtype = p.ty.dtype = VYR_TYPE_INT8; }},
        {"bias of N+1", [](LinearProblem& p) { p.tb.dims[0].size += 1; }},
        {"bias stride 2", [](LinearProblem& p) { p.tb.dims[0].stride = 2; }},
        {"half x with scales",
         [](LinearProblem& p) {
             p.tx.scale_data = p.dxs.get();
             p.tx.scale_dim = 'K';
             p.tx.scale_dtype = 3;
         }},
        {"padded tile-row stride", [](LinearProblem& p) { vyr_test::dim_of(p.tx, 'M')->stride += 128; }},
        {"rank 5", [](LinearProblem& p) { p.tx.ndims = 5; }},
        {"missing name", [](LinearProblem& p) { vyr_test::dim_of(p.ty, 'n')->name = 'q'; }},
        {"unaligned data", [](LinearProblem& p) { p.tx.data = static_cast<char*>(p.tx.data) + 2; }},
    };
    for (const auto& s : spoils) {
        SCOPED_TRACE(s.first);
        LinearProblem p({"", VYR_TYPE_HALF, 256, 128, 512, true, false, false}, 5);
        p.counter.upload({7});
        s.second(p);
        EXPECT_EQ(VyrUnsupported, p.call());
        CUDA_CHECK(cudaDeviceSynchronize());
        EXPECT_TRUE(vyr_test::untouched(p.dy, kFill));
        EXPECT_EQ(7, vyr_test::read_counter(p.counter));
    }
    // int8 scales reduced over another dimension, or not float.
    for (int32_t bad : {0, 1}) {
        LinearProblem p({"", VYR_TYPE_INT8, 256, 128, 512, false, true, false}, 5);
        (bad ? p.tw.scale_dtype : p.tx.scale_dim) = bad ? (int32_t)VYR_TYPE_HALF : (int32_t)'M';
        EXPECT_EQ(VyrUnsupported, p.call());
    }
}

}  // namespace
