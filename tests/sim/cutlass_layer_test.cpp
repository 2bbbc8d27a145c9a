// The simulator's CUTLASS architecture layer where the library's CUTLASS kernels cannot pin it down: the
// ldmatrix lane map (a consistent error in A and B cancels in a product), copies that land only at their
// wait, and operations without a simulator body. The multiplies themselves are checked through the linear
// and LSTM kernels against their references.
#include "cutlass/arch/memory_sm80.h"
#include "cutlass/arch/memory.h"
#include "sim_test.h"
#include "vyr_sim.h"

namespace {

// Each lane points at row lane % 8 of matrix lane / 8 of a 32 x 8 table whose entries are their own index.
template <int Q, bool Trans>
__global__ void ldsm_kernel(unsigned* out) {
    __shared__ __align__(16) unsigned short table[32 * 8];
    for (int i = threadIdx.x; i < 32 * 8; i += 32) table[i] = (unsigned short)i;
    __syncthreads();
    unsigned d[Q];
    vyr::ldmatrix_b16<Q, Trans>(d, &table[8 * (threadIdx.x % (8 * Q))]);
    for (int q = 0; q < Q; ++q) out[threadIdx.x * Q + q] = d[q];
}

template <int Q, bool Trans>
void check_ldsm() {
    unsigned* d_out = upload(std::vector<unsigned>(32 * Q));
    ASSERT_EQ(cudaSuccess, vyr::launch(VYR_KERNEL(ldsm_kernel<Q, Trans>), 1, 32, 0, nullptr, d_out));
    const std::vector<unsigned> out = download(d_out, 32 * Q);
    for (int l = 0; l < 32; ++l)
        for (int q = 0; q < Q; ++q) {
            const int g = l / 4, t = l % 4;
            // Element (row, col) of matrix q holds 64 q + 8 row + col.
            const unsigned lo = Trans ? 64 * q + 8 * (2 * t) + g : 64 * q + 8 * g + 2 * t;
            const unsigned hi = Trans ? lo + 8 : lo + 1;
            EXPECT_EQ(lo | hi << 16, out[l * Q + q]) << "x" << Q << (Trans ? ".trans" : "") << " lane " << l;
        }
}

TEST(SimCutlass, LdmatrixLaneMap) {
    check_ldsm<1, false>();
    check_ldsm<2, false>();
    check_ldsm<4, false>();
    check_ldsm<1, true>();
    check_ldsm<4, true>();
}

// cp.async of 4 and 8 bytes, copied or zero-filled: poison until the covering wait, then the data; and a
// shared store through a 32-bit shared address lands where the pointer points.
__global__ void small_copies_kernel(const unsigned* src, unsigned* out) {
    __shared__ __align__(16) unsigned smem[8];
    unsigned* s = smem + 2 * (3 - threadIdx.x);  // later threads below, so a copy landing too wide shows
    cutlass::arch::cp_async_zfill<8>(s, src + 2 * threadIdx.x, threadIdx.x != 1);
    cutlass::arch::cp_async<4>(s + 1, src + 7, threadIdx.x == 2);  // overwrites the second word of lane 2
    cutlass::arch::cp_async_fence();
    out[threadIdx.x] = s[0];  // before the wait: poison
    cutlass::arch::cp_async_wait<0>();
    __syncthreads();
    out[4 + 2 * threadIdx.x] = s[0];
    out[5 + 2 * threadIdx.x] = s[1];
    const unsigned marker = 100 + threadIdx.x;
    cutlass::arch::shared_store<4>(cutlass::arch::cutlass_get_smem_pointer(s), &marker);
    out[12 + threadIdx.x] = s[0];
}

TEST(SimCutlass, SmallAsyncCopiesLandAtTheirWait) {
    const std::vector<unsigned> src = {10, 11, 12, 13, 14, 15, 16, 17};
    unsigned* d_src = upload(src);
    unsigned* d_out = upload(std::vector<unsigned>(16, 0));
    ASSERT_EQ(cudaSuccess, vyr::launch(VYR_KERNEL(small_copies_kernel), 1, 4, 0, nullptr, d_src, d_out));
    const std::vector<unsigned> want = {~0u, ~0u, ~0u, ~0u, 10, 11, 0, 0, 14, 17, 16, 17, 100, 101, 102, 103};
    EXPECT_EQ(want, download(d_out, 16));
}

// A CUTLASS operation without a simulator body stops the kernel with a report instead of doing nothing.
__global__ void not_implemented_kernel(int* out) {
    CUTLASS_NOT_IMPLEMENTED();
    *out = 1;
}

TEST(SimCutlass, NotImplementedIsAKernelFault) {
    int* d_out = upload(std::vector<int>(1, 0));
    testing::internal::CaptureStderr();
    EXPECT_EQ(cudaSuccess, vyr::launch(VYR_KERNEL(not_implemented_kernel), 1, 32, 0, nullptr, d_out));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(cudaErrorLaunchFailure, cudaDeviceSynchronize());
    EXPECT_NE(std::string::npos, std::string(vyr_sim_last_fault()).find("without a simulator body"));
    EXPECT_EQ(cudaSuccess, cudaDeviceReset());
    EXPECT_EQ(0, download(d_out, 1)[0]);
}

}  // namespace
