// The subset of the CUDA runtime API that libvyr and its callers use, with the vendor's C signatures, so that
// a host program written against the runtime links against libvyr_sim.so unchanged. Work is executed eagerly,
// in issue order, on the calling thread; "device" memory is host memory whose extent is tracked, so that
// copies and frees of pointers that were never allocated are refused as the real runtime refuses them.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>

#include "simt_internal.h"

namespace vyr_sim {
namespace {

const VyrSimDevice kDefaultDevice = {9, 0, 132, 232448, 0, 0, 0};
VyrSimLaunch g_last_launch = {};
VyrSimDevice g_device = kDefaultDevice;

thread_local cudaError_t t_last_error = cudaSuccess;

std::mutex& registry_mutex() {
    static std::mutex m;
    return m;
}
std::unordered_map<const void*, KernelInfo>& kernels() {
    static auto* k = new std::unordered_map<const void*, KernelInfo>();
    return *k;
}
std::map<const char*, size_t>& allocations() {
    static auto* a = new std::map<const char*, size_t>();
    return *a;
}
std::mutex& alloc_mutex() {
    static std::mutex m;
    return m;
}

cudaError_t fail(cudaError_t e) {
    if (e != cudaSuccess) t_last_error = e;
    return e;
}

// True when [p, p + n) overlaps a device allocation without lying inside it.
bool bad_device_range(const void* p, size_t n, bool must_be_device) {
    std::lock_guard<std::mutex> lock(alloc_mutex());
    auto& a = allocations();
    const char* c = static_cast<const char*>(p);
    auto it = a.upper_bound(c);
    if (it != a.begin()) {
        auto prev = std::prev(it);
        if (c < prev->first + prev->second) return c + n > prev->first + prev->second;
    }
    if (must_be_device && n > 0) return true;
    return it != a.end() && c + n > it->first;
}

struct Event {
    std::chrono::steady_clock::time_point t;
};

}  // namespace

KernelInfo* find_kernel(const void* fn) {
    std::lock_guard<std::mutex> lock(registry_mutex());
    auto it = kernels().find(fn);
    return it == kernels().end() ? nullptr : &it->second;
}

void register_kernel(const void* fn, const char* name, KernelEntry entry) {
    std::lock_guard<std::mutex> lock(registry_mutex());
    KernelInfo& k = kernels()[fn];
    if (k.fn == nullptr) {
        k.fn = fn;
        k.name = name;
        k.entry = entry;
    }
}

size_t static_smem(KernelInfo& k) {
    if (!k.static_smem_known) {
        k.static_smem = static_shared_bytes(k.fn);
        k.static_smem_known = true;
    }
    return k.static_smem;
}

size_t dynamic_smem_limit(KernelInfo& k) {
    if (k.dynamic_limit_raised) return k.raised_dynamic_limit;
    const size_t s = static_smem(k);
    return s < kDefaultDynamicSmem ? kDefaultDynamicSmem - s : 0;
}

VyrSimDevice& device() {
    return g_device;
}
std::mutex& launch_mutex() {
    static std::mutex m;
    return m;
}

}  // namespace vyr_sim

struct CUstream_st {
    int unused;
};
struct CUevent_st {
    std::chrono::steady_clock::time_point t;
};

using namespace vyr_sim;

