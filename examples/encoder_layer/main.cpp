// One transformer encoder layer on the tiled layout, composed from libvyr calls on one stream:
//   x -> QKV + rotary -> banded attention -> linear -> RMSNorm(+x) = h -> SwiGLU -> linear -> RMSNorm(+h).
// Activations stay in device memory between the calls; each call sees the same buffer through a descriptor
// naming the dimensions it expects. Weights are random here; a real model loads them in the tiled layout.
#include <cuda_fp16.h>
#include <cuda_runtime.h>
#include <vyr.h>

#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <random>
#include <utility>
#include <vector>

namespace {

constexpr int N = 1, T = 16, C = 512, H = 8, HD = 64, F = 1024, M = N * T * 16;

// A dense half descriptor, dimensions outermost first.
TensorDesc desc(void* data, std::initializer_list<std::pair<int, int64_t>> dims) {
    TensorDesc t{};
    t.data = data;
    t.dtype = VYR_TYPE_HALF;
    t.ndims = (int)dims.size();
    int64_t stride = 1;
    int i = t.ndims;
    for (auto d = dims.end(); d != dims.begin();) {
        --d;
        t.dims[--i] = DimDesc{d->first, d->second, stride};
        stride *= d->second;
    }
    return t;
}
TensorDesc matrix(void* p, int cols, char outer, char inner) {
    return desc(p, {{'M', M / 16}, {outer, cols / 8}, {'m', 16}, {inner, 8}});
}
TensorDesc sequence(void* p) {
    return desc(p, {{'N', N}, {'T', T}, {'C', C / 8}, {'t', 16}, {'c', 8}});
}

// Random halves of the given scale. Their order does not matter for random values; real weights and inputs
// are converted to the tiled layout first (see TensorDesc in vyr.h).
__half* device_random(size_t n, float scale, std::mt19937& gen) {
    std::uniform_real_distribution<float> u(-scale, scale);
    std::vector<__half> h(n);
    for (__half& v : h) v = __float2half(u(gen));
    __half* d = nullptr;
    cudaMalloc(&d, n * sizeof(__half));
    cudaMemcpy(d, h.data(), n * sizeof(__half), cudaMemcpyHostToDevice);
    return d;
}

}  // namespace

