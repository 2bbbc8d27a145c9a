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
    size_t max_dynamic_smem = kDefaultDynamicSmem;
};

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
