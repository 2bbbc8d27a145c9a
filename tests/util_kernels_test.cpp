// The element-wise and layout kernels against the references: bias/activation in place, bias/activation
// with int8 conversion and re-interleaving, strided conversion (both copy paths), half transposes and time
// windowing, plus the refused requests.
#include <climits>
#include <cmath>
#include <cstdint>
#include <limits>

#include "activation_tolerance.h"
#include "harness.h"
#include "util_ref.h"

namespace {

using vyr_ref::Strides;
using vyr_test::DeviceBuffer;

constexpr unsigned char kFill = 0x5C;  // 0x5C5C as a half is 279, never produced by these inputs

std::vector<double> as_double(const std::vector<float>& v) {
    return std::vector<double>(v.begin(), v.end());
}

std::vector<double> decode(const std::vector<__half>& v) {
    std::vector<double> d(v.size());
    for (size_t i = 0; i < v.size(); ++i) d[i] = __half2float(v[i]);
    return d;
}

// Accepts a half output within `bound` of the exact value.
bool half_within(__half got, double expected, double bound) {
    return std::fabs(__half2float(got) - expected) <= bound;
}

// An int8 output may be any code between the encodings of the ends of the exact value's error interval:
// the encoding is monotonic, so this is exact away from rounding ties and clamps and allows one step there.
bool code_within(int8_t got, double expected, double bound) {
    return vyr_ref::int8_encode(expected - bound) <= got && got <= vyr_ref::int8_encode(expected + bound);
}

// ---- In-place bias and activation ----

TEST(BiasActivationInplace, EveryActivationWithTails) {
    // 7 rows (a partial group of 4) by 130 columns (a partial block of 128), 3 columns of padding per row.
    const int rows = 7, cols = 130, stride = 133;
    vyr_test::Rng rng(3);
    const auto x = vyr_test::round_to_half(rng.uniform_vec((size_t)rows * stride, -6.0f, 6.0f));
    const auto bias = vyr_test::round_to_half(rng.uniform_vec(cols, -2.0f, 2.0f));
    DeviceBuffer<__half> d_bias(vyr_test::to_half(bias));
    for (int act = 0; act <= 4; ++act) {
        for (bool with_bias : {true, false}) {
            SCOPED_TRACE("activation " + std::to_string(act) + (with_bias ? " with bias" : " no bias"));
            DeviceBuffer<__half> m(vyr_test::to_half(x));
            ASSERT_EQ(VyrSuccess, host_bias_activation_f16_inplace(nullptr, rows, cols, stride, m.get(),
                                                                   with_bias ? d_bias.get() : nullptr, act));
            CUDA_CHECK(cudaDeviceSynchronize());
            const auto got = m.download();
            ASSERT_TRUE(m.guards_intact());
            size_t bad = 0;
            for (int r = 0; r < rows; ++r)
                for (int c = 0; c < stride; ++c) {
                    const size_t i = (size_t)r * stride + c;
                    if (c >= cols) {
                        bad += __half2float(got[i]) != x[i];  // padding untouched
                        continue;
                    }
                    const double pre = (double)x[i] + (with_bias ? bias[c] : 0.0);
                    // One float addition (2^-24 relative) before the activation.
                    const double bound =
                        vyr_test::half_output_error(act, pre, vyr_test::kFloatUnit * std::fabs(pre));
                    bad += !half_within(got[i], vyr_ref::activation(act, pre), bound);
                }
            EXPECT_EQ(0u, bad);
        }
    }
}

// ---- Bias, activation, conversion and re-interleaving ----

struct InterleaveCase {
    int act, in_type, out_type, N, T, C, in_chunk, out_chunk;
    bool bias;
};

void check_interleave(const InterleaveCase& c) {
    SCOPED_TRACE("activation " + std::to_string(c.act) + " types " + std::to_string(c.in_type) + "->" +
                 std::to_string(c.out_type) + " C " + std::to_string(c.C) + " chunks " +
                 std::to_string(c.in_chunk) + "/" + std::to_string(c.out_chunk));
    const size_t count = (size_t)c.N * c.T * c.C;
    const int in_k = c.in_chunk ? c.in_chunk : c.C, out_k = c.out_chunk ? c.out_chunk : c.C;
    vyr_test::Rng rng(17 + c.act);
    // Inputs in layout order; `value` holds the decoded input of each logical element (n, t, c).
    std::vector<double> value(count);
    std::vector<int8_t> in8(count);
    std::vector<__half> in16(count);
    for (int n = 0; n < c.N; ++n)
        for (int t = 0; t < c.T; ++t)
            for (int ch = 0; ch < c.C; ++ch) {
                const size_t logical = ((size_t)n * c.T + t) * c.C + ch;
                const size_t at = vyr_ref::interleaved_index(n, t, ch, c.T, c.C, in_k);
                if (c.in_type == VYR_TYPE_INT8) {
                    in8[at] = (int8_t)rng.integer(-128, 127);
                    value[logical] = vyr_ref::int8_decode(in8[at]);
                } else {
                    in16[at] = __float2half(rng.uniform(-4.0f, 4.0f));
                    value[logical] = __half2float(in16[at]);
                }
            }
    const auto bias = vyr_test::round_to_half(rng.uniform_vec(c.C, -1.0f, 1.0f));
    DeviceBuffer<__half> d_bias(vyr_test::to_half(bias));
    DeviceBuffer<int8_t> d_in8(in8), d_out8(count);
    DeviceBuffer<__half> d_in16(in16), d_out16(count);
    const void* in = c.in_type == VYR_TYPE_INT8 ? (const void*)d_in8.get() : (const void*)d_in16.get();
    void* out = c.out_type == VYR_TYPE_INT8 ? (void*)d_out8.get() : (void*)d_out16.get();
    ASSERT_EQ(VyrSuccess, host_bias_activation_interleave_convert(nullptr, c.N, c.T, c.C, in, c.in_chunk,
                                                                  c.in_type, out, c.out_chunk, c.out_type,
                                                                  c.bias ? d_bias.get() : nullptr, c.act));
    CUDA_CHECK(cudaDeviceSynchronize());
    const auto got8 = d_out8.download();
    const auto got16 = d_out16.download();
    ASSERT_TRUE(d_out8.guards_intact() && d_out16.guards_intact());

    size_t bad = 0;
    for (int n = 0; n < c.N; ++n)
        for (int t = 0; t < c.T; ++t)
            for (int ch = 0; ch < c.C; ++ch) {
                const double x = value[((size_t)n * c.T + t) * c.C + ch];
                const double pre = x + (c.bias ? bias[ch] : 0.0);
                // int8 decoding divides with div.approx (2 ulp); the bias add rounds once in float.
                const double decode_err =
                    c.in_type == VYR_TYPE_INT8 ? 2 * vyr_test::kFloatUnit * std::fabs(x) : 0.0;
                const double pre_err = decode_err + vyr_test::kFloatUnit * std::fabs(pre);
                const size_t at = vyr_ref::interleaved_index(n, t, ch, c.T, c.C, out_k);
                const double y = vyr_ref::activation(c.act, pre);
                if (c.out_type == VYR_TYPE_INT8)
                    bad += !code_within(got8[at], y, vyr_test::activation_error(c.act, pre, pre_err));
                else
                    bad += !half_within(got16[at], y, vyr_test::half_output_error(c.act, pre, pre_err));
            }
    EXPECT_EQ(0u, bad);
}

TEST(BiasActivationInterleave, EveryCombinationAndLayout) {
    // T = 6: a partial group of 4 time steps. C = 136: two blocks of channels; C = 48: one partial block.
    const InterleaveCase cases[] = {
        {0, VYR_TYPE_INT8, VYR_TYPE_HALF, 2, 6, 48, 0, 0, false},
        {0, VYR_TYPE_INT8, VYR_TYPE_HALF, 1, 5, 136, 8, 0, true},
        {0, VYR_TYPE_HALF, VYR_TYPE_INT8, 2, 6, 48, 48, 16, false},
        {0, VYR_TYPE_HALF, VYR_TYPE_INT8, 1, 3, 48, 16, 24, true},
        {1, VYR_TYPE_HALF, VYR_TYPE_HALF, 2, 6, 48, 0, 16, true},
        {1, VYR_TYPE_HALF, VYR_TYPE_INT8, 1, 6, 136, 0, 0, true},
        {2, VYR_TYPE_HALF, VYR_TYPE_HALF, 1, 9, 136, 136, 8, false},
        {2, VYR_TYPE_HALF, VYR_TYPE_INT8, 2, 6, 48, 16, 0, true},
        {3, VYR_TYPE_HALF, VYR_TYPE_HALF, 2, 4, 48, 24, 48, true},
        {3, VYR_TYPE_HALF, VYR_TYPE_INT8, 1, 7, 48, 8, 16, true},
    };
    for (const InterleaveCase& c : cases) check_interleave(c);
}

TEST(BiasActivationInterleave, ConversionEdgeValuesExact) {
    // half -> int8: clamp (NaN reads as above the range), scale by 127, round half to even.
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> x = {1.5f, -1.5f, 0.5f, 0.0f, -0.0f, nan, inf, -inf, 1.0f, -1.0f, -0.5f};
    const std::vector<int8_t> want = {127, -127, 64, 0, 0, 127, 127, -127, 127, -127, -64};
    const int C = (int)x.size();
    DeviceBuffer<__half> h(vyr_test::to_half(x));
    DeviceBuffer<int8_t> q(C);
    ASSERT_EQ(VyrSuccess, host_bias_activation_interleave_convert(nullptr, 1, 1, C, h.get(), 0, VYR_TYPE_HALF,
                                                                  q.get(), 0, VYR_TYPE_INT8, nullptr, 0));
    CUDA_CHECK(cudaDeviceSynchronize());
    EXPECT_TRUE(vyr_test::all_equal(q.download(), want));

    // int8 -> half over every code: 127, -127 and 0 are exact; the rest within half an ulp of code / 127
    // plus the 2 ulp of the fast float division.
    std::vector<int8_t> codes(256);
    for (int i = 0; i < 256; ++i) codes[i] = (int8_t)(i - 128);
    DeviceBuffer<int8_t> c8(codes);
    DeviceBuffer<__half> c16(256);
    ASSERT_EQ(VyrSuccess,
              host_bias_activation_interleave_convert(nullptr, 1, 1, 256, c8.get(), 0, VYR_TYPE_INT8,
                                                      c16.get(), 0, VYR_TYPE_HALF, nullptr, 0));
    CUDA_CHECK(cudaDeviceSynchronize());
    const auto got = decode(c16.download());
    EXPECT_EQ(1.0, got[255]);
    EXPECT_EQ(-1.0, got[1]);
    EXPECT_EQ(0.0, got[128]);
    std::vector<double> expected(256);
    for (int i = 0; i < 256; ++i) expected[i] = vyr_ref::int8_decode(codes[i]);
    EXPECT_TRUE(vyr_test::all_near(got, expected, vyr_test::kHalfTinyStep,
                                   vyr_test::kHalfUnit + 2 * vyr_test::kFloatUnit));
}

// ---- Strided int8 <-> half conversion ----

struct ConvertCase {
    const char* name;
    int d0, d1, d2;
    Strides in_s, out_s;
    long long in_offset;  // elements between the allocation's start and the tensor's
};

size_t span(const Strides& s, int d0, int d1, int d2) {
    return (size_t)((d0 - 1) * s.s0 + (d1 - 1) * s.s1 + (d2 - 1) * s.s2 + 1);
}

// Both directions. The input is an exact-size allocation with no guard band, so a copy that reads past the
// last row is an out-of-bounds access the sanitizer build reports.
void check_convert(const ConvertCase& c) {
    SCOPED_TRACE(c.name);
    const size_t in_n = c.in_offset + span(c.in_s, c.d0, c.d1, c.d2), out_n = span(c.out_s, c.d0, c.d1, c.d2);
    vyr_test::Rng rng(29);
    for (bool to_half : {true, false}) {
        SCOPED_TRACE(to_half ? "int8 -> half" : "half -> int8");
        const size_t elem = to_half ? 1 : 2;
        std::vector<double> value(in_n);
        std::vector<unsigned char> bytes(in_n * elem);
        for (size_t i = 0; i < in_n; ++i) {
            if (to_half) {
                const int8_t q = (int8_t)rng.integer(-128, 127);
                std::memcpy(&bytes[i], &q, 1);
                value[i] = vyr_ref::int8_decode(q);
            } else {
                const __half h = __float2half(rng.uniform(-1.2f, 1.2f));
                std::memcpy(&bytes[2 * i], &h, 2);
                value[i] = __half2float(h);
            }
        }
        void* d_in = nullptr;
        CUDA_CHECK(cudaMalloc(&d_in, bytes.size()));
        CUDA_CHECK(cudaMemcpy(d_in, bytes.data(), bytes.size(), cudaMemcpyHostToDevice));
        DeviceBuffer<unsigned char> d_out(out_n * (3 - elem));
        d_out.fill_bytes(kFill);
        const char* base = static_cast<const char*>(d_in) + c.in_offset * elem;
        const int status = host_convert(nullptr, base, (int)c.in_s.s0, (int)c.in_s.s1, (int)c.in_s.s2,
                                        to_half ? VYR_TYPE_INT8 : VYR_TYPE_HALF, d_out.get(), (int)c.out_s.s0,
                                        (int)c.out_s.s1, (int)c.out_s.s2,
                                        to_half ? VYR_TYPE_HALF : VYR_TYPE_INT8, c.d0, c.d1, c.d2);
        EXPECT_EQ(VyrSuccess, status);
        EXPECT_CUDA_OK(cudaDeviceSynchronize());
        cudaFree(d_in);
        const auto out = d_out.download();
        ASSERT_TRUE(d_out.guards_intact());

        const std::vector<double> shifted(value.begin() + c.in_offset, value.end());
        std::vector<double> expected(out_n, std::nan(""));  // NaN marks elements outside the box
        vyr_ref::strided_copy(shifted, c.in_s, expected, c.out_s, c.d0, c.d1, c.d2);
        size_t bad = 0;
        for (size_t i = 0; i < out_n; ++i) {
            if (to_half) {
                __half h;
                std::memcpy(&h, &out[2 * i], 2);
                // Decoding: 2 ulp of the float division, then rounding to half.
                const double e = expected[i];
                bad += std::isnan(e)
                           ? __half_as_ushort(h) != 0x5C5C
                           : !half_within(h, e,
                                          vyr_test::kHalfUnit * std::fabs(e) + vyr_test::kHalfTinyStep +
                                              2 * vyr_test::kFloatUnit * std::fabs(e));
            } else {
                // half -> int8 is exact: a half times 127 is exact in float.
                const int8_t q = (int8_t)out[i];
                bad += std::isnan(expected[i]) ? out[i] != kFill : q != vyr_ref::int8_encode(expected[i]);
            }
        }
        EXPECT_EQ(0u, bad);
    }
}

TEST(Convert, Int8AndHalfBothPaths) {
    const ConvertCase cases[] = {
        // Unit inner stride, rows of up to 1024 elements at 16-byte boundaries: the asynchronous-copy path.
        {"dense rows", 3, 4, 64, {256, 64, 1}, {256, 64, 1}, 0},
        {"13-element rows", 2, 3, 13, {6 * 16, 16, 1}, {39, 13, 1}, 0},
        {"1024-element rows", 1, 3, 1024, {0, 1024, 1}, {0, 1024, 1}, 0},
        {"single element", 1, 1, 1, {1, 1, 1}, {1, 1, 1}, 0},
        {"transposed output", 2, 5, 24, {5 * 32, 32, 1}, {120, 1, 5}, 0},
        // The plain path: long rows, a strided inner dimension, rows off 16-byte boundaries.
        {"1025-element rows", 2, 1, 1025, {1025, 0, 1}, {1025, 0, 1}, 0},
        {"inner stride 2", 2, 3, 20, {120, 40, 2}, {60, 20, 1}, 0},
        {"unaligned rows", 2, 2, 9, {18, 9, 1}, {18, 9, 1}, 1},
    };
    for (const ConvertCase& c : cases) check_convert(c);
}

// ---- Half layout changes ----

TEST(Transpose, LayoutChanges) {
    const ConvertCase cases[] = {
        {"same strides: a copy", 3, 5, 37, {5 * 40, 40, 1}, {5 * 40, 40, 1}, 0},
        {"(T, N, C) -> (N, T, C)", 7, 3, 20, {20, 7 * 20, 1}, {3 * 20, 20, 1}, 0},
        {"(N, T, C) -> (T, N, C)", 3, 7, 20, {7 * 20, 20, 1}, {20, 3 * 20, 1}, 0},
        {"(rows, cols) -> (cols, rows), partial tiles", 2, 45, 70, {45 * 70, 70, 1}, {45 * 70, 1, 45}, 0},
        {"(cols, rows) -> (rows, cols)", 1, 70, 45, {3150, 1, 70}, {3150, 45, 1}, 0},
        {"transpose with the batch innermost in the call", 33, 2, 40, {1, 33 * 40, 33}, {40, 33 * 40, 1}, 0},
        {"gaps in the output", 2, 3, 33, {99, 33, 1}, {3 * 40 + 5, 1, 3}, 0},
    };
    for (const ConvertCase& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t in_n = span(c.in_s, c.d0, c.d1, c.d2), out_n = span(c.out_s, c.d0, c.d1, c.d2);
        vyr_test::Rng rng(41);
        const auto in = vyr_test::round_to_half(rng.uniform_vec(in_n, -100.0f, 100.0f));
        DeviceBuffer<__half> d_in(vyr_test::to_half(in)), d_out(out_n);
        d_out.fill_bytes(kFill);
        EXPECT_EQ(VyrSuccess,
                  host_convert(nullptr, d_in.get(), (int)c.in_s.s0, (int)c.in_s.s1, (int)c.in_s.s2,
                               VYR_TYPE_HALF, d_out.get(), (int)c.out_s.s0, (int)c.out_s.s1, (int)c.out_s.s2,
                               VYR_TYPE_HALF, c.d0, c.d1, c.d2));
        CUDA_CHECK(cudaDeviceSynchronize());
        std::vector<double> expected(out_n, 279.0);  // the fill, where nothing may be written
        vyr_ref::strided_copy(as_double(in), c.in_s, expected, c.out_s, c.d0, c.d1, c.d2);
        EXPECT_TRUE(vyr_test::all_near(decode(d_out.download()), expected, 0.0));  // a copy is exact
        EXPECT_TRUE(d_out.guards_intact());
    }
}

// ---- Time windows ----

struct WindowCase {
    const char* name;
    int N, T, C, W, stride, time_gap, batch_gap;
};

void check_window(const WindowCase& c) {
    SCOPED_TRACE(c.name);
    const int T_out = c.T / c.stride;
    const long long time_stride = (long long)c.W * c.C + c.time_gap;
    const long long batch_stride = T_out * time_stride + c.batch_gap;
    vyr_test::Rng rng(53);
    const auto in = vyr_test::round_to_half(rng.uniform_vec((size_t)c.N * c.T * c.C, 0.5f, 8.0f));
    DeviceBuffer<__half> d_in(vyr_test::to_half(in)), d_out(c.N * batch_stride);
    d_out.fill_bytes(kFill);
    EXPECT_EQ(0, host_window_ntwc_f16(nullptr, c.N, c.T, c.C, c.W, c.stride, (int)batch_stride,
                                      (int)time_stride, d_in.get(), d_out.get()));
    CUDA_CHECK(cudaDeviceSynchronize());
    std::vector<double> expected(c.N * batch_stride, 279.0);
    vyr_ref::window_ntwc(c.N, c.T, c.C, c.W, c.stride, batch_stride, time_stride, as_double(in), expected);
    EXPECT_TRUE(vyr_test::all_near(decode(d_out.download()), expected, 0.0));  // gathered copies are exact
    EXPECT_TRUE(d_out.guards_intact());
}

// Windows of the full 2048 elements starting half-way into a 128-element chunk (64 channels).
const WindowCase kFullWindowMidChunk = {"C*W = 2048, starts mid-chunk", 1, 40, 64, 32, 3, 0, 0};

TEST(Window, WindowsAtBothEnds) {
    const WindowCase cases[] = {
        {"W 5 stride 1: zero rows at both ends", 2, 7, 3, 5, 1, 0, 0},
        {"stride 2, odd T", 1, 9, 4, 5, 2, 2, 3},
        {"W wider than T", 1, 3, 2, 9, 1, 0, 0},
        {"even W", 2, 6, 5, 4, 3, 1, 0},
        kFullWindowMidChunk,
        {"C*W = 1950, starts anywhere", 2, 61, 39, 50, 3, 4, 7},
        {"C*W = 2048, chunk-aligned", 1, 12, 256, 8, 1, 0, 0},
    };
    for (const WindowCase& c : cases) check_window(c);
}

#if defined(VYR_BACKEND_SIM)
// One multiprocessor: the 16 conversion blocks each take 7 or 8 rows through their 5-stage ring. The ring
// refills and reads (here and in the windows) are separated by barriers alone; resuming the threads in
// other orders exposes a missing one.
TEST(RingBuffers, FewBlocksAnyThreadOrder) {
    VyrSimDevice d;
    vyr_sim_get_device(&d);
    d.multiprocessors = 1;
    vyr_test::SimulatedDevice device(d);
    for (int order : {VYR_SIM_ORDER_FORWARD, VYR_SIM_ORDER_REVERSE, VYR_SIM_ORDER_SHUFFLE}) {
        SCOPED_TRACE("order " + std::to_string(order));
        vyr_sim_set_order(order, 99);
        check_window(kFullWindowMidChunk);
        check_convert({"115 rows of 37", 5, 23, 37, {23 * 48, 48, 1}, {23 * 37, 37, 1}, 0});
    }
    vyr_test::use_order_from_environment();
}
#endif

// ---- Refused requests ----

// Every refusal returns before anything is enqueued, so the output keeps its fill.
TEST(UtilKernels, RefusedRequestsWriteNothing) {
    DeviceBuffer<__half> in(4096), out(4096);
    out.fill_bytes(kFill);
    const void* i = in.get();
    void* o = out.get();
    const int H = VYR_TYPE_HALF, Q = VYR_TYPE_INT8;
    struct Refused {
        const char* name;
        int status;
    } cases[] = {
        {"inplace activation 5", host_bias_activation_f16_inplace(nullptr, 4, 16, 16, out.get(), nullptr, 5)},
        {"inplace activation -1",
         host_bias_activation_f16_inplace(nullptr, 4, 16, 16, out.get(), nullptr, -1)},
        {"int8 input with swish",
         host_bias_activation_interleave_convert(nullptr, 1, 4, 48, i, 0, Q, o, 0, H, nullptr, 1)},
        {"int8 to int8",
         host_bias_activation_interleave_convert(nullptr, 1, 4, 48, i, 0, Q, o, 0, Q, nullptr, 0)},
        {"half copy",
         host_bias_activation_interleave_convert(nullptr, 1, 4, 48, i, 0, H, o, 0, H, nullptr, 0)},
        {"tanh_x5", host_bias_activation_interleave_convert(nullptr, 1, 4, 48, i, 0, H, o, 0, H, nullptr, 4)},
        {"float output", host_bias_activation_interleave_convert(nullptr, 1, 4, 48, i, 0, H, o, 0,
                                                                 VYR_TYPE_FLOAT, nullptr, 1)},
        // Chunk widths that do not split 48 channels into whole groups would address past the tensor.
        {"chunk 10",
         host_bias_activation_interleave_convert(nullptr, 1, 4, 48, i, 10, H, o, 0, H, nullptr, 1)},
        {"chunk 96",
         host_bias_activation_interleave_convert(nullptr, 1, 4, 48, i, 0, H, o, 96, H, nullptr, 1)},
        {"chunk -16",
         host_bias_activation_interleave_convert(nullptr, 1, 4, 48, i, -16, H, o, 0, H, nullptr, 1)},
        {"convert int8 to int8", host_convert(nullptr, i, 64, 8, 1, Q, o, 64, 8, 1, Q, 1, 8, 8)},
        {"convert from float", host_convert(nullptr, i, 64, 8, 1, VYR_TYPE_FLOAT, o, 64, 8, 1, H, 1, 8, 8)},
        {"convert to type 0", host_convert(nullptr, i, 64, 8, 1, H, o, 64, 8, 1, 0, 1, 8, 8)},
        {"window C*W 2049", host_window_ntwc_f16(nullptr, 1, 2, 683, 3, 1, 2049, 2049, in.get(), out.get())},
        // 2^16 * 2^16 wraps to 0 in 32 bits.
        {"window C*W 2^32",
         host_window_ntwc_f16(nullptr, 1, 2, 1 << 16, 1 << 16, 1, 0, 0, in.get(), out.get())},
        {"window stride 0", host_window_ntwc_f16(nullptr, 1, 8, 4, 5, 0, 160, 20, in.get(), out.get())},
        {"window stride -1", host_window_ntwc_f16(nullptr, 1, 8, 4, 5, -1, 160, 20, in.get(), out.get())},
    };
    for (const Refused& c : cases) EXPECT_EQ(VyrUnsupported, c.status) << c.name;
    // Empty tensors are nothing to do.
    EXPECT_EQ(VyrSuccess, host_bias_activation_f16_inplace(nullptr, 0, 16, 16, out.get(), nullptr, 1));
    EXPECT_EQ(VyrSuccess, host_convert(nullptr, i, 64, 8, 1, H, o, 64, 8, 1, Q, 1, 0, 8));
    EXPECT_EQ(0, host_window_ntwc_f16(nullptr, 1, 3, 4, 5, 4, 20, 20, in.get(), out.get()));  // T_out = 0
    CUDA_CHECK(cudaDeviceSynchronize());
    for (__half h : out.download()) ASSERT_EQ(0x5C5C, __half_as_ushort(h));
}

}  // namespace
