// The element-wise and layout kernels against the references: bias/activation (in place, and with int8
// conversion and re-interleaving), strided conversions and transposes, time windowing, and refusals.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "activation_tolerance.h"
#include "harness.h"
#include "util_ref.h"

namespace {

using vyr_ref::Strides;
using vyr_test::DeviceBuffer;

constexpr unsigned char kFill = 0x5C;  // 0x5C5C as a half is 279, never produced by these inputs
constexpr double kFillValue = 279.0;

size_t elem_size(int type) {
    return type == VYR_TYPE_INT8 ? 1 : 2;
}

// n random elements of `type` as stored: 8-bit codes anywhere in their range, halves uniform in +-bound.
std::vector<unsigned char> random_elements(vyr_test::Rng& rng, int type, size_t n, float bound) {
    const size_t size = elem_size(type);
    std::vector<unsigned char> bytes(n * size);
    for (size_t i = 0; i < n; ++i) {
        const int8_t q = (int8_t)rng.integer(-128, 127);
        const __half h = __float2half(rng.uniform(-bound, bound));
        std::memcpy(&bytes[i * size], size == 1 ? (const void*)&q : (const void*)&h, size);
    }
    return bytes;
}

// The values of stored elements of `type`: code / 127, or the half.
std::vector<double> decode(const std::vector<unsigned char>& bytes, int type) {
    std::vector<double> value(bytes.size() / elem_size(type));
    for (size_t i = 0; i < value.size(); ++i) {
        __half h;
        std::memcpy(&h, &bytes[i * elem_size(type)], elem_size(type));
        value[i] = type == VYR_TYPE_INT8 ? vyr_ref::int8_decode((int8_t)bytes[i]) : __half2float(h);
    }
    return value;
}

TEST(BiasActivationInplace, EveryActivationWithTails) {
    // 7 rows (a partial group of 4) by 130 columns (a partial block of 128), 3 columns of padding per row.
    const int rows = 7, cols = 130, stride = 133;
    vyr_test::Rng rng(3);
    const auto x = vyr_test::round_to_half(rng.uniform_vec((size_t)rows * stride, -6.0f, 6.0f));
    const auto bias = vyr_test::round_to_half(rng.uniform_vec(cols, -2.0f, 2.0f));
    DeviceBuffer<__half> d_bias(vyr_test::to_half(bias));
    for (int act = 0; act <= 4; ++act)
        for (bool with_bias : {true, false}) {
            DeviceBuffer<__half> m(vyr_test::to_half(x));
            ASSERT_EQ(VyrSuccess, host_bias_activation_f16_inplace(nullptr, rows, cols, stride, m.get(),
                                                                   with_bias ? d_bias.get() : nullptr, act));
            CUDA_CHECK(cudaDeviceSynchronize());
            ASSERT_TRUE(m.guards_intact());
            std::vector<double> want(x.begin(), x.end()), bound(x.size(), 0.0);  // the padding is untouched
            for (size_t i = 0; i < x.size(); ++i) {
                const int c = (int)(i % stride);
                if (c >= cols) continue;
                // One float addition (2^-24 relative) before the activation.
                const double pre = (double)x[i] + (with_bias ? bias[c] : 0.0);
                want[i] = vyr_ref::activation(act, pre);
                bound[i] = vyr_test::half_output_error(act, pre, vyr_test::kFloatUnit * std::fabs(pre));
            }
            EXPECT_TRUE(vyr_test::all_within(vyr_test::to_float(m.download()), want, bound))
                << "activation " << act << (with_bias ? " with bias" : " no bias");
        }
}

struct InterleaveCase {
    int act, in_type, out_type, N, T, C, in_chunk, out_chunk;
    bool bias;
};

TEST(BiasActivationInterleave, EveryCombinationAndLayout) {
    // T = 6: a partial group of 4 time steps. C = 136: two blocks of channels; C = 48: one partial block.
    const InterleaveCase cases[] = {
        {0, VYR_TYPE_INT8, VYR_TYPE_HALF, 1, 5, 136, 8, 0, true},
        {0, VYR_TYPE_HALF, VYR_TYPE_INT8, 1, 3, 48, 16, 24, true},
        {1, VYR_TYPE_HALF, VYR_TYPE_HALF, 2, 6, 48, 0, 16, true},
        {1, VYR_TYPE_HALF, VYR_TYPE_INT8, 1, 6, 136, 0, 0, true},
        {2, VYR_TYPE_HALF, VYR_TYPE_HALF, 1, 9, 136, 136, 8, false},
        {2, VYR_TYPE_HALF, VYR_TYPE_INT8, 2, 6, 48, 16, 0, true},
        {3, VYR_TYPE_HALF, VYR_TYPE_HALF, 2, 4, 48, 24, 48, true},
        {3, VYR_TYPE_HALF, VYR_TYPE_INT8, 1, 7, 48, 8, 16, true},
    };
    for (const InterleaveCase& c : cases) {
        SCOPED_TRACE("activation " + std::to_string(c.act) + " types " + std::to_string(c.in_type) + "->" +
                     std::to_string(c.out_type) + " C " + std::to_string(c.C) + " chunks " +
                     std::to_string(c.in_chunk) + "/" + std::to_string(c.out_chunk));
        const size_t count = (size_t)c.N * c.T * c.C;
        vyr_test::Rng rng(17 + c.act);
        const std::vector<unsigned char> in = random_elements(rng, c.in_type, count, 4.0f);
        const auto bias = vyr_test::round_to_half(rng.uniform_vec(c.C, -1.0f, 1.0f));
        DeviceBuffer<__half> d_bias(vyr_test::to_half(bias));
        DeviceBuffer<unsigned char> d_in(in), d_out(count * elem_size(c.out_type));
        ASSERT_EQ(VyrSuccess, host_bias_activation_interleave_convert(
                                  nullptr, c.N, c.T, c.C, d_in.get(), c.in_chunk, c.in_type, d_out.get(),
                                  c.out_chunk, c.out_type, c.bias ? d_bias.get() : nullptr, c.act));
        CUDA_CHECK(cudaDeviceSynchronize());
        ASSERT_TRUE(d_out.guards_intact());
        const std::vector<double> x = decode(in, c.in_type), got = decode(d_out.download(), c.out_type);
        // The decoded inputs, and their sums with the bias, in the output layout.
        const auto v = vyr_ref::bias_interleave(c.N, c.T, c.C, x, c.in_chunk, c.out_chunk, {});
        const auto pre = vyr_ref::bias_interleave(c.N, c.T, c.C, x, c.in_chunk, c.out_chunk,
                                                  c.bias ? bias : std::vector<float>{});
        size_t bad = 0;
        for (size_t i = 0; i < count; ++i) {
            // int8 decoding divides with div.approx (2 ulp); the bias add rounds once in float.
            const double pre_err =
                (c.in_type == VYR_TYPE_INT8 ? 2 * vyr_test::kFloatUnit * std::fabs(v[i]) : 0.0) +
                vyr_test::kFloatUnit * std::fabs(pre[i]);
            const double y = vyr_ref::activation(c.act, pre[i]),
                         err = vyr_test::activation_error(c.act, pre[i], pre_err);
            // An int8 output may be any code between the encodings of the ends of the exact value's error
            // interval: the encoding is monotonic, so this is exact away from rounding ties and clamps.
            bad += c.out_type == VYR_TYPE_INT8
                       ? !(vyr_ref::int8_decode(vyr_ref::int8_encode(y - err)) <= got[i] &&
                           got[i] <= vyr_ref::int8_decode(vyr_ref::int8_encode(y + err)))
                       : !(std::fabs(got[i] - y) <= vyr_test::half_output_error(c.act, pre[i], pre_err));
        }
        EXPECT_EQ(0u, bad);
    }
}

TEST(BiasActivationInterleave, ConversionEdgeValuesExact) {
    // half -> int8: clamp (NaN reads as above the range), scale by 127, round half to even.
    const std::vector<float> x = {1.5f,     -1.5f,     0.5f, 0.0f,  -0.0f, NAN,
                                  INFINITY, -INFINITY, 1.0f, -1.0f, -0.5f};
    const std::vector<int8_t> want = {127, -127, 64, 0, 0, 127, 127, -127, 127, -127, -64};
    const int C = (int)x.size();
    DeviceBuffer<__half> h(vyr_test::to_half(x));
    DeviceBuffer<int8_t> q(C);
    ASSERT_EQ(VyrSuccess, host_bias_activation_interleave_convert(nullptr, 1, 1, C, h.get(), 0, VYR_TYPE_HALF,
                                                                  q.get(), 0, VYR_TYPE_INT8, nullptr, 0));
    CUDA_CHECK(cudaDeviceSynchronize());
    EXPECT_TRUE(vyr_test::all_equal(q.download(), want));
}

// Strided (d0, d1, d2) boxes in every type pair: int8 <-> half conversion and half layout changes.
struct ConvertCase {
    const char* name;
    int d0, d1, d2;
    Strides in_s, out_s;
    long long in_offset;  // elements between the allocation's start and the tensor's
};

size_t span(const Strides& s, int d0, int d1, int d2) {
    return (size_t)((d0 - 1) * s.s0 + (d1 - 1) * s.s1 + (d2 - 1) * s.s2 + 1);
}

// The input is an exact-size allocation with no guard band, so a copy that reads past the last row is an
// out-of-bounds access the sanitizer build reports. Outputs keep the fill outside the box.
void check_convert(const ConvertCase& c) {
    SCOPED_TRACE(c.name);
    const size_t in_n = c.in_offset + span(c.in_s, c.d0, c.d1, c.d2), out_n = span(c.out_s, c.d0, c.d1, c.d2);
    vyr_test::Rng rng(29);
    const int H = VYR_TYPE_HALF, Q = VYR_TYPE_INT8;
    for (auto types : {std::make_pair(Q, H), std::make_pair(H, Q), std::make_pair(H, H)}) {
        SCOPED_TRACE("types " + std::to_string(types.first) + " to " + std::to_string(types.second));
        const std::vector<unsigned char> bytes = random_elements(rng, types.first, in_n, 1.2f);
        void* d_in = nullptr;
        CUDA_CHECK(cudaMalloc(&d_in, bytes.size()));
        CUDA_CHECK(cudaMemcpy(d_in, bytes.data(), bytes.size(), cudaMemcpyHostToDevice));
        DeviceBuffer<unsigned char> d_out(out_n * elem_size(types.second));
        d_out.fill_bytes(kFill);
        EXPECT_EQ(
            VyrSuccess,
            host_convert(nullptr, static_cast<const char*>(d_in) + c.in_offset * elem_size(types.first),
                         (int)c.in_s.s0, (int)c.in_s.s1, (int)c.in_s.s2, types.first, d_out.get(),
                         (int)c.out_s.s0, (int)c.out_s.s1, (int)c.out_s.s2, types.second, c.d0, c.d1, c.d2));
        EXPECT_CUDA_OK(cudaDeviceSynchronize());
        cudaFree(d_in);
        ASSERT_TRUE(d_out.guards_intact());
        const std::vector<double> value = decode(bytes, types.first);
        std::vector<double> expected(out_n,
                                     types.second == Q ? vyr_ref::int8_decode((int8_t)kFill) : kFillValue);
        vyr_ref::strided_copy(std::vector<double>(value.begin() + c.in_offset, value.end()), c.in_s, expected,
                              c.out_s, c.d0, c.d1, c.d2);
        // half -> int8 is exact (a half times 127 is exact in float): the output is the value's encoding.
        // int8 -> half: 2 ulp of the float division, then rounding to nearest half. Copies are exact.
        if (types.second == Q)
            for (double& e : expected) e = vyr_ref::int8_decode(vyr_ref::int8_encode(e));
        const bool widen = types.first == Q;
        EXPECT_TRUE(vyr_test::all_near(decode(d_out.download(), types.second), expected,
                                       widen ? vyr_test::kHalfTinyStep : 0.0,
                                       widen ? vyr_test::kHalfUnit + 2 * vyr_test::kFloatUnit : 0.0));
    }
}

TEST(Convert, TypesAndLayouts) {
    const ConvertCase cases[] = {
        // Unit inner stride, rows of up to 1024 elements at 16-byte boundaries: the asynchronous-copy path.
        {"13-element rows", 2, 3, 13, {6 * 16, 16, 1}, {39, 13, 1}, 0},
        {"1024-element rows", 1, 3, 1024, {0, 1024, 1}, {0, 1024, 1}, 0},
        // The plain path: long rows, a strided inner dimension, rows off 16-byte boundaries.
        {"1025-element rows", 2, 1, 1025, {1025, 0, 1}, {1025, 0, 1}, 0},
        {"inner stride 2", 2, 3, 20, {120, 40, 2}, {60, 20, 1}, 0},
        {"unaligned rows", 2, 2, 9, {18, 9, 1}, {18, 9, 1}, 1},
        // Layout changes: tiled transposes with partial tiles, a batch axis innermost, gaps in the output.
        {"(rows, cols) -> (cols, rows), partial tiles", 2, 45, 70, {45 * 70, 70, 1}, {45 * 70, 1, 45}, 0},
        {"batch innermost", 33, 2, 40, {1, 33 * 40, 33}, {40, 33 * 40, 1}, 0},
        {"gaps in the output", 2, 3, 33, {99, 33, 1}, {3 * 40 + 5, 1, 3}, 0},
    };
    for (const ConvertCase& c : cases) check_convert(c);
}

struct WindowCase {
    const char* name;
    int N, T, C, W, stride, time_gap, batch_gap;
};

void check_window(const WindowCase& c) {
    SCOPED_TRACE(c.name);
    const long long time_stride = (long long)c.W * c.C + c.time_gap;
    const long long batch_stride = c.T / c.stride * time_stride + c.batch_gap;
    vyr_test::Rng rng(53);
    const auto in = vyr_test::round_to_half(rng.uniform_vec((size_t)c.N * c.T * c.C, 0.5f, 8.0f));
    DeviceBuffer<__half> d_in(vyr_test::to_half(in)), d_out(c.N * batch_stride);
    d_out.fill_bytes(kFill);
    EXPECT_EQ(0, host_window_ntwc_f16(nullptr, c.N, c.T, c.C, c.W, c.stride, (int)batch_stride,
                                      (int)time_stride, d_in.get(), d_out.get()));
    CUDA_CHECK(cudaDeviceSynchronize());
    std::vector<double> expected(c.N * batch_stride, kFillValue);
    vyr_ref::window_ntwc(c.N, c.T, c.C, c.W, c.stride, batch_stride, time_stride,
                         std::vector<double>(in.begin(), in.end()), expected);
    const std::vector<double> exact(expected.size(), 0.0);  // copies
    EXPECT_TRUE(vyr_test::all_within(vyr_test::to_float(d_out.download()), expected, exact));
    EXPECT_TRUE(d_out.guards_intact());
}

// Windows of the full 2048 elements starting half-way into a 128-element chunk (64 channels).
const WindowCase kFullWindowMidChunk = {"C*W = 2048, starts mid-chunk", 1, 40, 64, 32, 3, 0, 0};

TEST(Window, WindowsAtBothEnds) {
    const WindowCase cases[] = {
        {"W 5 stride 1: zero rows at both ends", 2, 7, 3, 5, 1, 0, 0},
        {"stride 2, odd T", 1, 9, 4, 5, 2, 2, 3},
        {"even W", 2, 6, 5, 4, 3, 1, 0},
        kFullWindowMidChunk,
        {"C*W = 1950, starts anywhere", 2, 61, 39, 50, 3, 4, 7},
    };
    for (const WindowCase& c : cases) check_window(c);
}

#if defined(VYR_BACKEND_SIM)
// One multiprocessor: the 16 conversion blocks each take 7 or 8 rows through their 5-stage ring. The ring
// refills and reads (here and in the windows) are separated by barriers alone; resuming the threads in
// other orders exposes a missing one.
TEST(RingBuffers, FewBlocksAnyThreadOrder) {
    vyr_test::SimulatedDevice device([&](VyrSimDevice& d) { d.multiprocessors = 1; });
    for (int order : {VYR_SIM_ORDER_FORWARD, VYR_SIM_ORDER_REVERSE, VYR_SIM_ORDER_SHUFFLE}) {
        SCOPED_TRACE("order " + std::to_string(order));
        vyr_sim_set_order(order, 99);
        check_window(kFullWindowMidChunk);
        check_convert({"115 rows of 37", 5, 23, 37, {23 * 48, 48, 1}, {23 * 37, 37, 1}, 0});
    }
    vyr_test::use_order_from_environment();
}
#endif

// Every refusal returns before anything is enqueued, so the output keeps its fill.
TEST(UtilKernels, RefusedRequestsWriteNothing) {
    DeviceBuffer<__half> in(4096), out(4096);
    out.fill_bytes(kFill);
    const void* i = in.get();
    void* o = out.get();
    const int H = VYR_TYPE_HALF, Q = VYR_TYPE_INT8;
    auto interleave = [&](int in_chunk, int in_type, int out_chunk, int out_type, int act) {
        return host_bias_activation_interleave_convert(nullptr, 1, 4, 48, i, in_chunk, in_type, o, out_chunk,
                                                       out_type, nullptr, act);
    };
    auto window = [&](int C, int W, int stride) {
        return host_window_ntwc_f16(nullptr, 1, 8, C, W, stride, 4096, 4096, in.get(), out.get());
    };
    const int statuses[] = {
        host_bias_activation_f16_inplace(nullptr, 4, 16, 16, out.get(), nullptr, 5),
        host_bias_activation_f16_inplace(nullptr, 4, 16, 16, out.get(), nullptr, -1),
        interleave(0, Q, 0, H, 1),  // int8 input with swish
        interleave(0, Q, 0, Q, 0),  // int8 to int8
        // Chunk widths that do not split 48 channels into whole groups would address past the tensor.
        interleave(10, H, 0, H, 1),
        interleave(0, H, 96, H, 1),
        interleave(-16, H, 0, H, 1),
        host_convert(nullptr, i, 64, 8, 1, Q, o, 64, 8, 1, Q, 1, 8, 8),
        host_convert(nullptr, i, 64, 8, 1, H, o, 64, 8, 1, 0, 1, 8, 8),
        window(683, 3, 1),            // C * W = 2049
        window(1 << 16, 1 << 16, 1),  // C * W wraps to 0 in 32 bits
        window(4, 5, 0),
    };
    for (size_t k = 0; k < sizeof statuses / sizeof *statuses; ++k)
        EXPECT_EQ(VyrUnsupported, statuses[k]) << k;
    // Empty tensors are nothing to do.
    EXPECT_EQ(VyrSuccess, host_bias_activation_f16_inplace(nullptr, 0, 16, 16, out.get(), nullptr, 1));
    EXPECT_EQ(VyrSuccess, host_convert(nullptr, i, 64, 8, 1, H, o, 64, 8, 1, Q, 1, 0, 8));
    EXPECT_EQ(0, host_window_ntwc_f16(nullptr, 1, 3, 4, 5, 4, 20, 20, in.get(), out.get()));  // T_out = 0
    CUDA_CHECK(cudaDeviceSynchronize());
    for (__half h : out.download()) ASSERT_EQ(0x5C5C, __half_as_ushort(h));
}

}  // namespace
