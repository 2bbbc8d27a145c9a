// What the simulator costs per collective: a __syncthreads of a full 1024-thread block, and one warp
// shuffle. Each kernel repeats the operation many times so that launch overhead does not count.
#include <chrono>
#include <cstdio>

#include "frame.cuh"

namespace {

__global__ void barrier_loop(int* out, int reps) {
    int acc = 0;
    for (int i = 0; i < reps; ++i) {
        acc += i;
        __syncthreads();
    }
    if (threadIdx.x == 0) *out = acc;
}

__global__ void shuffle_loop(int* out, int reps) {
    int v = threadIdx.x;
    for (int i = 0; i < reps; ++i) v += __shfl_xor_sync(0xffffffffu, v, 1 + i % 16);
    out[threadIdx.x] = v;
}

template <class K>
double seconds(K kernel, int threads, int reps, int* out) {
    auto t0 = std::chrono::steady_clock::now();
    if (vyr::launch(kernel, 1, threads, 0, nullptr, out, reps) != cudaSuccess) std::printf("launch failed\n");
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main() {
    int* out = nullptr;
    cudaMalloc(&out, 1024 * sizeof(int));
    seconds(VYR_KERNEL(barrier_loop), 1024, 10, out);  // creates the fibers
    const int barrier_reps = 2000, shuffle_reps = 20000;
    const double b = seconds(VYR_KERNEL(barrier_loop), 1024, barrier_reps, out) / barrier_reps;
    const double s = seconds(VYR_KERNEL(shuffle_loop), 32, shuffle_reps, out) / shuffle_reps;
    std::printf("simulator: __syncthreads, 1024 threads   %8.2f us per barrier (%.1f ns per thread)\n",
                b * 1e6, b * 1e9 / 1024);
    std::printf("simulator: __shfl_xor_sync, one warp     %8.2f us per shuffle (%.1f ns per lane)\n", s * 1e6,
                s * 1e9 / 32);
    cudaFree(out);
    return 0;
}
