// Effective bandwidth (bytes read + bytes written per second) of the element-wise and layout kernels on
// shapes of a basecaller's layers: batches of chunks of about a thousand timesteps, a few hundred channels.
// These kernels only move data, so the figures compare directly with the device's memory bandwidth.
// --quick: small shapes, for keeping the code working on the simulator.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bench.h"
#include "vyr.h"

namespace {

using vyr_bench::check;

struct Shape {
    int N, T, C;
    long long count() const { return (long long)N * T * C; }
};

// A device buffer of n halves (or 2n int8) filled with small non-zero values.
void* device_fill(long long bytes) {
    void* p = nullptr;
    check(cudaMalloc(&p, bytes), "cudaMalloc");
    std::vector<unsigned char> host(bytes);
    for (long long i = 0; i < bytes; ++i) host[i] = (i & 1) ? 0x30 : (unsigned char)(i * 7);
    check(cudaMemcpy(p, host.data(), bytes, cudaMemcpyHostToDevice), "cudaMemcpy");
    return p;
}

template <class F>
void run(const char* name, double bytes, int warmup, int iters, cudaStream_t stream, F call) {
    const double ms = vyr_bench::time_ms(stream, warmup, iters, [&](cudaStream_t s) {
        if (call(s) != 0) {
            std::fprintf(stderr, "%s: call refused\n", name);
            std::exit(1);
        }
    });
    vyr_bench::report(name, ms, bytes / (ms * 1e-3) / 1e9, "GB/s");
    vyr_bench::report_vs(name, ms, "memcpy D2D", vyr_bench::copy_peer_ms(stream, bytes, warmup, iters));
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    vyr_bench::print_device();
    const Shape s = quick ? Shape{2, 40, 96} : Shape{256, 1000, 384};
    const int warmup = quick ? 1 : 5, iters = quick ? 2 : 50;
    cudaStream_t stream;
    check(cudaStreamCreate(&stream), "cudaStreamCreate");

    const long long n = s.count();
    void* a = device_fill(n * 2);
    void* b = device_fill(n * 2);
    void* bias = device_fill(s.C * 2);
    const __half* bias_h = static_cast<const __half*>(bias);

    // In place: each element read and written once, plus the bias.
    run("bias_activation_f16_inplace swish", 4.0 * n, warmup, iters, stream, [&](cudaStream_t st) {
        return host_bias_activation_f16_inplace(st, s.N * s.T, s.C, s.C, static_cast<__half*>(a), bias_h,
                                                VYR_ACTIVATION_SWISH);
    });
    vyr_bench::check_output(static_cast<const __half*>(a), n, "bias_activation_f16_inplace");
    run("bias_activation_interleave_convert tanh h->i8 /16", 3.0 * n, warmup, iters, stream,
        [&](cudaStream_t st) {
            return host_bias_activation_interleave_convert(st, s.N, s.T, s.C, a, 0, VYR_TYPE_HALF, b, 16,
                                                           VYR_TYPE_INT8, bias_h, VYR_ACTIVATION_TANH);
        });
    run("bias_activation_interleave_convert i8->h", 3.0 * n, warmup, iters, stream, [&](cudaStream_t st) {
        return host_bias_activation_interleave_convert(st, s.N, s.T, s.C, b, 0, VYR_TYPE_INT8, a, 0,
                                                       VYR_TYPE_HALF, nullptr, VYR_ACTIVATION_IDENTITY);
    });
    vyr_bench::check_output(static_cast<const __half*>(a), n, "bias_activation_interleave_convert");

    const int C = s.C, TC = s.T * s.C;
    run("convert i8->h (N,T,C)", 3.0 * n, warmup, iters, stream, [&](cudaStream_t st) {
        return host_convert(st, b, TC, C, 1, VYR_TYPE_INT8, a, TC, C, 1, VYR_TYPE_HALF, s.N, s.T, s.C);
    });
    vyr_bench::check_output(static_cast<const __half*>(a), n, "convert i8->h");
    run("convert h->i8 (N,T,C)", 3.0 * n, warmup, iters, stream, [&](cudaStream_t st) {
        return host_convert(st, a, TC, C, 1, VYR_TYPE_HALF, b, TC, C, 1, VYR_TYPE_INT8, s.N, s.T, s.C);
    });
    run("convert h->h (N,T,C)->(T,N,C) plain", 4.0 * n, warmup, iters, stream, [&](cudaStream_t st) {
        return host_convert(st, a, TC, C, 1, VYR_TYPE_HALF, b, C, s.N * C, 1, VYR_TYPE_HALF, s.N, s.T, s.C);
    });
    vyr_bench::check_output(static_cast<const __half*>(b), n, "convert (N,T,C)->(T,N,C)");
    run("convert h->h (N,T,C)->(N,C,T) tiled", 4.0 * n, warmup, iters, stream, [&](cudaStream_t st) {
        return host_convert(st, a, TC, C, 1, VYR_TYPE_HALF, b, TC, 1, s.T, VYR_TYPE_HALF, s.N, s.T, s.C);
    });
    vyr_bench::check_output(static_cast<const __half*>(b), n, "convert (N,T,C)->(N,C,T)");

    // Windows of a narrow front-end tensor: every input read once, every window row written.
    const int wc = 16, ww = 9;
    const long long wn = (long long)s.N * s.T * wc, wout = (long long)s.N * s.T * ww * wc;
    void* win = device_fill(wn * 2);
    void* wdst = nullptr;
    check(cudaMalloc(&wdst, wout * 2), "cudaMalloc");
    run("window_ntwc_f16 C=16 W=9", 2.0 * (wn + wout), warmup, iters, stream, [&](cudaStream_t st) {
        return host_window_ntwc_f16(st, s.N, s.T, wc, ww, 1, s.T * ww * wc, ww * wc,
                                    static_cast<const __half*>(win), static_cast<__half*>(wdst));
    });
    vyr_bench::check_output(static_cast<const __half*>(wdst), wout, "window_ntwc_f16");

    for (void* p : {a, b, bias, win, wdst}) cudaFree(p);
    cudaStreamDestroy(stream);
    return 0;
}
