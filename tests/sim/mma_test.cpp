// Tensor-core fragments: a warp multiplies small-integer matrices (exact in both f16 and s8 paths), loading
// its fragments by the lane maps of the PTX description, and the result must equal a host product.
#include "sim_test.h"

namespace {

// A is 16 x K row-major, B is K x 8 stored column-major (b[n * K + k]), C and D are 16 x 8 row-major.
__global__ void mma_f16_kernel(const __half* a, const __half* b, const float* c, float* d) {
    const int lane = threadIdx.x, g = lane / 4, t = lane % 4;
    vyr::MmaF16Operands op;
    __half* ah = reinterpret_cast<__half*>(op.a);
    __half* bh = reinterpret_cast<__half*>(op.b);
    for (int i = 0; i < 8; ++i) ah[i] = a[(g + 8 * (i / 2 % 2)) * 16 + 2 * t + i % 2 + 8 * (i / 4)];
    for (int i = 0; i < 4; ++i) bh[i] = b[g * 16 + 2 * t + i % 2 + 8 * (i / 2)];
    for (int i = 0; i < 4; ++i) op.c[i] = c[(g + 8 * (i / 2)) * 8 + 2 * t + i % 2];
    float out[4];
    vyr::mma_m16n8k16_f16(out, op);
    for (int i = 0; i < 4; ++i) d[(g + 8 * (i / 2)) * 8 + 2 * t + i % 2] = out[i];
}

__global__ void mma_s8_kernel(const signed char* a, const signed char* b, const int* c, int* d) {
    const int lane = threadIdx.x, g = lane / 4, t = lane % 4;
    vyr::MmaS8Operands op;
    signed char* ab = reinterpret_cast<signed char*>(op.a);
    signed char* bb = reinterpret_cast<signed char*>(op.b);
    for (int i = 0; i < 16; ++i) ab[i] = a[(g + 8 * (i / 4 % 2)) * 32 + 4 * t + i % 4 + 16 * (i / 8)];
    for (int i = 0; i < 8; ++i) bb[i] = b[g * 32 + 4 * t + i % 4 + 16 * (i / 4)];
    for (int i = 0; i < 4; ++i) op.c[i] = c[(g + 8 * (i / 2)) * 8 + 2 * t + i % 2];
    int out[4];
    vyr::mma_m16n8k32_s8(out, op);
    for (int i = 0; i < 4; ++i) d[(g + 8 * (i / 2)) * 8 + 2 * t + i % 2] = out[i];
}

TEST(SimMma, HalfFragmentsGiveTheExactProduct) {
    std::vector<__half> a(16 * 16), b(16 * 8);
    std::vector<float> c(16 * 8), want(16 * 8);
    for (int i = 0; i < 256; ++i) a[i] = __float2half((float)(i * 7 % 11 - 5));
    for (int i = 0; i < 128; ++i) b[i] = __float2half((float)(i * 5 % 9 - 4));
    for (int i = 0; i < 128; ++i) c[i] = (float)(i % 13);
    for (int m = 0; m < 16; ++m)
        for (int n = 0; n < 8; ++n) {
            float s = c[m * 8 + n];
            for (int k = 0; k < 16; ++k) s += __half2float(a[m * 16 + k]) * __half2float(b[n * 16 + k]);
            want[m * 8 + n] = s;
        }
    __half *da = upload(a), *db = upload(b);
    float *dc = upload(c), *dd = upload(std::vector<float>(128));
    ASSERT_EQ(cudaSuccess, vyr::launch(VYR_KERNEL(mma_f16_kernel), 1, 32, 0, nullptr, da, db, dc, dd));
    EXPECT_EQ(want, download(dd, 128));
    for (void* p : {(void*)da, (void*)db, (void*)dc, (void*)dd}) cudaFree(p);
}

TEST(SimMma, ByteFragmentsGiveTheExactProduct) {
    std::vector<signed char> a(16 * 32), b(32 * 8);
    std::vector<int> c(16 * 8), want(16 * 8);
    for (int i = 0; i < 512; ++i) a[i] = (signed char)(i * 37 % 255 - 127);
    for (int i = 0; i < 256; ++i) b[i] = (signed char)(i * 53 % 256 - 128);
    for (int i = 0; i < 128; ++i) c[i] = i * 1000 - 50000;
    for (int m = 0; m < 16; ++m)
        for (int n = 0; n < 8; ++n) {
            int s = c[m * 8 + n];
            for (int k = 0; k < 32; ++k) s += a[m * 32 + k] * b[n * 32 + k];
            want[m * 8 + n] = s;
        }
    signed char *da = upload(a), *db = upload(b);
    int *dc = upload(c), *dd = upload(std::vector<int>(128));
    ASSERT_EQ(cudaSuccess, vyr::launch(VYR_KERNEL(mma_s8_kernel), 1, 32, 0, nullptr, da, db, dc, dd));
    EXPECT_EQ(want, download(dd, 128));
    for (void* p : {(void*)da, (void*)db, (void*)dc, (void*)dd}) cudaFree(p);
}

}  // namespace