extern "C" {

VYR_SIM_API void vyr_sim_get_device(VyrSimDevice* out) {
    *out = g_device;
}
VYR_SIM_API void vyr_sim_set_device(const VyrSimDevice* d) {
    g_device = *d;
}
VYR_SIM_API void vyr_sim_reset_device(void) {
    g_device = kDefaultDevice;
}
VYR_SIM_API void vyr_sim_last_launch(VyrSimLaunch* out) {
    std::lock_guard<std::mutex> lock(launch_mutex());
    *out = g_last_launch;
}

VYR_SIM_API cudaError_t cudaGetLastError(void) {
    cudaError_t e = sticky_fault() != cudaSuccess ? sticky_fault() : t_last_error;
    t_last_error = cudaSuccess;
    return e;
}
VYR_SIM_API cudaError_t cudaPeekAtLastError(void) {
    return sticky_fault() != cudaSuccess ? sticky_fault() : t_last_error;
}

VYR_SIM_API const char* cudaGetErrorName(cudaError_t e) {
    switch (e) {
        case cudaSuccess:
            return "cudaSuccess";
        case cudaErrorInvalidValue:
            return "cudaErrorInvalidValue";
        case cudaErrorMemoryAllocation:
            return "cudaErrorMemoryAllocation";
        case cudaErrorInvalidConfiguration:
            return "cudaErrorInvalidConfiguration";
        case cudaErrorInvalidDevice:
            return "cudaErrorInvalidDevice";
        case cudaErrorInvalidDeviceFunction:
            return "cudaErrorInvalidDeviceFunction";
        case cudaErrorInvalidResourceHandle:
            return "cudaErrorInvalidResourceHandle";
        case cudaErrorLaunchFailure:
            return "cudaErrorLaunchFailure";
        case cudaErrorNotSupported:
            return "cudaErrorNotSupported";
        case cudaErrorNoKernelImageForDevice:
            return "cudaErrorNoKernelImageForDevice";
        default:
            return "cudaErrorUnknown";
    }
}
VYR_SIM_API const char* cudaGetErrorString(cudaError_t e) {
    switch (e) {
        case cudaSuccess:
            return "no error";
        case cudaErrorInvalidValue:
            return "invalid argument";
        case cudaErrorMemoryAllocation:
            return "out of memory";
        case cudaErrorInvalidConfiguration:
            return "invalid configuration argument";
        case cudaErrorInvalidDevice:
            return "invalid device ordinal";
        case cudaErrorInvalidDeviceFunction:
            return "invalid device function";
        case cudaErrorInvalidResourceHandle:
            return "invalid resource handle";
        case cudaErrorLaunchFailure:
            return "unspecified launch failure";
        case cudaErrorNotSupported:
            return "operation not supported";
        case cudaErrorNoKernelImageForDevice:
            return "no kernel image is available for execution on the device";
        default:
            return "unrecognized error code";
    }
}

VYR_SIM_API cudaError_t cudaMalloc(void** p, size_t size) {
    if (!p) return fail(cudaErrorInvalidValue);
    *p = nullptr;
    if (size == 0) return cudaSuccess;
    // Exact size, so that AddressSanitizer sees a kernel that reads one element past the end.
    void* mem = nullptr;
    if (posix_memalign(&mem, 256, size) != 0) return fail(cudaErrorMemoryAllocation);
    std::lock_guard<std::mutex> lock(alloc_mutex());
    allocations()[static_cast<const char*>(mem)] = size;
    *p = mem;
    return cudaSuccess;
}
VYR_SIM_API cudaError_t cudaFree(void* p) {
    if (!p) return cudaSuccess;
    std::lock_guard<std::mutex> lock(alloc_mutex());
    auto it = allocations().find(static_cast<const char*>(p));
    if (it == allocations().end()) return fail(cudaErrorInvalidValue);
    allocations().erase(it);
    std::free(p);
    return cudaSuccess;
}
VYR_SIM_API cudaError_t cudaMallocHost(void** p, size_t size) {
    if (!p) return fail(cudaErrorInvalidValue);
    *p = std::malloc(size ? size : 1);
    return *p ? cudaSuccess : fail(cudaErrorMemoryAllocation);
}
VYR_SIM_API cudaError_t cudaFreeHost(void* p) {
    std::free(p);
    return cudaSuccess;
}
VYR_SIM_API cudaError_t cudaMemGetInfo(size_t* free_bytes, size_t* total) {
    if (free_bytes) *free_bytes = size_t(16) << 30;
    if (total) *total = size_t(16) << 30;
    return cudaSuccess;
}

VYR_SIM_API cudaError_t cudaMemcpy(void* dst, const void* src, size_t n, cudaMemcpyKind kind) {
    if (n == 0) return cudaSuccess;
    if (!dst || !src) return fail(cudaErrorInvalidValue);
    const bool dst_dev = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDeviceToDevice;
    const bool src_dev = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDeviceToDevice;
    if (bad_device_range(dst, n, dst_dev) || bad_device_range(src, n, src_dev))
        return fail(cudaErrorInvalidValue);
    std::memmove(dst, src, n);
    return cudaSuccess;
}
VYR_SIM_API cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t n, cudaMemcpyKind kind,
                                        cudaStream_t) {
    return cudaMemcpy(dst, src, n, kind);
}
VYR_SIM_API cudaError_t cudaMemset(void* p, int value, size_t n) {
    if (n == 0) return cudaSuccess;
    if (!p || bad_device_range(p, n, true)) return fail(cudaErrorInvalidValue);
    std::memset(p, value, n);
    return cudaSuccess;
}
VYR_SIM_API cudaError_t cudaMemsetAsync(void* p, int value, size_t n, cudaStream_t) {
    return cudaMemset(p, value, n);
}

