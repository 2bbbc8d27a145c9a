// Shared between the scheduler (simt.cpp) and the runtime API (runtime.cpp).
#pragma once

#include <cuda_runtime_api.h>

#include <cstddef>
#include <mutex>
#include <string>

#include "vyr_sim.h"
#include "vyr_sim/launch.h"

#define VYR_SIM_API __attribute__((visibility("default")))

namespace vyr_sim {

constexpr size_t kDefaultDynamicSmem = 48 * 1024;

struct KernelInfo {
    const void* fn = nullptr;
    const char* name = "?";
    KernelEntry entry = nullptr;
    bool static_smem_known = false;  // measured at first use, not at registration (which may run in dlopen)
    size_t static_smem = 0;
    bool dynamic_limit_raised =
        false;  // by cudaFuncSetAttribute(cudaFuncAttributeMaxDynamicSharedMemorySize)
    size_t raised_dynamic_limit = 0;
};

// Static __shared__ bytes of the kernel at fn (0 when they cannot be told; see static_smem.cpp).
size_t static_shared_bytes(const void* fn);
size_t static_smem(KernelInfo& k);
// As the runtime applies it: the raised limit, else what the 48 KiB default leaves after the static bytes.
size_t dynamic_smem_limit(KernelInfo& k);

// nullptr when fn was never registered (not a kernel of this library, or not yet launched).
KernelInfo* find_kernel(const void* fn);

VyrSimDevice& device();
std::mutex& launch_mutex();

// Runs every block of the grid; returns false and records the fault when a block faulted.
bool run_grid(const KernelInfo& k, dim3 grid, dim3 block, size_t smem, void** args);

// Sticky fault state (cleared by cudaDeviceReset).
cudaError_t sticky_fault();
void clear_fault();

}  // namespace vyr_sim
