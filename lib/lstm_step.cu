// The pointwise part of one LSTM step. gates [N][4H] half (gate blocks i, f, g, o); bias [4H] half;
// state [N][H] half, the cell state, updated in place; out: N rows of H halves with row stride out_stride
// (2H from the host wrapper, so the caller can aim at one half of a [N][2H] buffer).
//
// A thread owns one unit u and Rows rows spaced gridDim.y apart. Rows past the end are clamped onto the last
// row for loading, which keeps every load unconditional, and are then not stored.
#include "activation.cuh"
#include "frame.cuh"

#include <climits>

namespace vyr {

constexpr int kLstmStepThreads = 128;
constexpr int kLstmStepRows = 2;

template <int Rows>
__global__ void LstmStepF16_ifgo(int N, int H, int out_stride, const __half* gates, const __half* bias,
                                 __half* state, __half* out) {
    constexpr int kGates = 4;
    const int u = blockIdx.x * kLstmStepThreads + threadIdx.x;
    if (u >= H) return;  // no barriers below

    __half b[kGates];
    for (int g = 0; g < kGates; ++g) b[g] = __ldg(bias + g * H + u);

    // Issue every load of all rows before any arithmetic, so their latencies overlap.
    int row[Rows];
    __half gate[Rows][kGates], c_prev[Rows];
    for (int k = 0; k < Rows; ++k) {
        row[k] = blockIdx.y + k * gridDim.y;
        const size_t r = (size_t)min(row[k], N - 1);
        for (int g = 0; g < kGates; ++g) gate[k][g] = gates[r * (kGates * H) + g * H + u];
        c_prev[k] = __ldg(state + r * H + u);
    }

    for (int k = 0; k < Rows; ++k) {
        float z[kGates];
        // The bias is added in half precision, then the sum is widened.
        for (int g = 0; g < kGates; ++g) z[g] = __half2float(__hadd(gate[k][g], b[g]));
        const float i = sigmoid(z[0]), f = sigmoid(z[1]), g = tanh_fast(z[2]), o = sigmoid(z[3]);
        const float c = f * __half2float(c_prev[k]) + i * g;
        if (row[k] < N) {
            state[(size_t)row[k] * H + u] = __float2half_rn(c);
            out[(size_t)row[k] * out_stride + u] = __float2half_rn(o * tanh_fast(c));
        }
    }
}

}  // namespace vyr

VYR_API void host_lstm_step_f16(cudaStream_t stream, int N, int H, const __half* bias, const __half* gates,
                                __half* state, __half* out) {
    // Nothing to do for an empty batch (the clamped row N - 1 would not exist); a layer too large for the
    // int gate offsets and the 2H row stride is refused the same way, launching nothing.
    if (N <= 0 || H <= 0 || H > INT_MAX / 4) return;
    static const auto kernel = VYR_KERNEL(vyr::LstmStepF16_ifgo<vyr::kLstmStepRows>);
    // A grid is at most 65535 blocks high, so larger batches go in slices of rows, each a launch of its own.
    constexpr int kMaxRowsPerLaunch = 65535 * vyr::kLstmStepRows;
    for (int first = 0; first < N; first += kMaxRowsPerLaunch) {
        const int rows = N - first < kMaxRowsPerLaunch ? N - first : kMaxRowsPerLaunch;
        const dim3 grid(vyr::ceil_div(H, vyr::kLstmStepThreads), vyr::ceil_div(rows, vyr::kLstmStepRows));
        vyr::launch(kernel, grid, dim3(vyr::kLstmStepThreads), 0, stream, rows, H, 2 * H,
                    gates + (size_t)first * 4 * H, bias, state + (size_t)first * H,
                    out + (size_t)first * 2 * H);
    }
}
