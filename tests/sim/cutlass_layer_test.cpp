// The simulator's CUTLASS architecture layer under CUTLASS's own threadblock multiplies: a 64 x 64 tile
// GEMM built from DefaultMma (cp.async + ldmatrix + mma for the multistage loop, predicated global loads for
// the pipelined one) must give the exact product of small-integer matrices, K tail included. Also the
// ldmatrix lane map, which the multiplies cannot pin down alone (a consistent error in A and B cancels).
#include <gtest/gtest.h>

#include <vector>

#include "cutlass/device_kernel.h"
#include "cutlass/gemm/threadblock/default_mma.h"
#include "frame.cuh"
#include "vyr_sim.h"

namespace {

template <class Element, class Accumulator, int Stages, class Operator>
struct TileGemm {
    static constexpr int kAlignment = 128 / cutlass::sizeof_bits<Element>::value;
    using InstructionShape = cutlass::gemm::GemmShape<16, 8, 256 / cutlass::sizeof_bits<Element>::value>;
    using Mma = typename cutlass::gemm::threadblock::DefaultMma<
        Element, cutlass::layout::RowMajor, kAlignment, Element, cutlass::layout::ColumnMajor, kAlignment,
        Accumulator, cutlass::layout::RowMajor, cutlass::arch::OpClassTensorOp, cutlass::arch::Sm80,
        cutlass::gemm::GemmShape<64, 64, 64>, cutlass::gemm::GemmShape<32, 32, 64>, InstructionShape, Stages,
        Operator>::ThreadblockMma;
    using SharedStorage = typename Mma::SharedStorage;

    // A is M x K row-major, B is K x N column-major (row n of the weights), D is M x N row-major; M and N
    // are multiples of 64, K of the access width.
    struct Params {
        int m, n, k;
        typename Mma::IteratorA::Params params_a;
        const Element* a;
        typename Mma::IteratorB::Params params_b;
        const Element* b;
        Accumulator* d;
    };

