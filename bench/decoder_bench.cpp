// Decoder throughput: each step and the whole pipeline on a batch of equal chunks of random network outputs.
// Default shape: 512 chunks x 1000 timesteps, 1024 states, beam 32. `--quick` uses a shape the simulator
// finishes in seconds.
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "bench.h"
#include "vyr.h"

namespace {

struct Shape {
    int chunks, timesteps, num_states, beam_width;
};

}  // namespace

int main(int argc, char** argv) {
    bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const Shape sh = quick ? Shape{16, 200, 256, 32} : Shape{512, 1000, 1024, 32};
    const int nsc = 4 * sh.num_states;
    const int axis = sh.chunks * sh.timesteps;
    vyr_bench::print_device();
    std::printf("decoder: %d chunks x %d timesteps, %d states, beam %d\n", sh.chunks, sh.timesteps,
                sh.num_states, sh.beam_width);

    std::vector<ChunkDesc> desc(sh.chunks);
    for (int c = 0; c < sh.chunks; ++c) desc[c] = ChunkDesc{c * sh.timesteps, sh.timesteps, {0, 0}};
    std::vector<__half> raw((size_t)axis * nsc), bias(nsc, __float2half(0.0f));
    std::mt19937 gen(1);
    std::uniform_real_distribution<float> u(-2.0f, 2.0f);
    for (__half& x : raw) x = __float2half(u(gen));

    ChunkDesc* d_chunks;
    ChunkResult* d_results;
    __half *d_scores, *d_pristine, *d_bias;
    float* d_ws;
    int* d_states;
    char *d_moves, *d_seq, *d_qual;
    const size_t ws_bytes = vyr_decode_workspace_bytes(axis, sh.chunks, nsc, sh.beam_width);
    const size_t score_bytes = raw.size() * sizeof(__half);
    vyr_bench::check(cudaMalloc(&d_chunks, desc.size() * sizeof(ChunkDesc)), "cudaMalloc");
    vyr_bench::check(cudaMalloc(&d_results, desc.size() * sizeof(ChunkResult)), "cudaMalloc");
    vyr_bench::check(cudaMalloc(&d_scores, score_bytes), "cudaMalloc");
    vyr_bench::check(cudaMalloc(&d_pristine, score_bytes), "cudaMalloc");
    vyr_bench::check(cudaMalloc(&d_bias, nsc * sizeof(__half)), "cudaMalloc");
    vyr_bench::check(cudaMalloc(&d_ws, ws_bytes), "cudaMalloc");
    vyr_bench::check(cudaMalloc(&d_states, axis * sizeof(int)), "cudaMalloc");
    vyr_bench::check(cudaMalloc(&d_moves, axis), "cudaMalloc");
    vyr_bench::check(cudaMalloc(&d_seq, axis), "cudaMalloc");
    vyr_bench::check(cudaMalloc(&d_qual, axis), "cudaMalloc");
    vyr_bench::check(
        cudaMemcpy(d_chunks, desc.data(), desc.size() * sizeof(ChunkDesc), cudaMemcpyHostToDevice), "upload");
    vyr_bench::check(cudaMemcpy(d_pristine, raw.data(), score_bytes, cudaMemcpyHostToDevice), "upload");
    vyr_bench::check(cudaMemcpy(d_bias, bias.data(), nsc * sizeof(__half), cudaMemcpyHostToDevice), "upload");

    cudaStream_t stream;
    vyr_bench::check(cudaStreamCreate(&stream), "cudaStreamCreate");
    const float clamp = 0.0f, q_scale = 1.0f, q_shift = 0.0f, beam_cut = 100.0f, stay = 2.0f;
    auto step = [&](auto fn) {
        return [&, fn](cudaStream_t s) {
            vyr_bench::check((cudaError_t)fn(s, d_chunks, d_results, sh.chunks, d_scores, clamp, nsc, d_ws,
                                             d_states, d_moves, nullptr, d_seq, d_qual, q_scale, q_shift,
                                             sh.beam_width, beam_cut, stay),
                             "decoder step");
        };
    };
    auto decode = [&](cudaStream_t s) {
        vyr_bench::check((cudaError_t)host_run_decode(s, d_chunks, d_results, sh.chunks, d_scores, clamp, nsc,
                                                      d_ws, d_states, d_moves, nullptr, d_seq, d_qual,
                                                      q_scale, q_shift, sh.beam_width, beam_cut, stay, 0),
                         "decode");
    };
    // The post-processing runs on stream 0 and works in place, so every pipeline restores the raw scores
    // first (one device copy, included in the pipeline figure).
    auto restore = [&](cudaStream_t s) {
        vyr_bench::check(cudaMemcpyAsync(d_scores, d_pristine, score_bytes, cudaMemcpyDeviceToDevice, s),
                         "copy");
    };
    auto pipeline = [&](cudaStream_t s) {
        restore(s);
        vyr_bench::check(cudaStreamSynchronize(s), "sync");
        host_post_gemm_no_modbase(d_bias, d_scores, nsc, axis, 5.0f);
        vyr_bench::check(cudaDeviceSynchronize(), "post-processing");
        step(host_back_guide_step)(s);
        step(host_beam_search_step)(s);
        step(host_compute_posts_step)(s);
        decode(s);
    };

    const int warmup = quick ? 0 : 2, iters = quick ? 1 : 10;
    const double ts = (double)axis;
    auto rate = [&](const char* name, double ms) {
        vyr_bench::report(name, ms, ts / (ms * 1e-3), "timesteps/s");
    };
    double ms_pipeline = vyr_bench::time_ms(stream, warmup, iters, pipeline);
    restore(stream);
    rate("post-processing", vyr_bench::time_ms(stream, warmup, iters, [&](cudaStream_t) {
             host_post_gemm_no_modbase(d_bias, d_scores, nsc, axis, 5.0f);
         }));
    rate("backward guides", vyr_bench::time_ms(stream, warmup, iters, step(host_back_guide_step)));
    rate("beam search", vyr_bench::time_ms(stream, warmup, iters, step(host_beam_search_step)));
    rate("decode", vyr_bench::time_ms(stream, warmup, iters, decode));
    rate("posteriors", vyr_bench::time_ms(stream, warmup, iters, step(host_compute_posts_step)));
    rate("pipeline (restore, post-process, 4 steps)", ms_pipeline);
    std::printf("%-48s %12.4f ms/call %14.4g chunks/s\n", "pipeline", ms_pipeline,
                sh.chunks / (ms_pipeline * 1e-3));
    // The floor for any decoder: reading its scores once (a device copy moving the scores' bytes).
    const double ms_read = vyr_bench::copy_peer_ms(stream, (double)score_bytes, warmup, iters);
    vyr_bench::report_vs("decoder pipeline", ms_pipeline, "read scores once", ms_read);

    // Sanity: every chunk decoded to at least one base with a finite, non-negative score.
    pipeline(stream);
    vyr_bench::check(cudaStreamSynchronize(stream), "sync");
    std::vector<ChunkResult> res(sh.chunks);
    vyr_bench::check(
        cudaMemcpy(res.data(), d_results, res.size() * sizeof(ChunkResult), cudaMemcpyDeviceToHost),
        "download");
    long bases = 0;
    for (const ChunkResult& r : res) {
        if (!(r.score >= 0.0f) || r.num_bases < 1 || r.mean_error != r.mean_error) {
            std::fprintf(stderr, "decoder bench: implausible result (score %g, %d bases)\n", r.score,
                         r.num_bases);
            return 1;
        }
        bases += r.num_bases;
    }
    std::printf("sanity: %ld bases over %d chunks\n", bases, sh.chunks);
    for (void* p : {(void*)d_chunks, (void*)d_results, (void*)d_scores, (void*)d_pristine, (void*)d_bias,
                    (void*)d_ws, (void*)d_states, (void*)d_moves, (void*)d_seq, (void*)d_qual})
        cudaFree(p);
    cudaStreamDestroy(stream);
    return 0;
}
