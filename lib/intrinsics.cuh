// Architecture-specific instructions, each with its GPU body (inline PTX or a vendor intrinsic) and the body
// used by the CPU simulator and by host code. This is the only file that writes inline PTX or tests
// __CUDA_ARCH__; kernels test VYR_ARCH instead.
//
// The non-GPU bodies compute the exact function with the GPU's flush-to-zero behaviour; the GPU bodies are
// approximations whose documented worst-case error is stated beside each one. Tests must use those bounds,
// not the simulator's exactness.
#pragma once

#include <cuda_fp16.h>
#include <math.h>
#include <stdint.h>
#include <string.h>

#if defined(__CUDA_ARCH__)
#define VYR_ARCH __CUDA_ARCH__
#elif defined(VYR_SIM)
#define VYR_ARCH VYR_SIM_ARCH
#else
#define VYR_ARCH 0  // host pass of nvcc, or plain host code: device bodies are not generated here
#endif

#if defined(VYR_SIM)
// The simulator has no `extern __shared__`; each launch gets one dynamic buffer of the requested size.
#define VYR_DYNAMIC_SMEM(type, name) type* name = static_cast<type*>(::vyr_sim::dynamic_smem())
#else
#define VYR_DYNAMIC_SMEM(type, name)                                   \
    extern __shared__ __align__(16) unsigned char vyr_dynamic_smem_[]; \
    type* name = reinterpret_cast<type*>(vyr_dynamic_smem_)
#endif

