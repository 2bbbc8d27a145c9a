// Barriers, shared memory, parameters, launch validation, the error state, and the reports of misused
// collectives.
#include <cmath>
#include <string>

#include "sim_test.h"
#include "vyr_sim.h"

namespace {

// Each phase every thread writes its slot, then after the barrier checks every other thread's write.
__global__ void phases_kernel(int* errors, int phases) {
    __shared__ int slot[1024];
    const int t = threadIdx.x, n = blockDim.x;
    for (int p = 0; p < phases; ++p) {
        slot[t] = p * 10000 + t;
        __syncthreads();
        for (int o = 0; o < n; ++o)
            if (slot[o] != p * 10000 + o) atomicAdd(errors, 1);
        __syncthreads();
    }
}

TEST(SimExecution, BarrierPhases) {
    int* errors = upload(std::vector<int>(1));
    for (int block : {1, 33, 256, 1024}) {
        cudaMemset(errors, 0, sizeof(int));
        ASSERT_EQ(cudaSuccess, vyr::launch(VYR_KERNEL(phases_kernel), 2, block, 0, nullptr, errors, 3));
        EXPECT_EQ(0, download(errors, 1)[0]) << "block " << block;
    }
}

// Reads a neighbour's shared slot without a barrier in between: the result depends on the resume order,
// which is how the simulator exposes the race.
__global__ void racy_kernel(int* out) {
    __shared__ int s[64];
    s[threadIdx.x] = threadIdx.x + 1;
    out[threadIdx.x] = s[(threadIdx.x + 1) % 64];
}
__global__ void fixed_kernel(int* out) {
    __shared__ int s[64];
    s[threadIdx.x] = threadIdx.x + 1;
    __syncthreads();
    out[threadIdx.x] = s[(threadIdx.x + 1) % 64];
}

TEST(SimExecution, MissingBarrierShowsUnderAnotherOrder) {
    int* out = upload(std::vector<int>(64));
    auto run = [&](auto kernel, int order, unsigned seed) {
        vyr_sim_set_order(order, seed);
        EXPECT_EQ(cudaSuccess, vyr::launch(kernel, 1, 64, 0, nullptr, out));
        vyr_test::use_order_from_environment();
        return download(out, 64);
    };
    EXPECT_NE(run(VYR_KERNEL(racy_kernel), VYR_SIM_ORDER_FORWARD, 0),
              run(VYR_KERNEL(racy_kernel), VYR_SIM_ORDER_REVERSE, 0));
    const auto fwd = run(VYR_KERNEL(fixed_kernel), VYR_SIM_ORDER_FORWARD, 0);
    EXPECT_EQ(fwd, run(VYR_KERNEL(fixed_kernel), VYR_SIM_ORDER_REVERSE, 0));
    for (unsigned seed = 1; seed <= 3; ++seed)
        EXPECT_EQ(fwd, run(VYR_KERNEL(fixed_kernel), VYR_SIM_ORDER_SHUFFLE, seed));
}

// Shared memory is poisoned at every block start: uninitialised reads see NaN, and no block sees another's
// data.
__global__ void smem_kernel(float* out, int n) {
    __shared__ float s[32];
    VYR_DYNAMIC_SMEM(float, d);
    if (threadIdx.x == 0) {
        out[blockIdx.x * 3 + 0] = s[5];
        out[blockIdx.x * 3 + 1] = d[n - 1];
        s[5] = 1.0f;
        d[n - 1] = 2.0f;
        out[blockIdx.x * 3 + 2] = s[5] + d[n - 1];
    }
}

TEST(SimExecution, SharedMemoryIsPoisonedPerBlock) {
    float* out = upload(std::vector<float>(6));
    ASSERT_EQ(cudaSuccess,
              vyr::launch(VYR_KERNEL(smem_kernel), 2, 32, 1000 * sizeof(float), nullptr, out, 1000));
    auto got = download(out, 6);
    for (int b = 0; b < 2; ++b) {
        EXPECT_TRUE(std::isnan(got[b * 3 + 0]));
        EXPECT_TRUE(std::isnan(got[b * 3 + 1]));
        EXPECT_EQ(3.0f, got[b * 3 + 2]);
    }
}

// Each thread owns its copy of a by-value parameter.
__global__ void parameter_kernel(int* bad, int p) {
    p += threadIdx.x;
    __syncthreads();
    if (p != 7 + (int)threadIdx.x) atomicAdd(bad, 1);
}

TEST(SimExecution, EachThreadOwnsItsParameters) {
    int* bad = upload(std::vector<int>(1));
    ASSERT_EQ(cudaSuccess, vyr::launch(VYR_KERNEL(parameter_kernel), 3, 100, 0, nullptr, bad, 7));
    EXPECT_EQ(0, download(bad, 1)[0]);
}

__global__ void marker_kernel(int* ran) {
    *ran = 1;
}

TEST(SimExecution, LaunchValidationAndErrorState) {
    int* ran = upload(std::vector<int>(1));
    auto k = VYR_KERNEL(marker_kernel);
    // (More threads than a block holds and an empty grid are refusals the training tables' tests rest on.)
    struct Case {
        const char* what;
        dim3 grid, block;
        size_t smem;
        cudaError_t expect;
    } cases[] = {
        {"block z 65", 1, dim3(1, 1, 65), 0, cudaErrorInvalidConfiguration},
        {"block 0", 1, 0, 0, cudaErrorInvalidConfiguration},
        {"grid y 65536", dim3(1, 65536), 32, 0, cudaErrorInvalidConfiguration},
        {"smem over default", 1, 32, 48 * 1024 + 1, cudaErrorInvalidValue},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        cudaMemset(ran, 0, sizeof(int));
        EXPECT_EQ(c.expect, vyr::launch(k, c.grid, c.block, c.smem, nullptr, ran));
        EXPECT_EQ(0, download(ran, 1)[0]) << "a refused launch must not run";
        EXPECT_EQ(c.expect, cudaPeekAtLastError());
        EXPECT_EQ(c.expect, cudaPeekAtLastError());
        EXPECT_EQ(cudaSuccess, cudaMemset(ran, 0, sizeof(int)));  // a success in between does not clear it
        EXPECT_EQ(c.expect, cudaGetLastError());
        EXPECT_EQ(cudaSuccess, cudaGetLastError());
    }
    // Raising the limit lets the same launch through, up to the device's opt-in maximum.
    EXPECT_TRUE(vyr::allow_dynamic_smem(k, 100 * 1024, vyr::kSmemMsgLstm));
    EXPECT_EQ(cudaSuccess, vyr::launch(k, 1, 32, 100 * 1024, nullptr, ran));
    EXPECT_EQ(1, download(ran, 1)[0]);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(vyr::allow_dynamic_smem(k, 232449, vyr::kSmemMsgLstm));
    EXPECT_EQ("Vyr LSTM: failed to set smem size 232449\n", testing::internal::GetCapturedStderr());
    EXPECT_EQ(cudaSuccess, cudaGetLastError()) << "a refusal reported by message leaves no error pending";
    // A kernel the runtime has never seen.
    EXPECT_EQ(cudaErrorInvalidDeviceFunction,
              cudaLaunchKernel((const void*)&download<int>, 1, 1, nullptr, 0, nullptr));
    cudaGetLastError();
}

__global__ void static_smem_kernel(int* ran) {
    __shared__ float buf[4096];  // 16 KiB
    buf[threadIdx.x] = 1.0f;
    __syncthreads();
    *ran = (int)buf[0];
}

// Static and dynamic bytes share the per-block limit, as the runtime applies it.
TEST(SimExecution, StaticSharedMemoryCountsAgainstTheLimit) {
    int* ran = upload(std::vector<int>(1));
    auto k = VYR_KERNEL(static_smem_kernel);
    cudaFuncAttributes attr{};
    ASSERT_EQ(cudaSuccess, cudaFuncGetAttributes(&attr, k.address()));
    EXPECT_EQ(16384u, attr.sharedSizeBytes);
    EXPECT_EQ(32768, attr.maxDynamicSharedSizeBytes);
    EXPECT_EQ(cudaSuccess, vyr::launch(k, 1, 32, 32768, nullptr, ran));
    EXPECT_EQ(cudaErrorInvalidValue, vyr::launch(k, 1, 32, 32769, nullptr, ran));
    cudaGetLastError();
    // A raise may use what the opt-in maximum leaves after the static bytes, no more.
    const int optin = 232448;
    EXPECT_EQ(
        cudaErrorInvalidValue,
        cudaFuncSetAttribute(k.address(), cudaFuncAttributeMaxDynamicSharedMemorySize, optin - 16384 + 1));
    cudaGetLastError();
    EXPECT_TRUE(vyr::allow_dynamic_smem(k, 32769, nullptr));
    cudaMemset(ran, 0, sizeof(int));
    EXPECT_EQ(cudaSuccess, vyr::launch(k, 1, 32, 32769, nullptr, ran));
    EXPECT_EQ(1, download(ran, 1)[0]);
}

// Misuse that would hang or misbehave on the GPU is reported with kernel, block and thread, and leaves the
// simulator usable after cudaDeviceReset.
__global__ void divergent_barrier_kernel(int* out) {
    if (threadIdx.x < 16) {
        __syncthreads();
    } else {
        __syncthreads();
    }
    out[threadIdx.x] = 1;
}
__global__ void exit_before_barrier_kernel(int* out) {
    if (threadIdx.x >= 40) return;
    __syncthreads();
    out[threadIdx.x] = 1;
}
__global__ void bad_mask_kernel(int* out) {
    // Lane 31 is named in the mask but never calls the shuffle.
    if (threadIdx.x % 32 != 31) out[threadIdx.x] = __shfl_sync(0xffffffffu, (int)threadIdx.x, 0);
}
__global__ void mask_without_self_kernel(int* out) {
    out[threadIdx.x] = __shfl_sync(0x1u, 1, 0);
}
__global__ void mismatched_collective_kernel(int* out) {
    if (threadIdx.x % 2)
        out[threadIdx.x] = __shfl_xor_sync(0xffffffffu, 1, 1);
    else
        out[threadIdx.x] = (int)__ballot_sync(0xffffffffu, 1);
}
__global__ void shuffle_vs_barrier_kernel(int* out) {
    if (threadIdx.x == 0)
        __syncthreads();
    else
        out[threadIdx.x] = __shfl_sync(0xffffffffu, 1, 0);
}

TEST(SimExecution, MisuseIsReported) {
    int* out = upload(std::vector<int>(64));
    struct Case {
        const char* what;
        vyr::Kernel<int*> kernel;
        int block;
        const char* expect;
    } cases[] = {
        {"divergent barrier", VYR_KERNEL(divergent_barrier_kernel), 32, "__syncthreads at"},
        {"exit before barrier", VYR_KERNEL(exit_before_barrier_kernel), 64, "exited"},
        // Reported when the lane exits after the others arrived, or when they arrive after it exited.
        {"lane missing from shuffle", VYR_KERNEL(bad_mask_kernel), 32, "mask 0xffffffff"},
        {"mask without caller", VYR_KERNEL(mask_without_self_kernel), 32, "does not name the calling lane"},
        {"mismatched collectives", VYR_KERNEL(mismatched_collective_kernel), 32, "meets"},
        {"shuffle against barrier", VYR_KERNEL(shuffle_vs_barrier_kernel), 32, "deadlock"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testing::internal::CaptureStderr();
        EXPECT_EQ(cudaSuccess, vyr::launch(c.kernel, 1, c.block, 0, nullptr, out));
        const std::string printed = testing::internal::GetCapturedStderr();
        EXPECT_EQ(cudaErrorLaunchFailure, cudaDeviceSynchronize());
        EXPECT_EQ(cudaErrorLaunchFailure, cudaGetLastError());
        const std::string report = vyr_sim_last_fault();
        EXPECT_NE(std::string::npos, report.find(c.expect)) << report;
        EXPECT_NE(std::string::npos, report.find(c.kernel.name)) << report;
        EXPECT_NE(std::string::npos, report.find("block (0,0,0)")) << report;
        EXPECT_NE(std::string::npos, printed.find(report)) << printed;
        // Sticky until reset, then the simulator runs the next launch normally.
        EXPECT_EQ(cudaErrorLaunchFailure, vyr::launch(VYR_KERNEL(marker_kernel), 1, 1, 0, nullptr, out));
        EXPECT_EQ(cudaSuccess, cudaDeviceReset());
        EXPECT_EQ(cudaSuccess, vyr::launch(VYR_KERNEL(marker_kernel), 1, 1, 0, nullptr, out));
        EXPECT_EQ(cudaSuccess, cudaDeviceSynchronize());
    }
}

}  // namespace

#if !defined(__SANITIZE_ADDRESS__)
// A kernel whose locals outgrow the fiber stack is named when it dies (the sanitizer build has its own
// report).
__global__ void deep_stack_kernel(int* out) {
    volatile char big[1 << 20];
    big[0] = 1;
    big[sizeof big - 1] = 2;
    out[threadIdx.x] = big[0] + big[sizeof big - 1];
}

TEST(SimExecutionDeathTest, StackOverflowIsNamed) {
    int* out = upload(std::vector<int>(32));
    EXPECT_DEATH(vyr::launch(VYR_KERNEL(deep_stack_kernel), 1, 1, 0, nullptr, out),
                 "stack overflow in kernel deep_stack_kernel, block \\(0,0,0\\), thread \\(0,0,0\\)");
}
#endif
