// Oracle for the tensor-core LSTM layer, on logical arrays, and the layouts the call stores them in.
//
// The sequence is seq[s][r][k] for slices s = 0..T+2, rows r < M and columns k < L, holding the stored values
// (half values, or the 8-bit integers as floats). Step t (t' = t forward, T - t reverse) multiplies the row
// [slice t'+2 | slice t'] with the weights w[n][k] (n = 4u + g, gates i, f, g, o; k < 2L) and writes h into
// slice t'+1; the cell state cell[r][u] (half values) carries over. Both are updated in place.
//
// Storage precision is replayed: the half path's accumulator is a half rounded after every 16 products, in K
// order (the tensor-core instruction's one rounding of its exact sum); the 8-bit path's sum is an exact
// integer; c is stored rounded to half; h is stored rounded to half, or as round(127 h), halves away from
// zero. Everything else is in double with exact activations, every tanh (and so every sigmoid, taken as 0.5
// tanh(x/2) + 0.5) scaled by 1 + skew, to bound what the GPU's approximations can do to a whole run.
#pragma once

#include <cstddef>
#include <vector>

namespace vyr_ref {

struct CutlassLstmLayer {
    int M, L, T;
    bool int8;
    std::vector<float> seq;      // (T + 3) * M * L
    std::vector<float> weights;  // 4L * 2L
    std::vector<float> bias;     // 4L, half values
    std::vector<float> scale;    // 4L, half values; 8-bit only
    std::vector<float> cell;     // M * L, half values
};

void cutlass_lstm(CutlassLstmLayer& layer, bool forward, double skew = 0.0);

// The call's layouts. Interleave 0: slices of M rows with row stride lda, weights row-major (n, k).
// Interleave I (32 or 64): slices of M * L elements with (r, k) at (k / I) * M * I + r * I + k % I, and the
// weights as the 2L x 4L transposed view interleaved the same way, (n, k) at (k / I) * 4L * I + n * I + k %
// I.
struct CutlassLstmLayout {
    int M, L, T, interleave, lda;  // lda only for interleave 0
    size_t seq_index(int slice, int r, int k) const;
    size_t weight_index(int n, int k) const;
    // A layer's logical sequence or weights in this layout (elements past L in a row 0), and back.
    std::vector<float> store_seq(const std::vector<float>& seq) const;
    std::vector<float> store_weights(const std::vector<float>& weights) const;
    std::vector<float> load_seq(const std::vector<float>& stored) const;
};

}  // namespace vyr_ref
