// Residual RMS normalisation on the half tiled layout: v = alpha * residual + x, out = v * weight / rms(v)
// per row, optionally also as int8 in the int8 tiled layout with one float scale per row. One block per band
// of 16 rows: the band is 8 F consecutive half pairs of x, residual and out (F / 8 tiles of 16 x 8).
#include "frame.cuh"
#include "linear.cuh"
#include "tensor_desc.cuh"

namespace vyr {

constexpr int kRmsThreads = 256;  // a multiple of 64: each thread always meets the same row and pair position
constexpr int kRmsGroups = kRmsThreads / 64;

// Shared storage for F channels: per row 16 float partial sums (then the reciprocal RMS), per row 16 partial
// maxima (then the int8 multiplier), and the band's pre-normalisation sums as half pairs.
struct RmsNormSmem {
    static constexpr int kRinvOffset = 0;
    static constexpr int kMultOffset = 1024;
    static constexpr int kSumsOffset = 2048;
    static constexpr int64_t bytes(int64_t F) { return 32 * F + kSumsOffset; }
};

__global__ void __launch_bounds__(kRmsThreads)
    tiled_residual_rmsnorm(int F, [[maybe_unused]] int bands, float alpha, const __half2* x,
                           const __half2* residual, const __half2* weight, __half2* out, char2* out8,
                           float* scales) {
    VYR_DYNAMIC_SMEM(unsigned char, raw);
    float* partial_sum = reinterpret_cast<float*>(raw + RmsNormSmem::kRinvOffset);  // [16 rows][16]
    float* partial_max = reinterpret_cast<float*>(raw + RmsNormSmem::kMultOffset);  // [16 rows][16]
    __half2* sums = reinterpret_cast<__half2*>(raw + RmsNormSmem::kSumsOffset);
    const int tid = threadIdx.x, row = tid % 64 / 4, group = tid / 64;
    const int pairs = 8 * F;  // half pairs of the band
    const int64_t band = (int64_t)blockIdx.x * pairs;
    const __half2 alpha2 = __float2half2_rn(alpha);

    float sum = 0.0f, mx = 1e-5f;
    for (int i = tid; i < pairs; i += kRmsThreads) {
        const __half2 v = __hfma2(alpha2, residual[band + i], x[band + i]);  // one rounding, as specified
        sums[i] = v;
        const float2 f = __half22float2(v);
        sum += f.x * f.x + f.y * f.y;
        const float2 p = __half22float2(__hmul2(v, weight[i / 64 * 4 + i % 4]));
        mx = fmaxf(mx, fmaxf(fabsf(p.x), fabsf(p.y)));
    }
    // The four threads of a row in a warp are lanes 4r .. 4r + 3.
    for (int d = 2; d >= 1; d /= 2) {
        sum += __shfl_xor_sync(0xffffffffu, sum, d);
        mx = fmaxf(mx, __shfl_xor_sync(0xffffffffu, mx, d));
    }
    if (tid % 4 == 0) {
        partial_sum[16 * row + group] = sum;
        partial_max[16 * row + group] = mx;
    }
    __syncthreads();
    if (tid < 16) {
        float s = 0.0f, m = 0.0f;
        for (int g = 0; g < kRmsGroups; ++g) {
            s += partial_sum[16 * tid + g];
            m = fmaxf(m, partial_max[16 * tid + g]);
        }
        const float rinv = fast_rsqrt(fast_div(s, (float)F) + 1e-5f);
        partial_sum[16 * tid] = rinv;
        if (scales) {
            const float scale = m * (1.0f / 128.0f);
            partial_max[16 * tid] = fast_rcp(scale);
            scales[(int64_t)blockIdx.x * 16 + tid] = rinv * scale;
        } else {
            // Readers decode a missing scale array as 1/127, so q = 127 * out.
            partial_max[16 * tid] = 127.0f * rinv;
        }
    }
    __syncthreads();
    const float rinv = partial_sum[16 * row], mult = partial_max[16 * row];
    for (int i = tid; i < pairs; i += kRmsThreads) {
        const float2 v = __half22float2(sums[i]), w = __half22float2(weight[i / 64 * 4 + i % 4]);
        const float y0 = v.x * w.x, y1 = v.y * w.y;  // exact: products of halves
        if (out) out[band + i] = __floats2half2_rn(rinv * y0, rinv * y1);
        if (out8) {
            // Half pair i = 64 j + 4 r + c (8-channel tile j) goes to the int8 tile of 16 channels j / 2.
            const int j = i / 64, c = i % 4;
            const auto q = [mult](float y) {
                return (signed char)fminf(127.0f, fmaxf(-127.0f, roundf(mult * y)));
            };
            out8[band + 128 * (j / 2) + 8 * row + 4 * (j % 2) + c] = make_char2(q(y0), q(y1));
        }
    }
}

}  // namespace vyr

