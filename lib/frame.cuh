// The call frame every exported function follows: check the arguments, query the device (on every call:
// the caller may switch devices between calls, so nothing is cached), pick a variant from the family's
// explicit table, raise the dynamic shared-memory limit where needed, enqueue on the caller's stream, return
// a status.
#pragma once

#include <cuda_runtime_api.h>

#include <cstddef>
#include <cstdio>
#include <tuple>
#include <type_traits>
#include <utility>

#include "intrinsics.cuh"
#include "vyr.h"

#if defined(VYR_SIM)
#include "vyr_sim/launch.h"
#endif

namespace vyr {

// Messages for a refused shared-memory opt-in; the argument is the requested byte count.
constexpr const char* kSmemMsgAttention = "Vyr masked attention: failed to set smem size %d\n";
constexpr const char* kSmemMsgRmsNorm = "Vyr RMSNorm residual: failed to set smem size %d\n";
constexpr const char* kSmemMsgLstm = "Vyr LSTM: failed to set smem size %d\n";
constexpr const char* kSmemMsgCutlass = "Vyr Cutlass kernel: failed to set smem size %d\n";

constexpr size_t kDefaultSmemLimit = 48 * 1024;

// Parameters that a fixed kernel signature carries but this kernel does not read.
template <class... T>
__host__ __device__ constexpr void unused(const T&...) {}

template <class A, class B>
__host__ __device__ constexpr auto ceil_div(A a, B b) {
    return (a + b - 1) / b;
}

// A kernel and its name, for the simulator's diagnostics. Make one with VYR_KERNEL(kernel).
template <class... P>
struct Kernel {
    void (*fn)(P...);
    const char* name;
    const void* address() const { return reinterpret_cast<const void*>(fn); }
};
template <class... P>
Kernel<P...> make_kernel(void (*fn)(P...), const char* name) {
#if defined(VYR_SIM)
    vyr_sim::register_kernel(fn, name);
#endif
    return Kernel<P...>{fn, name};
}
#define VYR_KERNEL(...) ::vyr::make_kernel(__VA_ARGS__, #__VA_ARGS__)

// Kernels exported under their plain names may be launched by callers through cudaLaunchKernel without any
// library call first; the simulator must know them from load time on (the GPU runtime registers them itself).
#if defined(VYR_SIM)
#define VYR_REGISTER_KERNEL(k) \
    static const bool vyr_registered_##k = (::vyr_sim::register_kernel(k, #k), true)
#else
#define VYR_REGISTER_KERNEL(k) static_assert(true, "")
#endif

template <class... P, class Tuple, std::size_t... I>
cudaError_t launch_with(const Kernel<P...>& k, dim3 grid, dim3 block, size_t smem, cudaStream_t stream,
                        Tuple& values, std::index_sequence<I...>) {
    void* args[] = {static_cast<void*>(&std::get<I>(values))..., nullptr};
    return cudaLaunchKernel(k.address(), grid, block, args, smem, stream);
}

// Enqueues k with the arguments converted to its parameter types. A configuration the runtime refuses runs
// nothing; the error is returned and left in the runtime's last-error state.
template <class... P, class... A>
cudaError_t launch(const Kernel<P...>& k, dim3 grid, dim3 block, size_t smem, cudaStream_t stream,
                   A&&... args) {
    static_assert(sizeof...(P) == sizeof...(A), "argument count differs from the kernel's parameter count");
    std::tuple<std::decay_t<P>...> values(std::forward<A>(args)...);
    return launch_with(k, grid, block, smem, stream, values, std::index_sequence_for<P...>{});
}

// cudaGetDevice, then one attribute of that device.
inline cudaError_t device_attribute(cudaDeviceAttr attr, int* value) {
    int device = 0;
    cudaError_t e = cudaGetDevice(&device);
    if (e != cudaSuccess) return e;
    return cudaDeviceGetAttribute(value, attr, device);
}

// Runs a runtime call whose failure the caller reports in its own way, so that the failure is not also left
// behind for the caller's next error query. An error that was already pending stays pending.
template <class F>
cudaError_t quietly(F call) {
    const cudaError_t pending = cudaPeekAtLastError();
    const cudaError_t e = call();
    if (e != cudaSuccess && pending == cudaSuccess) cudaGetLastError();
    return e;
}

// The one place where a family raises a kernel's dynamic shared-memory limit. The runtime counts the
// kernel's static __shared__ bytes against the same per-block limit (48 KiB unless raised), so a launch whose
// static + dynamic bytes exceed 48 KiB needs the raise even when the dynamic bytes alone do not. Prints
// `failure_format` (one of the kSmemMsg texts, or nullptr for none) when the runtime refuses; the launch that
// follows would then be refused too.
template <class... P>
bool allow_dynamic_smem(const Kernel<P...>& k, size_t bytes, const char* failure_format) {
    cudaFuncAttributes attr{};
    const size_t static_bytes =
        quietly([&] { return cudaFuncGetAttributes(&attr, k.address()); }) == cudaSuccess
            ? attr.sharedSizeBytes
            : 0;
    if (static_bytes + bytes <= kDefaultSmemLimit) return true;
    if (quietly([&] {
            return cudaFuncSetAttribute(k.address(), cudaFuncAttributeMaxDynamicSharedMemorySize, (int)bytes);
        }) == cudaSuccess)
        return true;
    if (failure_format) std::fprintf(stderr, failure_format, (int)bytes);
    return false;
}

// The result conventions of the exported functions, one helper each (the table at the top of vyr.h says which
// function follows which). A refused launch is seen by the runtime's error state, never by a return value of
// launch() that a wrapper inspects.
//   VyrStatus:                      the wrapper returns VyrSuccess / VyrUnsupported itself.
//   the cleared runtime error:      cleared_error()
//   the peeked runtime error:       peeked_error()
//   after a device-wide wait:       synchronized_error()
inline int cleared_error() {
    return (int)cudaGetLastError();
}
inline int peeked_error() {
    return (int)cudaPeekAtLastError();
}
inline int synchronized_error() {
    cudaDeviceSynchronize();
    return (int)cudaGetLastError();
}

}  // namespace vyr
