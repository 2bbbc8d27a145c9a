// The simulator's cutlass/device_kernel.h: the generic kernel entries, with the dynamic shared memory of the
// simulator's launch in place of CUTLASS's `extern __shared__` array (which a host compiler cannot place).
#pragma once

#include "cutlass/cutlass.h"
#include "cutlass/detail/helper_macros.hpp"

#if !defined(CUTLASS_GRID_CONSTANT)
#define CUTLASS_GRID_CONSTANT
#endif

namespace cutlass {

template <typename T>
struct Type2Type {
    using type = T;
};
template <typename T>
struct GetUnderlyingKernel : public Type2Type<T> {};
template <uint64_t shader_guid, unsigned index, template <uint64_t, unsigned> class Wrapper>
struct GetUnderlyingKernel<Wrapper<shader_guid, index>> : public Wrapper<shader_guid, index> {};
template <typename T>
using GetUnderlyingKernel_t = typename GetUnderlyingKernel<T>::type;

template <typename Operator>
CUTLASS_GLOBAL void Kernel(typename Operator::Params params) {
    auto* shared_storage = static_cast<typename Operator::SharedStorage*>(::vyr_sim::dynamic_smem());
    Operator op;
    op(params, *shared_storage);
}

template <typename Operator>
CUTLASS_GLOBAL void Kernel2(typename Operator::Params params) {
    auto* shared_storage = static_cast<typename Operator::SharedStorage*>(::vyr_sim::dynamic_smem());
    Operator::invoke(params, *shared_storage);
}

template <typename Operator>
CUTLASS_GLOBAL void device_kernel(CUTLASS_GRID_CONSTANT typename Operator::Params const params) {
    Operator op;
    op(params, static_cast<char*>(::vyr_sim::dynamic_smem()));
}

}  // namespace cutlass
