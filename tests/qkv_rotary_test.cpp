// vyr_qkv_rotary: rotated query and key columns and transposed value blocks against the reference (half and
// int8, head dimensions 32, 64 and 128), the work counter, a stale counter, and the refusals.
#include <cmath>
#include <string>

#include "tiled_harness.h"

namespace {

using vyr_test::dense_desc;
using vyr_test::DeviceBuffer;

constexpr unsigned char kFill = 0x5A;

struct QkvProblem {
    uint32_t dtype;
    int N, T, C, H, hd;
    int M() const { return N * T * 16; }
    int cols() const { return 3 * H * hd; }
    std::vector<float> x, w, table, xs, ws;
    DeviceBuffer<unsigned char> dx, dw;
    DeviceBuffer<__half> dtable, dout;
    DeviceBuffer<float> dxs, dws;
    DeviceBuffer<int> counter{1};
    TensorDesc tx{}, tw{}, ttab{}, tout{};

    QkvProblem(uint32_t type, int n, int t, int c, int h, int d, bool scales, uint64_t seed)
        : dtype(type),
          N(n),
          T(t),
          C(c),
          H(h),
          hd(d),
          dx((size_t)n * t * 16 * c * (type == VYR_TYPE_HALF ? 2 : 1)),
          dw((size_t)3 * h * d * c * (type == VYR_TYPE_HALF ? 2 : 1)),
          dtable((size_t)t * 16 * d),
          dout((size_t)n * t * 16 * 3 * h * d),
          dxs(n * t * 16),
          dws(3 * h * d) {
        vyr_test::Rng rng(seed);
        const bool half = dtype == VYR_TYPE_HALF;
        x = half ? vyr_test::round_to_half(rng.uniform_vec((size_t)M() * C, -0.5, 0.5))
                 : vyr_test::random_int8(rng, (size_t)M() * C);
        w = half ? vyr_test::round_to_half(rng.uniform_vec((size_t)cols() * C, -0.5, 0.5))
                 : vyr_test::random_int8(rng, (size_t)cols() * C);
        table.resize((size_t)T * 16 * hd);
        for (size_t i = 0; i < table.size(); i += 2) {
            const float angle = rng.uniform(-3.14159f, 3.14159f);
            table[i] = vyr_ref::round_half(std::sin(angle));
            table[i + 1] = vyr_ref::round_half(std::cos(angle));
        }
        xs = rng.uniform_vec(M(), 1e-3f, 3e-3f);
        ws = rng.uniform_vec(cols(), 1e-3f, 3e-3f);
        const int64_t wd = half ? 8 : 16;
        dx.upload(vyr_test::tiled_bytes(x, M(), C, half));
        dw.upload(vyr_test::tiled_bytes(w, cols(), C, half));
        dtable.upload(vyr_test::tiled_half(table, (size_t)T * 16, hd));
        dxs.upload(xs);
        dws.upload(ws);
        dout.fill_bytes(kFill);
        cudaMemset(counter.get(), 0, sizeof(int));
        tx = dense_desc(dx.get(), dtype, {{'N', N}, {'T', T}, {'C', C / wd}, {'t', 16}, {'c', wd}});
        tw = dense_desc(dw.get(), dtype,
                        {{0, 3}, {'H', H}, {'D', hd / 16}, {'C', C / wd}, {'d', 16}, {'c', wd}});
        ttab = dense_desc(dtable.get(), VYR_TYPE_HALF, {{'T', T}, {'D', hd / 8}, {'t', 16}, {'d', 8}});
        tout = dense_desc(dout.get(), VYR_TYPE_HALF,
                          {{'N', N}, {'T', T}, {0, 3}, {'H', H}, {'D', hd / 8}, {'t', 16}, {'d', 8}}, true);
        if (scales) {
            tx.scale_data = dxs.get();
            tw.scale_data = dws.get();
            tx.scale_dim = tw.scale_dim = 'C';
            tx.scale_dtype = tw.scale_dtype = VYR_TYPE_FLOAT;
        }
    }
    int call() { return vyr_qkv_rotary(nullptr, &tx, &tw, &ttab, &tout, counter.get(), 123.0f); }