namespace vyr {

// Flush a subnormal to a zero of the same sign, as the .ftz instruction forms do.
__host__ __device__ inline float ftz(float x) {
    return fabsf(x) < 1.17549435e-38f ? copysignf(0.0f, x) : x;
}

// tanh.approx.f32 (7.5 and later): max relative error 2^-10.987 over the whole range.
__host__ __device__ inline float fast_tanh(float x) {
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 750
    float y;
    asm("tanh.approx.f32 %0, %1;" : "=f"(y) : "f"(x));
    return y;
#else
    return ftz(tanhf(ftz(x)));
#endif
}

// ex2.approx.ftz.f32: max relative error 2^-22 (2 ulp) for finite results.
__host__ __device__ inline float fast_exp2(float x) {
#if defined(__CUDA_ARCH__)
    float y;
    asm("ex2.approx.ftz.f32 %0, %1;" : "=f"(y) : "f"(x));
    return y;
#else
    return ftz(exp2f(ftz(x)));
#endif
}

// lg2.approx.ftz.f32: max absolute error 2^-22 for inputs in [0.5, 2], max relative error 2^-22 elsewhere.
__host__ __device__ inline float fast_log2(float x) {
#if defined(__CUDA_ARCH__)
    float y;
    asm("lg2.approx.ftz.f32 %0, %1;" : "=f"(y) : "f"(x));
    return y;
#else
    return log2f(ftz(x));
#endif
}

// e^x as 2^(x * log2 e) and ln x as log2(x) * ln 2: the library's exponential and logarithm everywhere.
__host__ __device__ inline float fast_exp(float x) {
    return fast_exp2(x * 1.44269504f);
}
__host__ __device__ inline float fast_log(float x) {
    return fast_log2(x) * 0.693147181f;
}

// rcp.approx.ftz.f32: max error 1 ulp.
__host__ __device__ inline float fast_rcp(float x) {
#if defined(__CUDA_ARCH__)
    float y;
    asm("rcp.approx.ftz.f32 %0, %1;" : "=f"(y) : "f"(x));
    return y;
#else
    return ftz(1.0f / ftz(x));
#endif
}

// rsqrt.approx.ftz.f32: max relative error 2^-22.9.
__host__ __device__ inline float fast_rsqrt(float x) {
#if defined(__CUDA_ARCH__)
    float y;
    asm("rsqrt.approx.ftz.f32 %0, %1;" : "=f"(y) : "f"(x));
    return y;
#else
    return ftz(1.0f / sqrtf(ftz(x)));
#endif
}

// div.approx.ftz.f32: max error 2 ulp for |b| in [2^-126, 2^126]; larger divisors give 0.
__host__ __device__ inline float fast_div(float a, float b) {
#if defined(__CUDA_ARCH__)
    float y;
    asm("div.approx.ftz.f32 %0, %1, %2;" : "=f"(y) : "f"(a), "f"(b));
    return y;
#else
    return ftz(ftz(a) / ftz(b));
#endif
}

// sin.approx.ftz.f32 / cos.approx.ftz.f32: max absolute error 2^-20.9 in [-pi, pi], degrading outside.
__host__ __device__ inline float fast_sin(float x) {
#if defined(__CUDA_ARCH__)
    float y;
    asm("sin.approx.ftz.f32 %0, %1;" : "=f"(y) : "f"(x));
    return y;
#else
    return ftz(sinf(ftz(x)));
#endif
}
__host__ __device__ inline float fast_cos(float x) {
#if defined(__CUDA_ARCH__)
    float y;
    asm("cos.approx.ftz.f32 %0, %1;" : "=f"(y) : "f"(x));
    return y;
#else
    return ftz(cosf(ftz(x)));
#endif
}

// Packed half arithmetic: one rounding per lane for the fused multiply-add, as hfma2 does.
__host__ __device__ inline __half2 hfma2(__half2 a, __half2 b, __half2 c) {
#if defined(__CUDA_ARCH__)
    return __hfma2(a, b, c);
#else
    // Products of halves are exact in double, so the only rounding is the final one to half.
    auto fma1 = [](float x, float y, float z) { return __double2half((double)x * (double)y + (double)z); };
    return __halves2half2(fma1(__low2float(a), __low2float(b), __low2float(c)),
                          fma1(__high2float(a), __high2float(b), __high2float(c)));
#endif
}

// tanh.approx.f16x2 (7.5 and later): max relative error 2^-10.7 per lane.
__host__ __device__ inline __half2 fast_tanh_h2(__half2 x) {
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 750
    __half2 y;
    asm("tanh.approx.f16x2 %0, %1;"
        : "=r"(*reinterpret_cast<unsigned*>(&y))
        : "r"(*reinterpret_cast<unsigned*>(&x)));
    return y;
#else
    return __floats2half2_rn(tanhf(__low2float(x)), tanhf(__high2float(x)));
#endif
}

// dp4a.s32.s32: c + the dot product of the four signed bytes of a and of b. Exact.
__host__ __device__ inline int dot4_s8(int a, int b, int c) {
#if defined(__CUDA_ARCH__)
    return __dp4a(a, b, c);
#else
    for (int i = 0; i < 4; ++i) c += (int)(int8_t)(a >> (8 * i)) * (int)(int8_t)(b >> (8 * i));
    return c;
#endif
}

// Streaming (evict-first) global loads and stores, for data touched once.
template <class T>
__host__ __device__ inline T load_stream(const T* p) {
#if defined(__CUDA_ARCH__)
    return __ldcs(p);
#else
    return *p;
#endif
}
template <class T>
__host__ __device__ inline void store_stream(T* p, T v) {
#if defined(__CUDA_ARCH__)
    __stcs(p, v);
#else
    *p = v;
#endif
}

// Asynchronous global-to-shared copies (cp.async, 8.0 and later). Copies `src_bytes` (0..16) of a 16-byte
// piece and zero-fills the rest, so a piece at the end of a row never reads past it. The simulator delivers
// the data only at the covering wait. Earlier architectures and host code copy at issue; commit and wait are
// then no-ops.
__device__ inline void cp_async_16(void* smem_dst, const void* gmem_src, int src_bytes = 16) {
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 800
    unsigned dst = static_cast<unsigned>(__cvta_generic_to_shared(smem_dst));
    asm volatile("cp.async.cg.shared.global [%0], [%1], 16, %2;\n" ::"r"(dst), "l"(gmem_src), "r"(src_bytes));
#elif defined(VYR_SIM)
    ::vyr_sim::cp_async_issue(smem_dst, gmem_src, src_bytes);
#else
    memcpy(smem_dst, gmem_src, (size_t)src_bytes);
    if (src_bytes < 16) memset(static_cast<char*>(smem_dst) + src_bytes, 0, (size_t)(16 - src_bytes));
#endif
}
__device__ inline void cp_async_commit() {
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 800
    asm volatile("cp.async.commit_group;\n" ::);
#elif defined(VYR_SIM)
    ::vyr_sim::cp_async_commit();
#endif
}
// Waits until at most `Pending` committed groups are still in flight.
template <int Pending>
__device__ inline void cp_async_wait() {
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 800
    asm volatile("cp.async.wait_group %0;\n" ::"n"(Pending));
#elif defined(VYR_SIM)
    ::vyr_sim::cp_async_wait(Pending);
#endif
}

// Signalling between blocks of one launch that are resident together (7.0 and later): device-scope acquire
// loads, release and acquire-release atomics, fences, and sleeping while polling. On the simulator an
// acquire load and a sleep let the other threads and blocks run (a poll that nothing can satisfy is reported
// as a deadlock there), and the atomics and fences count as progress for the pollers. Host code has no other
// party and uses plain accesses.
#if defined(VYR_SIM)
#define VYR_SPIN_SITE , ::vyr_sim::Site site = ::vyr_sim::Site()
#define VYR_SPIN_ARG , site
#define VYR_SPIN_POLL() ::vyr_sim::spin_yield(site)
#define VYR_SPIN_PROGRESS() ++::vyr_sim::g_progress
#else
#define VYR_SPIN_SITE
#define VYR_SPIN_ARG
#define VYR_SPIN_POLL() (void)0
#define VYR_SPIN_PROGRESS() (void)0
#endif

__device__ inline unsigned ld_acquire_gpu(const unsigned* p VYR_SPIN_SITE) {
#if defined(__CUDA_ARCH__)
    unsigned v;
    asm volatile("ld.acquire.gpu.global.u32 %0, [%1];\n" : "=r"(v) : "l"(p) : "memory");
    return v;
#else
    VYR_SPIN_POLL();
    return *static_cast<const volatile unsigned*>(p);
#endif
}
__device__ inline unsigned long long ld_acquire_gpu(const unsigned long long* p VYR_SPIN_SITE) {
#if defined(__CUDA_ARCH__)
    unsigned long long v;
    asm volatile("ld.acquire.gpu.global.u64 %0, [%1];\n" : "=l"(v) : "l"(p) : "memory");
    return v;
#else
    VYR_SPIN_POLL();
    return *static_cast<const volatile unsigned long long*>(p);
#endif
}
// Adds v and returns the old value; the thread's earlier writes are visible to whoever acquires the result.
__device__ inline unsigned atomic_add_acq_rel_gpu(unsigned* p, unsigned v) {
#if defined(__CUDA_ARCH__)
    unsigned old;
    asm volatile("atom.acq_rel.gpu.global.add.u32 %0, [%1], %2;\n" : "=r"(old) : "l"(p), "r"(v) : "memory");
    return old;
#else
    const unsigned old = *p;
    *p = old + v;
    if (v) VYR_SPIN_PROGRESS();
    return old;
#endif
}
__device__ inline unsigned long long atomic_add_acq_rel_gpu(unsigned long long* p, unsigned long long v) {
#if defined(__CUDA_ARCH__)
    unsigned long long old;
    asm volatile("atom.acq_rel.gpu.global.add.u64 %0, [%1], %2;\n" : "=l"(old) : "l"(p), "l"(v) : "memory");
    return old;
#else
    const unsigned long long old = *p;
    *p = old + v;
    if (v) VYR_SPIN_PROGRESS();
    return old;
#endif
}
// Adds v without returning the old value; the thread's earlier writes are released with it.
__device__ inline void red_release_gpu(unsigned* p, unsigned v) {
#if defined(__CUDA_ARCH__)
    asm volatile("red.release.gpu.global.add.u32 [%0], %1;\n" ::"l"(p), "r"(v) : "memory");
#else
    *p += v;
    if (v) VYR_SPIN_PROGRESS();
#endif
}
__device__ inline void fence_acq_rel_gpu() {
#if defined(__CUDA_ARCH__)
    asm volatile("fence.acq_rel.gpu;\n" ::: "memory");
#else
    VYR_SPIN_PROGRESS();
#endif
}
__device__ inline void fence_sc_gpu() {
#if defined(__CUDA_ARCH__)
    asm volatile("fence.sc.gpu;\n" ::: "memory");
#else
    VYR_SPIN_PROGRESS();
#endif
}
// Sleeps about `ns` nanoseconds between polls, so that pollers leave issue slots to the threads they wait
// for.
__device__ inline void spin_sleep(unsigned ns VYR_SPIN_SITE) {
#if defined(__CUDA_ARCH__)
    __nanosleep(ns);
#else
    (void)ns;
    VYR_SPIN_POLL();
#endif
}

// Polls *p with acquire loads until it has reached `target` (compared modulo 2^32, so counters may wrap),
// sleeping with a growing back-off between polls.
__device__ inline void wait_at_least_gpu(const unsigned* p, unsigned target VYR_SPIN_SITE) {
    unsigned ns = 32;
    while ((int)(ld_acquire_gpu(p VYR_SPIN_ARG) - target) < 0) {
        spin_sleep(ns VYR_SPIN_ARG);
        ns = ns < 1024 ? 2 * ns : ns;
    }
}
#undef VYR_SPIN_POLL
#undef VYR_SPIN_PROGRESS

// Tensor-core warp multiply-accumulate, D = A * B + C, A row-major and B column-major, as mma.sync (8.0 and
// later). Every lane of the warp calls it with its fragments. Lane ownership, with g = lane / 4 and
// t = lane % 4 (element i of a fragment is in register i / per_register):
//   m16n8k16, f16 in, f32 accumulate: a: 8 halves in 4 registers, row g + 8 * (i / 2 % 2),
//     col 2t + i % 2 + 8 * (i / 4); b: 4 halves in 2 registers, row (k) 2t + i % 2 + 8 * (i / 2), col g;
//     c, d: 4 floats, row g + 8 * (i / 2), col 2t + i % 2.
//   m16n8k32, s8 in, s32 accumulate (wrapping): a: 16 bytes in 4 registers, row g + 8 * (i / 4 % 2),
//     col 4t + i % 4 + 16 * (i / 8); b: 8 bytes in 2 registers, row 4t + i % 4 + 16 * (i / 4), col g;
//     c, d: as above, in int.
// The simulator body gathers the fragments by exactly these maps, so they must change together.
struct MmaF16Operands {
    unsigned a[4], b[2];
    float c[4];
};
struct MmaS8Operands {
    unsigned a[4], b[2];
    int c[4];
};

#if defined(VYR_SIM)
namespace sim_mma {
inline double element(unsigned reg, int index, int k) {
    if (k == 16) {
        const unsigned short bits = (unsigned short)(reg >> (16 * index));
        return (double)__half2float(__ushort_as_half(bits));
    }
    return (double)(int8_t)(reg >> (8 * index));
}
template <class Ops, class Acc, int K>
void multiply(::vyr_sim::LaneSlot* lanes, unsigned, int) {
    constexpr int kPerReg = K == 16 ? 2 : 4;  // elements of A and B per 32-bit register
    double a[16][32] = {}, b[32][8] = {}, c[16][8] = {};
    for (int lane = 0; lane < 32; ++lane) {
        const Ops& in = *static_cast<const Ops*>(lanes[lane].in);
        const int g = lane / 4, t = lane % 4;
        for (int i = 0; i < 4 * kPerReg; ++i) {
            const unsigned reg = in.a[i / kPerReg];
            const int row = g + 8 * (K == 16 ? i / 2 % 2 : i / 4 % 2);
            const int col = K == 16 ? 2 * t + i % 2 + 8 * (i / 4) : 4 * t + i % 4 + 16 * (i / 8);
            a[row][col] = element(reg, i % kPerReg, K);
        }
        for (int i = 0; i < 2 * kPerReg; ++i) {
            const unsigned reg = in.b[i / kPerReg];
            const int row = K == 16 ? 2 * t + i % 2 + 8 * (i / 2) : 4 * t + i % 4 + 16 * (i / 4);
            b[row][g] = element(reg, i % kPerReg, K);
        }
        for (int i = 0; i < 4; ++i) c[g + 8 * (i / 2)][2 * t + i % 2] = in.c[i];
    }
    for (int lane = 0; lane < 32; ++lane) {
        const int g = lane / 4, t = lane % 4;
        Acc* d = static_cast<Acc*>(lanes[lane].out);
        for (int i = 0; i < 4; ++i) {
            const int row = g + 8 * (i / 2), col = 2 * t + i % 2;
            double sum = c[row][col];
            for (int k = 0; k < K; ++k) sum += a[row][k] * b[k][col];
            // Integer products and sums are exact in double here; the s32 result wraps as the hardware's
            // does.
            d[i] = K == 16 ? (Acc)(float)sum : (Acc)(int32_t)(uint32_t)(int64_t)sum;
        }
    }
}
}  // namespace sim_mma
#endif

__device__ inline void mma_m16n8k16_f16(float (&d)[4], const MmaF16Operands& in) {
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 800
    asm volatile(
        "mma.sync.aligned.m16n8k16.row.col.f32.f16.f16.f32 {%0,%1,%2,%3}, {%4,%5,%6,%7}, {%8,%9}, "
        "{%10,%11,%12,%13};\n"
        : "=f"(d[0]), "=f"(d[1]), "=f"(d[2]), "=f"(d[3])
        : "r"(in.a[0]), "r"(in.a[1]), "r"(in.a[2]), "r"(in.a[3]), "r"(in.b[0]), "r"(in.b[1]), "f"(in.c[0]),
          "f"(in.c[1]), "f"(in.c[2]), "f"(in.c[3]));
#elif defined(__CUDA_ARCH__)
    __trap();  // no such instruction before 8.0; callers select other kernels there
#elif defined(VYR_SIM)
    ::vyr_sim::warp_collective("mma.m16n8k16", sim_mma::multiply<MmaF16Operands, float, 16>, 0xffffffffu, 32,
                               &in, d, 0, ::vyr_sim::Site());
#endif
}

__device__ inline void mma_m16n8k32_s8(int (&d)[4], const MmaS8Operands& in) {
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 800
    asm volatile(
        "mma.sync.aligned.m16n8k32.row.col.s32.s8.s8.s32 {%0,%1,%2,%3}, {%4,%5,%6,%7}, {%8,%9}, "
        "{%10,%11,%12,%13};\n"
        : "=r"(d[0]), "=r"(d[1]), "=r"(d[2]), "=r"(d[3])
        : "r"(in.a[0]), "r"(in.a[1]), "r"(in.a[2]), "r"(in.a[3]), "r"(in.b[0]), "r"(in.b[1]), "r"(in.c[0]),
          "r"(in.c[1]), "r"(in.c[2]), "r"(in.c[3]));
#elif defined(__CUDA_ARCH__)
    __trap();
#elif defined(VYR_SIM)
    ::vyr_sim::warp_collective("mma.m16n8k32", sim_mma::multiply<MmaS8Operands, int, 32>, 0xffffffffu, 32,
                               &in, d, 0, ::vyr_sim::Site());
#endif
}

}  // namespace vyr
