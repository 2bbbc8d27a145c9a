// Oracles for the element-wise, conversion and layout kernels. Values are carried as doubles; half and int8
// tensors are decoded before and encoded after.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vyr_ref {

// The symmetric fixed point of [-1, 1] with scale 127: decode is code / 127; encode clamps (NaN counts as
// above the range), scales and rounds half to even.
double int8_decode(int8_t code);
int8_t int8_encode(double x);

// Position of (n, t, c) in an (N, T, C) tensor whose channels are grouped by `chunk` into (T, chunk) blocks.
size_t interleaved_index(int n, int t, int c, int T, int C, int chunk);

// What host_bias_activation_interleave_convert activates: element (n, t, c) of the (N, T, C) tensor `in`,
// laid out with in_chunk, plus bias[c] (none when bias is empty), at its place in the out_chunk layout. A
// chunk of 0 is all C channels.
std::vector<double> bias_interleave(int N, int T, int C, const std::vector<double>& in, int in_chunk,
                                    int out_chunk, const std::vector<float>& bias);

// Element (i0, i1, i2) of a strided tensor.
struct Strides {
    long long s0, s1, s2;
    long long at(int i0, int i1, int i2) const { return i0 * s0 + i1 * s1 + i2 * s2; }
};

// out[at_out(i)] = in[at_in(i)] for every index of the (d0, d1, d2) box; other elements of out untouched.
void strided_copy(const std::vector<double>& in, Strides in_s, std::vector<double>& out, Strides out_s,
                  int d0, int d1, int d2);

// The time windows of an (N, T, C) tensor: row (n, t) of W*C values starts at n*batch_stride +
// t*time_stride and holds input steps t*stride - W/2 + w (zero outside [0, T)); other elements untouched.
void window_ntwc(int N, int T, int C, int W, int stride, long long batch_stride, long long time_stride,
                 const std::vector<double>& in, std::vector<double>& out);

}  // namespace vyr_ref
