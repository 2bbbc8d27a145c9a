// Tensor-core fragments: a warp multiplies small-integer matrices (exact in both f16 and s8 paths), loading
// its fragments by the lane maps of the PTX description, and the result must equal a host product.
#include "sim_test.h"

namespace {

// A is 16 x K row-major, B is K x 8 stored column-major (b[n * K + k]), C and D are 16 x 8 row-major.
__device__ int acc_index(int lane, int i) {
    return (lane / 4 + 8 * (i / 2)) * 8 + 2 * (lane % 4) + i % 2;
}
__device__ void load_half_ab(unsigned* fa, unsigned* fb, const __half* a, const __half* b) {
    const int lane = threadIdx.x, g = lane / 4, t = lane % 4;
    __half *ah = reinterpret_cast<__half*>(fa), *bh = reinterpret_cast<__half*>(fb);
    for (int i = 0; i < 8; ++i) ah[i] = a[(g + 8 * (i / 2 % 2)) * 16 + 2 * t + i % 2 + 8 * (i / 4)];
    for (int i = 0; i < 4; ++i) bh[i] = b[g * 16 + 2 * t + i % 2 + 8 * (i / 2)];
}

__global__ void mma_f16_kernel(const __half* a, const __half* b, const float* c, float* d) {
    vyr::MmaF16Operands op;
    load_half_ab(op.a, op.b, a, b);
    for (int i = 0; i < 4; ++i) op.c[i] = c[acc_index(threadIdx.x, i)];
    float out[4];
    vyr::mma_m16n8k16_f16(out, op);
    for (int i = 0; i < 4; ++i) d[acc_index(threadIdx.x, i)] = out[i];
}

__global__ void mma_s8_kernel(const signed char* a, const signed char* b, const int* c, int* d) {
    const int lane = threadIdx.x, g = lane / 4, t = lane % 4;
    vyr::MmaS8Operands op;
    signed char* ab = reinterpret_cast<signed char*>(op.a);
    signed char* bb = reinterpret_cast<signed char*>(op.b);
    for (int i = 0; i < 16; ++i) ab[i] = a[(g + 8 * (i / 4 % 2)) * 32 + 4 * t + i % 4 + 16 * (i / 8)];
    for (int i = 0; i < 8; ++i) bb[i] = b[g * 32 + 4 * t + i % 4 + 16 * (i / 4)];
    for (int i = 0; i < 4; ++i) op.c[i] = c[acc_index(lane, i)];
    int out[4];
    vyr::mma_m16n8k32_s8(out, op);
    for (int i = 0; i < 4; ++i) d[acc_index(lane, i)] = out[i];
}

float value(__half h) {
    return __half2float(h);
}
int value(signed char c) {
    return c;
}

// D = C + A B on the host; the small integers keep every sum exact.
template <class In, class Acc, class Kernel>
void check_product(Kernel kernel, int K, const std::vector<In>& a, const std::vector<In>& b,
                   const std::vector<Acc>& c) {
    std::vector<Acc> want = c;
    for (int m = 0; m < 16; ++m)
        for (int n = 0; n < 8; ++n)
            for (int k = 0; k < K; ++k) want[m * 8 + n] += value(a[m * K + k]) * value(b[n * K + k]);
    In *da = upload(a), *db = upload(b);
    Acc *dc = upload(c), *dd = upload(std::vector<Acc>(128));
    ASSERT_EQ(cudaSuccess, vyr::launch(kernel, 1, 32, 0, nullptr, da, db, dc, dd));
    EXPECT_EQ(want, download(dd, 128));
}

TEST(SimMma, FragmentsGiveTheExactProduct) {
    std::vector<__half> ah(16 * 16), bh(16 * 8);
    std::vector<float> ch(16 * 8);
    for (int i = 0; i < 256; ++i) ah[i] = __float2half((float)(i * 7 % 11 - 5));
    for (int i = 0; i < 128; ++i) bh[i] = __float2half((float)(i * 5 % 9 - 4));
    for (int i = 0; i < 128; ++i) ch[i] = (float)(i % 13);
    check_product(VYR_KERNEL(mma_f16_kernel), 16, ah, bh, ch);
    std::vector<signed char> a8(16 * 32), b8(32 * 8);
    std::vector<int> c8(16 * 8);
    for (int i = 0; i < 512; ++i) a8[i] = (signed char)(i * 37 % 255 - 127);
    for (int i = 0; i < 256; ++i) b8[i] = (signed char)(i * 53 % 256 - 128);
    for (int i = 0; i < 128; ++i) c8[i] = i * 1000 - 50000;
    check_product(VYR_KERNEL(mma_s8_kernel), 32, a8, b8, c8);
}

// One-hot operands pin the fragment maps of the half-accumulating product: with A = e(i, k) and
// B = e(k, j), D = C + e(i, j), so each lane/register pair must receive exactly its own element.
__global__ void mma_half_acc_kernel(const __half* a, const __half* b, const __half* c, __half* d) {
    vyr::MmaF16AccOperands op;
    load_half_ab(op.a, op.b, a, b);
    __half* ch = reinterpret_cast<__half*>(op.c);
    for (int i = 0; i < 4; ++i) ch[i] = c[acc_index(threadIdx.x, i)];
    unsigned out[2];
    vyr::mma_m16n8k16_f16_acc16(out, op);
    const __half* oh = reinterpret_cast<const __half*>(out);
    for (int i = 0; i < 4; ++i) d[acc_index(threadIdx.x, i)] = oh[i];
}

TEST(SimMma, HalfAccumulatorFragmentsOneHot) {
    std::vector<__half> c(128);
    for (int e = 0; e < 128; ++e) c[e] = __float2half((float)e);
    __half *dc = upload(c), *dd = upload(c);
    for (int i = 0; i < 16; i += 5)
        for (int k = 0; k < 16; k += 3)
            for (int j = 0; j < 8; j += 3) {
                std::vector<__half> a(256, __float2half(0.0f)), b(128, __float2half(0.0f));
                a[i * 16 + k] = __float2half(1.0f);
                b[j * 16 + k] = __float2half(2.0f);
                __half *da = upload(a), *db = upload(b);
                ASSERT_EQ(cudaSuccess,
                          vyr::launch(VYR_KERNEL(mma_half_acc_kernel), 1, 32, 0, nullptr, da, db, dc, dd));
                const std::vector<__half> d = download(dd, 128);
                for (int e = 0; e < 128; ++e)
                    ASSERT_EQ((float)e + (e == i * 8 + j ? 2.0f : 0.0f), __half2float(d[e]))
                        << i << " " << k << " " << j << " element " << e;
            }
}

}  // namespace
