// Tensor-core linear layers against the double-precision reference: every compiled kernel (both stage
// variants of each row on the simulator; on a GPU, the one its opt-in size picks), the selection by shared
// memory, every status of host_linear and host_linear_swiglu_f16, and the messages of their shared launch
// helper.
#include <cmath>

#include "activation_tolerance.h"
#include "harness.h"
#include "linear_ref.h"

namespace {

using vyr_test::DeviceBuffer;
using vyr_test::kFloatUnit;
using vyr_test::kHalfUnit;

constexpr int kHalf = VYR_TYPE_HALF, kInt8 = VYR_TYPE_INT8;
constexpr int kSmem3[] = {0, 73728, 147456}, kSmem2[] = {0, 49152, 98304};  // by type code

struct Row {
    int ab, d, act;
};
const Row kRows[] = {{kHalf, kHalf, 0}, {kHalf, kHalf, 1}, {kHalf, kHalf, 2}, {kHalf, kHalf, 3},
                     {kHalf, kHalf, 4}, {kHalf, kInt8, 3}, {kInt8, kHalf, 0}, {kInt8, kHalf, 1},
                     {kInt8, kHalf, 2}, {kInt8, kHalf, 3}, {kInt8, kHalf, 4}, {kInt8, kInt8, 3}};

struct Problem {
    int batch, M, K, N, lda, ldd;
    bool bias;
};

// The operands of one call in device memory, with the host copies the reference reads.
struct LinearCall {
    vyr_ref::LinearOperands op;
    int batch, ldd;
    DeviceBuffer<char> A, B, D;
    DeviceBuffer<__half> bias, scale;