    CUTLASS_DEVICE void operator()(Params const& p, SharedStorage& storage) {
        const int tile_m = blockIdx.x, tile_n = blockIdx.y;
        typename Mma::IteratorA it_a(p.params_a, const_cast<Element*>(p.a), {p.m, p.k}, threadIdx.x,
                                     {tile_m * 64, 0});
        typename Mma::IteratorB it_b(p.params_b, const_cast<Element*>(p.b), {p.k, p.n}, threadIdx.x,
                                     {0, tile_n * 64});
        const int warp = cutlass::canonical_warp_idx_sync(), lane = cutlass::canonical_lane_idx();
        Mma mma(storage, threadIdx.x, warp, lane);
        typename Mma::FragmentC acc;
        acc.clear();
        mma((p.k + 63) / 64, acc, it_a, it_b, acc);
        typename Mma::Operator::IteratorC it_c({p.d, p.n}, lane);
        it_c.add_tile_offset({tile_m * 2 + warp % 2, tile_n * 2 + warp / 2});
        it_c.store(acc);
    }
};

template <class T>
T* upload(const std::vector<T>& h) {
    T* d = nullptr;
    cudaMalloc(&d, h.size() * sizeof(T));
    cudaMemcpy(d, h.data(), h.size() * sizeof(T), cudaMemcpyHostToDevice);
    return d;
}

// Runs the tile GEMM on integer inputs from `value` and compares with the exact product.
template <class Gemm, class Element, class Accumulator, class Value>
void check_tile_gemm(int m, int n, int k, Value value) {
    std::vector<Element> a((size_t)m * k), b((size_t)n * k);
    for (size_t i = 0; i < a.size(); ++i) a[i] = Element(value(i, 0));
    for (size_t i = 0; i < b.size(); ++i) b[i] = Element(value(i, 1));
    Element* d_a = upload(a);
    Element* d_b = upload(b);
    Accumulator* d_d = nullptr;
    cudaMalloc(&d_d, sizeof(Accumulator) * m * n);
    typename Gemm::Params p{m,   n,
                            k,   typename Gemm::Mma::IteratorA::Params(cutlass::layout::RowMajor(k)),
                            d_a, typename Gemm::Mma::IteratorB::Params(cutlass::layout::ColumnMajor(k)),
                            d_b, d_d};
    auto kernel = VYR_KERNEL(cutlass::Kernel<Gemm>);
    const int smem = (int)sizeof(typename Gemm::SharedStorage);
    ASSERT_TRUE(vyr::allow_dynamic_smem(kernel, smem, nullptr));
    ASSERT_EQ(cudaSuccess, vyr::launch(kernel, dim3(m / 64, n / 64), 128, smem, nullptr, p));
    ASSERT_EQ(cudaSuccess, cudaDeviceSynchronize());
    std::vector<Accumulator> d((size_t)m * n);
    cudaMemcpy(d.data(), d_d, d.size() * sizeof(Accumulator), cudaMemcpyDeviceToHost);
    for (int r = 0; r < m; ++r)
        for (int c = 0; c < n; ++c) {
            double want = 0;
            for (int i = 0; i < k; ++i) want += double(a[(size_t)r * k + i]) * double(b[(size_t)c * k + i]);
            ASSERT_EQ(want, double(d[(size_t)r * n + c])) << "row " << r << " column " << c;
        }
    cudaFree(d_a);
    cudaFree(d_b);
    cudaFree(d_d);
}

// Small integers keep every sum exact in half precision (|sum| <= 4 * 88 < 2048).
int small(size_t i, int operand) {
    return (int)((i * (operand ? 7 : 5) + operand) % 5) - 2;
}
int byte(size_t i, int operand) {
    return (int)((i * (operand ? 97 : 61) + 11 * operand) % 256) - 128;
}

TEST(SimCutlass, MultistageHalfTileGemmIsExact) {
    using Gemm = TileGemm<cutlass::half_t, float, 3, cutlass::arch::OpMultiplyAdd>;
    check_tile_gemm<Gemm, cutlass::half_t, float>(128, 64, 88, small);  // K tail of 24
}

TEST(SimCutlass, PipelinedInt8TileGemmIsExact) {
    using Gemm = TileGemm<int8_t, int, 2, cutlass::arch::OpMultiplyAddSaturate>;
    check_tile_gemm<Gemm, int8_t, int>(64, 128, 80, byte);  // K tail of 16
}

// Each lane points at row lane % 8 of matrix lane / 8 of a 32 x 8 table whose entries are their own index.
template <int Q, bool Trans>
__global__ void ldsm_kernel(unsigned* out) {
    __shared__ __align__(16) unsigned short table[32 * 8];
    for (int i = threadIdx.x; i < 32 * 8; i += 32) table[i] = (unsigned short)i;
    __syncthreads();
    unsigned d[Q];
    vyr::ldmatrix_b16<Q, Trans>(d, &table[8 * (threadIdx.x % (8 * Q))]);
    for (int q = 0; q < Q; ++q) out[threadIdx.x * Q + q] = d[q];
}

template <int Q, bool Trans>
void check_ldsm() {
    unsigned* d_out = nullptr;
    cudaMalloc(&d_out, 32 * Q * sizeof(unsigned));
    ASSERT_EQ(cudaSuccess, vyr::launch(VYR_KERNEL(ldsm_kernel<Q, Trans>), 1, 32, 0, nullptr, d_out));
    std::vector<unsigned> out(32 * Q);
    cudaMemcpy(out.data(), d_out, out.size() * sizeof(unsigned), cudaMemcpyDeviceToHost);
    for (int l = 0; l < 32; ++l)
        for (int q = 0; q < Q; ++q) {
            const int g = l / 4, t = l % 4;
            // Element (row, col) of matrix q holds 64 q + 8 row + col.
            const unsigned lo = Trans ? 64 * q + 8 * (2 * t) + g : 64 * q + 8 * g + 2 * t;
            const unsigned hi = Trans ? lo + 8 : lo + 1;
            EXPECT_EQ(lo | hi << 16, out[l * Q + q]) << "x" << Q << (Trans ? ".trans" : "") << " lane " << l;
        }
    cudaFree(d_out);
}

TEST(SimCutlass, LdmatrixLaneMap) {
    check_ldsm<1, false>();
    check_ldsm<2, false>();
    check_ldsm<4, false>();
    check_ldsm<1, true>();
    check_ldsm<4, true>();
}

// cp.async of 4 and 8 bytes, copied or zero-filled: poison until the covering wait, then the data; and a
// shared store through a 32-bit shared address lands where the pointer points.
__global__ void small_copies_kernel(const unsigned* src, unsigned* out) {
    __shared__ __align__(16) unsigned smem[8];
    unsigned* s = smem + 2 * (3 - threadIdx.x);  // later threads below, so a copy landing too wide shows
    cutlass::arch::cp_async_zfill<8>(s, src + 2 * threadIdx.x, threadIdx.x != 1);
    cutlass::arch::cp_async<4>(s + 1, src + 7, threadIdx.x == 2);  // overwrites the second word of lane 2
    cutlass::arch::cp_async_fence();
    out[threadIdx.x] = s[0];  // before the wait: poison
    cutlass::arch::cp_async_wait<0>();
    __syncthreads();
    out[4 + 2 * threadIdx.x] = s[0];
    out[5 + 2 * threadIdx.x] = s[1];
    const unsigned marker = 100 + threadIdx.x;
    cutlass::arch::shared_store<4>(cutlass::arch::cutlass_get_smem_pointer(s), &marker);
    out[12 + threadIdx.x] = s[0];
}

TEST(SimCutlass, SmallAsyncCopiesLandAtTheirWait) {
    const std::vector<unsigned> src = {10, 11, 12, 13, 14, 15, 16, 17};
    unsigned* d_src = upload(src);
    unsigned* d_out = upload(std::vector<unsigned>(16, 0));
    ASSERT_EQ(cudaSuccess, vyr::launch(VYR_KERNEL(small_copies_kernel), 1, 4, 0, nullptr, d_src, d_out));
    std::vector<unsigned> out(16);
    cudaMemcpy(out.data(), d_out, out.size() * sizeof(unsigned), cudaMemcpyDeviceToHost);
    const std::vector<unsigned> want = {~0u, ~0u, ~0u, ~0u, 10, 11, 0, 0, 14, 17, 16, 17, 100, 101, 102, 103};
    EXPECT_EQ(want, out);
    cudaFree(d_src);
    cudaFree(d_out);
}

// A CUTLASS operation without a simulator body stops the kernel with a report instead of doing nothing.
__global__ void not_implemented_kernel(int* out) {
    CUTLASS_NOT_IMPLEMENTED();
    *out = 1;
}

TEST(SimCutlass, NotImplementedIsAKernelFault) {
    int* d_out = upload(std::vector<int>(1, 0));
    testing::internal::CaptureStderr();
    EXPECT_EQ(cudaSuccess, vyr::launch(VYR_KERNEL(not_implemented_kernel), 1, 32, 0, nullptr, d_out));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(cudaErrorLaunchFailure, cudaDeviceSynchronize());
    EXPECT_NE(std::string::npos, std::string(vyr_sim_last_fault()).find("without a simulator body"));
    EXPECT_EQ(cudaSuccess, cudaDeviceReset());
    int out = -1;
    cudaMemcpy(&out, d_out, sizeof out, cudaMemcpyDeviceToHost);
    EXPECT_EQ(0, out);
    cudaFree(d_out);
}

}  // namespace
