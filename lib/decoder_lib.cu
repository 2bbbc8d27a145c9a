// CRF beam-search decoder. Scores: [axis][num_scores] half, num_scores = 4 * num_states, the step into s'
// from a state whose dropped base is k at 4 * s' + k; chunks concatenated along the axis. Workspace: the
// backward guides [rows][num_states] float of every chunk, then its beam rows [rows][beam_width] BeamElement,
// each chunk owning T + 1 rows from row timestep_offset + chunk index. Outputs per timestep on the axis:
// states (base index), moves, and the bases and Phred+33 qualities (compact or timestep-aligned).
//
// Steps, one stream: post_gemm_no_modbase (in place), back_guide_step, beam_search_step (reads guides and raw
// scores), compute_posts_step (overwrites the scores with posteriors), decode_step (beam rows + posteriors).
#include "activation.cuh"
#include "decoder.cuh"
#include "frame.cuh"
#include "sort.cuh"

namespace vyr {
namespace decoder {

// ---- Score post-processing ----------------------------------------------------------------------------

// The exponential formulation on every target, also where a hardware tanh exists, so that decoded scores do
// not depend on the device generation.
__device__ inline float tanh_fast(float x) {
    return tanh_fast_form<ActivationForm::Exp2>(x);
}

// ---- Backward guides ----------------------------------------------------------------------------------

// guides[t][s]: log of the summed weight of all continuations from state s at timestep t to the chunk's end.
__device__ void compute_back_guides(ClampScores scores, float* guides, int T, unsigned num_states,
                                    float fixed_stay_score, unsigned thread, unsigned num_threads) {
    for (unsigned s = thread; s < num_states; s += num_threads) guides[(size_t)T * num_states + s] = 0.0f;
    __syncthreads();
    for (int t = T - 1; t >= 0; --t) {
        ClampScores step = scores.from_offset((long long)t * 4 * num_states);
        const float* next = guides + (size_t)(t + 1) * num_states;
        for (unsigned s = thread; s < num_states; s += num_threads) {
            unsigned base = (4 * s) % num_states;
            unsigned top = (4 * s) / num_states;
            float terms[5];
            terms[0] = next[s] + fixed_stay_score;  // the stay is never clamped: it is not a network output
            for (unsigned b = 0; b < 4; ++b) terms[1 + b] = next[base + b] + step[4 * (base + b) + top];
            guides[(size_t)t * num_states + s] = log_sum_exp(terms);
        }
        __syncthreads();
    }
}

// ---- Beam search --------------------------------------------------------------------------------------

constexpr int kMaxGuesses = 10;
constexpr float kAboveMergedAway = -0x1.fffffcp+127f;  // the float just above -3.4028235e38

__device__ inline bool score_sort(const BeamFrontElement& a, const BeamFrontElement& b) {
    return a.score > b.score;
}

// Candidates with score >= thr among the first n, lanes strided. Returns the warp total; the lane's own count
// goes to *lane_count. NaN scores never pass.
__device__ inline int warp_get_elem_count(const BeamFrontElement* cand, int n, float thr, int lane,
                                          int* lane_count) {
    int count = 0;
    for (int i = lane; i < n; i += 32) count += cand[i].score >= thr ? 1 : 0;
    *lane_count = count;
    return warp_reduce_add(count);
}

// ln(beam_cut), made safe: the threshold best - ln(beam_cut) must never exceed the best candidate, so cuts
// below 1 act as 1. A cut <= 0 (or NaN) disables the cut; the caller then takes the lowest candidate.
__device__ inline float log_beam_cut_of(float beam_cut) {
    if (!(beam_cut > 0.0f)) return kMaxFloat;
    float l = fast_log(beam_cut);
    return l > 0.0f ? l : 0.0f;
}

// One warp searches one chunk. smem: max(2 * num_states floats, 6 * beam_width BeamFrontElements) (the
// candidates at [0, 5 * beam_width), the beam at [5 * beam_width, 6 * beam_width)). Writes rows 0..T of the
// beam vector and result->score (-1.0 when the search cannot proceed).
__device__ void beam_search(ClampScores scores, const float* guides, int T, int num_state_bits,
                            int beam_width, float beam_cut, float fixed_stay_score, BeamElement* beam_vector,
                            ChunkResult* result, void* smem, int lane) {
    const int num_states = 1 << num_state_bits;
    const bool no_cut = !(beam_cut > 0.0f);
    const float log_beam_cut = log_beam_cut_of(beam_cut);
    BeamFrontElement* cand = static_cast<BeamFrontElement*>(smem);
    BeamFrontElement* beam = cand + 5 * beam_width;

    // Start from the beam_width states with the best backward guides.
    float init_threshold = -kMaxFloat;
    if (num_states > beam_width) {
        float* data = static_cast<float*>(smem);
        for (int i = lane; i < num_states; i += 32) data[i] = guides[i];
        __syncwarp();
        merge_sort(data, data + num_states, num_states, beam_width, float_greater, lane);
        init_threshold = data[beam_width - 1];
        __syncwarp();  // every lane has read the threshold before the area becomes the beam
    }
    if (init_threshold != init_threshold) {
        if (lane == 0) result->score = -1.0f;
        return;
    }
    int n = 0;
    if (lane == 0) {
        for (int s = 0; s < num_states && n < beam_width; ++s) {
            if (guides[s] >= init_threshold)
                beam[n++] = BeamFrontElement{crc32c<32>(kPathHashSeed, (uint32_t)s), 0.0f, (int16_t)s, 0, 0};
        }
    }
    // Normally min(num_states, beam_width); fewer only when guides are NaN or -inf, and an empty beam has no
    // path to report.
    n = __shfl_sync(kFullMask, n, 0);
    __syncwarp();
    if (n == 0) {
        if (lane == 0) result->score = -1.0f;
        return;
    }
    for (int i = lane; i < n; i += 32) beam_vector[i] = BeamElement{beam[i].state, 0, 0};
    __syncwarp();

    for (int t = 0; t < T; ++t) {
        const float* G = guides + (size_t)(t + 1) * num_states;
        ClampScores S = scores.from_offset((long long)t * 4 * num_states);
        float lane_max = -kMaxFloat;
        float lane_min = kMaxFloat;

        // Step candidate 4i + b, stay candidate 4n + i; ranked by forward score plus the guide of the state.
        for (int i = lane; i < n; i += 32) {
            const BeamFrontElement p = beam[i];
            const int16_t shifted = (int16_t)((p.state * 4) & (num_states - 1));
            const int16_t top = (int16_t)((p.state * 4) >> num_state_bits);
            for (int b = 0; b < 4; ++b) {
                int16_t next = (int16_t)(shifted | b);
                float score = (p.score + S[(int16_t)(4 * next + top)]) + G[next];
                cand[4 * i + b] =
                    BeamFrontElement{crc32c<2>(p.hash, (uint32_t)b), score, next, (uint8_t)i, 0};
                lane_max = fmaxf(lane_max, score);
                lane_min = fminf(lane_min, score);
            }
            float score = (p.score + fixed_stay_score) + G[p.state];
            cand[4 * n + i] = BeamFrontElement{p.hash, score, p.state, (uint8_t)i, 1};
            lane_max = fmaxf(lane_max, score);
            lane_min = fminf(lane_min, score);
        }
        __syncwarp();

        // A stay and a step that emit the same bases become one path. Only a step by the stay's own last base
        // can match; the merged score goes to the better one (the step on equal scores).
        for (int i = lane; i < n; i += 32) {
            BeamFrontElement& y = cand[4 * n + i];
            const uint32_t hash = y.hash;
            const int b = y.state & 3;
            for (int j = 0; j < n; ++j) {
                BeamFrontElement& x = cand[4 * j + b];
                if (x.hash != hash) continue;
                float m = log_sum_exp(y.score, x.score);
                lane_max = fmaxf(lane_max, m);
                if (y.score > x.score) {
                    y.score = m;
                    x.score = -kMaxFloat;
                } else {
                    x.score = m;
                    y.score = -kMaxFloat;
                }
            }
        }
        __syncwarp();

        // Threshold by counting, bisecting towards beam_width survivors rather than sorting.
        const int num_cand = 5 * n;
        const float best = warp_reduce_max(lane_max);
        // Without a cut, start from the lowest candidate, but above the -max marker of merged-away paths.
        float thr = no_cut ? fmaxf(-warp_reduce_max(-lane_min), kAboveMergedAway) : best - log_beam_cut;
        int lane_count = 0;
        int count = warp_get_elem_count(cand, num_cand, thr, lane, &lane_count);
        if (count > beam_width) {
            const int low = (8 * beam_width) / 10;
            float lo = thr, hi = best;
            int guesses = 1;
            do {
                if (count > beam_width) {
                    lo = thr;
                    thr = (thr + hi) / 2;
                } else {
                    hi = thr;
                    thr = (thr + lo) / 2;
                }
                count = warp_get_elem_count(cand, num_cand, thr, lane, &lane_count);
                ++guesses;
            } while ((count > beam_width || count < low) && guesses < kMaxGuesses);
            if (guesses == kMaxGuesses) {
                thr = hi;
                count = warp_get_elem_count(cand, num_cand, thr, lane, &lane_count);
            }
        }
        // Nothing passes only when no candidate is finite: no path to continue.
        if (count == 0) {
            if (lane == 0) result->score = -1.0f;
            return;
        }
        const int new_n = count < beam_width ? count : beam_width;

        // Compaction: ordered by lane, then candidate index; when more than beam_width pass, lower lanes win.
        int pos = warp_shuffle_prefix(lane_count, lane) - lane_count;
        for (int i = lane; i < num_cand; i += 32) {
            if (cand[i].score >= thr) {
                if (pos < beam_width) beam[pos] = cand[i];
                ++pos;
            }
        }
        __syncwarp();
        if (t == T - 1) merge_sort(beam, cand, new_n, 1, score_sort, lane);

        for (int i = lane; i < new_n; i += 32) {
            BeamFrontElement& e = beam[i];
            e.score -= G[e.state];
            beam_vector[(size_t)(t + 1) * beam_width + i] =
                BeamElement{e.state, e.prev_element_index, e.stay};
        }
        __syncwarp();
        n = new_n;
    }
    if (lane == 0) result->score = beam[0].score;
}

// ---- Posteriors ---------------------------------------------------------------------------------------

// Next forward row: stay, then the steps from pred_k(s) = s / 4 + k * num_states / 4, in that order.
__device__ void compute_next_fwd_scan(const float* fwd, float* next_fwd, ClampScores step, int num_states,
                                      float fixed_stay_score, int thread, int num_threads) {
    for (int s = thread; s < num_states; s += num_threads) {
        float terms[5];
        terms[0] = fwd[s] + fixed_stay_score;
        for (int k = 0; k < 4; ++k) terms[1 + k] = fwd[s / 4 + k * (num_states / 4)] + step[4 * s + k];
        next_fwd[s] = log_sum_exp(terms);
    }
}

// x <- softmax(x) over n entries. The first warp finds the normaliser; a caller's block smaller than a warp
// reduces over its largest power-of-two count of lanes, the only lane sets a butterfly can pair up. The shift
// is the true maximum: entries are log weights of whole paths, which on long chunks with negative scores all
// lie far below zero, where a shift of 0 would flush every exponential to zero.
__device__ void threaded_softmax(float* x, int n, float* normaliser, int thread, int num_threads) {
    int width = 32;
    while (width > num_threads) width /= 2;
    if (thread < width) {
        const unsigned mask = width == 32 ? kFullMask : (1u << width) - 1u;
        float m = -INFINITY;
        for (int i = thread; i < n; i += width) m = fmaxf(m, x[i]);
        m = warp_reduce_max(m, mask, width);
        if (m == -INFINITY) m = 0.0f;  // no state reachable: exp(x - 0) gives zeros rather than NaN
        float sum = 0.0f;
        for (int i = thread; i < n; i += width) sum += fast_exp(x[i] - m);
        sum = warp_reduce_add(sum, mask, width);
        if (thread == 0) *normaliser = fast_log(sum) + m;
    }
    __syncthreads();
    const float lse = *normaliser;
    for (int i = thread; i < n; i += num_threads) x[i] = fast_exp(x[i] - lse);
}

__device__ void compute_posts_for_timestep(int t, __half* posts, float* x, const float* fwd,
                                           const float* guides, int num_states, float* normaliser, int thread,
                                           int num_threads) {
    const float* g = guides + (size_t)t * num_states;
    for (int s = thread; s < num_states; s += num_threads) x[s] = fwd[s] + g[s];
    __syncthreads();
    threaded_softmax(x, num_states, normaliser, thread, num_threads);
    for (int s = thread; s < num_states; s += num_threads)
        posts[(size_t)t * num_states + s] = __float2half_rn(x[s]);
}

// Posterior rows 0..T of one chunk, written as half over the chunk's own scores: row t ends before score row
// t
// + 1 begins (num_scores = 4 * num_states), so no score still to be read is overwritten. An empty chunk owns
// no score rows and writes nothing.
__device__ void compute_posts(__half* posts, const float* guides, int T, int num_states, float score_clamp,
                              float fixed_stay_score, float* temp_posts, float* normaliser, int thread,
                              int num_threads) {
    if (T == 0) return;
    const ClampScores scores(posts, score_clamp);
    float* x = temp_posts;
    float* fwd = temp_posts + num_states;
    float* next_fwd = temp_posts + 2 * num_states;
    for (int s = thread; s < num_states; s += num_threads) fwd[s] = 0.0f;
    __syncthreads();
    for (int t = 0; t < T; ++t) {
        compute_next_fwd_scan(fwd, next_fwd, scores.from_offset((long long)t * 4 * num_states), num_states,
                              fixed_stay_score, thread, num_threads);
        __syncthreads();
        compute_posts_for_timestep(t, posts, x, fwd, guides, num_states, normaliser, thread, num_threads);
        __syncthreads();
        float* f = fwd;
        fwd = next_fwd;
        next_fwd = f;
    }
    compute_posts_for_timestep(T, posts, x, fwd, guides, num_states, normaliser, thread, num_threads);
}

// ---- Sequence and quality -----------------------------------------------------------------------------

__device__ inline char make_q_char(float p, float q_scale, float q_shift) {
    float e = 1.0f - p;
    float q = fast_log2(e) * 0.30103f * -10.0f;
    q = fmaf(q, q_scale, q_shift);
    q = fminf(50.0f, q);
    q = fmaxf(1.0f, q);
    return (char)(int)(q + 33.5f);
}

// Probability of being in state s or one of its distinct step neighbours at posterior row P.
__device__ inline float neighbourhood_posterior(const __half* P, int s, int num_states) {
    int seen[9];
    int num_seen = 1;
    seen[0] = s;
    float p = __half2float(P[s]);
    for (int k = 0; k < 4; ++k) {
        const int pair[2] = {s / 4 + k * (num_states / 4), (4 * s) % num_states + k};
        for (int x : pair) {
            bool dup = false;
            for (int i = 0; i < num_seen; ++i) dup = dup || seen[i] == x;
            if (dup) continue;
            seen[num_seen++] = x;
            p += __half2float(P[x]);
        }
    }
    return p;
}

__device__ void beam_decode(int T, int num_states, int beam_width, char* moves, char* sequence, int* states,
                            char* qstring, const __half* posts, const BeamElement* beam_vector,
                            ChunkResult* result, float q_scale, float q_shift, int timestep_aligned) {
    result->reserved = 0;
    if (T == 0) {  // nothing on the axis belongs to an empty chunk
        result->num_bases = 0;
        result->stay_fraction = 0.0f;
        result->move_fraction = 0.0f;
        result->mean_error = 0.0f;
        return;
    }
    if (result->score < 0.0f) {
        for (int t = 0; t < T; ++t) {
            states[t] = 0;
            moves[t] = 0;
        }
        moves[0] = 1;
        sequence[0] = 'A';
        qstring[0] = '!';
        result->num_bases = 1;
        result->stay_fraction = 0.0f;
        result->move_fraction = 1.0f;
        result->mean_error = 1.0f;
        return;
    }

    int idx = 0;
    for (int t = T; t >= 1; --t) {
        BeamElement e = beam_vector[(size_t)t * beam_width + idx];
        states[t - 1] = e.state;
        moves[t - 1] = e.stay == 0 ? 1 : 0;
        idx = e.prev_element_index;
    }
    moves[0] = 1;

    // Each base is graded by the mean of p^0.4 over its run (its step and the stays after it).
    float acc = 0.0f, err_sum = 0.0f;
    int run = 0, num_bases = 0;
    for (int t = 0; t < T; ++t) {
        const int next = t + 1 < T ? (int)(signed char)moves[t + 1] : 1;
        const int s = states[t];
        states[t] = s % 4;
        float p = neighbourhood_posterior(posts + (size_t)(t + 1) * num_states, s, num_states);
        p = fminf(fmaxf(p, 0.0f), 1.0f);
        acc += fast_exp2(0.4f * fast_log2(p));
        ++run;
        if (next != 0) {
            const float mean = fast_div(acc, (float)run);
            const int at = timestep_aligned == 1 ? t - (run - 1) : num_bases;
            sequence[at] = "ACGT"[s % 4];
            qstring[at] = make_q_char(mean, q_scale, q_shift);
            // Runs are counted in both modes, so the summary is meaningful when bases are timestep-aligned.
            ++num_bases;
            err_sum += 1.0f - mean;
            acc = 0.0f;
            run = 0;
        }
    }
    const float r = fast_rcp((float)T);
    result->num_bases = num_bases;
    result->stay_fraction = (float)(T - num_bases) * r;
    result->move_fraction = (float)num_bases * r;
    result->mean_error = fast_div(err_sum, (float)num_bases);  // the last timestep ends a run: num_bases >= 1
}

}  // namespace decoder
}  // namespace vyr

