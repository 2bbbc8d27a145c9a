// A whole encoder layer composed from the tiled transformer calls, on one stream, against the plain
// reference chain: QKV with rotary -> banded attention -> output projection -> residual RMSNorm -> SwiGLU ->
// down projection -> residual RMSNorm. The calls hand each other the same device buffers under new
// descriptors, as a caller does.
#include <cmath>

#include "tiled_harness.h"

namespace {

using vyr_test::dense_desc;
using vyr_test::DeviceBuffer;

constexpr int N = 1, T = 16, C = 512, H = 8, HD = 64, F = 1024, M = N * T * 16;

// A half activation of M x cols in the names the matrix products read.
TensorDesc as_matrix(void* p, int cols, char outer, char inner) {
    return dense_desc(p, VYR_TYPE_HALF, {{'M', M / 16}, {outer, cols / 8}, {'m', 16}, {inner, 8}});
}
TensorDesc as_sequence(void* p) {
    return dense_desc(p, VYR_TYPE_HALF, {{'N', N}, {'T', T}, {'C', C / 8}, {'t', 16}, {'c', 8}});
}

std::vector<float> scaled_weights(vyr_test::Rng& rng, size_t rows, size_t cols) {
    // Rows of unit expected norm keep the activations of order one through the layer.
    const float a = std::sqrt(3.0f / (float)cols);
    return vyr_test::round_to_half(rng.uniform_vec(rows * cols, -a, a));
}

TEST(EncoderLayer, ComposedCallsMatchTheReference) {
    vyr_test::Rng rng(2024);
    const std::vector<float> x = vyr_test::round_to_half(rng.uniform_vec((size_t)M * C, -1, 1));
    const std::vector<float> w_qkv = scaled_weights(rng, 3 * C, C), w_o = scaled_weights(rng, C, C);
    const std::vector<float> w_1 = scaled_weights(rng, F, C), w_2 = scaled_weights(rng, C, F / 2);
    const std::vector<float> b_o = vyr_test::round_to_half(rng.uniform_vec(C, -0.1f, 0.1f));
    const std::vector<float> b_2 = vyr_test::round_to_half(rng.uniform_vec(C, -0.1f, 0.1f));
    const std::vector<float> g_1 = vyr_test::round_to_half(rng.uniform_vec(C, 0.5f, 1.5f));
    const std::vector<float> g_2 = vyr_test::round_to_half(rng.uniform_vec(C, 0.5f, 1.5f));
    const std::vector<float> table = vyr_test::rotary_table(T * 16, HD);

    DeviceBuffer<__half> dx(vyr_test::tiled_half(x, M, C)), dqkv_w(vyr_test::tiled_half(w_qkv, 3 * C, C));
    DeviceBuffer<__half> dwo(vyr_test::tiled_half(w_o, C, C)), dw1(vyr_test::tiled_half(w_1, F, C));
    DeviceBuffer<__half> dw2(vyr_test::tiled_half(w_2, C, F / 2)),
        dtable(vyr_test::tiled_half(table, T * 16, HD));
    DeviceBuffer<__half> dbo(vyr_test::to_half(b_o)), db2(vyr_test::to_half(b_2));
    DeviceBuffer<__half> dg1(vyr_test::to_half(g_1)), dg2(vyr_test::to_half(g_2));
    DeviceBuffer<__half> dqkv((size_t)M * 3 * C), datt((size_t)M * C), dproj((size_t)M * C),
        dh1((size_t)M * C);
    DeviceBuffer<__half> dff((size_t)M * F / 2), dy2((size_t)M * C), dout((size_t)M * C);
    DeviceBuffer<int> counter(1);

    cudaStream_t s = nullptr;
    const TensorDesc x_seq = as_sequence(dx.get());
    const TensorDesc qkv_w = dense_desc(
        dqkv_w.get(), VYR_TYPE_HALF, {{0, 3}, {'H', H}, {'D', HD / 16}, {'C', C / 8}, {'d', 16}, {'c', 8}});
    const TensorDesc tab =
        dense_desc(dtable.get(), VYR_TYPE_HALF, {{'T', T}, {'D', HD / 8}, {'t', 16}, {'d', 8}});
    const TensorDesc qkv =
        dense_desc(dqkv.get(), VYR_TYPE_HALF,
                   {{'N', N}, {'T', T}, {0, 3}, {'H', H}, {'D', HD / 8}, {'t', 16}, {'d', 8}});
    const TensorDesc att = dense_desc(datt.get(), VYR_TYPE_HALF,
                                      {{'N', N}, {'T', T}, {'H', H}, {'D', HD / 8}, {'t', 16}, {'d', 8}});
    const TensorDesc bo = dense_desc(dbo.get(), VYR_TYPE_HALF, {{'N', C}});
    const TensorDesc b2 = dense_desc(db2.get(), VYR_TYPE_HALF, {{'N', C}});
    const TensorDesc g1 = dense_desc(dg1.get(), VYR_TYPE_HALF, {{'C', C}});
    const TensorDesc g2 = dense_desc(dg2.get(), VYR_TYPE_HALF, {{'C', C}});

    CUDA_CHECK(cudaMemsetAsync(counter.get(), 0, sizeof(int), s));
    ASSERT_EQ(VyrSuccess, vyr_qkv_rotary(s, &x_seq, &qkv_w, &tab, &qkv, counter.get(), 0.0f));
    ASSERT_EQ(VyrSuccess, vyr_masked_attention(s, 127, 128, &qkv, &att));
    // A matrix product: in (M x k) times w (n x k) into y, the work counter reset first; no bias: SwiGLU.
    const auto product = [&](const DeviceBuffer<__half>& in, const DeviceBuffer<__half>& w,
                             const DeviceBuffer<__half>& y, int n, int k, const TensorDesc* bias) {
        const TensorDesc ti = as_matrix(in.get(), k, 'K', 'k'),
                         tw = dense_desc(w.get(), VYR_TYPE_HALF,
                                         {{'N', n / 16}, {'K', k / 8}, {'n', 16}, {'k', 8}});
        const TensorDesc ty = as_matrix(y.get(), bias ? n : n / 2, 'N', 'n');
        EXPECT_EQ(cudaSuccess, cudaMemsetAsync(counter.get(), 0, sizeof(int), s));
        return bias ? vyr_linear(s, &ti, &tw, bias, &ty, counter.get())
                    : vyr_mm_swiglu(s, &ti, &tw, &ty, counter.get(), 1);
    };
    ASSERT_EQ(VyrSuccess, product(datt, dwo, dproj, C, C, &bo));
    const TensorDesc proj = as_sequence(dproj.get()), h1 = as_sequence(dh1.get());
    ASSERT_EQ(VyrSuccess, vyr_rmsnorm_residual(s, &proj, &x_seq, &g1, &h1, nullptr, 1.0f));
    ASSERT_EQ(VyrSuccess, product(dh1, dw1, dff, F, C, nullptr));
    ASSERT_EQ(VyrSuccess, product(dff, dw2, dy2, C, F / 2, &b2));
    const TensorDesc y2 = as_sequence(dy2.get()), out = as_sequence(dout.get());
    const std::vector<float> got =
        vyr_test::checked_output(vyr_rmsnorm_residual(s, &y2, &h1, &g2, &out, nullptr, 1.0f), dout, M, C, 8);

    // Seven stored stages each differ from the reference by a few half units (2^-11 relative) of values
    // of order one (the attention and SwiGLU by their own bounds of 2^-10 of the largest value), and weight
    // rows of unit norm carry such differences on without growth; the normalisations divide by an RMS of
    // order one and multiply by weights below 1.5. 2^-6 absolute plus 2^-8 relative covers the sum.
    const std::vector<float> want =
        vyr_ref::encoder_layer(T, C, F, x, {w_qkv, w_o, w_1, w_2, b_o, b_2, g_1, g_2, table});
    EXPECT_TRUE(vyr_test::all_near(got, want, 0x1p-6, 0x1p-8));
}

}  // namespace
