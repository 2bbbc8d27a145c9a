// The tiled transformer kernels on the shapes of a basecaller's encoder layer (model width 512, 8 heads of
// 64, feed-forward 4096, batches of chunks of 1024 steps). With the CUDA backend each kernel is compared with
// a peer measured in the same process: cuBLAS plus a separate epilogue kernel for the matrix products, cuBLAS
// batched products around a band-masked softmax kernel for the attention, and a device-to-device copy of the
// same bytes for the RMS normalisation. Data are random: the timings do not depend on the values.
// --quick: small shapes and no peers, for keeping the code working on the simulator.
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

#include "bench.h"
#include "vyr.h"
#if defined(VYR_BENCH_PEERS)
#include "transformer_peers.h"
#endif

namespace {

using vyr_bench::check;

void* device_fill(size_t bytes) {
    void* p = nullptr;
    check(cudaMalloc(&p, bytes), "cudaMalloc");
    std::vector<unsigned char> host(bytes);
    // Small halves (exponent bits 0x2c..0x33) and small int8 values.
    for (size_t i = 0; i < bytes; ++i)
        host[i] = (i & 1) ? (unsigned char)(0x2c + i % 7) : (unsigned char)(i * 37);
    check(cudaMemcpy(p, host.data(), bytes, cudaMemcpyHostToDevice), "cudaMemcpy");
    return p;
}
float* device_scales(size_t n) {
    std::vector<float> host(n, 1e-3f);
    float* p = nullptr;
    check(cudaMalloc(&p, n * sizeof(float)), "cudaMalloc");
    check(cudaMemcpy(p, host.data(), n * sizeof(float), cudaMemcpyHostToDevice), "cudaMemcpy");
    return p;
}

TensorDesc desc(void* data, uint32_t dtype, std::initializer_list<std::pair<int, int64_t>> dims) {
    TensorDesc t{};
    t.data = data;
    t.dtype = dtype;
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

struct Bench {
    cudaStream_t stream;
    int warmup, iters;
    int* counter;
    template <class F>
    double time(const char* name, double flops, F call) {
        const double ms = vyr_bench::time_ms(stream, warmup, iters, [&](cudaStream_t s) {
            if (call(s) != VyrSuccess) {
                std::fprintf(stderr, "%s: call refused\n", name);
                std::exit(1);
            }
        });
        vyr_bench::report(name, ms, flops / (ms * 1e-3) / 1e12, "TFLOP/s");
        return ms;
    }
    // The matrix products need their counter zeroed before each call.
    int zero(cudaStream_t s) {
        return cudaMemsetAsync(counter, 0, sizeof(int), s) == cudaSuccess ? VyrSuccess : 1;
    }
};

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    vyr_bench::print_device();
    const int N = quick ? 1 : 32, T = quick ? 16 : 64, C = 512, H = 8, HD = 64, F = quick ? 256 : 4096;
    const int M = N * T * 16;
    Bench b{nullptr, quick ? 0 : 3, quick ? 1 : 20, nullptr};
    check(cudaStreamCreate(&b.stream), "cudaStreamCreate");
    check(cudaMalloc(&b.counter, sizeof(int)), "cudaMalloc");

    const int k_max = 2048;  // the largest reduction used below (the down projection of F / 2)
    void* x = device_fill((size_t)M * k_max * 2);
    void* w = device_fill((size_t)(F > 3 * C ? F : 3 * C) * k_max * 2);
    void* y = device_fill((size_t)M * (F > 3 * C ? F : 3 * C) * 2);
    void* bias = device_fill((size_t)F * 2);
    void* table = device_fill((size_t)T * 16 * HD * 2);
    void* out = device_fill((size_t)M * C * 2);
    float* xs = device_scales(M);
    float* ws = device_scales(F > C ? F : C);
#if defined(VYR_BENCH_PEERS)
    vyr_peer::Handle* peer = vyr_peer::create(b.stream);
    void* scratch = device_fill((size_t)M * (F > 3 * C ? F : 3 * C) * 4);
#endif

    // Linear layers: the output projection (K = 512) and the down projection (K = F / 2), half and int8.
    for (int K : {C, quick ? C : F / 2}) {
        for (uint32_t type : {(uint32_t)VYR_TYPE_HALF, (uint32_t)VYR_TYPE_INT8}) {
            const bool half = type == VYR_TYPE_HALF;
            const int64_t wd = half ? 8 : 16;
            TensorDesc tx = desc(x, type, {{'M', M / 16}, {'K', K / wd}, {'m', 16}, {'k', wd}});
            TensorDesc tw = desc(w, type, {{'N', C / 16}, {'K', K / wd}, {'n', 16}, {'k', wd}});
            const TensorDesc ty = desc(y, VYR_TYPE_HALF, {{'M', M / 16}, {'N', C / 8}, {'m', 16}, {'n', 8}});
            const TensorDesc tb = desc(bias, VYR_TYPE_HALF, {{'N', C}});
            if (!half) {
                tx.scale_data = xs;
                tw.scale_data = ws;
                tx.scale_dim = tw.scale_dim = 'K';
                tx.scale_dtype = tw.scale_dtype = VYR_TYPE_FLOAT;
            }
            char name[96];
            std::snprintf(name, sizeof name, "vyr_linear %s M=%d N=%d K=%d", half ? "half" : "int8", M, C, K);
            const double flops = 2.0 * M * C * K;
            [[maybe_unused]] const double ours = b.time(name, flops, [&](cudaStream_t s) {
                b.zero(s);
                return vyr_linear(s, &tx, &tw, &tb, &ty, b.counter);
            });
            vyr_bench::check_output(static_cast<__half*>(y), (size_t)M * C, name);
#if defined(VYR_BENCH_PEERS)
            const double theirs = b.time("  peer", flops, [&](cudaStream_t) {
                if (half)
                    vyr_peer::linear_half(peer, M, C, K, (const __half*)x, (const __half*)w,
                                          (const __half*)bias, (__half*)y);
                else
                    vyr_peer::linear_int8(peer, M, C, K, (const signed char*)x, (const signed char*)w, xs, ws,
                                          (const __half*)bias, (int*)scratch, (__half*)y);
                return VyrSuccess;
            });
            vyr_bench::report_vs(name, ours, half ? "cuBLAS+bias" : "cuBLAS int8+scale/bias", theirs);
#endif
        }
    }

    {  // SwiGLU feed-forward projection, float accumulation.
        const TensorDesc tx = desc(x, VYR_TYPE_HALF, {{'M', M / 16}, {'K', C / 8}, {'m', 16}, {'k', 8}});
        const TensorDesc tw = desc(w, VYR_TYPE_HALF, {{'N', F / 16}, {'K', C / 8}, {'n', 16}, {'k', 8}});
        const TensorDesc ty = desc(y, VYR_TYPE_HALF, {{'M', M / 16}, {'N', F / 16}, {'m', 16}, {'n', 8}});
        char name[96];
        std::snprintf(name, sizeof name, "vyr_mm_swiglu half M=%d F=%d K=%d", M, F, C);
        const double flops = 2.0 * M * F * C;
        [[maybe_unused]] const double ours = b.time(name, flops, [&](cudaStream_t s) {
            b.zero(s);
            return vyr_mm_swiglu(s, &tx, &tw, &ty, b.counter, 1);
        });
        vyr_bench::check_output(static_cast<__half*>(y), (size_t)M * F / 2, name);
#if defined(VYR_BENCH_PEERS)
        const double theirs = b.time("  peer", flops, [&](cudaStream_t) {
            vyr_peer::swiglu(peer, M, F, C, (const __half*)x, (const __half*)w, (__half*)scratch, (__half*)y);
            return VyrSuccess;
        });
        vyr_bench::report_vs(name, ours, "cuBLAS+SwiGLU", theirs);
#endif
    }

    {  // QKV projection with rotary embedding.
        const TensorDesc tx = desc(x, VYR_TYPE_HALF, {{'N', N}, {'T', T}, {'C', C / 8}, {'t', 16}, {'c', 8}});
        const TensorDesc tw =
            desc(w, VYR_TYPE_HALF, {{0, 3}, {'H', H}, {'D', HD / 16}, {'C', C / 8}, {'d', 16}, {'c', 8}});
        const TensorDesc tt = desc(table, VYR_TYPE_HALF, {{'T', T}, {'D', HD / 8}, {'t', 16}, {'d', 8}});
        const TensorDesc ty = desc(
            y, VYR_TYPE_HALF, {{'N', N}, {'T', T}, {0, 3}, {'H', H}, {'D', HD / 8}, {'t', 16}, {'d', 8}});
        char name[96];
        std::snprintf(name, sizeof name, "vyr_qkv_rotary half M=%d C=%d", M, C);
        const double flops = 2.0 * M * 3 * C * C;
        [[maybe_unused]] const double ours = b.time(name, flops, [&](cudaStream_t s) {
            b.zero(s);
            return vyr_qkv_rotary(s, &tx, &tw, &tt, &ty, b.counter, 0.0f);
        });
        vyr_bench::check_output(static_cast<__half*>(y), (size_t)M * 3 * C, name);
#if defined(VYR_BENCH_PEERS)
        const double theirs = b.time("  peer", flops, [&](cudaStream_t) {
            vyr_peer::qkv_rotary(peer, M, C, C, T * 16, HD, (const __half*)x, (const __half*)w,
                                 (const __half*)table, (__half*)y);
            return VyrSuccess;
        });
        vyr_bench::report_vs(name, ours, "cuBLAS+rotary", theirs);
#endif
    }

    {  // Banded attention over the QKV tensor just written, window (127, 128).
        const TensorDesc tq =
            desc(y, VYR_TYPE_HALF, {{'N', N}, {'T', T}, {0, 3}, {'H', H}, {'D', 8}, {'t', 16}, {'d', 8}});
        const TensorDesc to =
            desc(out, VYR_TYPE_HALF, {{'N', N}, {'T', T}, {'H', H}, {'D', 8}, {'t', 16}, {'d', 8}});
        char name[96];
        std::snprintf(name, sizeof name, "vyr_masked_attention N=%d T=%d H=%d W=256", N, T * 16, H);
        const double flops = 4.0 * N * H * (T * 16.0) * (17 * 16) * HD;  // the band's products
        [[maybe_unused]] const double ours =
            b.time(name, flops, [&](cudaStream_t s) { return vyr_masked_attention(s, 127, 128, &tq, &to); });
        vyr_bench::check_output(static_cast<__half*>(out), (size_t)M * C, name);
#if defined(VYR_BENCH_PEERS)
        const int L = T * 16;
        __half* scores = static_cast<__half*>(device_fill((size_t)N * H * L * L * 2));
        const __half* q = static_cast<const __half*>(y);
        const size_t head = (size_t)N * H * L * HD;
        const double theirs = b.time("  peer", flops, [&](cudaStream_t) {
            vyr_peer::band_attention(peer, N * H, L, 8, q, q + head, q + 2 * head, scores, (__half*)x);
            return VyrSuccess;
        });
        vyr_bench::report_vs(name, ours, "cuBLAS batched+band softmax", theirs);
        cudaFree(scores);
#endif
    }

    {  // Residual RMS normalisation with int8 output and scales.
        const TensorDesc t = desc(x, VYR_TYPE_HALF, {{'N', N}, {'T', T}, {'C', C / 8}, {'t', 16}, {'c', 8}});
        const TensorDesc r = desc(w, VYR_TYPE_HALF, {{'N', N}, {'T', T}, {'C', C / 8}, {'t', 16}, {'c', 8}});
        const TensorDesc o =
            desc(out, VYR_TYPE_HALF, {{'N', N}, {'T', T}, {'C', C / 8}, {'t', 16}, {'c', 8}});
        const TensorDesc g = desc(bias, VYR_TYPE_HALF, {{'C', C}});
        TensorDesc q = desc(y, VYR_TYPE_INT8, {{'N', N}, {'T', T}, {'C', C / 16}, {'t', 16}, {'c', 16}});
        q.scale_data = xs;
        q.scale_dim = 'C';
        q.scale_dtype = VYR_TYPE_FLOAT;
        const double bytes = (double)M * C * (2 + 2 + 2 + 1);
        char name[96];
        std::snprintf(name, sizeof name, "vyr_rmsnorm_residual M=%d F=%d", M, C);
        const double ms = vyr_bench::time_ms(b.stream, b.warmup, b.iters, [&](cudaStream_t s) {
            vyr_rmsnorm_residual(s, &t, &r, &g, &o, &q, 1.0f);
        });
        vyr_bench::report(name, ms, bytes / (ms * 1e-3) / 1e9, "GB/s");
#if defined(VYR_BENCH_PEERS)
        const double copy = vyr_bench::time_ms(b.stream, b.warmup, b.iters, [&](cudaStream_t s) {
            check(cudaMemcpyAsync(scratch, x, (size_t)bytes / 2, cudaMemcpyDeviceToDevice, s), "copy");
        });
        vyr_bench::report_vs(name, ms, "device copy of the same bytes", copy);
#endif
    }
#if defined(VYR_BENCH_PEERS)
    vyr_peer::destroy(peer);
#endif
    return 0;
}
