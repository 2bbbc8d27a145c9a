// Warp shuffles against hand-written formulas of the PTX semantics, lane by lane, and a tail warp that
// names only the lanes present.
#include "sim_test.h"

namespace {

enum Op { kIdx, kUp, kDown, kXor };

template <class T>
__global__ void shuffle_kernel(T* out, int op, int arg, int width) {
    const int t = threadIdx.x;
    const T v = (T)(t * 3 + 1);
    const unsigned all = 0xffffffffu;
    out[t] = op == kIdx    ? __shfl_sync(all, v, arg, width)
             : op == kUp   ? __shfl_up_sync(all, v, arg, width)
             : op == kDown ? __shfl_down_sync(all, v, arg, width)
                           : __shfl_xor_sync(all, v, arg, width);
}

// Source lane of a full-mask shuffle, from the PTX description: segments of `width` lanes; up/down sources
// outside the segment, and xor sources above it, leave the lane's own value (xor may read an earlier one).
int source_lane(int op, int lane, int arg, int width) {
    const int base = lane & ~(width - 1);
    if (op == kIdx) return base + (arg % width + width) % width;
    const int src = op == kUp ? lane - arg : op == kDown ? lane + arg : lane ^ arg;
    return (op != kXor && src < base) || src >= base + width ? lane : src;
}

template <class T>
void check_shuffles(int block) {
    T* out = upload(std::vector<T>(block));
    for (int op : {kIdx, kUp, kDown, kXor})
        for (int width : {1, 2, 4, 8, 16, 32})
            for (int arg : {0, 1, 3, width - 1, width, 16, 31}) {
                SCOPED_TRACE("op " + std::to_string(op) + " width " + std::to_string(width) + " arg " +
                             std::to_string(arg) + " block " + std::to_string(block));
                ASSERT_EQ(cudaSuccess, vyr::launch(VYR_KERNEL(shuffle_kernel<T>), 1, block, 0, nullptr, out,
                                                   op, arg, width));
                const std::vector<T> got = download(out, block);
                for (int t = 0; t < block; ++t) {
                    const int src = (t & ~31) + source_lane(op, t % 32, arg, width);
                    ASSERT_EQ((T)(src * 3 + 1), got[t]) << "thread " << t;
                }
            }
}

TEST(SimCollectives, ShufflesMatchThePtxDefinition) {
    for (int block : {32, 64, 256}) {
        check_shuffles<int>(block);
        check_shuffles<float>(block);
    }
    check_shuffles<double>(64);
    check_shuffles<unsigned>(32);
}

// A tail warp of 16 threads: a full mask would name lanes that do not exist, so the kernel uses the mask of
// the lanes present, as correct code must.
__global__ void tail_warp_kernel(int* out) {
    const unsigned mask = __ballot_sync(__activemask(), 1);
    int v = threadIdx.x;
    for (int o = 8; o > 0; o /= 2) v += __shfl_xor_sync(mask, v, o, 16);
    out[threadIdx.x] = v;
}

TEST(SimCollectives, PartialTailWarp) {
    int* out = upload(std::vector<int>(48));
    ASSERT_EQ(cudaSuccess, vyr::launch(VYR_KERNEL(tail_warp_kernel), 1, 48, 0, nullptr, out));
    const std::vector<int> got = download(out, 48);
    for (int t = 0; t < 48; ++t) {
        int base = t & ~15, sum = 0;
        for (int i = 0; i < 16; ++i) sum += base + i;
        EXPECT_EQ(sum, got[t]) << t;
    }
}

}  // namespace
