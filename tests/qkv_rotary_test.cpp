// vyr_qkv_rotary: rotated query and key columns and transposed value blocks against the reference (half and
// int8, head dimensions 32, 64 and 128), the work counter, a stale counter, and the refusals.
#include <cmath>
#include <string>

#include "tiled_harness.h"

namespace {

using vyr_test::dense_desc;
using vyr_test::DeviceBuffer;
using vyr_test::kFill;

struct QkvShape {
    uint32_t dtype;
    int N, T, C, H, hd;
    int M() const { return N * T * 16; }
    int cols() const { return 3 * H * hd; }
};

struct QkvProblem : QkvShape, vyr_test::TiledProduct {
    std::vector<float> table;
    DeviceBuffer<__half> dtable, dout;
    TensorDesc tx{}, tw{}, ttab{}, tout{};

    QkvProblem(const QkvShape& s, bool scales, uint64_t seed)
        : QkvShape(s),
          TiledProduct(seed, s.dtype == VYR_TYPE_HALF, s.M(), s.cols(), s.C, 0.5f, 3e-3f),
          table(vyr_test::rotary_table(T * 16, hd)),
          dtable(vyr_test::tiled_half(table, (size_t)T * 16, hd)),
          dout((size_t)M() * cols()) {
        dout.fill_bytes(kFill);
        const int64_t wd = dtype == VYR_TYPE_HALF ? 8 : 16;
        tx = dense_desc(dx.get(), dtype, {{'N', N}, {'T', T}, {'C', C / wd}, {'t', 16}, {'c', wd}});
        tw = dense_desc(dw.get(), dtype,
                        {{0, 3}, {'H', H}, {'D', hd / 16}, {'C', C / wd}, {'d', 16}, {'c', wd}});
        ttab = dense_desc(dtable.get(), VYR_TYPE_HALF, {{'T', T}, {'D', hd / 8}, {'t', 16}, {'d', 8}});
        tout = dense_desc(dout.get(), VYR_TYPE_HALF,
                          {{'N', N}, {'T', T}, {0, 3}, {'H', H}, {'D', hd / 8}, {'t', 16}, {'d', 8}}, true);
        if (scales) attach_scales(tx, tw, 'C');
    }
    int call() { return vyr_qkv_rotary(nullptr, &tx, &tw, &ttab, &tout, counter.get(), 123.0f); }

    // The expected output: the product rounded to half, query and key pairs rotated, in the QKV layout.
    std::vector<float> expected(bool scales) const {
        const std::vector<float> v =
            dtype == VYR_TYPE_HALF
                ? vyr_ref::matmul_half(M(), cols(), C, x, w)
                : vyr_ref::matmul_int8(M(), cols(), C, x, w, scales ? xs : std::vector<float>(),
                                       scales ? ws : std::vector<float>());
        return vyr_ref::qkv_layout(vyr_ref::qkv_rotary(M(), H, hd, T * 16, v, table), M(), cols());
    }
};

TEST(QkvRotary, OutputsMatchTheReference) {
    struct Case {
        const char* name;
        QkvShape s;
        bool scales;
    };
    const Case cases[] = {
        {"half, hd=64, two sequences", {VYR_TYPE_HALF, 2, 8, 512, 2, 64}, false},
        {"int8 with scales, hd=32", {VYR_TYPE_INT8, 1, 16, 512, 4, 32}, true},
        {"half, C_in=1536, hd=128", {VYR_TYPE_HALF, 1, 16, 1536, 1, 128}, false},
        {"int8 without scales, C_in=1536", {VYR_TYPE_INT8, 1, 16, 1536, 2, 64}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QkvProblem p(c.s, c.scales, 31);
        const std::vector<float> got = vyr_test::checked_output(p.call(), p.dout),
                                 want = p.expected(c.scales);
#if defined(VYR_BACKEND_SIM)
        // Products accumulate as the reference's, and the rotation is specified in half steps: exact.
        EXPECT_TRUE(vyr_test::all_equal(got, want));
#else
        // int8 sums and the half rotation are exact; a half product may round one unit apart (float order),
        // and the rotation then carries that unit (|s|, |c| <= 1) into each of its two roundings: 2^-9 of the
        // largest element bounds it.
        double largest = 0.0;
        for (float e : want) largest = std::max(largest, (double)std::fabs(e));
        const double tol = p.dtype == VYR_TYPE_HALF ? std::ldexp(largest, -9) : 0.0;
        EXPECT_TRUE(vyr_test::all_near(got, want, tol));
#endif
        EXPECT_EQ(p.M() / 256 * (p.cols() / 128), p.counter.download()[0]);
    }
}

// A counter left from an earlier call (the first case) hands out no valid item; the refusals leave the
// counter as it was. Either way nothing is written.
TEST(QkvRotary, StaleCounterAndRefusalsWriteNothing) {
    const std::pair<const char*, QkvShape> cases[] = {
        {"stale counter", {VYR_TYPE_HALF, 2, 8, 512, 2, 64}},
        {"C_in=1024", {VYR_TYPE_HALF, 1, 16, 1024, 2, 64}},
        {"M=128", {VYR_TYPE_HALF, 1, 8, 512, 2, 64}},
        {"H=1, hd=64", {VYR_TYPE_HALF, 1, 16, 512, 1, 64}},
        {"T=0", {VYR_TYPE_HALF, 1, 0, 512, 2, 64}},
        {"H=0", {VYR_TYPE_HALF, 1, 16, 512, 0, 64}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        const bool stale = &c == &cases[0];
        QkvProblem p(c.second, false, 3);
        p.counter.upload({stale ? 3 : 7});  // stale: left from an earlier call of 3 items
        EXPECT_EQ(stale ? VyrSuccess : VyrUnsupported, p.call());
        CUDA_CHECK(cudaDeviceSynchronize());
        EXPECT_TRUE(vyr_test::untouched(p.dout, kFill));
        EXPECT_EQ(stale ? 6 : 7, p.counter.download()[0]);
    }
}

}  // namespace
