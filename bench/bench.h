// Timing helpers shared by the benchmarks: CUDA events around repeated enqueues on one stream, after warm-up.
#pragma once

#include <cuda_runtime.h>

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

// One result line: name, time per call, and a rate (e.g. "GB/s", "timesteps/s").
inline void report(const char* name, double ms, double rate, const char* unit) {
    std::printf("%-48s %12.4f ms/call %14.4g %s\n", name, ms, rate, unit);
}

}  // namespace vyr_bench
