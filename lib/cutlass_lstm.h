// The tensor-core LSTM family's host-side pieces that need no CUTLASS: the arguments of one call, the
// variant table's entry type and the tables themselves (defined by the units that instantiate the kernels,
// so that the selection in cutlass_lstm.cu compiles without them).
#pragma once

#include <cuda_runtime_api.h>

#include <cstdio>
#include <cstdlib>

#include "vyr.h"

namespace vyr {

constexpr const char* kLstmBatchMsg = "Cutlass LSTM: Unsupported batch size, must be multiple of %d: %d\n";
constexpr const char* kLstmLayerMsg =
    "Cutlass LSTM: Unsupported layer size, must be multiple of %d, and <%d: %d\n";

// Fatal configuration errors end the process, as the family's callers expect.
template <class... A>
[[noreturn]] void lstm_fail(const char* format, A... values) {
    std::fprintf(stderr, format, values...);
    std::exit(1);
}

// The current device's multiprocessor count, 0 when it cannot be queried.
int get_device_multiprocessor_count();

// One call of host_cutlass_lstm, as its arguments arrive.
struct LstmCall {
    cudaStream_t stream;
    int unused;
    int M, L, T, direction, lda;
    void* seq;
    const void* weights;
    const __half* bias;
    const __half* scale;
    __half* cell;
    void* workspace;
};

// Launches one variant; false when the device's opt-in shared memory per block is below what it needs. A
// configuration it cannot run ends the process with the family's message.
using LstmRunner = bool (*)(const LstmCall& call, int smem_optin);

// Indexed [interleave 0, 32, 64][3-stage, 2-stage].
extern const LstmRunner kLstmHalfRunners[3][2];
extern const LstmRunner kLstmInt8Runners[3][2];
// The 384 path, indexed by interleave 0, 32, 64.
extern const LstmRunner kLstmBrfRunners[3];

}  // namespace vyr
