// Reads on the host side of the decode tool: FASTQ records, planted test reads and read identity.
#pragma once

#include <cuda_fp16.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vyr_tool {

// One FASTQ record named by its chunk index: "@<index>", the bases, "+", the Phred+33 qualities.
void write_fastq_record(FILE* out, int64_t index, const char* bases, const char* quals, int n);

// Chunks whose scores favour one random path of steps and stays by a wide margin, so that a correct decoder
// recovers each planted read exactly (bases and moves).
struct PlantedBatch {
    int num_states = 0;
    std::vector<int> lengths;
    std::vector<__half> scores;      // [sum of lengths][4 * num_states]
    std::vector<std::string> reads;  // the bases the decoder should emit, one string per chunk
    std::vector<std::string> moves;  // per timestep '1' where a base starts, '0' for a stay
};

// `stay_score` is the decoder's fixed stay score: planted steps score well above it, every other step well
// below it, so a planted stay wins its timestep too. num_states must be a power of four from 4 to 4096.
PlantedBatch make_planted_batch(const std::vector<int>& lengths, int num_states, float stay_score,
                                uint64_t seed);

// Matching columns over all columns of a minimum-edit alignment; 1 for two empty reads.
double read_identity(const std::string& decoded, const std::string& expected);

}  // namespace vyr_tool
