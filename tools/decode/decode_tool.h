// The decode tool: raw CRF scores (a .npy file, or planted synthetic chunks) to FASTQ through the library's
// five decoding calls on the current backend. Kept apart from main() so that tests can run it in-process.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace vyr_tool {

struct DecodeOptions {
    std::string scores_path;    // file mode: [timesteps][num_scores] float16 or float32
    std::string lengths_path;   // optional 1-D integer chunk lengths
    std::string bias_path;      // optional [num_scores] bias of the post-processing
    std::string output_path;    // FASTQ destination; empty for the default stream
    int chunk_len = 0;          // 0: not given
    int synthetic = -1;         // number of planted chunks; -1: file mode
    int num_states = 256;       // synthetic mode only
    uint64_t seed = 1;          // synthetic mode only
    bool post_process = false;  // set by --bias or --scale
    float scale = 1.0f;
    int beam_width = 32;
    float beam_cut = 100.0f;
    float stay_score = 2.0f;
    float clamp = 0.0f;
    float q_scale = 1.0f;
    float q_shift = 0.0f;
    int batch_chunks = 1024;
    bool help = false;
};

// Synthetic chunk length when --chunk-len is not given: long enough for real reads, short enough that
// the simulator decodes 64 chunks in seconds.
constexpr int kSyntheticChunkLen = 300;

// "" on success, else one line naming the offending option.
std::string parse_decode_options(int argc, char** argv, DecodeOptions* opt);
const char* decode_usage();

// Runs the tool; FASTQ goes to `out` unless -o names a file, messages and the summary to `err`. Returns the
// process exit status: 0 success, 1 bad arguments or input, 2 a decoding or device failure, 3 (synthetic
// mode) decoded reads that differ from the planted ones.
int run_decode_tool(int argc, char** argv, FILE* out, FILE* err);

}  // namespace vyr_tool