using vyr::decoder::ChunkView;
using vyr::decoder::load_chunk;

// ---- Kernels, exported under their plain names ----------------------------------------------------------

VYR_API __global__ void __launch_bounds__(1024)
    post_gemm_no_modbase(const __half* bias, __half* scores, int num_scores, int total_timesteps,
                         float scale) {
    for (int c = threadIdx.x; c < num_scores; c += blockDim.x) {
        const float b = __half2float(__ldg(bias + c));
        for (int r = blockIdx.x; r < total_timesteps; r += gridDim.x) {
            __half* x = scores + (size_t)r * num_scores + c;
            *x = __float2half_rn(vyr::decoder::tanh_fast(b + __half2float(*x)) * scale);
        }
    }
}
VYR_REGISTER_KERNEL(post_gemm_no_modbase);

VYR_API __global__ void __launch_bounds__(1024, 1)
    back_guide_step(const ChunkDesc* chunks, ChunkResult* chunk_results, int num_chunks, __half* scores,
                    float score_clamp, int num_scores, float* workspace, int* states, char* moves,
                    float* reserved, char* sequence, char* qstring, float q_scale, float q_shift,
                    int beam_width, float beam_cut, float fixed_stay_score) {
    // The decoder kernels share one parameter list, so that a caller can launch any of them alike.
    vyr::unused(chunk_results, num_chunks, states, moves, reserved, sequence, qstring, q_scale, q_shift,
                beam_width, beam_cut);
    const ChunkView ch = load_chunk(chunks, blockIdx.x);
    const int num_states = num_scores / 4;
    ClampScores chunk_scores(scores + (size_t)ch.offset * num_scores, score_clamp);
    vyr::decoder::compute_back_guides(chunk_scores, vyr::decoder::chunk_guides(workspace, ch, num_states),
                                      ch.num_timesteps, num_states, fixed_stay_score, threadIdx.x,
                                      blockDim.x);
}
VYR_REGISTER_KERNEL(back_guide_step);

