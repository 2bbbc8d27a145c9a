// The simulator's cutlass/arch/memory_sm75.h: ldmatrix as one warp collective, and shared addresses in the
// simulator's shared state space.
#pragma once

#include <cstring>

#include "cutlass/array.h"
#include "cutlass/detail/helper_macros.hpp"
#include "cutlass/layout/matrix.h"
#include "intrinsics.cuh"

namespace cutlass {
namespace arch {

// Loads MatrixCount 8 x 8 matrices of 16-bit elements; ColumnMajor is the transposing form.
template <typename Layout, int MatrixCount>
CUTLASS_DEVICE void ldsm(Array<unsigned, MatrixCount>& D, void const* ptr) {
    static_assert(platform::is_same<Layout, layout::RowMajor>::value ||
                      platform::is_same<Layout, layout::ColumnMajor>::value,
                  "ldmatrix reads row-major or, transposed, column-major matrices");
    unsigned d[MatrixCount];
    ::vyr::ldmatrix_b16<MatrixCount, platform::is_same<Layout, layout::ColumnMajor>::value>(d, ptr);
    for (int i = 0; i < MatrixCount; ++i) D[i] = d[i];
}

CUTLASS_HOST_DEVICE unsigned cutlass_get_smem_pointer(void* ptr) {
    return ::vyr_sim::smem_address(ptr);
}
CUTLASS_DEVICE unsigned cutlass_get_smem_pointer(void const* ptr) {
    return ::vyr_sim::smem_address(ptr);
}

template <typename AccessType, int Bytes>
struct shared_load_op {
    CUTLASS_DEVICE
    shared_load_op(AccessType& D, void const* ptr) { std::memcpy(&D, ptr, sizeof(AccessType)); }
};

template <typename AccessType>
CUTLASS_DEVICE void shared_load(AccessType& D, void const* ptr) {
    shared_load_op<AccessType, int(sizeof(AccessType))>(D, ptr);
}

}  // namespace arch
}  // namespace cutlass
