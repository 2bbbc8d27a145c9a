// The simulator's view of CUTLASS's helper macros: CUTLASS's own, except that an operation without a body
// here stops the kernel with a report instead of an assert that release builds compile away.
#pragma once

#include_next "cutlass/detail/helper_macros.hpp"

#include <string>

namespace vyr_sim {
[[noreturn]] inline void cutlass_not_implemented(const char* function) {
    kernel_fault((std::string("CUTLASS operation without a simulator body: ") + function).c_str());
}
}  // namespace vyr_sim

#undef CUTLASS_NOT_IMPLEMENTED
#define CUTLASS_NOT_IMPLEMENTED() ::vyr_sim::cutlass_not_implemented(__PRETTY_FUNCTION__)