VYR_API __global__ void __launch_bounds__(32)
    beam_search_step(const ChunkDesc* chunks, ChunkResult* chunk_results, int num_chunks, __half* scores,
                     float score_clamp, int num_scores, float* workspace, int* states, char* moves,
                     float* reserved, char* sequence, char* qstring, float q_scale, float q_shift,
                     int beam_width, float beam_cut, float fixed_stay_score) {
    vyr::unused(states, moves, reserved, sequence, qstring, q_scale, q_shift);
    VYR_DYNAMIC_SMEM(BeamFrontElement, beam_front_memory);
    const ChunkView ch = load_chunk(chunks, blockIdx.x);
    const int num_states = num_scores / 4;
    const int num_state_bits = 31 - __clz(num_states);
    ClampScores chunk_scores(scores + (size_t)ch.offset * num_scores, score_clamp);
    ChunkResult* result = chunk_results + ch.index;
    vyr::decoder::beam_search(
        chunk_scores, vyr::decoder::chunk_guides(workspace, ch, num_states), ch.num_timesteps, num_state_bits,
        beam_width, beam_cut, fixed_stay_score,
        vyr::decoder::chunk_beam_rows(workspace, chunks, num_chunks, ch, num_states, beam_width), result,
        beam_front_memory, threadIdx.x);
    if (threadIdx.x == 0) {
        result->timestep_offset = ch.offset;
        result->num_timesteps = ch.num_timesteps;
    }
}
VYR_REGISTER_KERNEL(beam_search_step);

