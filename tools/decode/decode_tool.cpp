#include "decode_tool.h"

#include <cuda_runtime.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "npy.h"
#include "reads.h"
#include "vyr.h"

namespace vyr_tool {

namespace {

// Largest (rows + chunks) * max(num_scores, beam_width) of one device batch. The decoder indexes scores,
// guides and beam rows with 32-bit offsets, so a batch must stay well inside int range; this bound also keeps
// one batch's scores to 2 GiB of device memory.
constexpr int64_t kMaxBatchElements = int64_t(1) << 30;
// Planted scores are generated in host memory; 2^30 halves is 2 GiB.
constexpr int64_t kMaxSyntheticScores = int64_t(1) << 30;

const char kUsage[] =
    "usage: vyr-decode [options] SCORES.npy\n"
    "       vyr-decode [options] --synthetic N\n"
    "Decodes CRF scores [timesteps][num_scores] (float16 or float32 .npy) into FASTQ, one record per chunk\n"
    "named by its index, and prints a summary line on stderr.\n"
    "  --chunk-len T      timesteps per chunk (the last chunk takes the remainder); synthetic default 300\n"
    "  --chunk-lens FILE  .npy of integer chunk lengths summing to the timesteps of SCORES\n"
    "                     (with neither option the whole file is one chunk)\n"
    "  --bias FILE        .npy of num_scores bias values; scores become scale * tanh(scores + bias)\n"
    "  --scale S          scale of that post-processing (default 1; either option enables it)\n"
    "  --beam-width W     beam width, 1 to 256 (default 32)\n"
    "  --beam-cut C       drop candidates below best - ln(C) (default 100)\n"
    "  --stay-score X     log score of a stay (default 2)\n"
    "  --clamp X          clamp scores to [-X, X]; 0 = no clamp (default 0)\n"
    "  --q-scale S        quality = q-scale * Phred + q-shift (default 1)\n"
    "  --q-shift S        (default 0)\n"
    "  --synthetic N      decode N planted chunks instead of a file and report their identity\n"
    "  --states S         synthetic CRF states, a power of four from 4 to 4096 (default 256)\n"
    "  --seed N           synthetic seed (default 1)\n"
    "  --batch N          chunks per device batch (default 1024)\n"
    "  -o FILE            write FASTQ to FILE instead of stdout\n";

bool parse_int(const char* text, long long lo, long long hi, long long* v) {
    char* end = nullptr;
    errno = 0;
    *v = std::strtoll(text, &end, 10);
    return *text && !*end && errno == 0 && *v >= lo && *v <= hi;
}

bool parse_float(const char* text, float* v) {
    char* end = nullptr;
    errno = 0;
    *v = std::strtof(text, &end);
    return *text && !*end && errno == 0 && std::isfinite(*v);
}

bool valid_num_states(long long n) {
    for (long long s = 4; s <= 4096; s *= 4)
        if (n == s) return true;
    return false;
}

std::string cuda_failure(int e, const char* what) {
    return std::string(what) + " failed: " + cudaGetErrorString(static_cast<cudaError_t>(e));
}

template <class T>
class DeviceArray {
  public:
    ~DeviceArray() { cudaFree(p_); }
    // Never a zero-byte allocation: an empty chunk still gets a valid pointer.
    cudaError_t allocate(size_t n) {
        return cudaMalloc(reinterpret_cast<void**>(&p_), std::max<size_t>(n, 1) * sizeof(T));
    }
    T* get() const { return p_; }

