// vyr_rmsnorm_residual: half and int8 outputs against the reference (with and without scales, a zero row,
// alpha 0), the refusals with nothing written, empty batches, and a refused shared-memory opt-in.
#include <cmath>
#include <string>

#include "tiled_harness.h"

namespace {

using vyr_test::dense_desc;
using vyr_test::DeviceBuffer;
using vyr_test::kFill;

enum class Int8Out { none, scaled, fixed };

struct RmsShape {
    int N, T, F;
    float alpha;
    Int8Out q8;
};

struct RmsProblem : RmsShape {
    size_t rows = (size_t)N * T * 16;
    std::vector<float> x, r, w;
    DeviceBuffer<__half> dx, dr, dw, dout;
    DeviceBuffer<int8_t> dq;
    DeviceBuffer<float> ds;
    TensorDesc tx{}, tr{}, tw{}, tout{}, tq{};

    RmsProblem(const RmsShape& s, uint64_t seed)
        : RmsShape(s), dx(rows * F), dr(rows * F), dw(F), dout(rows * F), dq(rows * F), ds(rows) {
        vyr_test::Rng rng(seed);
        x = vyr_test::round_to_half(rng.uniform_vec(rows * F, -2, 2));
        r = vyr_test::round_to_half(rng.uniform_vec(rows * F, -2, 2));
        w = vyr_test::round_to_half(rng.uniform_vec(F, -1.5, 1.5));
        // Row 1 is all zeros in both inputs.
        std::fill(x.begin() + F, x.begin() + 2 * F, 0.0f);
        std::fill(r.begin() + F, r.begin() + 2 * F, 0.0f);
        dx.upload(vyr_test::tiled_half(x, rows, F));
        dr.upload(vyr_test::tiled_half(r, rows, F));
        dw.upload(vyr_test::to_half(w));
        dout.fill_bytes(kFill);
        dq.fill_bytes(kFill);
        ds.fill_bytes(kFill);
        tout = tr = tx =
            dense_desc(dx.get(), VYR_TYPE_HALF, {{'N', N}, {'T', T}, {'C', F / 8}, {'t', 16}, {'c', 8}});
        tr.data = dr.get();
        tout.data = dout.get();
        tw = dense_desc(dw.get(), VYR_TYPE_HALF, {{'C', F}});
        tq = dense_desc(dq.get(), VYR_TYPE_INT8, {{'N', N}, {'T', T}, {'C', F / 16}, {'t', 16}, {'c', 16}},
                        true);
        if (q8 == Int8Out::scaled) {
            tq.scale_data = ds.get();
            tq.scale_dim = 'C';
            tq.scale_dtype = VYR_TYPE_FLOAT;
        }
    }
    int call(bool half_out = true) {
        return vyr_rmsnorm_residual(nullptr, &tx, &tr, &tw, half_out ? &tout : nullptr,
                                    q8 == Int8Out::none ? nullptr : &tq, alpha);
    }
};

TEST(RmsNormResidual, OutputsMatchTheReference) {
    struct Case {
        const char* name;
        RmsShape s;
        bool half_out;
    };
    const Case cases[] = {
        {"F=32 half only", {1, 1, 32, 1.0f, Int8Out::none}, true},
        {"F=512 scaled int8", {2, 3, 512, 0.5f, Int8Out::scaled}, true},
        {"F=96 fixed-scale int8, alpha 0", {1, 2, 96, 0.0f, Int8Out::fixed}, true},
        {"F=64 int8 only", {3, 1, 64, 1.25f, Int8Out::scaled}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RmsProblem p(c.s, 17);
        const size_t rows = p.rows;
        const std::vector<float> got = vyr_test::checked_output(p.call(c.half_out), p.dout, rows, p.F, 8);
        const vyr_ref::RmsNormResult ref =
            vyr_ref::rmsnorm_residual((int)rows, p.F, p.x, p.r, p.w, p.alpha, p.q8 == Int8Out::scaled);
        // rinv carries the float sum's rounding (F terms, 2^-24 each, relative), the approximate division
        // (2 ulp) and reciprocal square root (2^-22.9): far below 2^-11, but enough to move the half rounding
        // of rinv * v * w by one unit: 2^-10 relative in all.
        if (c.half_out) {
            EXPECT_TRUE(vyr_test::all_near(got, ref.out, 1e-7, 0x1p-10));
        } else {
            EXPECT_TRUE(vyr_test::untouched(p.dout, kFill));
        }
        if (p.q8 != Int8Out::none) {
            const std::vector<int8_t> q = vyr_ref::from_tiled(p.dq.download(), rows, p.F, 16);
            // The multiplier carries the same small relative error as rinv (fixed scale) or the reciprocal's
            // 1 ulp (per-row scale), which can move a product sitting at a rounding boundary by one step.
            EXPECT_TRUE(vyr_test::all_near(std::vector<float>(q.begin(), q.end()), ref.q8, 1.0));
            if (p.q8 == Int8Out::scaled)
                EXPECT_TRUE(vyr_test::all_near(p.ds.download(), ref.scales, 0.0, 1e-5));
            else
                EXPECT_TRUE(vyr_test::untouched(p.ds, kFill));
            EXPECT_TRUE(p.dq.guards_intact());
        }
    }
}

TEST(RmsNormResidual, RefusalsAndEmptyBatches) {
    using Spoil = void (*)(RmsProblem&);
    const std::pair<const char*, Spoil> spoils[] = {
        // The first case: no sequences, nothing to do and nothing left pending.
        {"N=0",
         [](RmsProblem& p) {
             for (TensorDesc* t : {&p.tx, &p.tr, &p.tout, &p.tq}) vyr_test::dim_of(*t, 'N')->size = 0;
         }},
        {"F=48", [](RmsProblem& p) { vyr_test::dim_of(p.tx, 'C')->size = 6; }},
        {"residual in another dense order",
         [](RmsProblem& p) {
             vyr_test::dim_of(p.tr, 'N')->stride = 1;
             vyr_test::dim_of(p.tr, 'c')->stride = p.N;
         }},
        {"weight of F+1", [](RmsProblem& p) { p.tw.dims[0].size += 1; }},
        {"out8 with half type", [](RmsProblem& p) { p.tq.dtype = VYR_TYPE_HALF; }},
        {"scales over another dimension", [](RmsProblem& p) { p.tq.scale_dim = 'T'; }},
    };
    for (const auto& s : spoils) {
        SCOPED_TRACE(s.first);
        RmsProblem p({2, 1, 64, 1.0f, Int8Out::scaled}, 3);
        s.second(p);
        EXPECT_EQ(&s == &spoils[0] ? VyrSuccess : VyrUnsupported, p.call());
        vyr_test::expect_clean_run();
        EXPECT_TRUE(vyr_test::untouched(p.dout, kFill));
        EXPECT_TRUE(vyr_test::untouched(p.dq, kFill));
    }
    EXPECT_EQ(32 * 64 + 2048, RmsNormSharedStorageSize(64));
#if defined(VYR_BACKEND_SIM)
    // A refused shared-memory opt-in is reported: F = 2048 needs 67584 bytes.
    vyr_test::SimulatedDevice small([&](VyrSimDevice& d) { d.smem_optin = 64 * 1024; });
    RmsProblem big({1, 1, 2048, 1.0f, Int8Out::none}, 3);
    testing::internal::CaptureStderr();
    EXPECT_EQ(VyrUnsupported, big.call());
    EXPECT_EQ("Vyr RMSNorm residual: failed to set smem size 67584\n",
              testing::internal::GetCapturedStderr());
    EXPECT_TRUE(vyr_test::untouched(big.dout, kFill));
#endif
}

}  // namespace
