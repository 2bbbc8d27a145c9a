// Lets the host C++ compiler read CUDA kernel sources. Force-included (-include) ahead of everything else in
// the simulator build, so that the CUDA headers see our spellings of the execution-space keywords first.
//
// What kernels may use: plain CUDA C++ (__global__, __device__, __shared__, threadIdx..., __syncthreads, warp
// shuffles and votes, atomics, half and half2 arithmetic). Dynamic shared memory and arch-specific
// instructions go through lib/device.cuh and lib/intrinsics.cuh, never through inline PTX.
#pragma once

#define VYR_SIM 1
#ifndef VYR_SIM_ARCH
// The simulator compiles the device paths of the newest architecture unless told otherwise.
#define VYR_SIM_ARCH 900
#endif

#define __host__
#define __device__
#define __global__
#define __managed__
// One block runs at a time, so a function-static variable is exactly the block's shared memory. The section
// lets the simulator poison all of it at the start of every block (see simt.cpp).
#define __shared__ static __attribute__((section("vyr_smem")))
#define __constant__ static

#include <cuda_runtime.h>
#include <cuda_fp16.h>

#undef __launch_bounds__
#define __launch_bounds__(...)

#include "vyr_sim/device.h"