    LinearCall(const Row& row, const Problem& p, uint64_t seed)
        : op{p.M * p.batch, p.N, p.K, p.lda, row.ab == kInt8, {}, {}, {}, {}},
          batch(p.batch),
          ldd(p.ldd),
          A((size_t)p.batch * p.M * p.lda * elem(row.ab)),
          B((size_t)p.N * p.K * elem(row.ab)),
          D((size_t)p.batch * p.M * p.ldd * elem(row.d)),
          bias(p.bias ? p.N : 0),
          scale(p.N) {
        vyr_test::Rng rng(seed);
        // Half inputs in [-1, 1] and weights in [-1/4, 1/4] keep pre-activations near the activations' bends;
        // 8-bit codes span the whole range, scales 40 .. 160.
        auto draw = [&](size_t n, float bound) {
            std::vector<float> v(n);
            for (float& x : v) x = op.int8 ? (float)rng.integer(-127, 127) : rng.uniform(-bound, bound);
            return vyr_test::round_to_half(v);  // 8-bit codes are halves already
        };
        op.a = draw(A.size() / elem(row.ab), 1.0f);
        op.b = draw(B.size() / elem(row.ab), 0.25f);
        A.upload(stored(op.a));
        B.upload(stored(op.b));
        op.scale = vyr_test::round_to_half(rng.uniform_vec(p.N, 40.0f, 160.0f));
        scale.upload(vyr_test::to_half(op.scale));
        if (p.bias) {
            op.bias = vyr_test::round_to_half(rng.uniform_vec(p.N, -0.5f, 0.5f));
            bias.upload(vyr_test::to_half(op.bias));
        }
        D.fill_bytes(0x5a);
    }
    static size_t elem(int type) { return type == kInt8 ? 1 : 2; }
    // Operand values as stored: 8-bit codes or halves.
    std::vector<char> stored(const std::vector<float>& v) const {
        if (op.int8) return std::vector<char>(v.begin(), v.end());
        std::vector<char> c(v.size() * 2);
        std::memcpy(c.data(), vyr_test::to_half(v).data(), c.size());
        return c;
    }
    int run(const Row& row) {
        const int M = op.M / batch;
        return host_linear(nullptr, row.ab, row.act, row.d, batch, M, op.K, op.N, M * op.lda, op.lda, M * ldd,
                           ldd, A.get(), B.get(), D.get(), op.int8 ? scale.get() : nullptr, bias.get());
    }
};

#if defined(VYR_BACKEND_SIM)
VyrSimLaunch last_launch() {
    VyrSimLaunch l;
    vyr_sim_last_launch(&l);
    return l;
}
#endif

// Padded strides and a K tail always; alternately two batch entries sharing B with two row tiles (the second
// partial), or two column tiles (the second partial). `small` is a one-tile problem for the second kernel.
void check_row(const Row& row, int index, bool small, uint64_t seed) {
    const int K = small ? (row.ab == kHalf ? 40 : 48) : (row.ab == kHalf ? 88 : 80);
    const int lda = K + (row.ab == kHalf ? 8 : 16);
    const Problem p = small            ? Problem{1, 100, K, 120, lda, 122, true}
                      : index % 2 == 0 ? Problem{2, 130, K, 120, lda, 126, index % 4 == 0}
                                       : Problem{1, 60, K, 264, lda, 270, index % 4 == 1};
    LinearCall call(row, p, seed);
    ASSERT_EQ(VyrSuccess, call.run(row));
    CUDA_CHECK(cudaDeviceSynchronize());
    // Every output against the reference; the row padding and guard bands untouched.
    const vyr_ref::LinearPre pre = vyr_ref::linear_pre_activation(call.op);
    const std::vector<char> d = call.D.download();
    const int N = call.op.N;
    const size_t e = LinearCall::elem(row.d);
    // 8-bit outputs as their codes; the row padding keeps its fill.
    std::vector<float> got(d.size() / e);
    for (size_t i = 0; i < got.size(); ++i) {
        __half h;
        std::memcpy(&h, &d[i * e], e);
        got[i] = e == 2 ? __half2float(h) : (signed char)d[i];
    }
    std::vector<double> want(got.size(), e == 2 ? __half2float(__ushort_as_half(0x5a5a)) : 0x5a),
        tol(got.size(), 0.0);
    for (int r = 0; r < call.op.M; ++r)
        for (int n = 0; n < N; ++n) {
            const size_t at = (size_t)r * call.ldd + n;
            const double x = pre.value[(size_t)r * N + n], mag = pre.magnitude[(size_t)r * N + n];
            const double b = call.op.bias.empty() ? 0.0 : std::fabs(call.op.bias[n]);
            // Half operands accumulate in half: each of the ceil(K / 16) instructions rounds the running sum
            // (|sum| <= mag), allowing one more rounding inside the instruction. 8-bit sums are exact; the
            // dequantising division (2 ulp) and 127 scale (1 ulp) and the float bias add round in float.
            const double pre_err = call.op.int8
                                       ? 4 * kFloatUnit * (std::fabs(x) + 2 * b)
                                       : 2 * std::ceil(K / 16.0) * kHalfUnit * mag + kFloatUnit * (mag + b);
            const double y = vyr_ref::activation(row.act, x);
            // An 8-bit output round(127 y) may go either way only when 127 y lies within 127 err of a
            // rounding boundary.
            want[at] = row.d == kHalf ? y : 127 * y;
            tol[at] = row.d == kHalf ? vyr_test::half_output_error(row.act, x, pre_err)
                                     : 0.5 + 127 * vyr_test::activation_error(row.act, x, pre_err);
        }
    EXPECT_TRUE(vyr_test::all_within(got, want, tol));
    EXPECT_TRUE(call.D.guards_intact());
}

TEST(CutlassLinear, EveryCompiledKernelMatchesTheReference) {
    for (int i = 0; i < (int)(sizeof kRows / sizeof kRows[0]); ++i) {
        const Row& row = kRows[i];
        SCOPED_TRACE(::testing::Message() << "ab " << row.ab << " d " << row.d << " act " << row.act);
        const uint64_t seed = 7 + row.act + 5 * row.ab + row.d;
#if defined(VYR_BACKEND_SIM)
        // Each kernel at exactly its shared-memory size; one byte less selects the 2-stage kernel, or none
        // (VyrNoKernel, nothing launched).
        for (const int* smem : {kSmem3, kSmem2}) {
            const bool two = smem == kSmem2;
            SCOPED_TRACE(smem[row.ab]);
            {
                vyr_test::SimulatedDevice dev([&](VyrSimDevice& d) { d.smem_optin = smem[row.ab]; });
                check_row(row, i, two, seed);
                EXPECT_EQ((size_t)smem[row.ab], last_launch().dynamic_smem);
            }
            vyr_test::SimulatedDevice dev([&](VyrSimDevice& d) { d.smem_optin = smem[row.ab] - 1; });
            LinearCall call(row, Problem{1, 16, 64, 8, 64, 8, false}, 1);
            const unsigned long long before = last_launch().count;
            ASSERT_EQ(two ? VyrNoKernel : VyrSuccess, call.run(row));
            EXPECT_EQ(two ? before : before + 1, last_launch().count);
            EXPECT_EQ((size_t)kSmem2[row.ab], last_launch().dynamic_smem);  // the 2-stage kernel either way
        }
#else
        check_row(row, i, false, seed);
#endif
    }
}

TEST(CutlassLinear, RefusalsLaunchNothing) {
    const Row half{kHalf, kHalf, 0}, byte{kInt8, kHalf, 0};
    LinearCall h(half, Problem{1, 16, 64, 16, 64, 16, true}, 1);  // the 8-bit calls are refused before use
    auto call = [&](const Row& row, int batch, int M, int K, int N, int lda, int ldd, int a_off, int d_off,
                    bool scale = true) {
        return host_linear(nullptr, row.ab, row.act, row.d, batch, M, K, N, M * lda, lda, M * ldd, ldd,
                           h.A.get() + a_off, h.B.get(), h.D.get() + d_off, scale ? h.scale.get() : nullptr,
                           h.bias.get());
    };
    // No compiled kernel, one per key of the table: activation 5, half -> int8 swish, float operands.
    EXPECT_EQ(VyrNoKernel, call({kHalf, kHalf, 5}, 1, 16, 64, 16, 64, 16, 0, 0));
    EXPECT_EQ(VyrNoKernel, call({kHalf, kInt8, 1}, 1, 16, 64, 16, 64, 16, 0, 0));
    EXPECT_EQ(VyrNoKernel, call({VYR_TYPE_FLOAT, kHalf, 0}, 1, 16, 64, 16, 64, 16, 0, 0));
    // Arguments the 16-byte and pair accesses cannot serve.
    EXPECT_EQ(VyrUnsupported, call(half, 1, 16, 60, 16, 64, 16, 0, 0));         // K not a multiple of 8
    EXPECT_EQ(VyrUnsupported, call(byte, 1, 16, 56, 16, 64, 16, 0, 0));         // nor of 16 for 8-bit
    EXPECT_EQ(VyrUnsupported, call(half, 1, 16, 64, 16, 56, 16, 0, 0));         // lda < K
    EXPECT_EQ(VyrUnsupported, call(half, 1, 16, 64, 16, 64, 14, 0, 0));         // ldd < N
    EXPECT_EQ(VyrUnsupported, call(half, 1, 16, 64, 16, 64, 17, 0, 0));         // odd ldd
    EXPECT_EQ(VyrUnsupported, call(half, 1, 16, 64, 16, 64, 16, 8, 0));         // A 8-byte aligned only
    EXPECT_EQ(VyrUnsupported, call(half, 1, 16, 64, 16, 64, 16, 0, 2));         // D 2-byte aligned only
    EXPECT_EQ(VyrUnsupported, call(byte, 1, 16, 64, 16, 64, 16, 0, 0, false));  // 8-bit without scale
    EXPECT_EQ(VyrUnsupported, call(half, 1, -1, 64, 16, 64, 16, 0, 0));
    // Nothing to do.
    EXPECT_EQ(VyrSuccess, call(half, 0, 16, 64, 16, 64, 16, 0, 0));
    EXPECT_EQ(VyrSuccess, call(half, 1, 0, 64, 16, 64, 16, 0, 0));
    EXPECT_EQ(VyrSuccess, call(half, 1, 16, 64, 0, 64, 16, 0, 0));
    // 65536 batch entries exceed the grid's depth: the launch itself is refused.
    EXPECT_EQ(VyrKernelFailed, call(half, 65536, 16, 64, 16, 64, 16, 0, 0));
#if defined(VYR_BACKEND_SIM)
    {  // a device that cannot be queried
        vyr_test::SimulatedDevice dev(
            [&](VyrSimDevice& d) { d.fail_attribute = cudaDevAttrMaxSharedMemoryPerBlockOptin; });
        EXPECT_EQ(VyrUnsupported, call(half, 1, 16, 64, 16, 64, 16, 0, 0));
        cudaGetLastError();
    }
#endif
    CUDA_CHECK(cudaDeviceSynchronize());
    for (char c : h.D.download()) ASSERT_EQ(0x5a, c);
}

// P = A W^T accumulates in float over K and is rounded to half when staged; silu uses the fast exponential
// (2^-22 relative) and division (2 ulp) and is rounded to half; the gating product is one half multiply.
void check_swiglu(int M, int N, int K, uint64_t seed) {
    SCOPED_TRACE(::testing::Message() << "M " << M << " N " << N << " K " << K);
    vyr_test::Rng rng(seed);
    const std::vector<float> a = vyr_test::round_to_half(rng.uniform_vec((size_t)M * K, -1.0f, 1.0f));
    const std::vector<float> w = vyr_test::round_to_half(rng.uniform_vec((size_t)N * K, -0.25f, 0.25f));
    DeviceBuffer<__half> A(vyr_test::to_half(a)), W(vyr_test::to_half(w)), D((size_t)M * (N / 2));
    ASSERT_EQ(VyrSuccess, host_linear_swiglu_f16(nullptr, M, N, K, A.get(), W.get(), D.get()));
    CUDA_CHECK(cudaDeviceSynchronize());
    const vyr_ref::SwiGLUResult ref = vyr_ref::swiglu(a, w, M, N, K);
    std::vector<double> tol(ref.out.size());
    for (size_t i = 0; i < tol.size(); ++i) {
        const double v = std::fabs(ref.value[i]), g = ref.gate[i];
        const double dv = kHalfUnit * v + K * kFloatUnit * ref.value_magnitude[i];
        const double dg = kHalfUnit * std::fabs(g) + K * kFloatUnit * ref.gate_magnitude[i];
        const double s = std::fabs(g / (1.0 + std::exp(-g)));
        // silu has slope at most 1.1; its own evaluation and rounding to half add 2^-20 and u relative.
        const double ds = 1.1 * dg + (0x1p-20 + kHalfUnit) * s + vyr_test::kHalfTinyStep;
        tol[i] = s * dv + (v + dv) * ds + kHalfUnit * v * s + vyr_test::kHalfTinyStep;
    }
    EXPECT_TRUE(vyr_test::all_within(vyr_test::to_float(D.download()), ref.out, tol));
    EXPECT_TRUE(D.guards_intact());
}

// Two row tiles with a tail, three column tiles (the last with 4 outputs), a K tail; one block with one
// output; an odd N whose last product column is unused.
TEST(CutlassLinearSwiGLU, MatchesTheReference) {
    check_swiglu(130, 520, 72, 5);
    check_swiglu(1, 2, 64, 6);
    check_swiglu(3, 7, 16, 7);
}

TEST(CutlassLinearSwiGLU, RefusalsAndFailures) {
    DeviceBuffer<__half> A(64 * 64), W(64 * 64), D(64 * 32);
    D.fill_bytes(0x5a);
    EXPECT_EQ(VyrSuccess, host_linear_swiglu_f16(nullptr, 0, 64, 64, A.get(), W.get(), D.get()));
    EXPECT_EQ(VyrSuccess, host_linear_swiglu_f16(nullptr, 64, -4, 64, A.get(), W.get(), D.get()));
    EXPECT_EQ(VyrUnsupported, host_linear_swiglu_f16(nullptr, 64, 64, 60, A.get(), W.get(), D.get()));
    EXPECT_EQ(VyrUnsupported, host_linear_swiglu_f16(nullptr, 64, 64, 64, A.get() + 4, W.get(), D.get()));
    CUDA_CHECK(cudaDeviceSynchronize());
    for (__half h : D.download()) ASSERT_EQ(0x5a5a, __half_as_ushort(h));

    // Failures of the launch helper the linear layers share: an error left pending by earlier work (reported
    // and cleared, nothing launched) and, on the simulator, a refused shared-memory limit.
    auto run = [&] { return host_linear_swiglu_f16(nullptr, 64, 64, 64, A.get(), W.get(), D.get()); };
    ASSERT_EQ(cudaErrorInvalidValue, cudaMalloc(nullptr, 16));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(VyrKernelFailed, run());
    EXPECT_EQ("Vyr Cutlass kernel: CUDA error 1\n", ::testing::internal::GetCapturedStderr());
    EXPECT_EQ(cudaSuccess, cudaGetLastError());
#if defined(VYR_BACKEND_SIM)
    vyr_test::SimulatedDevice dev([&](VyrSimDevice& d) { d.refuse_smem_attribute = 1; });
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(VyrKernelFailed, run());
    EXPECT_EQ("Vyr Cutlass kernel: failed to set smem size 147456\n",
              ::testing::internal::GetCapturedStderr());
    cudaGetLastError();
#endif
}

}  // namespace
