// Emulated instructions against their documented behaviour: flush-to-zero arithmetic, single rounding of the
// half fused multiply-add, and the bounded asynchronous copy.
#include <cmath>
#include <cstring>
#include <limits>

#include "sim_test.h"

namespace {

__global__ void ftz_kernel(const float* in, float* out) {
    const float x = in[threadIdx.x];
    out[threadIdx.x * 3 + 0] = x * 0.5f;          // subnormal result
    out[threadIdx.x * 3 + 1] = x + 0.0f;          // subnormal input
    out[threadIdx.x * 3 + 2] = vyr::fast_exp(x);  // exp of a flushed input is exactly 1
}

TEST(SimIntrinsics, FloatArithmeticFlushesSubnormals) {
    const float tiny = std::numeric_limits<float>::min();  // smallest normal
    float* d_in = upload(std::vector<float>{tiny, 3 * tiny / 4, -tiny / 8, 1.0f});
    float* d_out = upload(std::vector<float>(12));
    ASSERT_EQ(cudaSuccess, vyr::launch(VYR_KERNEL(ftz_kernel), 1, 4, 0, nullptr, d_in, d_out));
    const std::vector<float> out = download(d_out, 12);
    EXPECT_EQ(0.0f, out[0]);
    EXPECT_EQ(tiny, out[1]);
    EXPECT_EQ(0.0f, out[4]);
    EXPECT_EQ(0.0f, out[7]);
    EXPECT_EQ(1.0f, out[5]);
    EXPECT_EQ(0.5f, out[9]);
    // Host code around the launch keeps gradual underflow.
    volatile float h = tiny;
    EXPECT_NE(0.0f, h * 0.5f);
}

// The library's packed fused multiply-add rounds a * b + c once. Each lane's exact result lies just off a
// rounding boundary of half: rounding the product to half first, or the sum to float first, lands on the
// boundary and rounds the other way.
TEST(SimIntrinsics, HalfFmaRoundsOnce) {
    const float a[2] = {1.0009765625f, 1.890625f}, b[2] = {1.4208984375f, 0.646484375f};
    const float c[2] = {0x1.444p-14f, -0x1.804p-14f}, want[2] = {1.4228515625f, 1.2216796875f};
    const __half2 r = vyr::hfma2(__floats2half2_rn(a[0], a[1]), __floats2half2_rn(b[0], b[1]),
                                 __floats2half2_rn(c[0], c[1]));
    EXPECT_EQ(want[0], __low2float(r));
    EXPECT_EQ(want[1], __high2float(r));
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
    char* src = upload(std::vector<char>{'a', 'b', 'c', 'd', 'e'});  // reading 16 bytes would be caught
    char* out = upload(std::vector<char>(19));
    ASSERT_EQ(cudaSuccess, vyr::launch(VYR_KERNEL(copy_kernel), 1, 1, 0, nullptr, src, out, 5));
    const std::vector<char> host = download(out, 19);
    EXPECT_EQ(0, std::memcmp(host.data(), "abcde\0\0\0\0\0\0\0\0\0\0\0", 16));
    EXPECT_EQ('a', host[16]);
    EXPECT_EQ((char)0xff, host[17]) << "the second group is still in flight";
    EXPECT_EQ('a', host[18]);
}

}  // namespace
