// The simulator's view of cutlass/cutlass.h. In host code CUTLASS's lane and warp index helpers return 0 (a
// host thread is in no warp), which would give every simulated thread warp 0's tile. Simulated threads run
// device code, so the header is read with its device branches, which use threadIdx and __shfl_sync only.
#pragma once

#include "cutlass/detail/helper_macros.hpp"

#if defined(__CUDA_ARCH__)
#error "this header belongs to the simulator build only"
#endif
#define __CUDA_ARCH__ VYR_SIM_ARCH
#include_next "cutlass/cutlass.h"
#undef __CUDA_ARCH__
