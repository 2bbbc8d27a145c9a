#include "lstm_ref.h"

#include <cuda_fp16.h>

#include <algorithm>
#include <cmath>

#include "activation_ref.h"

namespace vyr_ref {

namespace {

double round_half(double x) {
    return __half2float(__double2half(x));
}

// The recurrence shared by the three small-LSTM oracles. feed(h) is the hidden value the next step sees;
// product(fed, j) the recurrent product of the fed-back state of one sequence with weight column j.
template <class Feed, class Product>
std::vector<float> run_layer(int N, int T, int H, bool reverse, const std::vector<float>& in,
                             const std::vector<float>& bias, double skew, Feed feed, Product product) {
    auto tanh_s = [skew](double x) { return std::tanh(x) * (1.0 + skew); };
    auto sigmoid_s = [&](double x) { return 0.5 * tanh_s(0.5 * x) + 0.5; };
    std::vector<float> out((size_t)N * T * H);
    for (int n = 0; n < N; ++n) {
        std::vector<double> fed(H, 0.0), c(H, 0.0), next(H);
        for (int step = 0; step < T; ++step) {
            const int t = reverse ? T - 1 - step : step;
            const float* x = &in[((size_t)n * T + t) * 4 * H];
            for (int u = 0; u < H; ++u) {
                double z[4];
                for (int g = 0; g < 4; ++g) z[g] = x[g * H + u] + product(fed, g * H + u) + bias[g * H + u];
                const double i = sigmoid_s(z[0]), f = sigmoid_s(z[1]), gg = tanh_s(z[2]), o = sigmoid_s(z[3]);
                c[u] = c[u] * f + i * gg;
                const double h = tanh_s(c[u]) * o;
                out[((size_t)n * T + t) * H + u] = (float)h;
                next[u] = feed(h);
            }
            fed = next;
        }
    }
    return out;
}

// The 8-bit hidden state fed back for h: trunc(h * 127), NaN as 0.
int quantise_hidden(double h) {
    if (std::isnan(h)) return 0;
    return (int)std::trunc(std::clamp(h * 127.0, -127.0, 127.0));
}

}  // namespace

std::vector<float> small_lstm_half(int N, int T, int H, bool reverse, const std::vector<float>& in,
                                   const std::vector<float>& weights, const std::vector<float>& bias,
                                   double skew) {
    // Two half-precision partial sums, even rows and odd rows, each product-and-add rounded once.
    auto product = [&](const std::vector<double>& h, int j) {
        double lane[2] = {0.0, 0.0};
        for (int k = 0; k < H; ++k)
            lane[k % 2] = round_half(h[k] * weights[(size_t)k * 4 * H + j] + lane[k % 2]);
        return (double)((float)lane[0] + (float)lane[1]);
    };
    return run_layer(N, T, H, reverse, in, bias, skew, round_half, product);
}

std::vector<float> small_lstm_int8(int N, int T, int H, bool reverse, const std::vector<float>& in,
                                   const std::vector<int8_t>& weights, const std::vector<float>& bias,
                                   const std::vector<float>& scale, double skew) {
    auto product = [&](const std::vector<double>& q, int j) {
        long sum = 0;
        for (int k = 0; k < H; ++k) sum += (long)q[k] * weights[(size_t)k * 4 * H + j];
        return (double)sum / ((double)scale[j] * 127.0);
    };
    auto quantised = [](double h) { return (double)quantise_hidden(h); };
    return run_layer(N, T, H, reverse, in, bias, skew, quantised, product);
}

LstmStepResult lstm_step(int N, int H, const std::vector<float>& gates, const std::vector<float>& bias,
                         const std::vector<float>& state) {
    LstmStepResult r{std::vector<float>((size_t)N * H), std::vector<float>((size_t)N * H)};
    for (int n = 0; n < N; ++n) {
        for (int u = 0; u < H; ++u) {
            double z[4];
            for (int g = 0; g < 4; ++g)
                z[g] = round_half((double)gates[(size_t)n * 4 * H + g * H + u] + bias[g * H + u]);
            const double i = sigmoid(z[0]), f = sigmoid(z[1]), gg = std::tanh(z[2]), o = sigmoid(z[3]);
            const double c = f * state[(size_t)n * H + u] + i * gg;
            r.c[(size_t)n * H + u] = (float)c;
            r.h[(size_t)n * H + u] = (float)(o * std::tanh(c));
        }
    }
    return r;
}

}  // namespace vyr_ref