VYR_API __global__ void __launch_bounds__(1024, 1)
    compute_posts_step(const ChunkDesc* chunks, ChunkResult* chunk_results, int num_chunks, __half* scores,
                       float score_clamp, int num_scores, float* workspace, int* states, char* moves,
                       float* reserved, char* sequence, char* qstring, float q_scale, float q_shift,
                       int beam_width, float beam_cut, float fixed_stay_score) {
    vyr::unused(chunk_results, num_chunks, states, moves, reserved, sequence, qstring, q_scale, q_shift,
                beam_width, beam_cut);
    VYR_DYNAMIC_SMEM(float, temp_posts);
    __shared__ float log_sum_exp_inputs;
    const ChunkView ch = load_chunk(chunks, blockIdx.x);
    const int num_states = num_scores / 4;
    vyr::decoder::compute_posts(scores + (size_t)ch.offset * num_scores,
                                vyr::decoder::chunk_guides(workspace, ch, num_states), ch.num_timesteps,
                                num_states, score_clamp, fixed_stay_score, temp_posts, &log_sum_exp_inputs,
                                threadIdx.x, blockDim.x);
}
VYR_REGISTER_KERNEL(compute_posts_step);

VYR_API __global__ void __launch_bounds__(32)
    decode_step(const ChunkDesc* chunks, ChunkResult* chunk_results, int num_chunks, __half* scores,
                float score_clamp, int num_scores, float* workspace, int* states, char* moves,
                float* reserved, char* sequence, char* qstring, float q_scale, float q_shift, int beam_width,
                float beam_cut, float fixed_stay_score, int timestep_aligned) {
    vyr::unused(score_clamp, reserved, beam_cut, fixed_stay_score);
    const int c = blockIdx.x * 32 + threadIdx.x;
    if (c >= num_chunks) return;
    const ChunkView ch = load_chunk(chunks, c);
    const int num_states = num_scores / 4;
    const int o = ch.offset;
    ChunkResult* result = chunk_results + c;
    vyr::decoder::beam_decode(
        ch.num_timesteps, num_states, beam_width, moves + o, sequence + o, states + o, qstring + o,
        scores + (size_t)o * num_scores,
        vyr::decoder::chunk_beam_rows(workspace, chunks, num_chunks, ch, num_states, beam_width), result,
        q_scale, q_shift, timestep_aligned);
    result->timestep_offset = o;
    result->num_timesteps = ch.num_timesteps;
}
VYR_REGISTER_KERNEL(decode_step);

