// host_cutlass_lstm: picks the tensor-core LSTM variant for the call and the device. The kernels and their
// launch checks are in cutlass_lstm_kernel.cuh (general path) and cutlass_lstm_brf.cu (the 384 path).
#include "cutlass_lstm.h"

#include "frame.cuh"

namespace vyr {

int get_device_multiprocessor_count() {
    int processors = 0;
    return device_attribute(cudaDevAttrMultiProcessorCount, &processors) == cudaSuccess ? processors : 0;
}

}  // namespace vyr

using namespace vyr;

VYR_API void host_cutlass_lstm(cudaStream_t stream, int type, int unused, int M, int L, int T, int direction,
                               int lda, void* seq, const void* weights, const __half* bias,
                               const __half* scale, __half* cell, void* workspace, int interleave, int brf) {
    int smem_optin = 0, processors = 0, major = 0, minor = 0;
    if (device_attribute(cudaDevAttrMaxSharedMemoryPerBlockOptin, &smem_optin) != cudaSuccess ||
        device_attribute(cudaDevAttrMultiProcessorCount, &processors) != cudaSuccess ||
        device_attribute(cudaDevAttrComputeCapabilityMajor, &major) != cudaSuccess ||
        device_attribute(cudaDevAttrComputeCapabilityMinor, &minor) != cudaSuccess)
        return;
    const int column = interleave == 0 ? 0 : interleave == 32 ? 1 : interleave == 64 ? 2 : -1;
    if (column < 0) lstm_fail("Cutlass LSTM: Invalid interleave value %d\n", interleave);

    const LstmCall call{stream, unused, M, L, T, direction, lda, seq, weights, bias, scale, cell, workspace};
    if (L == 384 && brf >= 0 && type == VYR_TYPE_INT8) {
        kLstmBrfRunners[column](call, smem_optin);
        return;
    }
    if (brf > 0) lstm_fail("%s", "Vyr Cutlass LSTM: cannot force BRF\n");
    const LstmRunner* runners = type == VYR_TYPE_HALF   ? kLstmHalfRunners[column]
                                : type == VYR_TYPE_INT8 ? kLstmInt8Runners[column]
                                                        : nullptr;
    if (!runners) return;
    if (runners[0](call, smem_optin) || runners[1](call, smem_optin)) return;
    lstm_fail("%s", "Vyr Cutlass LSTM: insufficient shared memory\n");
}
