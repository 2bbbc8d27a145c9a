// The simulator's cutlass/arch/memory_sm80.h: asynchronous global-to-shared copies of 4, 8 or 16 bytes. As on
// the GPU, the data lands at the cp_async_wait that covers its group, not at issue.
#pragma once

#include "cutlass/arch/cache_operation.h"
#include "cutlass/arch/memory.h"
#include "cutlass/arch/memory_sm75.h"
#include "cutlass/complex.h"
#include "cutlass/cutlass.h"
#include "intrinsics.cuh"

namespace cutlass {
namespace arch {

// Copies SizeInBytes when the guard holds; otherwise the destination is left alone.
template <int SizeInBytes, CacheOperation::Kind cache_op = CacheOperation::Always>
struct cp_async {
    CUTLASS_DEVICE
    cp_async(void* smem_ptr, void const* global_ptr, bool pred_guard = true) {
        static_assert(cache_op == CacheOperation::Always || cache_op == CacheOperation::Global,
                      "cp.async caches at all levels or globally");
        if (pred_guard)
            ::vyr::cp_async_sized<SizeInBytes, cache_op == CacheOperation::Global>(smem_ptr, global_ptr,
                                                                                   SizeInBytes);
    }
};

// Copies SizeInBytes when the guard holds, writes zeros otherwise.
template <int SizeInBytes, CacheOperation::Kind cache_op = CacheOperation::Always>
struct cp_async_zfill {
    CUTLASS_DEVICE
    cp_async_zfill(void* smem_ptr, void const* global_ptr, bool pred_guard) {
        static_assert(cache_op == CacheOperation::Always || cache_op == CacheOperation::Global,
                      "cp.async caches at all levels or globally");
        ::vyr::cp_async_sized<SizeInBytes, cache_op == CacheOperation::Global>(smem_ptr, global_ptr,
                                                                               pred_guard ? SizeInBytes : 0);
    }
};

// Forms the library does not use; declared so that CUTLASS headers naming them still parse, and a kernel
// that instantiates one fails to compile.
template <int SizeInBytes, CacheOperation::Kind cache_op = CacheOperation::Always>
struct cp_async_nan;
template <typename Element, bool IsHermitianData = false>
struct cp_async_diag;

static const uint32_t OOB_NAN_F16 = 0x7eff;
static const uint32_t OOB_NAN_F16x2 = ((OOB_NAN_F16 << 16) | OOB_NAN_F16);

CUTLASS_DEVICE void cp_async_fence() {
    ::vyr::cp_async_commit();
}

template <int N>
CUTLASS_DEVICE void cp_async_wait() {
    ::vyr::cp_async_wait<N>();
}

}  // namespace arch
}  // namespace cutlass