// ---- Host wrappers ------------------------------------------------------------------------------------

namespace {

// Sizes the kernels index safely; anything else would read or write outside the caller's buffers.
cudaError_t check_sizes(int num_chunks, int num_scores) {
    if (num_chunks < 0 || !vyr::decoder::is_supported_num_scores(num_scores)) return cudaErrorInvalidValue;
    return cudaSuccess;
}
bool supported_beam_width(int beam_width) {
    return beam_width >= 1 && beam_width <= 256;
}

// back_guide_step and compute_posts_step: one thread per state up to 1024, then strided.
int state_block(int num_scores) {
    return num_scores >= 4100 ? 1024 : num_scores / 4;
}

}  // namespace

VYR_API int host_post_gemm_no_modbase(const __half* bias, __half* scores, int num_scores, int total_timesteps,
                                      float scale) {
    vyr::launch(VYR_KERNEL(post_gemm_no_modbase), dim3(1024), dim3(1024), 0, 0, bias, scores, num_scores,
                total_timesteps, scale);
    return VyrSuccess;
}

#define VYR_DECODER_PARAMS                                                                                  \
    const ChunkDesc *chunks, ChunkResult *chunk_results, int num_chunks, __half *scores, float score_clamp, \
        int num_scores, float *workspace, int *states, char *moves, float *reserved, char *sequence,        \
        char *qstring, float q_scale, float q_shift, int beam_width, float beam_cut, float fixed_stay_score