VYR_SIM_API cudaError_t cudaStreamCreate(cudaStream_t* s) {
    if (!s) return fail(cudaErrorInvalidValue);
    *s = new CUstream_st{};
    return cudaSuccess;
}
VYR_SIM_API cudaError_t cudaStreamCreateWithFlags(cudaStream_t* s, unsigned int) {
    return cudaStreamCreate(s);
}
VYR_SIM_API cudaError_t cudaStreamDestroy(cudaStream_t s) {
    if (!s) return fail(cudaErrorInvalidResourceHandle);
    delete s;
    return cudaSuccess;
}
VYR_SIM_API cudaError_t cudaStreamSynchronize(cudaStream_t) {
    return sticky_fault();
}
VYR_SIM_API cudaError_t cudaDeviceSynchronize(void) {
    return sticky_fault();
}
VYR_SIM_API cudaError_t cudaDeviceReset(void) {
    clear_fault();
    t_last_error = cudaSuccess;
    return cudaSuccess;
}

VYR_SIM_API cudaError_t cudaEventCreate(cudaEvent_t* e) {
    if (!e) return fail(cudaErrorInvalidValue);
    *e = new CUevent_st{};
    return cudaSuccess;
}
VYR_SIM_API cudaError_t cudaEventCreateWithFlags(cudaEvent_t* e, unsigned int) {
    return cudaEventCreate(e);
}
VYR_SIM_API cudaError_t cudaEventDestroy(cudaEvent_t e) {
    delete e;
    return cudaSuccess;
}
VYR_SIM_API cudaError_t cudaEventRecord(cudaEvent_t e, cudaStream_t) {
    if (!e) return fail(cudaErrorInvalidResourceHandle);
    e->t = std::chrono::steady_clock::now();
    return cudaSuccess;
}
VYR_SIM_API cudaError_t cudaEventSynchronize(cudaEvent_t) {
    return sticky_fault();
}
VYR_SIM_API cudaError_t cudaEventElapsedTime(float* ms, cudaEvent_t start, cudaEvent_t end) {
    if (!ms || !start || !end) return fail(cudaErrorInvalidValue);
    *ms = std::chrono::duration<float, std::milli>(end->t - start->t).count();
    return cudaSuccess;
}

VYR_SIM_API cudaError_t cudaGetDeviceCount(int* n) {
    if (!n) return fail(cudaErrorInvalidValue);
    *n = 1;
    return cudaSuccess;
}
VYR_SIM_API cudaError_t cudaGetDevice(int* d) {
    if (!d) return fail(cudaErrorInvalidValue);
    if (g_device.fail_get_device) return fail(cudaErrorInvalidDevice);
    *d = 0;
    return cudaSuccess;
}
VYR_SIM_API cudaError_t cudaSetDevice(int d) {
    return d == 0 ? cudaSuccess : fail(cudaErrorInvalidDevice);
}
VYR_SIM_API cudaError_t cudaDriverGetVersion(int* v) {
    if (!v) return fail(cudaErrorInvalidValue);
    *v = CUDART_VERSION;
    return cudaSuccess;
}
VYR_SIM_API cudaError_t cudaRuntimeGetVersion(int* v) {
    return cudaDriverGetVersion(v);
}

VYR_SIM_API cudaError_t cudaDeviceGetAttribute(int* value, cudaDeviceAttr attr, int dev) {
    if (!value) return fail(cudaErrorInvalidValue);
    if (dev != 0) return fail(cudaErrorInvalidDevice);
    if (g_device.fail_attribute != 0 && g_device.fail_attribute == (int)attr)
        return fail(cudaErrorInvalidDevice);
    switch (attr) {
        case cudaDevAttrMultiProcessorCount:
            *value = g_device.multiprocessors;
            break;
        case cudaDevAttrComputeCapabilityMajor:
            *value = g_device.cc_major;
            break;
        case cudaDevAttrComputeCapabilityMinor:
            *value = g_device.cc_minor;
            break;
        case cudaDevAttrMaxSharedMemoryPerBlockOptin:
            *value = g_device.smem_optin;
            break;
        case cudaDevAttrMaxSharedMemoryPerBlock:
            *value = (int)kDefaultDynamicSmem;
            break;
        case cudaDevAttrMaxThreadsPerBlock:
            *value = 1024;
            break;
        case cudaDevAttrMaxThreadsPerMultiProcessor:
            *value = 2048;
            break;
        case cudaDevAttrWarpSize:
            *value = 32;
            break;
        case cudaDevAttrMaxBlockDimX:
        case cudaDevAttrMaxBlockDimY:
            *value = 1024;
            break;
        case cudaDevAttrMaxBlockDimZ:
            *value = 64;
            break;
        case cudaDevAttrMaxGridDimX:
            *value = 0x7fffffff;
            break;
        case cudaDevAttrMaxGridDimY:
        case cudaDevAttrMaxGridDimZ:
            *value = 65535;
            break;
        case cudaDevAttrMaxSharedMemoryPerMultiprocessor:
            *value = g_device.smem_optin + 1024;
            break;
        default:
            return fail(cudaErrorInvalidValue);
    }
    return cudaSuccess;
}

