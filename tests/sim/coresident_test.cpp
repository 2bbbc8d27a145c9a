// Kernels whose blocks wait on each other: the simulator makes blocks resident together when one spins, and
// reports a spin that nothing can satisfy instead of hanging.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame.cuh"
#include "grid_sync.cuh"
#include "sim_test.h"
#include "vyr_sim.h"

namespace {

// Each phase every block writes its slot, passes the grid barrier and checks every other block's slot. A
// static shared value set before the barrier must still be the block's own after it, although other blocks
// ran in between.
__global__ void grid_phases_kernel(int* slots, unsigned* counter, int* errors, int phases) {
    __shared__ int own;
    const int b = blockIdx.x, n = gridDim.x;
    for (int p = 0; p < phases; ++p) {
        if (threadIdx.x == 0) {
            slots[b] = p * 1000 + b;
            own = b;
        }
        vyr::grid_barrier(counter, n, 2 * p);
        for (int o = threadIdx.x; o < n; o += blockDim.x)
            if (slots[o] != p * 1000 + o) atomicAdd(errors, 1);
        if (own != b) atomicAdd(errors, 1);
        vyr::grid_barrier(counter, n, 2 * p + 1);  // nobody writes phase p+1 before all have checked
    }
}

// Block b waits until the counter says all blocks before it are done, extends the chain, and hands on.
__global__ void handoff_kernel(int* chain, unsigned* counter) {
    const unsigned b = blockIdx.x;
    vyr::wait_at_least_gpu(counter, b);
    __syncthreads();
    if (threadIdx.x == 0) {
        chain[b] = (b == 0 ? 0 : chain[b - 1]) * 3 + (int)b;
        vyr::red_release_gpu(counter, 1u);
    }
}

// Block 0 waits for a block index that does not exist.
__global__ void stuck_kernel(unsigned* counter) {
    if (threadIdx.x == 0) vyr::wait_at_least_gpu(counter, gridDim.x + 1);
    __syncthreads();
    if (threadIdx.x == 0) atomicAdd(counter, 1u);
}

// Every block waits for the last one, which cannot become resident while the others hold their places.
__global__ void wait_for_last_kernel(unsigned* flag) {
    if (blockIdx.x == gridDim.x - 1) {
        if (threadIdx.x == 0) atomicExch(flag, 1u);
    } else {
        vyr::wait_at_least_gpu(flag, 1u);
    }
}

class SimCoresident : public testing::Test {
  protected:
    void TearDown() override {
        vyr_test::use_order_from_environment();
        vyr_sim_reset_device();
    }
    unsigned* words_ = upload(std::vector<unsigned>(64));
};

TEST_F(SimCoresident, GridBarrierAndHandoffUnderEveryOrder) {
    int *slots = upload(std::vector<int>(16)), *errors = upload(std::vector<int>(1));
    int* chain = upload(std::vector<int>(16));
    std::vector<int> expect(16);
    for (int b = 0; b < 16; ++b) expect[b] = (b == 0 ? 0 : expect[b - 1]) * 3 + b;
    for (int order : {VYR_SIM_ORDER_FORWARD, VYR_SIM_ORDER_REVERSE, VYR_SIM_ORDER_SHUFFLE}) {
        SCOPED_TRACE(order);
        vyr_sim_set_order(order, 7);
        cudaMemset(words_, 0, 2 * sizeof(unsigned));
        cudaMemset(errors, 0, sizeof(int));
        ASSERT_EQ(cudaSuccess,
                  vyr::launch(VYR_KERNEL(grid_phases_kernel), 16, 64, 0, nullptr, slots, words_, errors, 3));
        ASSERT_EQ(cudaSuccess, cudaDeviceSynchronize());
        EXPECT_EQ(0, download(errors, 1)[0]);
        EXPECT_EQ(16u * 6u, download(words_, 1)[0]);  // six barrier phases, every block arrived at each
        // Under the reverse order the last block starts first and must wait for all the others.
        ASSERT_EQ(cudaSuccess,
                  vyr::launch(VYR_KERNEL(handoff_kernel), 16, 32, 0, nullptr, chain, words_ + 1));
        ASSERT_EQ(cudaSuccess, cudaDeviceSynchronize());
        EXPECT_EQ(expect, download(chain, 16));
    }
}

TEST_F(SimCoresident, SpinsThatCannotProgressAreDeadlocks) {
    struct Case {
        const char* what;
        bool residency;
        const char* expect;
    };
    for (const Case& c : {Case{"no block ever signals", false, "thread 0 at"},
                          Case{"signaller cannot become resident", true, "the device holds 4 blocks"}}) {
        SCOPED_TRACE(c.what);
        testing::internal::CaptureStderr();
        std::string name;
        if (!c.residency) {
            auto k = VYR_KERNEL(stuck_kernel);
            name = k.name;
            EXPECT_EQ(cudaSuccess, vyr::launch(k, 3, 64, 0, nullptr, words_));
        } else {
            // Two multiprocessors hold two blocks of 1024 threads each.
            VyrSimDevice d;
            vyr_sim_get_device(&d);
            d.multiprocessors = 2;
            vyr_sim_set_device(&d);
            // Only the forward order starts the signalling block last, after the device is full.
            vyr_sim_set_order(VYR_SIM_ORDER_FORWARD, 0);
            auto k = VYR_KERNEL(wait_for_last_kernel);
            name = k.name;
            EXPECT_EQ(cudaSuccess, vyr::launch(k, 6, 1024, 0, nullptr, words_));
        }
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(cudaErrorLaunchFailure, cudaDeviceSynchronize());
        const std::string report = vyr_sim_last_fault();
        EXPECT_NE(std::string::npos, report.find("deadlock in kernel " + name)) << report;
        EXPECT_NE(std::string::npos, report.find(c.expect)) << report;
        EXPECT_NE(std::string::npos, report.find("coresident_test.cpp")) << report;
        EXPECT_EQ(cudaSuccess, cudaDeviceReset());
        ASSERT_EQ(cudaSuccess, cudaMemset(words_, 0, sizeof(unsigned)));
    }
}

}  // namespace