#define VYR_DECODER_ARGS                                                                                    \
    chunks, chunk_results, num_chunks, scores, score_clamp, num_scores, workspace, states, moves, reserved, \
        sequence, qstring, q_scale, q_shift, beam_width, beam_cut, fixed_stay_score

VYR_API int host_back_guide_step(cudaStream_t stream, VYR_DECODER_PARAMS) {
    if (cudaError_t e = check_sizes(num_chunks, num_scores)) return e;
    if (num_chunks == 0) return vyr::cleared_error();
    vyr::launch(VYR_KERNEL(back_guide_step), dim3(num_chunks), dim3(state_block(num_scores)), 0, stream,
                VYR_DECODER_ARGS);
    return vyr::cleared_error();
}

VYR_API int host_beam_search_step(cudaStream_t stream, VYR_DECODER_PARAMS) {
    if (cudaError_t e = check_sizes(num_chunks, num_scores)) return e;
    if (!supported_beam_width(beam_width)) return cudaErrorInvalidValue;
    if (num_chunks == 0) return vyr::cleared_error();
    const auto kernel = VYR_KERNEL(beam_search_step);
    const size_t smem = (size_t)get_beamsearch_shared_mem_bytes(num_scores / 4, beam_width);
    // A refused raise needs no report of its own: the launch is then refused and its error returned.
    vyr::allow_dynamic_smem(kernel, smem, nullptr);
    vyr::launch(kernel, dim3(num_chunks), dim3(32), smem, stream, VYR_DECODER_ARGS);
    return vyr::cleared_error();
}

