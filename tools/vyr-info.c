/* Prints which backend and device the library runs on and what the device supports. Written in C against the
 * CUDA runtime API and the public header only, as an application would be. */
#include <stdio.h>

#include <cuda_runtime_api.h>

#include "vyr.h"

static int check(cudaError_t e, const char* what) {
    if (e == cudaSuccess) return 0;
    fprintf(stderr, "vyr-info: %s: %s\n", what, cudaGetErrorString(e));
    return 1;
}

int main(void) {
    struct cudaDeviceProp prop;
    int device = 0;
#if defined(VYR_BACKEND_SIM)
    const char* backend = "CPU simulator (libvyr_sim.so)";
#else
    const char* backend = "CUDA (libvyr.so)";
#endif
    if (check(cudaGetDevice(&device), "cudaGetDevice") ||
        check(cudaGetDeviceProperties(&prop, device), "cudaGetDeviceProperties"))
        return 1;
    printf("backend: %s\n", backend);
    printf("device: %s, compute capability %d.%d, %d multiprocessors, %zu bytes opt-in shared memory\n",
           prop.name, prop.major, prop.minor, prop.multiProcessorCount, prop.sharedMemPerBlockOptin);
    printf("sanity_test: %s\n", sanity_test() == VyrSuccess ? "ok" : "failed");
    printf("tiled tensor-core transformer kernels (8.0+): %s\n",
           vyr_tc_is_available() == VyrSuccess ? "available" : "not available");
    printf("Volta transformer kernels (7.0): %s\n",
           vyr_volta_tc_is_available() == VyrSuccess ? "available" : "not available");
    return check(cudaGetLastError(), "cudaGetLastError");
}
