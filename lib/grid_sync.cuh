// Synchronisation between the blocks of one launch that are resident together (the grid is sized to fit the
// device). Not a cooperative launch: the caller guarantees residency, and the counters live in caller memory.
#pragma once

#include "intrinsics.cuh"

namespace vyr {

// A barrier over `participants` blocks on one 32-bit counter that the host zeroes before the launch. Every
// participating block calls it with all its threads, passing how many times it has passed it before
// (`phase`): the counter only grows, and phase p completes when it reaches (p + 1) * participants (compared
// modulo 2^32). The block barrier before the arrival and the release in it make each block's writes of the
// phase visible to every block after the wait; the one after the wait holds the block's other threads.
__device__ inline void grid_barrier(unsigned* counter, unsigned participants, unsigned phase) {
    __syncthreads();
    if (threadIdx.x == 0 && threadIdx.y == 0 && threadIdx.z == 0) {
        atomic_add_acq_rel_gpu(counter, 1u);
        wait_at_least_gpu(counter, (phase + 1u) * participants);
    }
    __syncthreads();
}

}  // namespace vyr
