// Helpers of the tiled transformer tests: dense TensorDescs, tiled uploads, the work counter.
#pragma once

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <utility>
#include <vector>

#include "harness.h"
#include "transformer_ref.h"

namespace vyr_test {

// A dense descriptor: dims given outermost first, listed in `dims` in that order (or reversed, which must
// make no difference).
inline TensorDesc dense_desc(void* data, uint32_t dtype, std::initializer_list<std::pair<int, int64_t>> dims,
                             bool reversed = false) {
    TensorDesc t{};
    t.data = data;
    t.dtype = dtype;
    t.ndims = (int32_t)dims.size();
    std::vector<std::pair<int, int64_t>> d(dims);
    int64_t stride = 1;
    for (int i = (int)d.size() - 1; i >= 0; --i) {
        const int slot = reversed ? (int)d.size() - 1 - i : i;
        t.dims[slot] = DimDesc{d[i].first, d[i].second, stride};
        stride *= d[i].second;
    }
    // Unused entries carry a name no function asks for.
    for (int i = (int)d.size(); i < 8; ++i) t.dims[i] = DimDesc{-1, 0, 0};
    return t;
}

inline DimDesc* dim_of(TensorDesc& t, int name) {
    for (DimDesc& d : t.dims)
        if (d.name == name) return &d;
    return nullptr;
}

// Half values (floats holding them) of a row-major matrix, uploaded in the tiled layout.
inline std::vector<__half> tiled_half(const std::vector<float>& m, size_t rows, size_t cols) {
    return to_half(vyr_ref::to_tiled(m, rows, cols, 8));
}
// The bytes of a half (w = 8) or int8 (w = 16) tiled matrix, for operands whose type a test varies.
inline std::vector<unsigned char> tiled_bytes(const std::vector<float>& m, size_t rows, size_t cols,
                                              bool half) {
    const std::vector<__half> h = tiled_half(m, rows, cols);
    const std::vector<int8_t> q = vyr_ref::to_tiled(std::vector<int8_t>(m.begin(), m.end()), rows, cols, 16);
    std::vector<unsigned char> bytes(m.size() * (half ? 2 : 1));
    if (!bytes.empty()) std::memcpy(bytes.data(), half ? (const void*)h.data() : q.data(), bytes.size());
    return bytes;
}

// A rotary table of `steps` rows of hd halves: (sin, cos) of step 10000^(-2p / hd) for each pair p.
inline std::vector<float> rotary_table(int steps, int hd) {
    std::vector<float> t((size_t)steps * hd);
    for (int s = 0; s < steps; ++s)
        for (int p = 0; p < hd / 2; ++p) {
            const double angle = s * std::pow(10000.0, -2.0 * p / hd);
            t[(size_t)s * hd + 2 * p] = vyr_ref::round_half((float)std::sin(angle));
            t[(size_t)s * hd + 2 * p + 1] = vyr_ref::round_half((float)std::cos(angle));
        }
    return t;
}

// Small integers as int8 operands, halves in [-1, 1] as half operands.
inline std::vector<float> random_int8(Rng& rng, size_t n) {
    std::vector<float> v(n);
    for (float& x : v) x = (float)rng.integer(-127, 127);
    return v;
}

constexpr unsigned char kFill = 0x5A;  // outputs start as this byte, so "nothing written" can be checked

// What every tiled product problem holds: its seeded generator, x (m x k) and weights (n x k) (half in
// [-range, range] or small int8 integers) uploaded tiled, per-row float scales for the int8 variants, and a
// zeroed work counter. Each problem adds its other inputs, its output and its descriptors.
struct TiledProduct {
    Rng rng;
    std::vector<float> x, w, xs, ws;
    DeviceBuffer<unsigned char> dx, dw;
    DeviceBuffer<float> dxs, dws;
    DeviceBuffer<int> counter{std::vector<int>{0}};
    TiledProduct(uint64_t seed, bool half, size_t m, size_t n, size_t k, float range, float max_scale)
        : rng(seed),
          x(half ? round_to_half(rng.uniform_vec(m * k, -range, range)) : random_int8(rng, m * k)),
          w(half ? round_to_half(rng.uniform_vec(n * k, -range, range)) : random_int8(rng, n * k)),
          xs(rng.uniform_vec(m, 1e-3f, max_scale)),
          ws(rng.uniform_vec(n, 1e-3f, max_scale)),
          dx(tiled_bytes(x, m, k, half)),
          dw(tiled_bytes(w, n, k, half)),
          dxs(xs),
          dws(ws) {}
    // Both operands' scales, float and reduced over `dim`.
    void attach_scales(TensorDesc& tx, TensorDesc& tw, int32_t dim) const {
        tx.scale_data = dxs.get();
        tw.scale_data = dws.get();
        tx.scale_dim = tw.scale_dim = dim;
        tx.scale_dtype = tw.scale_dtype = VYR_TYPE_FLOAT;
    }
};

// A kernel run that finished and left no error behind.
inline void expect_clean_run() {
    EXPECT_EQ(cudaSuccess, cudaDeviceSynchronize());
    EXPECT_EQ(cudaSuccess, cudaGetLastError());
}
// The output of a kernel call that returned `status`, as floats, untiled from 16 x w tiles when w is given:
// the call must have succeeded, left no error behind and written nothing outside its buffer.
inline std::vector<float> checked_output(int status, const DeviceBuffer<__half>& out, size_t rows = 0,
                                         size_t cols = 0, size_t w = 0) {
    EXPECT_EQ(VyrSuccess, status);
    expect_clean_run();
    EXPECT_TRUE(out.guards_intact());
    const std::vector<float> v = to_float(out.download());
    return w ? vyr_ref::from_tiled(v, rows, cols, w) : v;
}

// Byte-wise comparison with a fill value: nothing was written.
template <class T>
bool untouched(const DeviceBuffer<T>& d, unsigned char fill) {
    std::vector<T> h = d.download();
    const unsigned char* p = reinterpret_cast<const unsigned char*>(h.data());
    return std::all_of(p, p + h.size() * sizeof(T), [fill](unsigned char b) { return b == fill; });
}

}  // namespace vyr_test
