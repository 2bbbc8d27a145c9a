// Tensor-core LSTM layers (host_cutlass_lstm) over T = 1000 steps at basecaller sizes, against cuDNN's LSTM
// of the same size and precision (half data, tensor-core math, one layer, input and recurrent products both
// inside the call) where the GPU build finds cuDNN. The 8-bit 384 path is compared with cuDNN's half LSTM of
// that size, cuDNN having no 8-bit LSTM. Rates count sequence-steps per second. --quick shrinks the shapes so
// that the simulator finishes in seconds (no peer there).
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench.h"
#include "vyr.h"

#if defined(VYR_HAVE_CUDNN)
#include <cudnn.h>
#endif

namespace {

void* device_random(std::mt19937& gen, size_t bytes, bool int8, float bound) {
    std::vector<unsigned char> host(bytes);
    if (int8) {
        std::uniform_int_distribution<int> d(-127, 127);
        for (unsigned char& b : host) b = (unsigned char)(signed char)d(gen);
    } else {
        std::uniform_real_distribution<float> d(-bound, bound);
        for (size_t i = 0; i + 1 < bytes; i += 2) {
            const __half h = __float2half(d(gen));
            std::memcpy(&host[i], &h, 2);
        }
    }
    void* p = nullptr;
    vyr_bench::check(cudaMalloc(&p, bytes), "cudaMalloc");
    vyr_bench::check(cudaMemcpy(p, host.data(), bytes, cudaMemcpyHostToDevice), "cudaMemcpy");
    return p;
}

#if defined(VYR_HAVE_CUDNN)
void check_cudnn(cudnnStatus_t s, const char* what) {
    if (s != CUDNN_STATUS_SUCCESS) {
        std::fprintf(stderr, "%s: %s\n", what, cudnnGetErrorString(s));
        std::exit(1);
    }
}

// Milliseconds per call of cuDNN's forward LSTM inference over the whole sequence, N x H half.
double cudnn_lstm_ms(std::mt19937& gen, cudaStream_t stream, int N, int H, int T, int iters) {
    cudnnHandle_t handle;
    check_cudnn(cudnnCreate(&handle), "cudnnCreate");
    check_cudnn(cudnnSetStream(handle, stream), "cudnnSetStream");
    cudnnRNNDescriptor_t rnn;
    check_cudnn(cudnnCreateRNNDescriptor(&rnn), "cudnnCreateRNNDescriptor");
    check_cudnn(
        cudnnSetRNNDescriptor_v8(rnn, CUDNN_RNN_ALGO_STANDARD, CUDNN_LSTM, CUDNN_RNN_SINGLE_INP_BIAS,
                                 CUDNN_UNIDIRECTIONAL, CUDNN_LINEAR_INPUT, CUDNN_DATA_HALF, CUDNN_DATA_HALF,
                                 CUDNN_TENSOR_OP_MATH, H, H, H, 1, nullptr, CUDNN_RNN_PADDED_IO_DISABLED),
        "cudnnSetRNNDescriptor_v8");
    std::vector<int> lengths(N, T);
    cudnnRNNDataDescriptor_t x_desc, y_desc;
    check_cudnn(cudnnCreateRNNDataDescriptor(&x_desc), "cudnnCreateRNNDataDescriptor");
    check_cudnn(cudnnCreateRNNDataDescriptor(&y_desc), "cudnnCreateRNNDataDescriptor");
    for (cudnnRNNDataDescriptor_t d : {x_desc, y_desc})
        check_cudnn(cudnnSetRNNDataDescriptor(d, CUDNN_DATA_HALF, CUDNN_RNN_DATA_LAYOUT_SEQ_MAJOR_UNPACKED, T,
                                              N, H, lengths.data(), nullptr),
                    "cudnnSetRNNDataDescriptor");
    cudnnTensorDescriptor_t state_desc;
    check_cudnn(cudnnCreateTensorDescriptor(&state_desc), "cudnnCreateTensorDescriptor");
    const int dims[3] = {1, N, H}, strides[3] = {N * H, H, 1};
    check_cudnn(cudnnSetTensorNdDescriptor(state_desc, CUDNN_DATA_HALF, 3, dims, strides),
                "cudnnSetTensorNdDescriptor");
    size_t weight_bytes = 0, work_bytes = 0, reserve_bytes = 0;
    check_cudnn(cudnnGetRNNWeightSpaceSize(handle, rnn, &weight_bytes), "cudnnGetRNNWeightSpaceSize");
    check_cudnn(
        cudnnGetRNNTempSpaceSizes(handle, rnn, CUDNN_FWD_MODE_INFERENCE, x_desc, &work_bytes, &reserve_bytes),
        "cudnnGetRNNTempSpaceSizes");
    const size_t seq_bytes = (size_t)T * N * H * sizeof(__half);
    void* x = device_random(gen, seq_bytes, false, 1.0f);
    void* y = device_random(gen, seq_bytes, false, 1.0f);
    void* weights = device_random(gen, weight_bytes, false, 0.05f);
    void *work = nullptr, *lengths_device = nullptr;
    vyr_bench::check(cudaMalloc(&work, work_bytes ? work_bytes : 1), "cudaMalloc");
    vyr_bench::check(cudaMalloc(&lengths_device, N * sizeof(int)), "cudaMalloc");
    vyr_bench::check(cudaMemcpy(lengths_device, lengths.data(), N * sizeof(int), cudaMemcpyHostToDevice),
                     "cudaMemcpy");
    const double ms = vyr_bench::time_ms(stream, 2, iters, [&](cudaStream_t) {
        check_cudnn(cudnnRNNForward(handle, rnn, CUDNN_FWD_MODE_INFERENCE, static_cast<int*>(lengths_device),
                                    x_desc, x, y_desc, y, state_desc, nullptr, nullptr, state_desc, nullptr,
                                    nullptr, weight_bytes, weights, work_bytes, work, 0, nullptr),
                    "cudnnRNNForward");
    });
    for (void* p : {x, y, weights, work, lengths_device}) cudaFree(p);
    cudnnDestroyTensorDescriptor(state_desc);
    cudnnDestroyRNNDataDescriptor(x_desc);
    cudnnDestroyRNNDataDescriptor(y_desc);
    cudnnDestroyRNNDescriptor(rnn);
    cudnnDestroy(handle);
    return ms;
}
#endif

// Milliseconds per call of host_cutlass_lstm forward over the whole sequence.
double our_lstm_ms(std::mt19937& gen, cudaStream_t stream, int type, int N, int H, int T, int brf,
                   int iters) {
    const bool int8 = type == VYR_TYPE_INT8;
    const size_t element = int8 ? 1 : 2;
    const size_t seq_bytes = (size_t)(T + 3) * N * H * element;
    void* seq = device_random(gen, seq_bytes, int8, 1.0f);
    void* weights = device_random(gen, (size_t)8 * H * H * element, int8, 0.05f);
    void* bias = device_random(gen, (size_t)4 * H * 2, false, 0.5f);
    void* scale = nullptr;
    std::vector<__half> scales(4 * H, __float2half(400.0f));
    vyr_bench::check(cudaMalloc(&scale, scales.size() * 2), "cudaMalloc");
    vyr_bench::check(cudaMemcpy(scale, scales.data(), scales.size() * 2, cudaMemcpyHostToDevice),
                     "cudaMemcpy");
    void *cell = nullptr, *workspace = nullptr;
    vyr_bench::check(cudaMalloc(&cell, (size_t)N * H * 2), "cudaMalloc");
    vyr_bench::check(cudaMemset(cell, 0, (size_t)N * H * 2), "cudaMemset");
    vyr_bench::check(cudaMalloc(&workspace, 4096), "cudaMalloc");
    const double ms = vyr_bench::time_ms(stream, 1, iters, [&](cudaStream_t s) {
        host_cutlass_lstm(s, type, 0, N, H, T, 1, H, seq, weights, static_cast<const __half*>(bias),
                          static_cast<const __half*>(scale), static_cast<__half*>(cell), workspace, 0, brf);
    });
    vyr_bench::check(cudaGetLastError(), "host_cutlass_lstm");
    if (!int8)
        vyr_bench::check_output(static_cast<const __half*>(seq) + (size_t)N * H, (size_t)N * H,
                                "cutlass_lstm");
    for (void* p : {seq, weights, bias, scale, cell, workspace}) cudaFree(p);
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    vyr_bench::print_device();
    std::mt19937 gen(7);
    cudaStream_t stream;
    vyr_bench::check(cudaStreamCreate(&stream), "cudaStreamCreate");
    struct Case {
        int type, H, N, brf;
    };
    const std::vector<Case> cases =
        quick ? std::vector<Case>{{VYR_TYPE_HALF, 64, 64, -1}, {VYR_TYPE_INT8, 128, 64, -1}}
              : std::vector<Case>{{VYR_TYPE_HALF, 128, 64, -1},   {VYR_TYPE_HALF, 256, 256, -1},
                                  {VYR_TYPE_HALF, 384, 512, -1},  {VYR_TYPE_HALF, 512, 512, -1},
                                  {VYR_TYPE_HALF, 768, 1024, -1}, {VYR_TYPE_HALF, 1024, 1024, -1},
                                  {VYR_TYPE_INT8, 384, 512, 1},   {VYR_TYPE_INT8, 512, 512, -1}};
    const int T = quick ? 2 : 1000, iters = quick ? 1 : 3;
    for (const Case& c : cases) {
        const std::string name = std::string("cutlass_lstm ") + (c.type == VYR_TYPE_HALF ? "half" : "int8") +
                                 (c.brf > 0 ? " (384 path)" : "") + " H=" + std::to_string(c.H) +
                                 " N=" + std::to_string(c.N) + " T=" + std::to_string(T);
        const double ours = our_lstm_ms(gen, stream, c.type, c.N, c.H, T, c.brf, iters);
        vyr_bench::report(name.c_str(), ours, (double)c.N * T / (ours * 1e-3), "steps/s");
#if defined(VYR_HAVE_CUDNN)
        const double peer = cudnn_lstm_ms(gen, stream, c.N, c.H, T, iters);
        vyr_bench::report_vs(name.c_str(), ours, "cuDNN LSTM half", peer);
#endif
    }
    cudaStreamDestroy(stream);
    return 0;
}
