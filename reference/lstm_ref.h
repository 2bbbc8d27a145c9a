// LSTM oracles in double with exact activations. Gate order i, f, g, o; sequences [N][T][...] batch-major.
//
// small_lstm_half and small_lstm_int8 replay the kernels' storage precision: the half path's recurrent sums
// in two half-precision lanes (even and odd rows) and its half-rounded fed-back state; the 8-bit path's
// truncated 8-bit hidden state and exact integer sums rescaled per column. Everything else is in double.
//
// skew scales every tanh (and so every sigmoid, taken as 0.5 tanh(x/2) + 0.5) by 1 + skew. Running a layer
// with skew set to the GPU's approximation bound shows how far a kernel with that error can drift from the
// exact result over a whole chunk, quantisation steps included: the basis of the recurrent tolerances.
#pragma once

#include <cstdint>
#include <vector>

namespace vyr_ref {

// in [N][T][4H], weights [H][4H] (row k = unit k of h(t-1)), bias [4H]; returns h as [N][T][H].
// weights: half values, widened.
std::vector<float> small_lstm_half(int N, int T, int H, bool reverse, const std::vector<float>& in,
                                   const std::vector<float>& weights, const std::vector<float>& bias,
                                   double skew = 0.0);
// weights: stored 8-bit values, the real weight being weights[k][j] / scale[j].
std::vector<float> small_lstm_int8(int N, int T, int H, bool reverse, const std::vector<float>& in,
                                   const std::vector<int8_t>& weights, const std::vector<float>& bias,
                                   const std::vector<float>& scale, double skew = 0.0);

// One pointwise LSTM step: gates [N][4H] and bias [4H] half values (their sum is rounded to half, as the
// kernel adds them), state [N][H] the previous cell state. Returns the new c [N][H] and h [N][H], unrounded.
struct LstmStepResult {
    std::vector<float> c, h;
};
LstmStepResult lstm_step(int N, int H, const std::vector<float>& gates, const std::vector<float>& bias,
                         const std::vector<float>& state);

}  // namespace vyr_ref
