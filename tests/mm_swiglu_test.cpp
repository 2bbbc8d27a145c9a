// vyr_mm_swiglu: float, half and int32 accumulation against the reference, the work counter, and the
// refusals (the half-accumulating variant needs 256-row blocks; int8 ignores the flag).
#include <cmath>
#include <string>

#include "tiled_harness.h"

namespace {

using vyr_test::dense_desc;
using vyr_test::DeviceBuffer;

constexpr unsigned char kFill = 0x5A;

struct SwigluProblem {
    uint32_t dtype;
    int M, F, K;
    bool scales;
    std::vector<float> x, w, xs, ws;
    DeviceBuffer<unsigned char> dx, dw;
    DeviceBuffer<__half> dout;
    DeviceBuffer<float> dxs, dws;
    DeviceBuffer<int> counter{1};
    TensorDesc tx{}, tw{}, tout{};

    SwigluProblem(uint32_t type, int m, int f, int k, bool with_scales, uint64_t seed)
        : dtype(type),
          M(m),
          F(f),
          K(k),
          scales(with_scales),
          dx((size_t)m * k * (type == VYR_TYPE_HALF ? 2 : 1)),
          dw((size_t)f * k * (type == VYR_TYPE_HALF ? 2 : 1)),
          dout((size_t)m * f / 2),
          dxs(m),
          dws(f) {
        vyr_test::Rng rng(seed);
        const bool half = dtype == VYR_TYPE_HALF;
        x = half ? vyr_test::round_to_half(rng.uniform_vec((size_t)M * K, -0.5, 0.5))
                 : vyr_test::random_int8(rng, (size_t)M * K);
        w = half ? vyr_test::round_to_half(rng.uniform_vec((size_t)F * K, -0.5, 0.5))
                 : vyr_test::random_int8(rng, (size_t)F * K);
        xs = rng.uniform_vec(M, 1e-3f, 3e-3f);
        ws = rng.uniform_vec(F, 1e-3f, 3e-3f);
        dx.upload(vyr_test::tiled_bytes(x, M, K, half));
        dw.upload(vyr_test::tiled_bytes(w, F, K, half));
        dxs.upload(xs);
        dws.upload(ws);
        dout.fill_bytes(kFill);
        cudaMemset(counter.get(), 0, sizeof(int));
        const int64_t wd = half ? 8 : 16;
        tx = dense_desc(dx.get(), dtype, {{'M', M / 16}, {'K', K / wd}, {'m', 16}, {'k', wd}});
        tw = dense_desc(dw.get(), dtype, {{'N', F / 16}, {'K', K / wd}, {'n', 16}, {'k', wd}}, true);
        tout = dense_desc(dout.get(), VYR_TYPE_HALF, {{'M', M / 16}, {'N', F / 16}, {'m', 16}, {'n', 8}});
        if (scales) {
            tx.scale_data = dxs.get();
            tw.scale_data = dws.get();
            tx.scale_dim = tw.scale_dim = 'K';
            tx.scale_dtype = tw.scale_dtype = VYR_TYPE_FLOAT;
        }
    }
    int call(int float_acc) { return vyr_mm_swiglu(nullptr, &tx, &tw, &tout, counter.get(), float_acc); }
};

TEST(MmSwiglu, OutputsMatchTheReference) {
    struct Case {
        const char* name;
        uint32_t dtype;
        int M, F, K;
        bool scales;
        int flag;
    };
    const Case cases[] = {
        {"half, float accumulation, K=512", VYR_TYPE_HALF, 128, 256, 512, false, 1},
        {"half, half accumulation, K=512", VYR_TYPE_HALF, 256, 128, 512, false, 0},
        {"half, float accumulation, K=1536", VYR_TYPE_HALF, 256, 128, 1536, false, -3},
        {"int8 with scales, flag ignored", VYR_TYPE_INT8, 128, 128, 1536, true, 0},
        {"int8 without scales", VYR_TYPE_INT8, 256, 128, 512, false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SwigluProblem p(c.dtype, c.M, c.F, c.K, c.scales, 23);
        ASSERT_EQ(VyrSuccess, p.call(c.flag));
        CUDA_CHECK(cudaDeviceSynchronize());
        CUDA_CHECK(cudaGetLastError());
        const bool half_acc = c.dtype == VYR_TYPE_HALF && c.flag == 0;
        const std::vector<float> v =
            c.dtype == VYR_TYPE_HALF
                ? vyr_ref::matmul_half(c.M, c.F, c.K, p.x, p.w, half_acc)
                : vyr_ref::matmul_int8(c.M, c.F, c.K, p.x, p.w, c.scales ? p.xs : std::vector<float>(),
                                       c.scales ? p.ws : std::vector<float>());
        const std::vector<float> want = vyr_ref::swiglu(c.M, c.F, v);
        // Per element: tanh.approx.f16x2 is within 2^-10.7 relative, and each of the three half roundings
        // after it (h t, h t + h, value s) may land one unit away when its input differs: with |t| <= 1 and
        // |s| <= 2 |h|, |error| <= |value| |h| (2^-10.7 + 2^-10 + 2^-9) + 2^-10 |y| <= 2^-7.5 |value| |h| +
        // 2^-10 |y|. The bound over the whole output is taken from the largest |value h|.
        double vh = 0.0;
        for (int r = 0; r < c.M; ++r)
            for (int col = 0; col < c.F; col += 32)
                for (int e = 0; e < 16; ++e)
                    vh = std::max(vh, std::fabs(v[(size_t)r * c.F + col + e] * 0.5 *
                                                v[(size_t)r * c.F + col + 16 + e]));
        double abs_tol = std::ldexp(vh, -7);
#if !defined(VYR_BACKEND_SIM)
        // Half accumulation on the GPU keeps its partial sums at an unspecified precision between half and
        // float: up to one half rounding of the partial sum (|partial| <= K / 4 here) per 16-term step.
        if (half_acc) abs_tol += (c.K / 16) * std::ldexp(c.K / 4.0, -11) * vh;
#endif
        EXPECT_TRUE(vyr_test::all_near(vyr_test::untiled_half(p.dout, c.M, c.F / 2), want, abs_tol, 0x1p-10));
        EXPECT_TRUE(p.dout.guards_intact());
        const int rows_per_item = half_acc ? 256 : 128;
        EXPECT_EQ(c.M / rows_per_item * (c.F / 128) + 1024, vyr_test::read_counter(p.counter));
    }
}

TEST(MmSwiglu, Refusals) {
    struct Case {
        const char* name;
        uint32_t dtype;
        int M, F, K, flag;
        bool accepted;
    };
    const Case cases[] = {
        {"K=2048", VYR_TYPE_HALF, 128, 128, 2048, 1, false},
        {"M=128, half accumulation", VYR_TYPE_HALF, 128, 128, 512, 0, false},
        {"M=128, float accumulation", VYR_TYPE_HALF, 128, 128, 512, 1, true},
        {"int8 M=128, flag 0", VYR_TYPE_INT8, 128, 128, 512, 0, true},
        {"F=64", VYR_TYPE_HALF, 128, 64, 512, 1, false},
        {"M=0", VYR_TYPE_HALF, 0, 128, 512, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SwigluProblem p(c.dtype, c.M, c.F, c.K, false, 5);
        p.counter.upload({c.accepted ? 0 : 9});
        EXPECT_EQ(c.accepted ? VyrSuccess : VyrUnsupported, p.call(c.flag));
        CUDA_CHECK(cudaDeviceSynchronize());
        if (!c.accepted) {
            EXPECT_TRUE(vyr_test::untouched(p.dout, kFill));
            EXPECT_EQ(9, vyr_test::read_counter(p.counter));
        }
    }
    SwigluProblem p(VYR_TYPE_HALF, 128, 128, 512, false, 5);
    vyr_test::dim_of(p.tx, 'M')->size = -8;
    vyr_test::dim_of(p.tout, 'M')->size = -8;
    EXPECT_EQ(VyrUnsupported, p.call(1));
}

}  // namespace