  private:
    T* p_ = nullptr;
};

struct BatchOutput {
    std::vector<ChunkResult> results;
    std::vector<char> sequence, qstring;
};

// Decodes `n` consecutive chunks whose scores start at `scores`, through the five library calls on stream 0.
std::string decode_batch(const __half* scores, int num_scores, const int* lengths, int n,
                         const std::vector<__half>& bias, const DecodeOptions& opt, BatchOutput* out) {
    std::vector<ChunkDesc> chunks(n);
    int rows = 0;
    for (int c = 0; c < n; ++c) {
        chunks[c] = ChunkDesc{rows, lengths[c], {0, 0}};
        rows += lengths[c];
    }
    const size_t score_count = static_cast<size_t>(rows) * num_scores;
    const size_t workspace_floats = vyr_decode_workspace_bytes(rows, n, num_scores, opt.beam_width) / 4;

    DeviceArray<ChunkDesc> d_chunks;
    DeviceArray<ChunkResult> d_results;
    DeviceArray<__half> d_scores, d_bias;
    DeviceArray<float> d_workspace;
    DeviceArray<int> d_states;
    DeviceArray<char> d_moves, d_sequence, d_qstring;
    if (d_chunks.allocate(n) || d_results.allocate(n) || d_scores.allocate(score_count) ||
        d_bias.allocate(num_scores) || d_workspace.allocate(workspace_floats) || d_states.allocate(rows) ||
        d_moves.allocate(rows) || d_sequence.allocate(rows) || d_qstring.allocate(rows)) {
        cudaGetLastError();
        return "out of device memory for a batch of " + std::to_string(n) + " chunks, " +
               std::to_string(rows) + " timesteps (try a smaller --batch)";
    }
    int e = cudaMemcpy(d_chunks.get(), chunks.data(), n * sizeof(ChunkDesc), cudaMemcpyHostToDevice);
    if (!e) e = cudaMemcpy(d_scores.get(), scores, score_count * sizeof(__half), cudaMemcpyHostToDevice);
    if (!e && opt.post_process)
        e = cudaMemcpy(d_bias.get(), bias.data(), num_scores * sizeof(__half), cudaMemcpyHostToDevice);
    if (e) return cuda_failure(e, "copy to the device");

    if (opt.post_process) {
        host_post_gemm_no_modbase(d_bias.get(), d_scores.get(), num_scores, rows, opt.scale);
        if ((e = cudaGetLastError())) return cuda_failure(e, "host_post_gemm_no_modbase");
    }
    // The four steps share one argument list; the guides and beam rows they pass on live in the workspace.
    using Step = int (*)(cudaStream_t, const ChunkDesc*, ChunkResult*, int, __half*, float, int, float*, int*,
                         char*, float*, char*, char*, float, float, int, float, float);
    const std::pair<Step, const char*> steps[] = {{host_back_guide_step, "host_back_guide_step"},
                                                  {host_beam_search_step, "host_beam_search_step"},
                                                  {host_compute_posts_step, "host_compute_posts_step"}};
    for (const auto& step : steps) {
        e = step.first(0, d_chunks.get(), d_results.get(), n, d_scores.get(), opt.clamp, num_scores,
                       d_workspace.get(), d_states.get(), d_moves.get(), nullptr, d_sequence.get(),
                       d_qstring.get(), opt.q_scale, opt.q_shift, opt.beam_width, opt.beam_cut,
                       opt.stay_score);
        if (e) return cuda_failure(e, step.second);
    }
    e = host_run_decode(0, d_chunks.get(), d_results.get(), n, d_scores.get(), opt.clamp, num_scores,
                        d_workspace.get(), d_states.get(), d_moves.get(), nullptr, d_sequence.get(),
                        d_qstring.get(), opt.q_scale, opt.q_shift, opt.beam_width, opt.beam_cut,
                        opt.stay_score,
                        /*timestep_aligned=*/0);
    if (e) return cuda_failure(e, "host_run_decode");
    if ((e = cudaDeviceSynchronize())) return cuda_failure(e, "decoding");

    out->results.resize(n);
    out->sequence.resize(rows);
    out->qstring.resize(rows);
    e = cudaMemcpy(out->results.data(), d_results.get(), n * sizeof(ChunkResult), cudaMemcpyDeviceToHost);
    if (!e) e = cudaMemcpy(out->sequence.data(), d_sequence.get(), rows, cudaMemcpyDeviceToHost);
    if (!e) e = cudaMemcpy(out->qstring.data(), d_qstring.get(), rows, cudaMemcpyDeviceToHost);
    if (e) return cuda_failure(e, "copy from the device");

    for (int c = 0; c < n; ++c) {
        const ChunkResult& r = out->results[c];
        // A chunk's bases lie inside its own timesteps; anything else would read a neighbour's output.
        if (r.timestep_offset != chunks[c].timestep_offset || r.num_timesteps != lengths[c] ||
            r.num_bases < 0 || r.num_bases > lengths[c])
            return "the decoder returned an inconsistent result for a chunk of " +
                   std::to_string(lengths[c]) + " timesteps (" + std::to_string(r.num_bases) + " bases)";
    }
    return "";
}

// Chunk lengths of the file mode, from --chunk-lens, --chunk-len or the whole file.
std::string chunk_lengths(const DecodeOptions& opt, int64_t rows, std::vector<int>* lengths) {
    if (!opt.lengths_path.empty()) {
        NpyArray a;
        std::string e = read_npy(opt.lengths_path, &a);
        if (!e.empty()) return e;
        if (!(e = npy_to_lengths(a, lengths)).empty()) return opt.lengths_path + ": " + e;
        int64_t sum = 0;
        for (int t : *lengths) sum += t;
        if (sum != rows)
            return opt.lengths_path + ": chunk lengths sum to " + std::to_string(sum) + " timesteps, " +
                   opt.scores_path + " has " + std::to_string(rows);
        return "";
    }
    const int64_t len = opt.chunk_len ? opt.chunk_len : std::max<int64_t>(rows, 1);
    if (len > INT_MAX) return opt.scores_path + ": too many timesteps for one chunk; give --chunk-len";
    for (int64_t start = 0; start < rows; start += len)
        lengths->push_back(static_cast<int>(std::min(len, rows - start)));
    return "";
}

struct Totals {
    int64_t chunks = 0, bases = 0, timesteps = 0, failed = 0;
    double quality_sum = 0.0, seconds = 0.0;
};

// Decodes every chunk in batches, writing one FASTQ record per chunk; `decoded` collects the reads if given.
std::string decode_all(const __half* scores, int num_scores, const std::vector<int>& lengths,
                       const std::vector<__half>& bias, const DecodeOptions& opt, FILE* fastq, Totals* totals,
                       std::vector<std::string>* decoded) {
    const int64_t width = std::max(num_scores, opt.beam_width);
    size_t first = 0;
    int64_t first_row = 0;
    while (first < lengths.size()) {
        size_t last = first;
        int64_t rows = 0;
        while (last < lengths.size() && static_cast<int64_t>(last - first) < opt.batch_chunks &&
               (rows + lengths[last] + (last - first + 1)) * width <= kMaxBatchElements)
            rows += lengths[last++];
        if (last == first)
            return "chunk " + std::to_string(first) + " (" + std::to_string(lengths[first]) +
                   " timesteps) is too long to decode in one piece";

        BatchOutput out;
        const auto start = std::chrono::steady_clock::now();
        std::string e = decode_batch(scores + first_row * num_scores, num_scores, &lengths[first],
                                     static_cast<int>(last - first), bias, opt, &out);
        totals->seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!e.empty()) return e;

        for (size_t c = 0; c < last - first; ++c) {
            const ChunkResult& r = out.results[c];
            const char* bases = out.sequence.data() + r.timestep_offset;
            const char* quals = out.qstring.data() + r.timestep_offset;
            write_fastq_record(fastq, static_cast<int64_t>(first + c), bases, quals, r.num_bases);
            for (int i = 0; i < r.num_bases; ++i) totals->quality_sum += quals[i] - 33;
            totals->bases += r.num_bases;
            totals->failed += r.score < 0.0f;
            if (decoded) decoded->emplace_back(bases, r.num_bases);
        }
        totals->chunks += last - first;
        totals->timesteps += rows;
        first = last;
        first_row += rows;
    }
    return "";
}

// Scores [rows][num_scores] as half; the file's own array is released before the decode starts.
std::string load_scores(const std::string& path, std::vector<__half>* scores, int64_t* rows,
                        int* num_scores) {
    NpyArray a;
    std::string e = read_npy(path, &a);
    if (!e.empty()) return e;
    if (!(e = npy_to_scores(a, scores, rows, num_scores)).empty()) return path + ": " + e;
    if (*num_scores % 4 || !valid_num_states(*num_scores / 4))
        return path + ": " + std::to_string(*num_scores) +
               " scores per timestep; the decoder needs 4 x num_states, num_states a power of four from 4 to "
               "4096";
    return "";
}

// Validates the options against the mode and loads (or generates) the scores; "" or an error line.
std::string load_input(const DecodeOptions& opt, std::vector<__half>* scores, int* num_scores,
                       std::vector<int>* lengths, std::vector<__half>* bias, PlantedBatch* planted) {
    if (opt.synthetic >= 0) {
        if (!opt.scores_path.empty() || !opt.lengths_path.empty() || opt.post_process)
            return "--synthetic generates its own scores; it takes no SCORES file, --chunk-lens, --bias or "
                   "--scale";
        const int len = opt.chunk_len ? opt.chunk_len : kSyntheticChunkLen;
        if (int64_t(len) * opt.synthetic * 4 * opt.num_states > kMaxSyntheticScores)
            return "--synthetic batch too large: " + std::to_string(opt.synthetic) + " chunks of " +
                   std::to_string(len) + " timesteps and " + std::to_string(opt.num_states) + " states";
        lengths->assign(opt.synthetic, len);
        *planted = make_planted_batch(*lengths, opt.num_states, opt.stay_score, opt.seed);
        scores->swap(planted->scores);
        *num_scores = 4 * opt.num_states;
        return "";
    }
    if (opt.scores_path.empty()) return "no SCORES.npy given (or use --synthetic N); see --help";
    if (opt.chunk_len && !opt.lengths_path.empty()) return "give --chunk-len or --chunk-lens, not both";
    int64_t rows = 0;
    std::string e = load_scores(opt.scores_path, scores, &rows, num_scores);
    if (!e.empty()) return e;
    if (!(e = chunk_lengths(opt, rows, lengths)).empty()) return e;
    if (opt.post_process) {
        if (opt.bias_path.empty()) {
            bias->assign(*num_scores, __float2half_rn(0.0f));
        } else {
            NpyArray b;
            if (!(e = read_npy(opt.bias_path, &b)).empty()) return e;
            if (!(e = npy_to_half_vector(b, *num_scores, bias)).empty()) return opt.bias_path + ": bias " + e;
        }
    }
    return "";
}

}  // namespace

