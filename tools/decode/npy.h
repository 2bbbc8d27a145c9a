// Reading and writing NumPy .npy files: the decode tool's input format for scores, chunk lengths and bias.
// Every check that can fail on a user's file returns a one-line message instead of trusting the file: the
// header is parsed as data, sizes are checked for overflow and against the bytes actually present.
#pragma once

#include <cuda_fp16.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vyr_tool {

// A parsed array. `data` holds the elements in little-endian order, C order, whatever the file used.
struct NpyArray {
    char kind = 0;      // 'f' float, 'i' signed integer, 'u' unsigned integer, 'b' bool
    int item_size = 0;  // bytes per element
    std::vector<int64_t> shape;
    std::vector<unsigned char> data;

    int64_t count() const;
    std::string dtype() const;  // e.g. "float16", "int64"
};

// Each returns "" on success, else one line (no newline) saying what is wrong with the input.
std::string parse_npy(const unsigned char* bytes, size_t size, NpyArray* out);
std::string read_npy(const std::string& path, NpyArray* out);

// Scores [rows][num_scores] of float16, float32 or float64, as half (float to half rounds to nearest even).
std::string npy_to_scores(const NpyArray& a, std::vector<__half>* scores, int64_t* rows, int* num_scores);
// A 1-D array of integer chunk lengths, each 0 to INT32_MAX.
std::string npy_to_lengths(const NpyArray& a, std::vector<int>* lengths);
// A 1-D array of `n` floats, as half.
std::string npy_to_half_vector(const NpyArray& a, int64_t n, std::vector<__half>* values);

// A complete .npy image (format version 1.0) of little-endian data; descr is e.g. "<f2", "<i8".
std::vector<unsigned char> make_npy(const std::string& descr, const std::vector<int64_t>& shape,
                                    const void* data, size_t bytes);
std::string write_file(const std::string& path, const std::vector<unsigned char>& bytes);

}  // namespace vyr_tool
