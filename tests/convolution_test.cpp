// host_convolution_f16 against the double reference: every compiled shape, window placement at the sequence
// ends, strides, output gaps, batches larger than the grid, and the refused requests.
#include <climits>

#include "activation_tolerance.h"
#include "conv_ref.h"
#include "harness.h"

namespace {

using vyr_ref::ConvShape;
using vyr_test::DeviceBuffer;

struct ConvCase {
    const char* name;
    int act, N, C_in, C_out, T_in, stride, padding, out_gap;
};

// Runs one case and compares every output against the reference; the gap of out_gap halves after each
// sequence must keep its fill.
void check_convolution(const ConvCase& c, uint64_t seed) {
    SCOPED_TRACE(std::string(c.name) + " seed " + std::to_string(seed));
    const ConvShape s{c.N, c.C_in, c.C_out, c.T_in, 5, c.stride, c.padding};
    const int T_out = s.t_out();
    const int out_stride = T_out * c.C_out + c.out_gap;
    vyr_test::Rng rng(seed);
    // Weights scaled by the fan-in keep pre-activations around +-3, across the bend of every activation.
    const float w_scale = 2.0f / std::sqrt((float)(5 * c.C_in));
    const auto in = vyr_test::round_to_half(rng.uniform_vec((size_t)c.N * c.T_in * c.C_in, -2.0f, 2.0f));
    const auto weights =
        vyr_test::round_to_half(rng.uniform_vec((size_t)5 * c.C_in * c.C_out, -w_scale, w_scale));
    const auto bias = vyr_test::round_to_half(rng.uniform_vec(c.C_out, -1.0f, 1.0f));

    DeviceBuffer<__half> d_in(vyr_test::to_half(in)), d_w(vyr_test::to_half(weights)),
        d_b(vyr_test::to_half(bias)), d_out((size_t)c.N * out_stride);
    d_out.fill_bytes(0x7B);  // 0x7B7B: 61280, a half no output can round to with these inputs
    ASSERT_EQ(VyrSuccess,
              host_convolution_f16(nullptr, c.N, c.C_in, c.C_out, c.T_in, 5, c.stride, c.padding, out_stride,
                                   d_in.get(), d_out.get(), d_w.get(), d_b.get(), c.act));
    CUDA_CHECK(cudaDeviceSynchronize());
    ASSERT_TRUE(d_out.guards_intact());

    std::vector<double> abs_sum;
    const auto pre = vyr_ref::convolution_pre(s, in, weights, bias, &abs_sum);
    // The kernel's float sum of 5 * C_in fused multiply-adds after the bias rounds once per term: at most
    // (5 C_in + 1) 2^-24 sum |terms| away from the exact sum. The gaps keep their fill exactly.
    const double terms = 5.0 * c.C_in + 1;
    std::vector<double> expected(d_out.size(), 61280.0), bound(d_out.size(), 0.0);
    for (int n = 0; n < c.N; ++n)
        for (int i = 0; i < T_out * c.C_out; ++i) {
            const size_t r = (size_t)n * T_out * c.C_out + i, o = (size_t)n * out_stride + i;
            expected[o] = vyr_ref::activation(c.act, pre[r]);
            bound[o] = vyr_test::half_output_error(c.act, pre[r], terms * vyr_test::kFloatUnit * abs_sum[r]);
        }
    EXPECT_TRUE(vyr_test::all_within(vyr_test::to_float(d_out.download()), expected, bound));
}

TEST(Convolution, ShapesWindowPlacementStrideAndBatchesLargerThanTheGrid) {
    // Every compiled shape; T_in = 9 leaves a partial pass of time steps for every block width, with "same"
    // padding of 2. Four shapes instead carry a stride or padding case (the placement code is shared).
    const ConvCase cases[] = {
        {"swish 1-4", 1, 2, 1, 4, 9, 1, 2, 3},
        {"swish 1-16, stride 5 drops the tail", 1, 1, 1, 16, 12, 5, 0, 0},
        {"swish 4-16, stride 3 past t_step", 1, 1, 4, 16, 40, 3, 1, 2},
        {"swish 13-16", 1, 2, 13, 16, 9, 1, 2, 0},
        {"swish 16-16", 1, 2, 16, 16, 9, 1, 2, 1},
        {"clamp 1-16", 2, 2, 1, 16, 9, 1, 2, 0},
        {"clamp 13-16, negative padding", 2, 1, 13, 16, 10, 1, -3, 0},
        {"clamp 16-16", 2, 2, 16, 16, 9, 1, 2, 0},
        {"tanh 1-16", 3, 2, 1, 16, 9, 1, 2, 7},
        {"tanh 16-16, stride 2 odd length", 3, 2, 16, 16, 11, 2, 2, 0},
        {"tanh 1-64", 3, 2, 1, 64, 9, 1, 2, 64},
        {"window wholly outside", 1, 1, 1, 4, 6, 1, 50, 0},
        {"padding near INT_MIN", 3, 1, 1, 16, 4, 2, INT_MIN + 1, 0},
        {"single step", 3, 1, 1, 64, 1, 1, 2, 0},
        {"empty sequence", 1, 2, 1, 16, 0, 1, 2, 4},
    };
    for (const ConvCase& c : cases) check_convolution(c, 11);
#if defined(VYR_BACKEND_SIM)
    // One multiprocessor: a grid of 16 blocks, each walking several sequences.
    vyr_test::SimulatedDevice device([&](VyrSimDevice& d) { d.multiprocessors = 1; });
    check_convolution({"N 37 on 16 blocks", 1, 37, 1, 16, 3, 1, 2, 1}, 5);
#endif
}

TEST(Convolution, RefusedRequestsWriteNothing) {
    // No compiled shape, one per key of the table (C_in, W, activation, C_out for an activation that has it
    // elsewhere); a stride of 0; 32-bit input offsets that would wrap.
    const struct {
        const char* name;
        int act, N, C_in, C_out, T_in, W, stride;
    } cases[] = {
        {"C_in 2", 1, 1, 2, 16, 8, 5, 1},
        {"W 3", 1, 1, 1, 16, 8, 3, 1},
        {"identity", 0, 1, 1, 16, 8, 5, 1},
        {"swish_clamp 1-4", 2, 1, 1, 4, 8, 5, 1},
        {"stride 0", 1, 1, 1, 16, 8, 5, 0},
        {"N*T*C = 2^31", 1, 1 << 16, 1, 16, 1 << 15, 5, 1},  // 2^16 * 2^15 * 1
    };
    DeviceBuffer<__half> in(64), w(5 * 16 * 16), b(16), out(256);
    out.fill_bytes(0x33);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(VyrUnsupported, host_convolution_f16(nullptr, c.N, c.C_in, c.C_out, c.T_in, c.W, c.stride,
                                                       2, 128, in.get(), out.get(), w.get(), b.get(), c.act));
    }
    CUDA_CHECK(cudaDeviceSynchronize());
    for (__half h : out.download()) ASSERT_EQ(0x3333, __half_as_ushort(h));
}

}  // namespace