const char* decode_usage() {
    return kUsage;
}

std::string parse_decode_options(int argc, char** argv, DecodeOptions* opt) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            opt->help = true;
            continue;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            if (!opt->scores_path.empty()) return "more than one SCORES file given ('" + arg + "')";
            opt->scores_path = arg;
            continue;
        }
        if (i + 1 >= argc) return "option " + arg + " needs a value";
        const char* v = argv[++i];
        long long n = 0;
        float f = 0.0f;
        const std::string bad = "invalid value '" + std::string(v) + "' for " + arg;
        if (arg == "-o") {
            opt->output_path = v;
        } else if (arg == "--chunk-lens") {
            opt->lengths_path = v;
        } else if (arg == "--bias") {
            opt->bias_path = v;
            opt->post_process = true;
        } else if (arg == "--chunk-len") {
            if (!parse_int(v, 1, INT_MAX, &n)) return bad + " (a positive number of timesteps)";
            opt->chunk_len = static_cast<int>(n);
        } else if (arg == "--synthetic") {
            if (!parse_int(v, 0, 1 << 20, &n)) return bad + " (0 to 1048576 chunks)";
            opt->synthetic = static_cast<int>(n);
        } else if (arg == "--states") {
            if (!parse_int(v, 4, 4096, &n) || !valid_num_states(n))
                return bad + " (4, 16, 64, 256, 1024 or 4096)";
            opt->num_states = static_cast<int>(n);
        } else if (arg == "--seed") {
            if (!parse_int(v, 0, LLONG_MAX, &n)) return bad + " (a non-negative integer)";
            opt->seed = static_cast<uint64_t>(n);
        } else if (arg == "--beam-width") {
            if (!parse_int(v, 1, 256, &n)) return bad + " (1 to 256)";
            opt->beam_width = static_cast<int>(n);
        } else if (arg == "--batch") {
            if (!parse_int(v, 1, INT_MAX, &n)) return bad + " (a positive number of chunks)";
            opt->batch_chunks = static_cast<int>(n);
        } else {
            float* target = arg == "--scale"        ? &opt->scale
                            : arg == "--beam-cut"   ? &opt->beam_cut
                            : arg == "--stay-score" ? &opt->stay_score
                            : arg == "--clamp"      ? &opt->clamp
                            : arg == "--q-scale"    ? &opt->q_scale
                            : arg == "--q-shift"    ? &opt->q_shift
                                                    : nullptr;
            if (!target) return "unknown option " + arg + "; see --help";
            if (!parse_float(v, &f)) return bad + " (a finite number)";
            if (arg == "--clamp" && f < 0.0f) return bad + " (0 or more)";
            *target = f;
            opt->post_process |= arg == "--scale";
        }
    }
    return "";
}

