// Recurrent layers: every small-LSTM variant over a chunk (N = 512 sequences, T = 1000 steps) and the
// pointwise LSTM step (N = 512 rows) at several layer sizes. Rates count sequence-steps per second.
// --quick shrinks the shapes so that the simulator finishes in seconds.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "bench.h"
#include "vyr.h"

namespace {

template <class T>
T* device_copy(const std::vector<T>& host) {
    T* p = nullptr;
    vyr_bench::check(cudaMalloc(&p, host.size() * sizeof(T)), "cudaMalloc");
    vyr_bench::check(cudaMemcpy(p, host.data(), host.size() * sizeof(T), cudaMemcpyHostToDevice),
                     "cudaMemcpy");
    return p;
}

std::vector<__half> random_half(std::mt19937& gen, size_t n, float bound) {
    std::uniform_real_distribution<float> d(-bound, bound);
    std::vector<__half> v(n);
    for (__half& x : v) x = __float2half(d(gen));
    return v;
}

void bench_small_lstm(std::mt19937& gen, cudaStream_t stream, int N, int T, int iters) {
    struct Variant {
        const char* name;
        int H;
        bool int8;
        int direction;
    } variants[] = {
        {"small_lstm half H=96 forward", 96, false, 1},  {"small_lstm half H=96 reverse", 96, false, -1},
        {"small_lstm int8 H=96 forward", 96, true, 1},   {"small_lstm int8 H=96 reverse", 96, true, -1},
        {"small_lstm int8 H=128 forward", 128, true, 1}, {"small_lstm int8 H=128 reverse", 128, true, -1},
    };
    for (const Variant& v : variants) {
        const int H = v.H;
        __half* in = device_copy(random_half(gen, (size_t)N * T * 4 * H, 1.0f));
        __half* bias = device_copy(random_half(gen, 4 * H, 0.5f));
        __half* w_half = device_copy(random_half(gen, (size_t)H * 4 * H, 2.0f / H));
        std::vector<int8_t> q((size_t)H * 4 * H);
        std::uniform_int_distribution<int> d(-127, 127);
        for (int8_t& x : q) x = (int8_t)d(gen);
        int8_t* w_q = device_copy(q);
        float* scale = device_copy(std::vector<float>(4 * H, 127.0f * H / 2));
        __half* out = nullptr;
        vyr_bench::check(cudaMalloc(&out, (size_t)N * T * H * sizeof(__half)), "cudaMalloc");
        const void* w = v.int8 ? (const void*)w_q : (const void*)w_half;
        const double ms = vyr_bench::time_ms(stream, 1, iters, [&](cudaStream_t s) {
            if (host_small_lstm(s, N, T, H, v.direction, in, w, bias, v.int8 ? scale : nullptr, out) != 0)
                vyr_bench::check(cudaErrorInvalidValue, v.name);
        });
        vyr_bench::check_output(out, (size_t)N * T * H, v.name);
        vyr_bench::report(v.name, ms, (double)N * T / (ms * 1e-3), "seq-steps/s");
        for (void* p : {(void*)in, (void*)bias, (void*)w_half, (void*)w_q, (void*)scale, (void*)out})
            cudaFree(p);
    }
}

void bench_lstm_step(std::mt19937& gen, cudaStream_t stream, int N, int iters) {
    for (int H : {96, 128, 384, 768}) {
        __half* gates = device_copy(random_half(gen, (size_t)N * 4 * H, 2.0f));
        __half* bias = device_copy(random_half(gen, 4 * H, 0.5f));
        __half* state = device_copy(random_half(gen, (size_t)N * H, 1.0f));
        __half* out = device_copy(std::vector<__half>((size_t)N * 2 * H));
        const double ms = vyr_bench::time_ms(
            stream, 2, iters, [&](cudaStream_t s) { host_lstm_step_f16(s, N, H, bias, gates, state, out); });
        vyr_bench::check(cudaGetLastError(), "host_lstm_step_f16");
        char name[64];
        std::snprintf(name, sizeof name, "lstm_step_f16 H=%d", H);
        vyr_bench::check_output(out, (size_t)N * 2 * H, name);
        // gates and bias read, state read and written, h written.
        const double bytes = 2.0 * ((double)N * 4 * H + 4 * H + 3.0 * N * H);
        vyr_bench::report(name, ms, bytes / (ms * 1e-3) / 1e9, "GB/s");
        vyr_bench::report_vs(name, ms, "memcpy D2D", vyr_bench::copy_peer_ms(stream, bytes, 2, iters));
        std::printf("%-48s %27.4g seq-steps/s\n", "", (double)N / (ms * 1e-3));
        for (void* p : {(void*)gates, (void*)bias, (void*)state, (void*)out}) cudaFree(p);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    vyr_bench::print_device();
    std::mt19937 gen(1);
    cudaStream_t stream;
    vyr_bench::check(cudaStreamCreate(&stream), "cudaStreamCreate");
    const int N = quick ? 8 : 512, T = quick ? 20 : 1000;
    std::printf("small LSTM: N=%d T=%d\n", N, T);
    bench_small_lstm(gen, stream, N, T, quick ? 2 : 10);
    std::printf("LSTM step: N=%d\n", N);
    bench_lstm_step(gen, stream, N, quick ? 3 : 100);
    cudaStreamDestroy(stream);
    return 0;
}
