// The simulator's view of cutlass/arch/arch.h: CUTLASS declares LaneId and SmId for nvcc only (they read
// special registers).
#pragma once

#include_next "cutlass/arch/arch.h"

namespace cutlass {
namespace arch {

CUTLASS_DEVICE int LaneId() {
    return ::vyr_sim::g_ctx->lane;
}

// Every simulated block reports multiprocessor 0; no kernel of the library depends on the placement.
CUTLASS_DEVICE int SmId() {
    return 0;
}

}  // namespace arch
}  // namespace cutlass
