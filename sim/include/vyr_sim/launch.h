// Kernel registration for the simulator's cudaLaunchKernel: the runtime receives a kernel as an address and
// its arguments as an array of pointers, so each kernel registers an entry that knows its parameter types.
#pragma once

#include <tuple>
#include <utility>

namespace vyr_sim {

using KernelEntry = void (*)(const void* fn, void** args);
void register_kernel(const void* fn, const char* name, KernelEntry entry);

// Runs on every simulated thread: each gets its own copy of the by-value parameters, as on the GPU.
template <class... P, std::size_t... I>
void kernel_entry_impl(void (*kernel)(P...), void** args, std::index_sequence<I...>) {
    std::tuple<std::decay_t<P>...> copies(*static_cast<std::decay_t<P>*>(args[I])...);
    std::apply(kernel, copies);
}
template <class... P>
void kernel_entry(const void* fn, void** args) {
    auto kernel = reinterpret_cast<void (*)(P...)>(const_cast<void*>(fn));
    kernel_entry_impl(kernel, args, std::index_sequence_for<P...>{});
}

template <class... P>
void register_kernel(void (*fn)(P...), const char* name) {
    register_kernel(reinterpret_cast<const void*>(fn), name, &kernel_entry<P...>);
}

}  // namespace vyr_sim