namespace {

// One-hot operands pin the fragment maps of the half-accumulating product: with A = e(i, k) and
// B = e(k, j), D = C + e(i, j), so each lane/register pair must receive exactly its own element.
__global__ void mma_half_acc_kernel(const __half* a, const __half* b, const __half* c, __half* d) {
    const int lane = threadIdx.x, g = lane / 4, t = lane % 4;
    vyr::MmaF16HalfAccOperands op;
    __half* ah = reinterpret_cast<__half*>(op.a);
    __half* bh = reinterpret_cast<__half*>(op.b);
    __half* ch = reinterpret_cast<__half*>(op.c);
    for (int i = 0; i < 8; ++i) ah[i] = a[(g + 8 * (i / 2 % 2)) * 16 + 2 * t + i % 2 + 8 * (i / 4)];
    for (int i = 0; i < 4; ++i) bh[i] = b[g * 16 + 2 * t + i % 2 + 8 * (i / 2)];
    for (int i = 0; i < 4; ++i) ch[i] = c[(g + 8 * (i / 2)) * 8 + 2 * t + i % 2];
    unsigned out[2];
    vyr::mma_m16n8k16_f16_half_acc(out, op);
    const __half* oh = reinterpret_cast<const __half*>(out);
    for (int i = 0; i < 4; ++i) d[(g + 8 * (i / 2)) * 8 + 2 * t + i % 2] = oh[i];
}

__global__ void transpose_kernel(const unsigned* in, unsigned* out) {
    out[threadIdx.x] = vyr::transpose8x8_b16(in[threadIdx.x]);
}

TEST(SimMma, HalfAccumulatorFragmentsOneHot) {
    __half *da, *db, *dc, *dd;
    cudaMalloc(&da, 256 * 2);
    cudaMalloc(&db, 128 * 2);
    cudaMalloc(&dc, 128 * 2);
    cudaMalloc(&dd, 128 * 2);
    for (int i = 0; i < 16; i += 5)
        for (int k = 0; k < 16; k += 3)
            for (int j = 0; j < 8; j += 3) {
                std::vector<__half> a(256, __float2half(0.0f)), b(128, __float2half(0.0f)), c(128);
                a[i * 16 + k] = __float2half(1.0f);
                b[j * 16 + k] = __float2half(2.0f);
                for (int e = 0; e < 128; ++e) c[e] = __float2half((float)e);
                cudaMemcpy(da, a.data(), 512, cudaMemcpyHostToDevice);
                cudaMemcpy(db, b.data(), 256, cudaMemcpyHostToDevice);
                cudaMemcpy(dc, c.data(), 256, cudaMemcpyHostToDevice);
                ASSERT_EQ(cudaSuccess,
                          vyr::launch(VYR_KERNEL(mma_half_acc_kernel), 1, 32, 0, nullptr, da, db, dc, dd));
                std::vector<__half> d = download(dd, 128);
                for (int e = 0; e < 128; ++e)
                    ASSERT_EQ((float)e + (e == i * 8 + j ? 2.0f : 0.0f), __half2float(d[e]))
                        << i << " " << k << " " << j << " element " << e;
            }
    for (void* p : {(void*)da, (void*)db, (void*)dc, (void*)dd}) cudaFree(p);
}

// Lane l holds elements (l / 4, 2 (l % 4) + e) as a half pair; after the transpose it holds those of the
// transposed matrix. Elements are numbered 8 r + c, so the expected value is 8 c + r.
TEST(SimMma, TransposeOfEightByEightBlocks) {
    std::vector<unsigned> in(32), want(32);
    for (int l = 0; l < 32; ++l) {
        const unsigned r = l / 4, c = 2 * (l % 4);
        in[l] = (8 * r + c) | (8 * r + c + 1) << 16;
        want[l] = (8 * c + r) | (8 * (c + 1) + r) << 16;
    }
    unsigned* din = upload(in);
    unsigned* dout = upload(std::vector<unsigned>(32));
    ASSERT_EQ(cudaSuccess, vyr::launch(VYR_KERNEL(transpose_kernel), 1, 32, 0, nullptr, din, dout));
    EXPECT_EQ(want, download(dout, 32));
    cudaFree(din);
    cudaFree(dout);
}

}  // namespace
