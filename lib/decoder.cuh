// Device helpers shared by the decoder kernels in decoder_lib.cu: where each chunk's rows live in the
// workspace, the log-sum-exp forms, the warp reductions and the path hash of the beam search.
#pragma once

#include <stdint.h>

#include "intrinsics.cuh"
#include "log_sum_exp.cuh"
#include "vyr.h"

namespace vyr {
namespace decoder {

constexpr float kMaxFloat = 3.4028235e38f;
constexpr unsigned kFullMask = 0xffffffffu;

// Supported state spaces: 4^k states for k = 1..6. One state (k = 0) would let a step leave the state range,
// and the beam search's 16-bit state arithmetic stops at 4096.
__host__ __device__ inline bool is_supported_num_scores(int num_scores) {
    for (int num_states = 4; num_states <= 4096; num_states *= 4)
        if (num_scores == 4 * num_states) return true;
    return false;
}

// One chunk as the kernels see it. A negative timestep count is read as an empty chunk.
struct ChunkView {
    int index;
    int offset;
    int num_timesteps;
};
__device__ inline ChunkView load_chunk(const ChunkDesc* chunks, int c) {
    ChunkDesc d = chunks[c];
    return ChunkView{c, d.timestep_offset, d.num_timesteps > 0 ? d.num_timesteps : 0};
}

// Every chunk owns T + 1 workspace rows (one per timestep boundary), so its rows start at offset + index.
__device__ inline size_t workspace_row(const ChunkView& ch) {
    return (size_t)ch.offset + (size_t)ch.index;
}
__device__ inline float* chunk_guides(float* workspace, const ChunkView& ch, int num_states) {
    return workspace + workspace_row(ch) * (size_t)num_states;
}
// The beam rows follow the guides of all chunks; the last chunk of the array ends the timestep axis.
__device__ inline BeamElement* chunk_beam_rows(float* workspace, const ChunkDesc* chunks, int num_chunks,
                                               const ChunkView& ch, int num_states, int beam_width) {
    ChunkView last = load_chunk(chunks, num_chunks - 1);
    size_t guide_rows = workspace_row(last) + (size_t)last.num_timesteps + 1;
    BeamElement* region = reinterpret_cast<BeamElement*>(workspace + guide_rows * (size_t)num_states);
    return region + workspace_row(ch) * (size_t)beam_width;
}

using vyr::log_sum_exp;

// Butterfly reductions over the first `width` lanes (a power of two up to 32; `mask` names exactly those
// lanes), so blocks smaller than a warp reduce over the lanes they have.
__device__ inline float warp_reduce_max(float v, unsigned mask = kFullMask, int width = 32) {
    for (int d = width / 2; d > 0; d /= 2) v = fmaxf(v, __shfl_xor_sync(mask, v, d));
    return v;
}
__device__ inline float warp_reduce_add(float v, unsigned mask = kFullMask, int width = 32) {
    for (int d = width / 2; d > 0; d /= 2) v += __shfl_xor_sync(mask, v, d);
    return v;
}
__device__ inline int warp_reduce_add(int v) {
#if VYR_ARCH >= 800
    return __reduce_add_sync(kFullMask, v);
#else
    for (int d = 16; d > 0; d /= 2) v += __shfl_xor_sync(kFullMask, v, d);
    return v;
#endif
}

// Inclusive prefix sum over the warp by up-shuffles; lanes below the distance add nothing.
__device__ inline int warp_shuffle_prefix(int v, int lane) {
    for (int d = 1; d < 32; d *= 2) {
        int other = __shfl_up_sync(kFullMask, v, d);
        if (lane >= d) v += other;
    }
    return v;
}

// Bitwise CRC-32C (reflected polynomial 0x82F63B78, no final inversion) over the low N bits of data.
template <int N>
__host__ __device__ inline uint32_t crc32c(uint32_t crc, uint32_t data) {
    for (int i = 0; i < N; ++i) {
        uint32_t bit = (crc ^ (data >> i)) & 1u;
        crc >>= 1;
        if (bit) crc ^= 0x82F63B78u;
    }
    return crc;
}
constexpr uint32_t kPathHashSeed = 0x12345678u;

}  // namespace decoder
}  // namespace vyr