VYR_API int RmsNormSharedStorageSize(int F) {
    return (int)vyr::RmsNormSmem::bytes(F);
}

VYR_API int vyr_rmsnorm_residual(cudaStream_t stream, const TensorDesc* x, const TensorDesc* residual,
                                 const TensorDesc* weight, const TensorDesc* out, const TensorDesc* out8,
                                 float alpha) {
    using namespace vyr;
    if (!x || !residual || !weight) return VyrUnsupported;
    const int64_t N = dim_size(x, kDimN), T = dim_size(x, kDimT), F8 = dim_size(x, kDimC);
    if (!matches(x, VYR_TYPE_HALF, {{kDimN, -1}, {kDimT, -1}, {kDimC, -1}, {kDimt, 16}, {kDimc, 8}}))
        return VyrUnsupported;
    // residual and out: the same dimensions, sizes and strides as x.
    const auto same_as_x = [x](const TensorDesc* t) {
        if (t->ndims != x->ndims || t->dtype != x->dtype) return false;
        for (int32_t name : {kDimN, kDimT, kDimC, kDimt, kDimc}) {
            const DimDesc *a = find_dim(t, name), *b = find_dim(x, name);
            if (!a || a->size != b->size || a->stride != b->stride) return false;
        }
        return true;
    };
    const bool half_out = out && out->data;
    if (!same_as_x(residual) || (half_out && !same_as_x(out))) return VyrUnsupported;
    const int64_t F = 8 * F8;
    // F = 0 would divide by zero in the mean.
    if (F <= 0 || F % 32 != 0 || !matches(weight, VYR_TYPE_HALF, {{kDimC, F}})) return VyrUnsupported;
    const bool int8_out = out8 && out8->ndims != 0;
    if (int8_out &&
        (!matches(out8, VYR_TYPE_INT8, {{kDimN, N}, {kDimT, T}, {kDimC, F / 16}, {kDimt, 16}, {kDimc, 16}}) ||
         !scales_ok(out8, kDimC) || !out8->data))
        return VyrUnsupported;
    if (!x->data || !residual->data || !weight->data) return VyrUnsupported;
    const int64_t bytes = RmsNormSmem::bytes(F);
    if (bytes > INT32_MAX || N * T > INT32_MAX) return VyrUnsupported;
    if (N * T == 0) return VyrSuccess;  // nothing to normalise; a zero-sized grid would be a launch error

    const auto kernel = VYR_KERNEL(tiled_residual_rmsnorm);
    if (!allow_dynamic_smem(kernel, (size_t)bytes, kSmemMsgRmsNorm)) return VyrUnsupported;
    launch(kernel, dim3((unsigned)(N * T)), dim3(kRmsThreads), (size_t)bytes, stream, (int)F, (int)(N * T),
           alpha, static_cast<const __half2*>(x->data), static_cast<const __half2*>(residual->data),
           static_cast<const __half2*>(weight->data), half_out ? static_cast<__half2*>(out->data) : nullptr,
           int8_out ? static_cast<char2*>(out8->data) : nullptr,
           int8_out ? static_cast<float*>(out8->scale_data) : nullptr);
    return VyrSuccess;
}