VYR_SIM_API cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int dev) {
    if (!prop) return fail(cudaErrorInvalidValue);
    if (dev != 0) return fail(cudaErrorInvalidDevice);
    std::memset(prop, 0, sizeof *prop);
    std::snprintf(prop->name, sizeof prop->name, "vyr CPU simulator");
    prop->major = g_device.cc_major;
    prop->minor = g_device.cc_minor;
    prop->multiProcessorCount = g_device.multiprocessors;
    prop->sharedMemPerBlock = kDefaultDynamicSmem;
    prop->sharedMemPerBlockOptin = (size_t)g_device.smem_optin;
    prop->maxThreadsPerBlock = 1024;
    prop->warpSize = 32;
    prop->totalGlobalMem = size_t(16) << 30;
    return cudaSuccess;
}

VYR_SIM_API cudaError_t cudaFuncSetAttribute(const void* func, cudaFuncAttribute attr, int value) {
    KernelInfo* k = find_kernel(func);
    if (!k) return fail(cudaErrorInvalidDeviceFunction);
    if (attr == cudaFuncAttributeMaxDynamicSharedMemorySize) {
        // The static bytes come out of the same opt-in maximum.
        if (value < 0 || (size_t)value + static_smem(*k) > (size_t)g_device.smem_optin ||
            g_device.refuse_smem_attribute)
            return fail(cudaErrorInvalidValue);
        k->dynamic_limit_raised = true;
        k->raised_dynamic_limit = (size_t)value;
        return cudaSuccess;
    }
    if (attr == cudaFuncAttributePreferredSharedMemoryCarveout) return cudaSuccess;
    return fail(cudaErrorInvalidValue);
}

VYR_SIM_API cudaError_t cudaFuncGetAttributes(cudaFuncAttributes* attr, const void* func) {
    if (!attr) return fail(cudaErrorInvalidValue);
    KernelInfo* k = find_kernel(func);
    if (!k) return fail(cudaErrorInvalidDeviceFunction);
    std::memset(attr, 0, sizeof *attr);
    attr->sharedSizeBytes = static_smem(*k);
    attr->maxDynamicSharedSizeBytes = (int)dynamic_smem_limit(*k);
    attr->maxThreadsPerBlock = 1024;
    attr->binaryVersion = attr->ptxVersion = g_device.cc_major * 10 + g_device.cc_minor;
    return cudaSuccess;
}

VYR_SIM_API cudaError_t cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(int* n, const void* func,
                                                                               int block, size_t smem,
                                                                               unsigned int) {
    if (!n) return fail(cudaErrorInvalidValue);
    KernelInfo* k = find_kernel(func);
    if (!k) return fail(cudaErrorInvalidDeviceFunction);
    if (block <= 0 || block > 1024) return fail(cudaErrorInvalidValue);
    // Threads and block slots of a Hopper-class multiprocessor; registers are not modelled. Each resident
    // block also costs the 1 KiB of shared memory the hardware reserves for it.
    const int warps = (block + 31) / 32;
    int blocks = std::min(64 / warps, 32);
    const size_t per_sm = (size_t)g_device.smem_optin + 1024;
    blocks = std::min<long long>(blocks, (long long)(per_sm / (smem + static_smem(*k) + 1024)));
    *n = blocks;
    return cudaSuccess;
}
VYR_SIM_API cudaError_t cudaOccupancyMaxActiveBlocksPerMultiprocessor(int* n, const void* func, int block,
                                                                      size_t smem) {
    return cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(n, func, block, smem, 0);
}

VYR_SIM_API cudaError_t cudaLaunchKernel(const void* func, dim3 grid, dim3 block, void** args, size_t smem,
                                         cudaStream_t) {
    if (sticky_fault() != cudaSuccess) return fail(sticky_fault());
    KernelInfo* k = find_kernel(func);
    if (!k) return fail(cudaErrorInvalidDeviceFunction);
    const unsigned long long threads = (unsigned long long)block.x * block.y * block.z;
    if (block.x == 0 || block.y == 0 || block.z == 0 || block.x > 1024 || block.y > 1024 || block.z > 64 ||
        threads > 1024 || grid.x == 0 || grid.y == 0 || grid.z == 0 || grid.x > 0x7fffffffu ||
        grid.y > 65535 || grid.z > 65535)
        return fail(cudaErrorInvalidConfiguration);
    // Static and dynamic shared memory share the per-block limit (48 KiB unless the kernel raised it).
    if (smem > dynamic_smem_limit(*k)) return fail(cudaErrorInvalidValue);
    std::lock_guard<std::mutex> lock(launch_mutex());
    g_last_launch = {g_last_launch.count + 1, {grid.x, grid.y, grid.z}, {block.x, block.y, block.z}, smem};
    run_grid(*k, grid, block, smem, args);
    return cudaSuccess;
}

}  // extern "C"