namespace {

int run(int argc, char** argv, FILE* out, FILE* err) {
    DecodeOptions opt;
    std::string e = parse_decode_options(argc, argv, &opt);
    if (!e.empty()) {
        std::fprintf(err, "vyr-decode: %s\n", e.c_str());
        return 1;
    }
    if (opt.help) {
        std::fputs(kUsage, out);
        return 0;
    }
    std::vector<__half> scores, bias;
    std::vector<int> lengths;
    int num_scores = 0;
    PlantedBatch planted;
    if (!(e = load_input(opt, &scores, &num_scores, &lengths, &bias, &planted)).empty()) {
        std::fprintf(err, "vyr-decode: %s\n", e.c_str());
        return 1;
    }
    FILE* fastq = out;
    if (!opt.output_path.empty() && !(fastq = std::fopen(opt.output_path.c_str(), "w"))) {
        std::fprintf(err, "vyr-decode: %s: %s\n", opt.output_path.c_str(), std::strerror(errno));
        return 1;
    }
    // Start the runtime before the clock does, so that the summary times the decoding, not the driver.
    if (const cudaError_t start = cudaFree(nullptr)) {
        std::fprintf(err, "vyr-decode: no usable device: %s\n", cudaGetErrorString(start));
        if (fastq != out) std::fclose(fastq);
        return 2;
    }
    Totals totals;
    std::vector<std::string> decoded;
    e = decode_all(scores.data(), num_scores, lengths, bias, opt, fastq, &totals,
                   opt.synthetic >= 0 ? &decoded : nullptr);
    const bool write_failed = std::fflush(fastq) != 0 || std::ferror(fastq);
    if (fastq != out && std::fclose(fastq) != 0 && e.empty()) e = "closing " + opt.output_path + " failed";
    if (e.empty() && write_failed) e = "writing the FASTQ output failed";
    if (!e.empty()) {
        std::fprintf(err, "vyr-decode: %s\n", e.c_str());
        return 2;
    }

    const double seconds = std::max(totals.seconds, 1e-9);
    std::fprintf(err, "vyr-decode: %lld chunks, %lld bases, mean quality ",
                 static_cast<long long>(totals.chunks), static_cast<long long>(totals.bases));
    if (totals.bases)
        std::fprintf(err, "%.1f", totals.quality_sum / totals.bases);
    else
        std::fputs("-", err);
    std::fprintf(err, ", %.3f s, %.0f timesteps/s\n", totals.seconds, totals.timesteps / seconds);
    if (totals.failed)
        std::fprintf(
            err, "vyr-decode: %lld chunk(s) could not be decoded (written as one base 'A', quality '!')\n",
            static_cast<long long>(totals.failed));

    if (opt.synthetic < 0) return 0;
    double sum = 0.0, lowest = 1.0;
    int exact = 0;
    for (size_t c = 0; c < decoded.size(); ++c) {
        const double id = read_identity(decoded[c], planted.reads[c]);
        sum += id;
        lowest = std::min(lowest, id);
        exact += decoded[c] == planted.reads[c];
    }
    const double mean = decoded.empty() ? 1.0 : sum / decoded.size();
    std::fprintf(err, "vyr-decode: identity to planted reads: mean %.2f%%, min %.2f%%, %d of %zu exact\n",
                 100.0 * mean, 100.0 * lowest, exact, decoded.size());
    return exact == static_cast<int>(decoded.size()) ? 0 : 3;
}

}  // namespace

int run_decode_tool(int argc, char** argv, FILE* out, FILE* err) {
    try {
        return run(argc, argv, out, err);
    } catch (const std::bad_alloc&) {
        std::fputs("vyr-decode: out of host memory\n", err);
        return 2;
    }
}

}  // namespace vyr_tool
