// Availability and sanity queries: which transformer family the current device can run.
#include "frame.cuh"

namespace {

// Major version of the current device, or -1 when it cannot be queried.
int compute_capability_major() {
    int major = 0;
    return vyr::device_attribute(cudaDevAttrComputeCapabilityMajor, &major) == cudaSuccess ? major : -1;
}

}  // namespace

VYR_API int vyr_tc_is_available(void) {
    return compute_capability_major() >= 8 ? VyrSuccess : VyrUnsupported;
}

VYR_API int vyr_volta_tc_is_available(void) {
    if (compute_capability_major() != 7) return VyrUnsupported;
    int minor = -1;
    if (vyr::device_attribute(cudaDevAttrComputeCapabilityMinor, &minor) != cudaSuccess)
        return VyrUnsupported;
    return minor == 0 ? VyrSuccess : VyrUnsupported;
}

VYR_API int sanity_test(void) {
    return VyrSuccess;
}

VYR_API int host_cublas_gemm_f16(cudaStream_t, int, int, int, const __half*, const __half*, __half*) {
    return VyrUnsupported;
}
