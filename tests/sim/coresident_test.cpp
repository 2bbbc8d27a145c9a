// Kernels whose blocks wait on each other: a spin that nothing can satisfy is reported instead of hanging.
// (That blocks which spin are made resident together, under every resume order, is what the tensor-core
// LSTM's grid barrier and its ticket handoff rely on; their tests run them.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame.cuh"
#include "sim_test.h"
#include "vyr_sim.h"

namespace {

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