int main() {
    std::mt19937 gen(1);
    __half* x = device_random((size_t)M * C, 1.0f, gen);
    __half* w_qkv = device_random((size_t)3 * C * C, std::sqrt(3.0f / C), gen);
    __half* w_o = device_random((size_t)C * C, std::sqrt(3.0f / C), gen);
    __half* w_1 = device_random((size_t)F * C, std::sqrt(3.0f / C), gen);
    __half* w_2 = device_random((size_t)C * F / 2, std::sqrt(3.0f / (F / 2)), gen);
    __half *b_o = device_random(C, 0.1f, gen), *b_2 = device_random(C, 0.1f, gen);
    __half *g_1 = device_random(C, 1.0f, gen), *g_2 = device_random(C, 1.0f, gen);
    std::vector<__half> table((size_t)T * 16 * HD);  // (sin, cos) pairs; all steps see angle 0 here
    for (size_t i = 0; i < table.size(); ++i) table[i] = __float2half(i % 2 ? 1.0f : 0.0f);
    __half *sincos, *qkv, *att, *proj, *h, *ff, *y, *out;
    cudaMalloc(&sincos, table.size() * sizeof(__half));
    cudaMemcpy(sincos, table.data(), table.size() * sizeof(__half), cudaMemcpyHostToDevice);
    for (auto [p, n] :
         {std::pair{&qkv, 3 * C}, {&att, C}, {&proj, C}, {&h, C}, {&ff, F / 2}, {&y, C}, {&out, C}})
        cudaMalloc(p, (size_t)M * n * sizeof(__half));
    int* counter;
    cudaMalloc(&counter, sizeof(int));
    cudaStream_t s;
    cudaStreamCreate(&s);

    const TensorDesc x_seq = sequence(x), h_seq = sequence(h);
    const TensorDesc qkv_w =
        desc(w_qkv, {{0, 3}, {'H', H}, {'D', HD / 16}, {'C', C / 8}, {'d', 16}, {'c', 8}});
    const TensorDesc tab = desc(sincos, {{'T', T}, {'D', HD / 8}, {'t', 16}, {'d', 8}});
    const TensorDesc qkv_t =
        desc(qkv, {{'N', N}, {'T', T}, {0, 3}, {'H', H}, {'D', HD / 8}, {'t', 16}, {'d', 8}});
    const TensorDesc att_t = desc(att, {{'N', N}, {'T', T}, {'H', H}, {'D', HD / 8}, {'t', 16}, {'d', 8}});
    const TensorDesc att_x = matrix(att, C, 'K', 'k'), proj_y = matrix(proj, C, 'N', 'n'),
                     proj_seq = sequence(proj);
    const TensorDesc h_x = matrix(h, C, 'K', 'k'), ff_y = matrix(ff, F / 2, 'N', 'n'),
                     ff_x = matrix(ff, F / 2, 'K', 'k');
    const TensorDesc y_y = matrix(y, C, 'N', 'n'), y_seq = sequence(y), out_seq = sequence(out);
    const TensorDesc wo = desc(w_o, {{'N', C / 16}, {'K', C / 8}, {'n', 16}, {'k', 8}});
    const TensorDesc w1 = desc(w_1, {{'N', F / 16}, {'K', C / 8}, {'n', 16}, {'k', 8}});
    const TensorDesc w2 = desc(w_2, {{'N', C / 16}, {'K', F / 16}, {'n', 16}, {'k', 8}});
    const TensorDesc bo = desc(b_o, {{'N', C}}), b2 = desc(b_2, {{'N', C}});
    const TensorDesc g1 = desc(g_1, {{'C', C}}), g2 = desc(g_2, {{'C', C}});

    // The matrix products take work items from the counter: zero it on the stream before each of them.
    int status = 0;
    cudaMemsetAsync(counter, 0, sizeof(int), s);
    status |= vyr_qkv_rotary(s, &x_seq, &qkv_w, &tab, &qkv_t, counter, 0.0f);
    status |= vyr_masked_attention(s, 127, 128, &qkv_t, &att_t);
    cudaMemsetAsync(counter, 0, sizeof(int), s);
    status |= vyr_linear(s, &att_x, &wo, &bo, &proj_y, counter);
    status |= vyr_rmsnorm_residual(s, &proj_seq, &x_seq, &g1, &h_seq, nullptr, 1.0f);
    cudaMemsetAsync(counter, 0, sizeof(int), s);
    status |= vyr_mm_swiglu(s, &h_x, &w1, &ff_y, counter, 1);
    cudaMemsetAsync(counter, 0, sizeof(int), s);
    status |= vyr_linear(s, &ff_x, &w2, &b2, &y_y, counter);
    status |= vyr_rmsnorm_residual(s, &y_seq, &h_seq, &g2, &out_seq, nullptr, 1.0f);
    const cudaError_t e = cudaStreamSynchronize(s);
    cudaStreamDestroy(s);
    if (status != VyrSuccess || e != cudaSuccess) {
        std::fprintf(stderr, "encoder layer failed: status %d, %s\n", status, cudaGetErrorString(e));
        return 1;
    }
    std::vector<__half> result((size_t)M * C);
    cudaMemcpy(result.data(), out, result.size() * sizeof(__half), cudaMemcpyDeviceToHost);
    double sum_sq = 0.0;
    for (const __half& v : result) sum_sq += (double)__half2float(v) * __half2float(v);
    std::printf("encoder layer: %d x %d outputs, rms %.4f\n", M, C, std::sqrt(sum_sq / result.size()));
    for (void* p : {(void*)x, (void*)w_qkv, (void*)w_o, (void*)w_1, (void*)w_2, (void*)b_o, (void*)b_2,
                    (void*)g_1, (void*)g_2, (void*)sincos, (void*)qkv, (void*)att, (void*)proj, (void*)h,
                    (void*)ff, (void*)y, (void*)out, (void*)counter})
        cudaFree(p);
    return 0;
}
