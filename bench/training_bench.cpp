// Training score tables per second for a training-sized batch: the sparse CRF tables of every family and the
// stay/move lattice forward-backward. Usage: training_bench [--quick] (small shapes for the simulator).
// The functions synchronise the device themselves, so each timed call includes its own wait.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "bench.h"
#include "vyr.h"

namespace {

using vyr_bench::check;

template <class T>
T* device_copy(const std::vector<T>& host) {
    T* p = nullptr;
    check(cudaMalloc(&p, host.size() * sizeof(T)), "cudaMalloc");
    check(cudaMemcpy(p, host.data(), host.size() * sizeof(T), cudaMemcpyHostToDevice), "cudaMemcpy");
    return p;
}

std::vector<float> uniform(size_t n, float lo, float hi, std::mt19937& gen) {
    std::uniform_real_distribution<float> d(lo, hi);
    std::vector<float> v(n);
    for (float& x : v) x = d(gen);
    return v;
}

// The cheap sanity check: a finite, non-zero value where every state is reachable.
void sanity(const float* device_values, size_t n, const char* what) {
    std::vector<float> v(n);
    check(cudaMemcpy(v.data(), device_values, n * sizeof(float), cudaMemcpyDeviceToHost), "cudaMemcpy");
    for (float x : v)
        if (!std::isfinite(x) || x == 0.0f) {
            std::fprintf(stderr, "%s: suspicious value %g\n", what, x);
            std::exit(1);
        }
}

struct CrfFamily {
    const char* name;
    int nz;
    int (*fwd)(float*, const float*, const float*, const int*, int, int, int);
    int (*bwd)(float*, const float*, const float*, const int*, int, int, int);
    int (*logz)(int, int, int, VyrIgnoredArg, float*, float*, const float*, const float*, const float*,
                const int*);
};

void bench_crf(const CrfFamily& f, int T, int N, int C, int iters) {
    std::mt19937 gen(1);
    // Each column of idx a permutation of the states: every state has nz incoming and nz outgoing
    // transitions.
    std::vector<int> idx((size_t)C * f.nz), idx_t((size_t)C * f.nz), perm(C), filled(C, 0);
    for (int k = 0; k < f.nz; ++k) {
        std::iota(perm.begin(), perm.end(), 0);
        std::shuffle(perm.begin(), perm.end(), gen);
        for (int s = 0; s < C; ++s) idx[(size_t)s * f.nz + k] = perm[s];
    }
    for (int p = 0; p < C * f.nz; ++p) idx_t[(size_t)idx[p] * f.nz + filled[idx[p]]++] = p;

    float* ms = device_copy(uniform((size_t)T * N * C * f.nz, -2.0f, 2.0f, gen));
    float* init = device_copy(uniform((size_t)N * C, -1.0f, 1.0f, gen));
    float* fin = device_copy(uniform((size_t)N * C, -1.0f, 1.0f, gen));
    int* d_idx = device_copy(idx);
    int* d_idx_t = device_copy(idx_t);
    float *table = nullptr, *z = nullptr, *ms_out = nullptr;
    check(cudaMalloc(&table, (size_t)(T + 1) * N * C * sizeof(float)), "cudaMalloc");
    check(cudaMalloc(&z, (size_t)N * C * sizeof(float)), "cudaMalloc");
    check(cudaMalloc(&ms_out, (size_t)T * N * C * f.nz * sizeof(float)), "cudaMalloc");

    // Bytes each call must move at least: the transition scores read, the table (or Ms_out) written.
    const double ms_bytes = (double)T * N * C * f.nz * sizeof(float);
    const double table_bytes = (double)(T + 1) * N * C * sizeof(float);
    struct Op {
        const char* what;
        double bytes;
        std::function<int()> call;
    } ops[] = {
        {"fwd_scores", ms_bytes + table_bytes, [&] { return f.fwd(table, ms, init, d_idx, T, N, C); }},
        {"bwd_scores", ms_bytes + table_bytes, [&] { return f.bwd(table, ms, fin, d_idx_t, T, N, C); }},
        {"logZ_fwd", 2 * ms_bytes, [&] { return f.logz(T, N, C, 0, z, ms_out, ms, init, fin, d_idx); }},
    };
    for (const Op& op : ops) {
        const double ms_per_call = vyr_bench::time_ms(
            nullptr, 1, iters, [&](cudaStream_t) { check((cudaError_t)op.call(), op.what); });
        const std::string name = std::string(op.what) + "_" + f.name + " T=" + std::to_string(T) +
                                 " N=" + std::to_string(N) + " C=" + std::to_string(C);
        vyr_bench::report(name.c_str(), ms_per_call, N / (ms_per_call * 1e-3), "tables/s");
        std::printf("%-48s %20s %14.4g GB/s\n", "  least bytes moved", "", op.bytes / (ms_per_call * 1e6));
    }
    sanity(z, (size_t)N * C, "logZ_fwd Z");
    for (void* p : {(void*)ms, (void*)init, (void*)fin, (void*)d_idx, (void*)d_idx_t, (void*)table, (void*)z,
                    (void*)ms_out})
        cudaFree(p);
}

void bench_ctc(int T, int N, int S, int iters) {
    std::mt19937 gen(2);
    float* stay = device_copy(uniform((size_t)T * N * S, -3.0f, 0.0f, gen));
    float* move = device_copy(uniform((size_t)T * N * (S - 1), -3.0f, 0.0f, gen));
    std::vector<float> alpha0((size_t)(T + 1) * N * S, 0.0f);
    float* alpha = device_copy(alpha0);
    float* beta = device_copy(alpha0);  // (T + 1, N, S) serves both layouts; zero final scores
    float *beta_stay = nullptr, *beta_move = nullptr;
    check(cudaMalloc(&beta_stay, (size_t)T * N * S * sizeof(float)), "cudaMalloc");
    check(cudaMalloc(&beta_move, (size_t)T * N * S * sizeof(float)), "cudaMalloc");
    struct Op {
        const char* what;
        int (*host)(int, int, int, float*, float*, float*, float*, const float*, const float*);
    } ops[] = {{"fwd_bwd_logspace", fwd_bwd_logspace_host},
               {"fwd_bwd_logspace_loop", fwd_bwd_logspace_loop_host}};
    for (const Op& op : ops) {
        if (op.host == fwd_bwd_logspace_host && S > 1024) continue;
        const double ms_per_call = vyr_bench::time_ms(nullptr, 1, iters, [&](cudaStream_t) {
            check((cudaError_t)op.host(T, N, S, alpha, beta, beta_stay, beta_move, stay, move), op.what);
        });
        const std::string name = std::string(op.what) + " T=" + std::to_string(T) +
                                 " N=" + std::to_string(N) + " S=" + std::to_string(S);
        vyr_bench::report(name.c_str(), ms_per_call, N / (ms_per_call * 1e-3), "tables/s");
    }
    sanity(alpha + (size_t)T * N * S, (size_t)N * S, "alpha step T");
    for (void* p : {(void*)stay, (void*)move, (void*)alpha, (void*)beta, (void*)beta_stay, (void*)beta_move})
        cudaFree(p);
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    vyr_bench::print_device();
    const CrfFamily families[] = {
        {"max", 5, fwd_scores_host_sparse_max, bwd_scores_host_sparse_max, logZ_fwd_host_max},
        {"log_NZ5", 5, fwd_scores_host_sparse_log_NZ5, bwd_scores_host_sparse_log_NZ5, logZ_fwd_host_log_NZ5},
        {"log_NZ3", 3, fwd_scores_host_sparse_log_NZ3, bwd_scores_host_sparse_log_NZ3, logZ_fwd_host_log_NZ3},
    };
    // Training batches: 1000 steps, 64 chunks, 1024 CRF states; lattices of a few hundred positions.
    const int T = quick ? 100 : 1000, N = quick ? 4 : 64, C = quick ? 256 : 1024, iters = quick ? 2 : 10;
    for (const CrfFamily& f : families) bench_crf(f, T, N, C, iters);
    bench_ctc(T, N, quick ? 256 : 500, iters);
    bench_ctc(quick ? 50 : T, quick ? 2 : N, 3000, iters);
    return 0;
}
