/* Prints which backend and device the library runs on and what the device supports. Written in C against the
 * CUDA runtime API and the public header only, as an application would be. */
#include <stdio.h>

#include <cuda_runtime_api.h>

#include "vyr.h"

/* IEEE binary16 bits to float, so that this C program needs no half-precision support of its own. */
static float half_bits_to_float(unsigned short h) {
    const int exponent = (h >> 10) & 0x1f, mantissa = h & 0x3ff;
    float v = exponent == 0 ? mantissa / 16777216.0f
                            : (1.0f + mantissa / 1024.0f) * (float)(1 << exponent) / 32768.0f;
    return (h & 0x8000) ? -v : v;
}

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

    /* One kernel through the public API: tanh(x + bias) in place on a 2 x 4 half matrix. */
    {
        const unsigned short host_in[8] = {0x0000, 0x3c00, 0xbc00, 0x3800, 0x4000, 0xc000, 0x3400, 0xb400};
        unsigned short host_out[8];
        __half* matrix = NULL;
        int i, status;
        if (check(cudaMalloc((void**)&matrix, sizeof host_in), "cudaMalloc") ||
            check(cudaMemcpy(matrix, host_in, sizeof host_in, cudaMemcpyHostToDevice), "cudaMemcpy"))
            return 1;
        status = host_bias_activation_f16_inplace(0, 2, 4, 4, matrix, NULL, VYR_ACTIVATION_TANH);
        if (status != VyrSuccess || check(cudaGetLastError(), "bias/activation kernel") ||
            check(cudaMemcpy(host_out, matrix, sizeof host_out, cudaMemcpyDeviceToHost), "cudaMemcpy")) {
            fprintf(stderr, "vyr-info: host_bias_activation_f16_inplace returned %d\n", status);
            return 1;
        }
        printf("tanh kernel:");
        for (i = 0; i < 8; ++i) printf(" %.4f", half_bits_to_float(host_out[i]));
        printf("\n");
        cudaFree(matrix);
    }
    return check(cudaGetLastError(), "cudaGetLastError");
}
