// Warp-wide top-k merge sort over shared memory, used by the beam search: once to find the beam_width-th best
// backward guide of a chunk's first row, once to bring the best final beam element to the front.
//
// Bottom-up merge of runs of width 1, 2, 4, ..., ping-ponging between `data` and `scratch` (same length n).
// Each merge keeps only its first k outputs, so every run holds its own top k in order and the final array
// begins with the overall top k, ordered by `comp` (true when the first argument goes first). Ties keep the
// earlier element first. Positions from k on are unspecified afterwards.
#pragma once

namespace vyr {

__device__ inline bool float_greater(float a, float b) {
    return a > b;
}

// Merges the runs [begin, mid) and [mid, end) of src into dst, writing only the first k outputs.
template <class T, class Comp>
__device__ inline void merge_runs_top_k(const T* src, T* dst, int begin, int mid, int end, int k, Comp comp) {
    int left = begin, right = mid;
    int out_end = end < begin + k ? end : begin + k;
    for (int out = begin; out < out_end; ++out) {
        // Take the right head only when it strictly goes first: the left (earlier) element wins ties.
        bool take_right = left >= mid || (right < end && comp(src[right], src[left]));
        dst[out] = take_right ? src[right++] : src[left++];
    }
}

// All 32 lanes of the warp must call this together.
template <class T, class Comp>
__device__ void merge_sort(T* data, T* scratch, int n, int k, Comp comp, int lane) {
    T* src = data;
    T* dst = scratch;
    for (int width = 1; width < n; width *= 2) {
        for (int begin = 2 * width * lane; begin < n; begin += 2 * width * 32) {
            int mid = begin + width < n ? begin + width : n;
            int end = begin + 2 * width < n ? begin + 2 * width : n;
            merge_runs_top_k(src, dst, begin, mid, end, k, comp);
        }
        __syncwarp();
        T* t = src;
        src = dst;
        dst = t;
    }
    if (src != data) {
        for (int i = lane; i < n; i += 32) data[i] = src[i];
        __syncwarp();
    }
}

}  // namespace vyr