    // The expected output buffer, tiled: the product rounded to half, query and key pairs rotated, value
    // columns with (row r, column c) of each 8 x 8 half-tile holding time step c, element r.
    std::vector<float> expected(bool scales) const {
        const std::vector<float> v =
            dtype == VYR_TYPE_HALF
                ? vyr_ref::matmul_half(M(), cols(), C, x, w)
                : vyr_ref::matmul_int8(M(), cols(), C, x, w, scales ? xs : std::vector<float>(),
                                       scales ? ws : std::vector<float>());
        std::vector<float> out((size_t)M() * cols());
        for (int r = 0; r < M(); ++r) {
            const int step = r % (T * 16);
            for (int c = 0; c < cols(); c += 2) {
                float x0 = vyr_ref::round_half(v[(size_t)r * cols() + c]);
                float x1 = vyr_ref::round_half(v[(size_t)r * cols() + c + 1]);
                if (c < 2 * H * hd) {
                    const int d = c % hd;
                    vyr_ref::rotate_half(x0, x1, table[(size_t)step * hd + d],
                                         table[(size_t)step * hd + d + 1]);
                    out[vyr_ref::tiled_index(r, c, cols(), 8)] = x0;
                    out[vyr_ref::tiled_index(r, c + 1, cols(), 8)] = x1;
                } else {
                    const int base = r / 8 * 8, tc = r % 8;
                    out[vyr_ref::tiled_index(base + c % 8, c / 8 * 8 + tc, cols(), 8)] = x0;
                    out[vyr_ref::tiled_index(base + (c + 1) % 8, c / 8 * 8 + tc, cols(), 8)] = x1;
                }
            }
        }
        return out;
    }
};

TEST(QkvRotary, OutputsMatchTheReference) {
    struct Case {
        const char* name;
        uint32_t dtype;
        int N, T, C, H, hd;
        bool scales;
    };
    const Case cases[] = {
        {"half, hd=64, two sequences", VYR_TYPE_HALF, 2, 8, 512, 2, 64, false},
        {"int8 with scales, hd=32", VYR_TYPE_INT8, 1, 16, 512, 4, 32, true},
        {"half, C_in=1536, hd=128", VYR_TYPE_HALF, 1, 16, 1536, 1, 128, false},
        {"int8 without scales, C_in=1536", VYR_TYPE_INT8, 1, 16, 1536, 2, 64, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QkvProblem p(c.dtype, c.N, c.T, c.C, c.H, c.hd, c.scales, 31);
        ASSERT_EQ(VyrSuccess, p.call());
        CUDA_CHECK(cudaDeviceSynchronize());
        CUDA_CHECK(cudaGetLastError());
        const std::vector<float> want = p.expected(c.scales), got = vyr_test::to_float(p.dout.download());
#if defined(VYR_BACKEND_SIM)
        // Products accumulate as the reference's, and the rotation is specified in half steps: exact.
        EXPECT_TRUE(vyr_test::all_equal(got, want));
#else
        // int8 sums and the half rotation are exact; a half product may round one unit apart (float order),
        // and the rotation then carries that unit (|s|, |c| <= 1) into each of its two roundings: 2^-9 of the
        // largest element bounds it.
        double largest = 0.0;
        for (float e : want) largest = std::max(largest, (double)std::fabs(e));
        const double tol = c.dtype == VYR_TYPE_HALF ? std::ldexp(largest, -9) : 0.0;
        EXPECT_TRUE(vyr_test::all_near(got, want, tol));
#endif
        EXPECT_TRUE(p.dout.guards_intact());
        EXPECT_EQ(p.M() / 256 * (p.cols() / 128), vyr_test::read_counter(p.counter));
    }
}

TEST(QkvRotary, StaleCounterAndRefusalsWriteNothing) {
    {
        QkvProblem p(VYR_TYPE_HALF, 2, 8, 512, 2, 64, false, 3);
        p.counter.upload({3});  // left from an earlier call of 3 items
        ASSERT_EQ(VyrSuccess, p.call());
        CUDA_CHECK(cudaDeviceSynchronize());
        EXPECT_TRUE(vyr_test::untouched(p.dout, kFill));
        EXPECT_EQ(6, vyr_test::read_counter(p.counter));
    }
    struct Case {
        const char* name;
        int N, T, C, H, hd;
    };
    const Case cases[] = {
        {"C_in=1024", 1, 16, 1024, 2, 64}, {"M=128", 1, 8, 512, 2, 64}, {"H=1, hd=64", 1, 16, 512, 1, 64},
        {"T=0", 1, 0, 512, 2, 64},         {"H=0", 1, 16, 512, 0, 64},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QkvProblem p(VYR_TYPE_HALF, c.N, c.T, c.C, c.H, c.hd, false, 3);
        p.counter.upload({7});
        EXPECT_EQ(VyrUnsupported, p.call());
        CUDA_CHECK(cudaDeviceSynchronize());
        EXPECT_TRUE(vyr_test::untouched(p.dout, kFill));
        EXPECT_EQ(7, vyr_test::read_counter(p.counter));
    }
    QkvProblem p(VYR_TYPE_HALF, 2, 8, 512, 2, 64, false, 3);
    vyr_test::dim_of(p.tx, 'N')->size = -2;
    vyr_test::dim_of(p.tout, 'N')->size = -2;
    EXPECT_EQ(VyrUnsupported, p.call());
}

}  // namespace