VYR_API int host_compute_posts_step(cudaStream_t stream, VYR_DECODER_PARAMS) {
    if (cudaError_t e = check_sizes(num_chunks, num_scores)) return e;
    if (num_chunks == 0) return vyr::cleared_error();
    const auto kernel = VYR_KERNEL(compute_posts_step);
    // At 4096 states the three rows alone fill the 48 KiB default, so the kernel's static bytes need the
    // raise.
    const size_t smem = (size_t)get_post_calc_shared_mem_bytes(num_scores / 4);
    vyr::allow_dynamic_smem(kernel, smem, nullptr);
    vyr::launch(kernel, dim3(num_chunks), dim3(state_block(num_scores)), smem, stream, VYR_DECODER_ARGS);
    return vyr::cleared_error();
}

VYR_API int host_run_decode(cudaStream_t stream, VYR_DECODER_PARAMS, int timestep_aligned) {
    if (cudaError_t e = check_sizes(num_chunks, num_scores)) return e;
    if (!supported_beam_width(beam_width)) return cudaErrorInvalidValue;
    if (num_chunks == 0) return vyr::cleared_error();
    vyr::launch(VYR_KERNEL(decode_step), dim3(vyr::ceil_div(num_chunks, 32)), dim3(32), 0, stream,
                VYR_DECODER_ARGS, timestep_aligned);
    return vyr::cleared_error();
}
