// Emulated instructions against their documented behaviour: flush-to-zero arithmetic, single rounding of the
// half fused multiply-add, the byte dot product, and the bounded asynchronous copy.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "frame.cuh"

namespace {

__global__ void ftz_kernel(const float* in, float* out) {
    const float x = in[threadIdx.x];
    out[threadIdx.x * 3 + 0] = x * 0.5f;          // subnormal result
    out[threadIdx.x * 3 + 1] = x + 0.0f;          // subnormal input
    out[threadIdx.x * 3 + 2] = vyr::fast_exp(x);  // exp of a flushed input is exactly 1
}

TEST(SimIntrinsics, FloatArithmeticFlushesSubnormals) {
    const float tiny = std::numeric_limits<float>::min();  // smallest normal
    std::vector<float> in = {tiny, 3 * tiny / 4, -tiny / 8, 1.0f};
    float *d_in, *d_out;
    cudaMalloc(&d_in, 4 * sizeof(float));
    cudaMalloc(&d_out, 12 * sizeof(float));
    cudaMemcpy(d_in, in.data(), 4 * sizeof(float), cudaMemcpyHostToDevice);
    ASSERT_EQ(cudaSuccess, vyr::launch(VYR_KERNEL(ftz_kernel), 1, 4, 0, nullptr, d_in, d_out));
    std::vector<float> out(12);
    cudaMemcpy(out.data(), d_out, 12 * sizeof(float), cudaMemcpyDeviceToHost);
    EXPECT_EQ(0.0f, out[0]);
    EXPECT_EQ(tiny, out[1]);
    EXPECT_EQ(0.0f, out[4]);
    EXPECT_EQ(0.0f, out[7]);
    EXPECT_EQ(1.0f, out[5]);
    EXPECT_EQ(0.5f, out[9]);
    // Host code around the launch keeps gradual underflow.
    volatile float h = tiny;
    EXPECT_NE(0.0f, h * 0.5f);
    cudaFree(d_in);
    cudaFree(d_out);
}

TEST(SimIntrinsics, HalfFmaRoundsOnce) {
    // (1 + 2^-10)(1 + 2^-9) - 1 = 3 * 2^-10 + 2^-19 is exact in half. Rounding the product to half first
    // (1 + 3 * 2^-10, the 2^-19 lost below the ulp of 2^-10) would give 3 * 2^-10 instead.
    const __half a = __float2half(1.0f + 1.0f / 1024), b = __float2half(1.0f + 1.0f / 512);
    const __half c = __float2half(-1.0f);
    EXPECT_EQ(3.0f / 1024 + 1.0f / (1 << 19), __half2float(__hfma(a, b, c)));
    const __half2 r = __hfma2(__halves2half2(a, b), __halves2half2(b, a), __halves2half2(c, c));
    EXPECT_EQ(3.0f / 1024 + 1.0f / (1 << 19), __low2float(r));
    EXPECT_EQ(3.0f / 1024 + 1.0f / (1 << 19), __high2float(r));
}

__global__ void dot_kernel(const int* a, const int* b, int* out) {
    out[threadIdx.x] = vyr::dot4_s8(a[threadIdx.x], b[threadIdx.x], 1000);
}

TEST(SimIntrinsics, ByteDotProduct) {
    // Bytes (lowest first): a = {-128, 127, -1, 5}, b = {-128, -128, 2, 3}.
    std::vector<int> a = {(int)0x05ff7f80u}, b = {(int)0x03028080u};
    int *da, *db, *dout;
    cudaMalloc(&da, 4);
    cudaMalloc(&db, 4);
    cudaMalloc(&dout, 4);
    cudaMemcpy(da, a.data(), 4, cudaMemcpyHostToDevice);
    cudaMemcpy(db, b.data(), 4, cudaMemcpyHostToDevice);
    ASSERT_EQ(cudaSuccess, vyr::launch(VYR_KERNEL(dot_kernel), 1, 1, 0, nullptr, da, db, dout));
    int out = 0;
    cudaMemcpy(&out, dout, 4, cudaMemcpyDeviceToHost);
    EXPECT_EQ(1000 + 16384 - 16256 - 2 + 15, out);
    cudaFree(da);
    cudaFree(db);
    cudaFree(dout);
}

__global__ void copy_kernel(const char* src, char* out, int src_bytes) {
    __shared__ char stage[32];
    vyr::cp_async_16(stage, src, src_bytes);
    vyr::cp_async_commit();
    vyr::cp_async_16(stage + 16, src, src_bytes);
    vyr::cp_async_commit();
    // Data lands at the covering wait: with one group allowed in flight only the first has arrived.
    vyr::cp_async_wait<1>();
    out[16] = stage[0];
    out[17] = stage[16];
    vyr::cp_async_wait<0>();
    out[18] = stage[16];
    __syncthreads();
    for (int i = 0; i < 16; ++i) out[i] = stage[i];
}

TEST(SimIntrinsics, AsyncCopyIsBoundedAndLandsAtItsWait) {
    char *src, *out;
    cudaMalloc(&src, 5);  // exactly 5 bytes: reading 16 would be caught by the sanitizer build
    cudaMalloc(&out, 19);
    cudaMemcpy(src, "abcde", 5, cudaMemcpyHostToDevice);
    ASSERT_EQ(cudaSuccess, vyr::launch(VYR_KERNEL(copy_kernel), 1, 1, 0, nullptr, src, out, 5));
    char host[19];
    cudaMemcpy(host, out, 19, cudaMemcpyDeviceToHost);
    EXPECT_EQ(0, std::memcmp(host, "abcde\0\0\0\0\0\0\0\0\0\0\0", 16));
    EXPECT_EQ('a', host[16]);
    EXPECT_EQ((char)0xff, host[17]) << "the second group is still in flight";
    EXPECT_EQ('a', host[18]);
    cudaFree(src);
    cudaFree(out);
}

}  // namespace
