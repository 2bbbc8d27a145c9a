// The Volta transformer kernels on a simulated compute-capability 7.0 device: each kernel against the
// double references, the size messages and their order, and the devices and shapes that are refused.
#include <cmath>
#include <functional>
#include <string>

#include "activation_tolerance.h"
#include "dense_transformer_ref.h"
#include "tiled_harness.h"

// Simulator only: the kernels need a compute-capability 7.0 device, which the simulator can pretend to be.
#if defined(VYR_BACKEND_SIM)
namespace {

using vyr_test::DeviceBuffer;
constexpr double u = vyr_test::kHalfUnit, tiny = vyr_test::kHalfTinyStep;

struct Matrix {
    int rows, cols;
    std::vector<float> v;  // row-major, half values
    float at(int r, int c) const { return v[(size_t)r * cols + c]; }
};
Matrix random_matrix(vyr_test::Rng& rng, int rows, int cols, float range) {
    return {rows, cols, vyr_test::round_to_half(rng.uniform_vec((size_t)rows * cols, -range, range))};
}
// Row-major to 16 x 16 tiles in tile-row-major order (the outputs are read back with w = 16).
std::vector<__half> tiled(const Matrix& m) {
    return vyr_test::to_half(vyr_ref::to_tiled(m.v, m.rows, m.cols, 16));
}
// The reference products X W^T, with sum |x w| per element for the error bounds, cover every kRowStep-th row
// of X (the step is prime to 16, so every row of a tile and every tile row is sampled); other rows hold NaN
// and are not compared.
constexpr int kRowStep = 5;

// Error of an accumulated product before its half store: float accumulation adds K 2^-24 sum|x w|; half
// accumulation rounds the running sum after every 16-deep product, K / 16 roundings of 2^-11 sum|x w|, and
// the half result itself. Every bound below also allows the half store's step among subnormals (tiny).
double product_error(double mag, int K, bool float_acc) {
    return float_acc ? K * 0x1p-24 * mag : (K / 16 + 1) * u * mag;
}

VyrSimDevice volta_device(int multiprocessors) {
    VyrSimDevice d;
    vyr_sim_get_device(&d);
    d.cc_major = 7;
    d.cc_minor = 0;
    d.multiprocessors = multiprocessors;
    d.smem_optin = 98304;
    return d;
}

// One multiprocessor gives S / 2 = 0: the grid still has a block, and it loops over every row chunk.
TEST(VoltaLinear, MatchesReference) {
    const struct {
        bool float_acc, bias;
        int K, sms;
    } cases[] = {{true, true, 512, 4}, {false, true, 512, 1}, {true, false, 2048, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "float=" << c.float_acc << " bias=" << c.bias << " K=" << c.K << " sms=" << c.sms);
        vyr_test::SimulatedDevice device(volta_device(c.sms));
        vyr_test::Rng rng(c.K + c.sms);
        const int M = 512;
        const Matrix X = random_matrix(rng, M, c.K, 1), W = random_matrix(rng, 512, c.K, 1);
        const std::vector<float> bias = vyr_test::round_to_half(rng.uniform_vec(512, -4, 4));
        DeviceBuffer<__half> dx(tiled(X)), dw(tiled(W));
        DeviceBuffer<__half> db(vyr_test::to_half(bias)), dy((size_t)M * 512);
        const std::vector<float> got = vyr_test::checked_output(
            vyr_volta_linear(nullptr, dx.get(), dw.get(), dy.get(), c.bias ? db.get() : nullptr, c.float_acc,
                             c.bias, M, c.K),
            dy, M, 512, 16);
        const vyr_ref::SampledProduct p = vyr_ref::sampled_product(M, 512, c.K, X.v, W.v, kRowStep);
        std::vector<double> want(p.y.size()), bound(p.y.size());
        for (size_t i = 0; i < p.y.size(); ++i) {
            want[i] = p.y[i] + (c.bias ? bias[i % 512] : 0.0);
            // The product is rounded to half, then the bias added in half: two stores of 2^-11.
            bound[i] = product_error(p.mag[i], c.K, c.float_acc) + u * std::fabs(p.y[i]) +
                       u * std::fabs(want[i]) + tiny;
        }
        EXPECT_TRUE(vyr_test::all_within(got, want, bound));
    }
}

// Half accumulators only: the float ones share every step but the accumulator type, and the linear and QKV
// tests cover their conversion to half.
TEST(VoltaSwiglu, MatchesReference) {
    const bool float_acc = false;
    vyr_test::SimulatedDevice device(volta_device(16));
    vyr_test::Rng rng(3);
    const int M = 512, K = 512;
    const Matrix X = random_matrix(rng, M, K, 0.25f), W = random_matrix(rng, 4096, K, 0.25f);
    DeviceBuffer<__half> dx(tiled(X)), dw(tiled(W)), dout((size_t)M * 2048);
    const std::vector<float> got = vyr_test::checked_output(
        vyr_volta_mm_swiglu(nullptr, dx.get(), dw.get(), dout.get(), float_acc, M), dout, M, 2048, 16);
    const vyr_ref::SampledProduct p = vyr_ref::sampled_product(M, 4096, K, X.v, W.v, kRowStep);
    std::vector<double> want((size_t)M * 2048), bound(want.size());
    for (int r = 0; r < M; ++r)
        for (int c = 0; c < 2048; ++c) {
            const size_t vi = (size_t)r * 4096 + 32 * (c / 16) + c % 16, gi = vi + 16;
            const double v = p.y[vi], g = p.y[gi], sig = 1.0 / (1.0 + std::exp(-g));
            const size_t o = (size_t)r * 2048 + c;
            want[o] = v * g * sig;
            // d/dv = g sigmoid(g) (below |g|), d/dg = v (sigmoid + g sigmoid') (below 1.1 |v|);
            // exp2.approx and rcp.approx add a few 2^-22 relative, the half store 2^-11.
            bound[o] = std::fabs(g) * product_error(p.mag[vi], K, float_acc) +
                       1.1 * std::fabs(v) * product_error(p.mag[gi], K, float_acc) +
                       1.01 * u * std::fabs(want[o]) + tiny;
        }
    EXPECT_TRUE(vyr_test::all_within(got, want, bound));
}

TEST(VoltaQkvRotary, MatchesReference) {
    const struct {
        bool float_acc;
        int N, T;
    } cases[] = {{true, 32, 16}, {false, 32, 32}};
    for (const auto& c : cases) {
        SCOPED_TRACE("float=" + std::to_string(c.float_acc) + " T=" + std::to_string(c.T));
        // One block in x: it takes every 12-row-tile chunk, the last one partial (M / 16 is no multiple of
        // 12).
        vyr_test::SimulatedDevice device(volta_device(8));
        vyr_test::Rng rng(c.T);
        const int M = c.N * c.T;
        const Matrix X = random_matrix(rng, M, 512, 0.5f), W = random_matrix(rng, 1536, 512, 0.5f);
        const Matrix table{c.T, 64, vyr_test::rotary_table(c.T, 64)};
        DeviceBuffer<__half> dx(tiled(X)), dw(tiled(W)), dt(tiled(table)), dout((size_t)M * 1536);
        const std::vector<float> got = vyr_test::checked_output(
            vyr_volta_qkv_rotary(nullptr, dx.get(), dw.get(), dout.get(), dt.get(), c.float_acc, c.N, c.T),
            dout, M, 1536, 16);
        const vyr_ref::SampledProduct p = vyr_ref::sampled_product(M, 1536, 512, X.v, W.v, kRowStep);
        std::vector<double> want(p.y.size()), bound(p.y.size());
        for (int r = 0; r < M; ++r)
            for (int col = 0; col < 1536; col += 2) {
                const size_t i = (size_t)r * 1536 + col;
                // Each product is rounded to half first (2^-11), then rotated in float and stored (2^-11).
                const double e0 = product_error(p.mag[i], 512, c.float_acc) + u * std::fabs(p.y[i]);
                const double e1 = product_error(p.mag[i + 1], 512, c.float_acc) + u * std::fabs(p.y[i + 1]);
                // Value columns are stored as they are: no rotation, no second rounding.
                const bool rotated = col < 1024;
                const double s = rotated ? table.at(r % c.T, col % 64) : 0.0;
                const double co = rotated ? table.at(r % c.T, col % 64 + 1) : 1.0, store = rotated ? u : 0.0;
                want[i] = p.y[i] * co - p.y[i + 1] * s;
                want[i + 1] = p.y[i] * s + p.y[i + 1] * co;
                bound[i] = std::fabs(co) * e0 + std::fabs(s) * e1 + store * std::fabs(want[i]) + tiny;
                bound[i + 1] = std::fabs(s) * e0 + std::fabs(co) * e1 + store * std::fabs(want[i + 1]) + tiny;
            }
        EXPECT_TRUE(vyr_test::all_within(got, want, bound));
    }
}

TEST(VoltaRmsNorm, MatchesReference) {
    vyr_test::SimulatedDevice device(volta_device(4));
    vyr_test::Rng rng(5);
    const int M = 512;
    const float alpha = 0.7f;
    const Matrix a = random_matrix(rng, M, 512, 2), b = random_matrix(rng, M, 512, 2);
    const std::vector<float> weight = vyr_test::round_to_half(rng.uniform_vec(512, -2, 2));
    DeviceBuffer<__half> da(tiled(a)), db(tiled(b));
    DeviceBuffer<__half> dw(vyr_test::to_half(weight)), dout((size_t)M * 512);
    const std::vector<float> got = vyr_test::checked_output(
        vyr_volta_rmsnorm_residual(nullptr, da.get(), db.get(), dw.get(), dout.get(), M, alpha), dout, M, 512,
        16);
    // v = alpha a + b: one half fused multiply-add with alpha rounded to half, as the tiled reference forms
    // it; from v on, the float sum of squares and rsqrt.approx (below 2^-20) and the half store remain.
    const std::vector<float> v = vyr_ref::rmsnorm_residual(M, 512, b.v, a.v, weight, alpha, false).v;
    const std::vector<float> want =
        vyr_ref::residual_rmsnorm(512, M, v, std::vector<float>(v.size()), 0.0, weight);
    EXPECT_TRUE(vyr_test::all_near(got, want, vyr_test::kHalfTinyStep, 1.01 * u));
}

TEST(VoltaAttention, MatchesBandedReference) {
    // T = 16: one tile; T = 160 (10 tiles): tile 0 sees tiles 0 .. 8 only, tile 9 sees 1 .. 9.
    for (int T : {16, 160}) {
        SCOPED_TRACE("T=" + std::to_string(T));
        vyr_test::SimulatedDevice device(volta_device(4));
        vyr_test::Rng rng(T);
        const int N = 32, M = N * T;
        const Matrix qkv = random_matrix(rng, M, 1536, 0.5f);
        DeviceBuffer<__half> dqkv(tiled(qkv)), dout((size_t)M * 512);
        const std::vector<float> got =
            vyr_test::checked_output(vyr_volta_attn(nullptr, dqkv.get(), dout.get(), N, T), dout, M, 512, 16);
        const std::vector<float> want = vyr_ref::band_attention(N, T / 16, 8, 8, qkv.v);
        // Scores accumulate in half: four roundings of 2^-11 |s| <= 2^-11 * 64 * 0.25 / 8, so |ds| <= 2^-8
        // and the weights are within 2 * 2^-8 relative, moving O by up to 2^-7 max|V| = 2^-8. O accumulates
        // in half: each of up to 17 key tiles rescales it and adds a product (two roundings of 2^-11 |O|, |O|
        // <= 0.5), 17 * 2^-11 in all; probabilities rounded to half add 2^-11 max|V|.
        EXPECT_TRUE(vyr_test::all_near(got, want, 0x1p-8 + 18 * u));
    }
}

// The size messages and their order, the empty problems, and devices of another generation. Each function
// is called with two sizes: (M, K) for the linear layer, (N, T) for QKV and attention, M alone otherwise.
TEST(VoltaKernels, RefusalsAndMessages) {
    DeviceBuffer<__half> buf(16), out(16);
    out.fill_bytes(0x5a);
    const std::vector<__half> before = out.download();
    __half *p = buf.get(), *o = out.get();
    const struct {
        const char* name;
        std::function<int(int, int)> call;
        int a, b;  // valid sizes
    } fns[] = {
        {"linear", [&](int M, int K) { return vyr_volta_linear(nullptr, p, p, o, p, true, true, M, K); }, 512,
         512},
        {"swiglu", [&](int M, int) { return vyr_volta_mm_swiglu(nullptr, p, p, o, false, M); }, 512, 0},
        {"qkv", [&](int N, int T) { return vyr_volta_qkv_rotary(nullptr, p, p, o, p, true, N, T); }, 32, 16},
        {"rmsnorm", [&](int M, int) { return vyr_volta_rmsnorm_residual(nullptr, p, p, p, o, M, 1.0f); }, 512,
         0},
        {"attn", [&](int N, int T) { return vyr_volta_attn(nullptr, p, o, N, T); }, 32, 16},
    };
    const char* kM = "Dimension M is not a multiple of 512\n";
    const char* kK = "Invalid K dimension. Must be either 512 or 2048.\n";
    const char* kN = "Dimension N is not a multiple of 32\n";
    const char* kT = "Dimension T is not a multiple of 16\n";
    // Two bad sizes show which is checked first.
    const struct {
        int fn, a, b;
        const char* message;
    } sizes[] = {{0, 256, 1024, kM}, {0, 512, 1024, kK}, {0, -512, 512, kM}, {1, 100, 0, kM}, {2, 33, 20, kN},
                 {2, 32, 20, kT},    {3, 100, 0, kM},    {4, 33, 20, kT},    {4, 33, 16, kN}};
    {
        vyr_test::SimulatedDevice device(volta_device(80));
        for (const auto& c : sizes) {
            SCOPED_TRACE(std::string(fns[c.fn].name) + " " + std::to_string(c.a) + " " + std::to_string(c.b));
            testing::internal::CaptureStderr();
            EXPECT_EQ(VyrUnsupported, fns[c.fn].call(c.a, c.b));
            EXPECT_EQ(c.message, testing::internal::GetCapturedStderr());
        }
        for (const auto& f : fns) EXPECT_EQ(VyrSuccess, f.call(0, f.b)) << f.name << " empty";
    }
    // Valid sizes on a device of another generation (the default simulated one is 9.0).
    for (std::pair<int, int> cc : {std::make_pair(9, 0), std::make_pair(7, 5)}) {
        VyrSimDevice d = volta_device(80);
        d.cc_major = cc.first;
        d.cc_minor = cc.second;
        vyr_test::SimulatedDevice device(d);
        for (const auto& f : fns)
            EXPECT_EQ(VyrUnsupported, f.call(f.a, f.b)) << f.name << " on " << cc.first << "." << cc.second;
    }
    {
        // A 7.0 device that refuses the normalisation's 64 KiB of shared memory.
        VyrSimDevice d = volta_device(80);
        d.smem_optin = 49152;
        vyr_test::SimulatedDevice device(d);
        testing::internal::CaptureStderr();
        EXPECT_EQ(VyrUnsupported, fns[3].call(512, 0));
        EXPECT_EQ("Vyr RMSNorm residual: failed to set smem size 65536\n",
                  testing::internal::GetCapturedStderr());
        EXPECT_EQ(cudaSuccess, cudaGetLastError());
    }
    vyr_test::expect_clean_run();
    EXPECT_TRUE(vyr_test::all_equal(out.download(), before));
}

}  // namespace
#endif
