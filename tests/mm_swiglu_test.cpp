// vyr_mm_swiglu: float, half and int32 accumulation against the reference, the work counter, and the
// refusals (the half-accumulating variant needs 256-row blocks; int8 ignores the flag).
#include <cmath>
#include <string>

#include "tiled_harness.h"

namespace {

using vyr_test::dense_desc;
using vyr_test::DeviceBuffer;
using vyr_test::kFill;

struct SwigluShape {
    uint32_t dtype;
    int M, F, K;
};

struct SwigluProblem : SwigluShape, vyr_test::TiledProduct {
    DeviceBuffer<__half> dout;
    TensorDesc tx{}, tw{}, tout{};

    SwigluProblem(const SwigluShape& s, bool scales, uint64_t seed)
        : SwigluShape(s),
          TiledProduct(seed, s.dtype == VYR_TYPE_HALF, s.M, s.F, s.K, 0.5f, 3e-3f),
          dout((size_t)M * F / 2) {
        dout.fill_bytes(kFill);
        const int64_t wd = dtype == VYR_TYPE_HALF ? 8 : 16;
        tx = dense_desc(dx.get(), dtype, {{'M', M / 16}, {'K', K / wd}, {'m', 16}, {'k', wd}});
        tw = dense_desc(dw.get(), dtype, {{'N', F / 16}, {'K', K / wd}, {'n', 16}, {'k', wd}}, true);
        tout = dense_desc(dout.get(), VYR_TYPE_HALF, {{'M', M / 16}, {'N', F / 16}, {'m', 16}, {'n', 8}});
        if (scales) attach_scales(tx, tw, 'K');
    }
    int call(int float_acc) { return vyr_mm_swiglu(nullptr, &tx, &tw, &tout, counter.get(), float_acc); }
};

TEST(MmSwiglu, OutputsMatchTheReference) {
    struct Case {
        const char* name;
        SwigluShape s;
        bool scales;
        int flag;
    };
    const Case cases[] = {
        {"half, float accumulation, K=512", {VYR_TYPE_HALF, 128, 256, 512}, false, 1},
        {"half, half accumulation, K=512", {VYR_TYPE_HALF, 256, 128, 512}, false, 0},
        {"half, float accumulation, K=1536", {VYR_TYPE_HALF, 256, 128, 1536}, false, -3},
        {"int8 with scales, flag ignored", {VYR_TYPE_INT8, 128, 128, 1536}, true, 0},
        {"int8 without scales", {VYR_TYPE_INT8, 256, 128, 512}, false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SwigluProblem p(c.s, c.scales, 23);
        const std::vector<float> got = vyr_test::checked_output(p.call(c.flag), p.dout, p.M, p.F / 2, 8);
        const bool half_acc = p.dtype == VYR_TYPE_HALF && c.flag == 0;
        const std::vector<float> v =
            p.dtype == VYR_TYPE_HALF
                ? vyr_ref::matmul_half(p.M, p.F, p.K, p.x, p.w, half_acc)
                : vyr_ref::matmul_int8(p.M, p.F, p.K, p.x, p.w, c.scales ? p.xs : std::vector<float>(),
                                       c.scales ? p.ws : std::vector<float>());
        const std::vector<float> want = vyr_ref::swiglu(p.M, p.F, v);
        // Per element: tanh.approx.f16x2 is within 2^-10.7 relative, and each of the three half roundings
        // after it (h t, h t + h, value s) may land one unit away when its input differs: with |t| <= 1 and
        // |s| <= 2 |h|, |error| <= |value| |h| (2^-10.7 + 2^-10 + 2^-9) + 2^-10 |y| <= 2^-7.5 |value| |h| +
        // 2^-10 |y|. The bound over the whole output is taken from the largest |value h|.
        double vh = 0.0;  // value columns are the first 16 of each 32 (F is a multiple of 32)
        for (size_t i = 0; i < v.size(); ++i)
            if (i % 32 < 16) vh = std::max(vh, std::fabs(v[i] * 0.5 * v[i + 16]));
        double abs_tol = std::ldexp(vh, -7);
#if !defined(VYR_BACKEND_SIM)
        // Half accumulation on the GPU keeps its partial sums at an unspecified precision between half and
        // float: up to one half rounding of the partial sum (|partial| <= K / 4 here) per 16-term step.
        if (half_acc) abs_tol += (p.K / 16) * std::ldexp(p.K / 4.0, -11) * vh;
#endif
        EXPECT_TRUE(vyr_test::all_near(got, want, abs_tol, 0x1p-10));
        const int rows_per_item = half_acc ? 256 : 128;
        EXPECT_EQ(p.M / rows_per_item * (p.F / 128) + 1024, p.counter.download()[0]);
    }
}

TEST(MmSwiglu, Refusals) {
    struct Case {
        const char* name;
        SwigluShape s;
        int flag;
    };
    // M = 128 with float accumulation, and int8 with the flag 0, are accepted: the first and fourth products
    // above.
    const Case cases[] = {
        {"K=2048", {VYR_TYPE_HALF, 128, 128, 2048}, 1},
        {"M=128, half accumulation", {VYR_TYPE_HALF, 128, 128, 512}, 0},
        {"F=64", {VYR_TYPE_HALF, 128, 64, 512}, 1},
        {"M=0", {VYR_TYPE_HALF, 0, 128, 512}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SwigluProblem p(c.s, false, 5);
        p.counter.upload({9});
        EXPECT_EQ(VyrUnsupported, p.call(c.flag));
        CUDA_CHECK(cudaDeviceSynchronize());
        EXPECT_TRUE(vyr_test::untouched(p.dout, kFill));
        EXPECT_EQ(9, p.counter.download()[0]);
    }
}

}  // namespace
