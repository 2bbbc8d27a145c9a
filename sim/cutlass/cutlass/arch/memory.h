// The simulator's cutlass/arch/memory.h: predicated global loads and stores and 32-bit-addressed shared
// loads and stores, which CUTLASS writes as PTX for every compiler.
#pragma once

#include <cstring>

#include "cutlass/arch/cache_operation.h"
#include "cutlass/cutlass.h"
#include "cutlass/platform/platform.h"

namespace cutlass {
namespace arch {

// ld.global with a guard: a false guard leaves D as it was.
template <typename AccessType, int LoadBytes, CacheOperation::Kind cache_op = CacheOperation::Always>
struct global_load {
    CUTLASS_DEVICE
    global_load(AccessType& D, void const* ptr, bool pred_guard) {
        static_assert(LoadBytes <= (int)sizeof(AccessType), "the access fits its fragment");
        if (pred_guard) std::memcpy(&D, ptr, LoadBytes);
    }
};

template <typename AccessType, int StoreBytes>
struct global_store {
    CUTLASS_DEVICE
    global_store(AccessType const& D, void* ptr, bool pred_guard) {
        static_assert(StoreBytes <= (int)sizeof(AccessType), "the access fits its fragment");
        if (pred_guard) std::memcpy(ptr, &D, StoreBytes);
    }
};

template <int Bytes>
CUTLASS_DEVICE void shared_load(void* dst, uint32_t ptr) {
    static_assert(Bytes == 2 || Bytes == 4 || Bytes == 8 || Bytes == 16, "ld.shared of 2 to 16 bytes");
    std::memcpy(dst, ::vyr_sim::smem_pointer(ptr), Bytes);
}

template <int Bytes>
CUTLASS_DEVICE void shared_store(uint32_t ptr, void const* src) {
    static_assert(Bytes == 2 || Bytes == 4 || Bytes == 8 || Bytes == 16, "st.shared of 2 to 16 bytes");
    std::memcpy(::vyr_sim::smem_pointer(ptr), src, Bytes);
}

}  // namespace arch
}  // namespace cutlass

#include "cutlass/arch/memory_sm75.h"
#include "cutlass/arch/memory_sm80.h"
