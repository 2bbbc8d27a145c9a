// Timing helpers shared by the benchmarks: CUDA events around repeated enqueues on one stream, after warm-up.
#pragma once

#include <cuda_fp16.h>
#include <cuda_runtime.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include <cstdio>
#include <cstdlib>

namespace vyr_bench {

inline void check(cudaError_t e, const char* what) {
    if (e != cudaSuccess) {
        std::fprintf(stderr, "%s: %s\n", what, cudaGetErrorString(e));
        std::exit(1);
    }
}

inline void print_device() {
    int dev = 0;
    cudaDeviceProp prop{};
    check(cudaGetDevice(&dev), "cudaGetDevice");
    check(cudaGetDeviceProperties(&prop, dev), "cudaGetDeviceProperties");
    std::printf("device: %s (compute capability %d.%d, %d multiprocessors)\n", prop.name, prop.major,
                prop.minor, prop.multiProcessorCount);
}

// Milliseconds per call of `enqueue(stream)`.
template <class F>
double time_ms(cudaStream_t stream, int warmup, int iters, F enqueue) {
    for (int i = 0; i < warmup; ++i) enqueue(stream);
    check(cudaStreamSynchronize(stream), "warm-up");
    cudaEvent_t start, stop;
    check(cudaEventCreate(&start), "cudaEventCreate");
    check(cudaEventCreate(&stop), "cudaEventCreate");
    check(cudaEventRecord(start, stream), "cudaEventRecord");
    for (int i = 0; i < iters; ++i) enqueue(stream);
    check(cudaEventRecord(stop, stream), "cudaEventRecord");
    check(cudaEventSynchronize(stop), "cudaEventSynchronize");
    float ms = 0.0f;
    check(cudaEventElapsedTime(&ms, start, stop), "cudaEventElapsedTime");
    cudaEventDestroy(start);
    cudaEventDestroy(stop);
    return ms / iters;
}

// A benchmark's only correctness check: the first values of an output are finite and not all zero.
inline float to_float(float x) {
    return x;
}
inline float to_float(__half x) {
    return __half2float(x);
}
template <class T>
void check_output(const T* device, size_t n, const char* name) {
    std::vector<T> host(std::min<size_t>(n, 1 << 16));
    check(cudaMemcpy(host.data(), device, host.size() * sizeof(T), cudaMemcpyDeviceToHost), "cudaMemcpy");
    bool nonzero = false;
    for (const T& v : host) {
        const float f = to_float(v);
        if (!std::isfinite(f)) {
            std::fprintf(stderr, "%s: non-finite output\n", name);
            std::exit(1);
        }
        nonzero |= f != 0.0f;
    }
    if (!nonzero) {
        std::fprintf(stderr, "%s: output is all zero\n", name);
        std::exit(1);
    }
}

// One result line: name, time per call, and a rate (e.g. "GB/s", "timesteps/s").
inline void report(const char* name, double ms, double rate, const char* unit) {
    std::printf("%-48s %12.4f ms/call %14.4g %s\n", name, ms, rate, unit);
}

// One comparison line against a peer measured in the same process (cuBLAS + epilogue, cuDNN, PyTorch, the
// device's copy bandwidth): scripts/gpu-check.sh collects these lines into its table of ratios. `speedup` is
// peer time over ours, so above 1 means faster than the peer.
inline void report_vs(const char* name, double ours_ms, const char* peer, double peer_ms) {
    std::printf("vs-peer: %s | ours_ms=%.5f | peer=%s | peer_ms=%.5f | speedup=%.3f\n", name, ours_ms, peer,
                peer_ms, peer_ms / ours_ms);
}

// The device's memory bandwidth as a peer for kernels that only move data: milliseconds per device-to-device
// cudaMemcpyAsync whose traffic (half read, half written) equals `bytes_moved`, the bytes the kernel reads
// and writes in all.
inline double copy_peer_ms(cudaStream_t stream, double bytes_moved, int warmup, int iters) {
    const size_t n = std::max<size_t>(256, static_cast<size_t>(bytes_moved / 2) / 256 * 256);
    void *src = nullptr, *dst = nullptr;
    check(cudaMalloc(&src, n), "cudaMalloc");
    check(cudaMalloc(&dst, n), "cudaMalloc");
    check(cudaMemset(src, 0, n), "cudaMemset");
    const double ms = time_ms(stream, warmup, iters, [&](cudaStream_t s) {
        check(cudaMemcpyAsync(dst, src, n, cudaMemcpyDeviceToDevice, s), "cudaMemcpyAsync");
    });
    cudaFree(src);
    cudaFree(dst);
    return ms;
}

}  // namespace vyr_bench
