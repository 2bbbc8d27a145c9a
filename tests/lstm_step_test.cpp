// One pointwise LSTM step: new cell state and hidden state against the reference, the strided output rows
// whose second halves must stay untouched, and the calls that must do nothing.
#include <climits>
#include <string>

#include "activation_tolerance.h"
#include "harness.h"
#include "lstm_ref.h"

namespace {

using vyr_test::DeviceBuffer;

constexpr uint16_t kUntouched = 0x7bff;  // the largest finite half, a value the step cannot produce

// Sizes around the 128-unit blocks and odd row counts, whose last thread row is clamped onto row N-1 for
// loading and must not be stored; more rows than one grid can hold (65535 blocks of two rows each). Units
// H .. 2H-1 of every output row keep their contents.
TEST(LstmStep, MatchesReference) {
    const struct { int N, H; } cases[] = {{1, 96}, {5, 200}, {8, 128}, {3, 129}, {2, 1}, {2 * 65535 + 3, 1}};
    for (const auto& [N, H] : cases) {
        SCOPED_TRACE("N=" + std::to_string(N) + " H=" + std::to_string(H));
        vyr_test::Rng rng(3 + N);
        const std::vector<float> gates = vyr_test::round_to_half(rng.uniform_vec((size_t)N * 4 * H, -3, 3));
        const std::vector<float> bias = vyr_test::round_to_half(rng.uniform_vec(4 * H, -1, 1));
        const std::vector<float> state = vyr_test::round_to_half(rng.uniform_vec((size_t)N * H, -2, 2));
        DeviceBuffer<__half> d_gates(vyr_test::to_half(gates)), d_bias(vyr_test::to_half(bias));
        DeviceBuffer<__half> d_state(vyr_test::to_half(state)), d_out((size_t)N * 2 * H);
        d_out.upload(std::vector<__half>(d_out.size(), __ushort_as_half(kUntouched)));
        host_lstm_step_f16(nullptr, N, H, d_bias.get(), d_gates.get(), d_state.get(), d_out.get());
        EXPECT_EQ(cudaSuccess, cudaDeviceSynchronize());
        EXPECT_EQ(cudaSuccess, cudaGetLastError());
        EXPECT_TRUE(d_state.guards_intact() && d_out.guards_intact());
        const vyr_ref::LstmStepResult ref = vyr_ref::lstm_step(N, H, gates, bias, state);
        // h in the first H units of each output row, the other H untouched (exact: half spacing there is 32).
        std::vector<float> want((size_t)N * 2 * H, __half2float(__ushort_as_half(kUntouched)));
        for (int n = 0; n < N; ++n) std::copy_n(&ref.h[(size_t)n * H], H, &want[(size_t)n * 2 * H]);
        // The half sum gate + bias is reproduced exactly. On the GPU tanh is within e = 2^-10.987 relative,
        // so sigmoid = 0.5 tanh(x/2) + 0.5 is within e/2 absolute. Then c = f c_prev + i g is within |c_prev|
        // e/2 + |g| e/2 + |i g| e <= e + e/2 + e = 2.5 e (|c_prev| <= 2, |i|, |g| <= 1), and its half store
        // adds 2^-11 relative. h = o tanh(c), from the unrounded c, adds tanh's own e and o's e/2 to the 2.5
        // e carried by c: 4 e, plus its half store (2^-12 for |h| <= 1). Float roundings are far below these.
        const double e = vyr_test::kTanhApproxRel;
        EXPECT_TRUE(
            vyr_test::all_near(vyr_test::to_float(d_state.download()), ref.c, 2.5 * e, vyr_test::kHalfUnit));
        EXPECT_TRUE(
            vyr_test::all_near(vyr_test::to_float(d_out.download()), want, 4 * e + vyr_test::kHalfUnit / 2));
    }
}

TEST(LstmStep, EmptyCallsDoNothing) {
    DeviceBuffer<__half> gates(16), bias(16), state(4), out(8);
    for (DeviceBuffer<__half>* b : {&gates, &bias, &state, &out}) b->fill_bytes(0x3c);
    const std::vector<__half> state_before = state.download(), out_before = out.download();
    // Empty or negative sizes, and a layer too large for 32-bit gate offsets.
    for (const auto& c : {std::make_pair(0, 4), {4, 0}, {-1, 4}, {1, -128}, {1, INT_MAX / 4 + 1}}) {
        host_lstm_step_f16(nullptr, c.first, c.second, bias.get(), gates.get(), state.get(), out.get());
        EXPECT_EQ(cudaSuccess, cudaDeviceSynchronize());
        EXPECT_EQ(cudaSuccess, cudaGetLastError());
        EXPECT_TRUE(vyr_test::all_equal(state.download(), state_before)) << c.first << " " << c.second;
        EXPECT_TRUE(vyr_test::all_equal(out.download(), out_before)) << c.first << " " << c.second;
    }
}

}  // namespace
