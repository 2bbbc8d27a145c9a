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

#include <type_traits>
#include <utility>

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

constexpr float kLog2e = 1.44269504f;
constexpr float kLn2 = 0.693147181f;

// e^x as 2^(x * log2 e) and ln x as log2(x) * ln 2: the library's exponential and logarithm everywhere.
__host__ __device__ inline float fast_exp(float x) {
    return fast_exp2(x * kLog2e);
}
__host__ __device__ inline float fast_log(float x) {
    return fast_log2(x) * kLn2;
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
// loads, release and acquire-release atomics, fences, and sleeping while polling. On the simulator each of
// the loads, atomics and sleeps lets the other threads and blocks run (so blocks interleave at every signal,
// and a poll that nothing can satisfy is reported as a deadlock there), and the atomics and fences count as
// progress for the pollers. Host code has no other
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
__device__ inline unsigned atomic_add_acq_rel_gpu(unsigned* p, unsigned v VYR_SPIN_SITE) {
#if defined(__CUDA_ARCH__)
    unsigned old;
    asm volatile("atom.acq_rel.gpu.global.add.u32 %0, [%1], %2;\n" : "=r"(old) : "l"(p), "r"(v) : "memory");
    return old;
#else
    const unsigned old = *p;
    *p = old + v;
    if (v) VYR_SPIN_PROGRESS();
    VYR_SPIN_POLL();
    return old;
#endif
}
__device__ inline unsigned long long atomic_add_acq_rel_gpu(unsigned long long* p,
                                                            unsigned long long v VYR_SPIN_SITE) {
#if defined(__CUDA_ARCH__)
    unsigned long long old;
    asm volatile("atom.acq_rel.gpu.global.add.u64 %0, [%1], %2;\n" : "=l"(old) : "l"(p), "l"(v) : "memory");
    return old;
#else
    const unsigned long long old = *p;
    *p = old + v;
    if (v) VYR_SPIN_PROGRESS();
    VYR_SPIN_POLL();
    return old;
#endif
}
// Adds v without returning the old value; the thread's earlier writes are released with it.
__device__ inline void red_release_gpu(unsigned* p, unsigned v VYR_SPIN_SITE) {
#if defined(__CUDA_ARCH__)
    asm volatile("red.release.gpu.global.add.u32 [%0], %1;\n" ::"l"(p), "r"(v) : "memory");
#else
    *p += v;
    if (v) VYR_SPIN_PROGRESS();
    VYR_SPIN_POLL();
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
//   m16n8k16, f16 in: a: 8 halves in 4 registers, row g + 8 * (i / 2 % 2), col 2t + i % 2 + 8 * (i / 4);
//     b: 4 halves in 2 registers, row (k) 2t + i % 2 + 8 * (i / 2), col g; c, d: 4 values, row g + 8 * (i /
//     2), col 2t + i % 2, as 4 floats (f32 accumulate) or 2 registers of 2 halves (f16 accumulate).
//   m16n8k32, s8/u8 in, s32 accumulate: a: 16 bytes in 4 registers, row g + 8 * (i / 4 % 2),
//     col 4t + i % 4 + 16 * (i / 8); b: 8 bytes in 2 registers, row 4t + i % 4 + 16 * (i / 4), col g;
//     c, d: as above, in int; the sum wraps, or with .satfinite clamps to the int range.
// The simulator body gathers the fragments by exactly these maps, so they must change together.
struct MmaF16Operands {
    unsigned a[4], b[2];
    float c[4];
};
struct MmaF16AccOperands {  // f16 accumulate: c holds 4 halves in 2 registers
    unsigned a[4], b[2], c[2];
};
struct MmaS8Operands {
    unsigned a[4], b[2];
    int c[4];
};

#if defined(VYR_SIM)
namespace sim_mma {
enum class Acc { kF32, kF16, kS32, kS32Saturate };

// Element `index` of an operand register: a half for k16, a signed or unsigned byte for k32.
template <int K, bool Signed>
inline double element(unsigned reg, int index) {
    if (K == 16) return (double)__half2float(__ushort_as_half((unsigned short)(reg >> (16 * index))));
    return Signed ? (double)(int8_t)(reg >> (8 * index)) : (double)(uint8_t)(reg >> (8 * index));
}

// The accumulator value i of a lane's operands, and its result written back in the accumulator's format.
template <class Ops, Acc C>
inline double accumulator(const Ops& in, int i) {
    if constexpr (C == Acc::kF16) {
        return (double)__half2float(__ushort_as_half((unsigned short)(in.c[i / 2] >> (16 * (i % 2)))));
    } else {
        return (double)in.c[i];
    }
}
template <Acc C>
inline void store(void* out, int i, double sum) {
    if constexpr (C == Acc::kF32) {
        static_cast<float*>(out)[i] = (float)sum;
    } else if constexpr (C == Acc::kF16) {
        // Products of halves and their sums are exact in double; the one rounding is to the half result.
        unsigned& reg = static_cast<unsigned*>(out)[i / 2];
        const unsigned bits = __half_as_ushort(__double2half(sum));
        reg = (reg & ~(0xffffu << (16 * (i % 2)))) | bits << (16 * (i % 2));
    } else if constexpr (C == Acc::kS32) {
        static_cast<int*>(out)[i] = (int)(int32_t)(uint32_t)(int64_t)sum;  // the hardware's sum wraps
    } else {
        static_cast<int*>(out)[i] = sum > 2147483647.0    ? 2147483647
                                    : sum < -2147483648.0 ? (-2147483647 - 1)
                                                          : (int)sum;
    }
}

template <class Ops, int K, bool ASigned, bool BSigned, Acc C>
void multiply(::vyr_sim::LaneSlot* lanes, unsigned, int) {
    constexpr int kPerReg = K == 16 ? 2 : 4;  // elements of A and B per 32-bit register
    double a[16][32] = {}, b[32][8] = {}, c[16][8] = {};
    for (int lane = 0; lane < 32; ++lane) {
        const Ops& in = *static_cast<const Ops*>(lanes[lane].in);
        const int g = lane / 4, t = lane % 4;
        for (int i = 0; i < 4 * kPerReg; ++i) {
            const int row = g + 8 * (K == 16 ? i / 2 % 2 : i / 4 % 2);
            const int col = K == 16 ? 2 * t + i % 2 + 8 * (i / 4) : 4 * t + i % 4 + 16 * (i / 8);
            a[row][col] = element<K, ASigned>(in.a[i / kPerReg], i % kPerReg);
        }
        for (int i = 0; i < 2 * kPerReg; ++i) {
            const int row = K == 16 ? 2 * t + i % 2 + 8 * (i / 2) : 4 * t + i % 4 + 16 * (i / 4);
            b[row][g] = element<K, BSigned>(in.b[i / kPerReg], i % kPerReg);
        }
        for (int i = 0; i < 4; ++i) c[g + 8 * (i / 2)][2 * t + i % 2] = accumulator<Ops, C>(in, i);
    }
    for (int lane = 0; lane < 32; ++lane) {
        const int g = lane / 4, t = lane % 4;
        for (int i = 0; i < 4; ++i) {
            const int row = g + 8 * (i / 2), col = 2 * t + i % 2;
            double sum = c[row][col];
            // Integer products and sums are exact in double here.
            for (int k = 0; k < K; ++k) sum += a[row][k] * b[k][col];
            store<C>(lanes[lane].out, i, sum);
        }
    }
}

template <class Ops, int K, bool ASigned, bool BSigned, Acc C>
inline void run(const char* what, const Ops& in, void* d) {
    ::vyr_sim::warp_collective(what, multiply<Ops, K, ASigned, BSigned, C>, 0xffffffffu, 32, &in, d, 0,
                               ::vyr_sim::Site());
}
}  // namespace sim_mma
#endif

__device__ inline void mma_m16n8k16_f16([[maybe_unused]] float (&d)[4],
                                        [[maybe_unused]] const MmaF16Operands& in) {
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
    sim_mma::run<MmaF16Operands, 16, true, true, sim_mma::Acc::kF32>("mma.m16n8k16", in, d);
#endif
}

// f16 accumulate: the result is the exact sum rounded once to half.
__device__ inline void mma_m16n8k16_f16_acc16([[maybe_unused]] unsigned (&d)[2],
                                              [[maybe_unused]] const MmaF16AccOperands& in) {
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 800
    asm volatile(
        "mma.sync.aligned.m16n8k16.row.col.f16.f16.f16.f16 {%0,%1}, {%2,%3,%4,%5}, {%6,%7}, {%8,%9};\n"
        : "=r"(d[0]), "=r"(d[1])
        : "r"(in.a[0]), "r"(in.a[1]), "r"(in.a[2]), "r"(in.a[3]), "r"(in.b[0]), "r"(in.b[1]), "r"(in.c[0]),
          "r"(in.c[1]));
#elif defined(__CUDA_ARCH__)
    __trap();
#elif defined(VYR_SIM)
    d[0] = d[1] = 0;
    sim_mma::run<MmaF16AccOperands, 16, true, true, sim_mma::Acc::kF16>("mma.m16n8k16.f16", in, d);
#endif
}

__device__ inline void mma_m16n8k32_s8([[maybe_unused]] int (&d)[4],
                                       [[maybe_unused]] const MmaS8Operands& in) {
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
    sim_mma::run<MmaS8Operands, 32, true, true, sim_mma::Acc::kS32>("mma.m16n8k32", in, d);
#endif
}

#if defined(VYR_SIM)
// m16n8k32 with signed or unsigned bytes for A and B, wrapping or saturating (.satfinite). The GPU spells
// each combination as its own instruction; the CUTLASS layer of the simulator calls these.
template <bool ASigned, bool BSigned, bool Saturate>
inline void mma_m16n8k32_8bit(int (&d)[4], const MmaS8Operands& in) {
    sim_mma::run<MmaS8Operands, 32, ASigned, BSigned,
                 Saturate ? sim_mma::Acc::kS32Saturate : sim_mma::Acc::kS32>(
        Saturate ? "mma.m16n8k32.satfinite" : "mma.m16n8k32", in, d);
}
#endif

// ldmatrix.sync.aligned.m8n8.x<Q>[.trans].shared.b16 (7.5 and later): Q 8 x 8 matrices of 16-bit elements.
// Lanes 8q .. 8q + 7 give the addresses of rows 0 .. 7 of matrix q (16 bytes each, 16-byte aligned); lane l
// receives in d[q] the elements (row l / 4, columns 2 (l % 4) and 2 (l % 4) + 1) of matrix q, or with Trans
// the elements (rows 2 (l % 4) and 2 (l % 4) + 1, column l / 4).
#if defined(VYR_SIM)
namespace sim_ldsm {
template <int Q, bool Trans>
void load(::vyr_sim::LaneSlot* lanes, unsigned, int) {
    const unsigned char* rows[32];
    for (int l = 0; l < 8 * Q; ++l) {
        rows[l] = *static_cast<const unsigned char* const*>(lanes[l].in);
        if (reinterpret_cast<uintptr_t>(rows[l]) % 16)
            ::vyr_sim::kernel_fault("ldmatrix: a row address is not 16-byte aligned");
    }
    for (int l = 0; l < 32; ++l) {
        unsigned* d = static_cast<unsigned*>(lanes[l].out);
        for (int q = 0; q < Q; ++q) {
            uint16_t lo, hi;
            if (Trans) {
                memcpy(&lo, rows[8 * q + 2 * (l % 4)] + 2 * (l / 4), 2);
                memcpy(&hi, rows[8 * q + 2 * (l % 4) + 1] + 2 * (l / 4), 2);
            } else {
                memcpy(&lo, rows[8 * q + l / 4] + 4 * (l % 4), 2);
                memcpy(&hi, rows[8 * q + l / 4] + 4 * (l % 4) + 2, 2);
            }
            d[q] = (unsigned)lo | (unsigned)hi << 16;
        }
    }
}
}  // namespace sim_ldsm
#endif

template <int Q, bool Trans>
__device__ inline void ldmatrix_b16([[maybe_unused]] unsigned (&d)[Q], [[maybe_unused]] const void* row) {
    static_assert(Q == 1 || Q == 2 || Q == 4, "ldmatrix loads 1, 2 or 4 matrices");
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 750
    const unsigned addr = static_cast<unsigned>(__cvta_generic_to_shared(row));
    if constexpr (Q == 1 && !Trans)
        asm volatile("ldmatrix.sync.aligned.x1.m8n8.shared.b16 {%0}, [%1];\n" : "=r"(d[0]) : "r"(addr));
    else if constexpr (Q == 1)
        asm volatile("ldmatrix.sync.aligned.x1.trans.m8n8.shared.b16 {%0}, [%1];\n" : "=r"(d[0]) : "r"(addr));
    else if constexpr (Q == 2 && !Trans)
        asm volatile("ldmatrix.sync.aligned.x2.m8n8.shared.b16 {%0, %1}, [%2];\n"
                     : "=r"(d[0]), "=r"(d[1])
                     : "r"(addr));
    else if constexpr (Q == 2)
        asm volatile("ldmatrix.sync.aligned.x2.trans.m8n8.shared.b16 {%0, %1}, [%2];\n"
                     : "=r"(d[0]), "=r"(d[1])
                     : "r"(addr));
    else if constexpr (!Trans)
        asm volatile("ldmatrix.sync.aligned.x4.m8n8.shared.b16 {%0, %1, %2, %3}, [%4];\n"
                     : "=r"(d[0]), "=r"(d[1]), "=r"(d[2]), "=r"(d[3])
                     : "r"(addr));
    else
        asm volatile("ldmatrix.sync.aligned.x4.trans.m8n8.shared.b16 {%0, %1, %2, %3}, [%4];\n"
                     : "=r"(d[0]), "=r"(d[1]), "=r"(d[2]), "=r"(d[3])
                     : "r"(addr));
#elif defined(__CUDA_ARCH__)
    __trap();
#elif defined(VYR_SIM)
    ::vyr_sim::warp_collective(Trans ? "ldmatrix.trans" : "ldmatrix", sim_ldsm::load<Q, Trans>, 0xffffffffu,
                               32, &row, d, 0, ::vyr_sim::Site());
#endif
}

// Asynchronous copy of 4, 8 or 16 bytes (`src_bytes` of them read, the rest zero), cache-all or, for 16
// bytes, cache-global. As cp_async_16, the data lands at the covering wait.
template <int Bytes, bool CacheGlobal>
__device__ inline void cp_async_sized(void* smem_dst, const void* gmem_src, int src_bytes) {
    static_assert(Bytes == 4 || Bytes == 8 || Bytes == 16, "cp.async copies 4, 8 or 16 bytes");
    static_assert(!CacheGlobal || Bytes == 16, "cp.async.cg copies 16 bytes");
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 800
    unsigned dst = static_cast<unsigned>(__cvta_generic_to_shared(smem_dst));
    if constexpr (CacheGlobal)
        asm volatile("cp.async.cg.shared.global [%0], [%1], %2, %3;\n" ::"r"(dst), "l"(gmem_src), "n"(Bytes),
                     "r"(src_bytes));
    else
        asm volatile("cp.async.ca.shared.global [%0], [%1], %2, %3;\n" ::"r"(dst), "l"(gmem_src), "n"(Bytes),
                     "r"(src_bytes));
#elif defined(VYR_SIM)
    ::vyr_sim::cp_async_issue(smem_dst, src_bytes ? gmem_src : nullptr, src_bytes, Bytes);
#else
    memcpy(smem_dst, gmem_src, (size_t)src_bytes);
    if (src_bytes < Bytes) memset(static_cast<char*>(smem_dst) + src_bytes, 0, (size_t)(Bytes - src_bytes));
#endif
}

// ---- Tiled transformer kernels (8.0 and later): half-accumulating mma, 8x8 transposes, group waits ----

#if defined(VYR_SIM)
namespace sim_mma {
// movmatrix.trans: lane l holds elements (l / 4, 2 (l % 4)) and (l / 4, 2 (l % 4) + 1) of an 8 x 8 matrix
// of 16-bit values, and receives the same positions of its transpose.
inline void transpose8x8_lanes(::vyr_sim::LaneSlot* lanes, unsigned, int) {
    unsigned short m[8][8];
    for (int lane = 0; lane < 32; ++lane) {
        const unsigned v = *static_cast<const unsigned*>(lanes[lane].in);
        m[lane / 4][2 * (lane % 4)] = (unsigned short)v;
        m[lane / 4][2 * (lane % 4) + 1] = (unsigned short)(v >> 16);
    }
    for (int lane = 0; lane < 32; ++lane) {
        const int r = lane / 4, c = 2 * (lane % 4);
        *static_cast<unsigned*>(lanes[lane].out) = (unsigned)m[c][r] | (unsigned)m[c + 1][r] << 16;
    }
}
}  // namespace sim_mma
#endif

// Warp-wide transpose of an 8 x 8 matrix of 16-bit elements held one pair per lane, in the accumulator
// fragment order (lane l: row l / 4, columns 2 (l % 4) and 2 (l % 4) + 1). movmatrix exists from 7.5 on.
__device__ inline unsigned transpose8x8_b16(unsigned v) {
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ >= 750
    unsigned r;
    asm volatile("movmatrix.sync.aligned.m8n8.trans.b16 %0, %1;\n" : "=r"(r) : "r"(v));
    return r;
#elif defined(__CUDA_ARCH__)
    __trap();
    return v;
#elif defined(VYR_SIM)
    unsigned r;
    ::vyr_sim::warp_collective("movmatrix.trans", sim_mma::transpose8x8_lanes, 0xffffffffu, 32, &v, &r, 0,
                               ::vyr_sim::Site());
    return r;
#else
    return v;
#endif
}

// cp_async_wait with a count known only at run time (0 to 3); the instruction needs an immediate.
__device__ inline void cp_async_wait_at_most(int pending) {
    switch (pending) {
        case 0:
            cp_async_wait<0>();
            break;
        case 1:
            cp_async_wait<1>();
            break;
        case 2:
            cp_async_wait<2>();
            break;
        default:
            cp_async_wait<3>();
            break;
    }
}

// ---- end of the tiled transformer block ----

// A half pair as the 32-bit register that holds it (low half in the low bits), and back.
__host__ __device__ inline unsigned half2_bits(__half2 h) {
    return (unsigned)__half_as_ushort(__low2half(h)) | (unsigned)__half_as_ushort(__high2half(h)) << 16;
}
__host__ __device__ inline __half2 half2_from_bits(unsigned u) {
    return __halves2half2(__ushort_as_half((unsigned short)(u & 0xffffu)),
                          __ushort_as_half((unsigned short)(u >> 16)));
}

// ---- Warp matrix multiply-accumulate (wmma 16 x 16 x 16, half operands)
// ------------------------------------ Kernels use the nvcuda::wmma names; the GPU build takes them from
// <mma.h>, the simulator from the bodies below. Where a kernel depends on which row and column an element of
// an accumulator fragment holds (bias columns, row-wise softmax, the float/half accumulator conversion), it
// asks WmmaAccLayout, the one place that knows the lane layout of each architecture. Operand (matrix_a /
// matrix_b) fragments are only ever loaded, scaled element-wise and multiplied, so their element order is
// nobody's business but the loads'.
//
// Accumulator layouts, lane l, element i (0..7) of a 16 x 16 fragment:
//  - Volta (7.0), quad pair q = (l % 16) / 4 computes the 8 x 8 block at rows 8 (q % 2), columns 8 (q / 2),
//    h = l / 16 picks its upper or lower four rows:
//      half:  row 8 (q % 2) + 4h + l % 4,             column 8 (q / 2) + i
//      float: row 8 (q % 2) + 4h + l % 2 + (i & 2),   column 8 (q / 2) + (i & 4) + (l & 2) + (i & 1)
//    so a half row is split between lanes l and l ^ 2 in float, and converting exchanges half pairs with
//    the lane at distance 2.
//  - 7.5 and later (two m16n8k16 accumulators side by side), half and float alike:
//      row l / 4 + 8 ((i / 2) % 2),   column 2 (l % 4) + i % 2 + 8 (i / 4)
// In every layout elements 2k and 2k + 1 are columns 2c and 2c + 1 of one row.
// The simulator's operand fragments: matrix_a element i of lane l is (row l % 16, k = i); matrix_b element i
// is (k = i, column l % 16); lanes 16..31 duplicate lanes 0..15.
}  // namespace vyr

#if defined(__CUDACC__) && !defined(VYR_SIM)
#include <mma.h>
#endif

namespace vyr {

struct WmmaPosition {
    int row, col;
};

constexpr bool kWmmaVoltaLayout = VYR_ARCH != 0 && VYR_ARCH < 750;

// T: float or __half, the accumulator's element type.
template <class T>
struct WmmaAccLayout {
    static constexpr bool kHalf = sizeof(T) == 2;
    static constexpr int kElements = 8;
    // Rows per lane: element i belongs to the lane's row slot(i).
    static constexpr int kSlots = kWmmaVoltaLayout && kHalf ? 1 : 2;
    // The other lanes holding the same rows are lane ^ peer_mask(k), combined in turn.
    static constexpr int kPeers = kWmmaVoltaLayout && kHalf ? 1 : 2;

    __host__ __device__ static WmmaPosition at(int lane, int i) {
        if constexpr (kWmmaVoltaLayout) {
            const int q = lane % 16 / 4, base_row = 8 * (q % 2) + 4 * (lane / 16), base_col = 8 * (q / 2);
            if constexpr (kHalf) return {base_row + lane % 4, base_col + i};
            return {base_row + lane % 2 + (i & 2), base_col + (i & 4) + (lane & 2) + (i & 1)};
        }
        return {lane / 4 + 8 * (i / 2 % 2), 2 * (lane % 4) + i % 2 + 8 * (i / 4)};
    }
    __host__ __device__ static int slot(int i) {
        if constexpr (kWmmaVoltaLayout) return kHalf ? 0 : (i & 2) / 2;
        return i / 2 % 2;
    }
    __host__ __device__ static int peer_mask(int k) {
        if constexpr (kWmmaVoltaLayout) return kHalf ? 8 : (k == 0 ? 2 : 8);
        return k == 0 ? 1 : 2;
    }
};

#if defined(VYR_SIM) || defined(__CUDACC__)
// The half pair of the lane at distance 2, moved as its 32 bits.
__device__ inline __half2 wmma_swap_pair(__half2 h) {
    return half2_from_bits(__shfl_xor_sync(0xffffffffu, half2_bits(h), 2));
}

// Converts between float and half accumulator fragments of one warp (every lane calls it), rounding to
// nearest. Fragments are passed as templates so that units built without wmma need not see the types.
template <class FragFloat, class FragHalf>
__device__ inline void wmma_acc_to_half(FragHalf& d, const FragFloat& s, int lane) {
    if constexpr (kWmmaVoltaLayout) {
        // Elements own | {0, 1, 4, 5} stay; other | {0, 1, 4, 5} hold the partner's row and are swapped.
        const int own = lane & 2, other = own ^ 2;
        const __half2 send0 = __floats2half2_rn(s.x[other], s.x[other | 1]);
        const __half2 send1 = __floats2half2_rn(s.x[other | 4], s.x[other | 5]);
        const __half2 recv0 = wmma_swap_pair(send0), recv1 = wmma_swap_pair(send1);
        for (int e : {0, 1, 4, 5}) d.x[own | e] = __float2half_rn(s.x[own | e]);
        d.x[other] = __low2half(recv0);
        d.x[other | 1] = __high2half(recv0);
        d.x[other | 4] = __low2half(recv1);
        d.x[other | 5] = __high2half(recv1);
    } else {
        (void)lane;
        for (int i = 0; i < WmmaAccLayout<float>::kElements; ++i) d.x[i] = __float2half_rn(s.x[i]);
    }
}
template <class FragHalf, class FragFloat>
__device__ inline void wmma_acc_to_float(FragFloat& d, const FragHalf& s, int lane) {
    if constexpr (kWmmaVoltaLayout) {
        const int own = lane & 2, other = own ^ 2;
        const __half2 recv0 = wmma_swap_pair(__halves2half2(s.x[other], s.x[other | 1]));
        const __half2 recv1 = wmma_swap_pair(__halves2half2(s.x[other | 4], s.x[other | 5]));
        for (int e : {0, 1, 4, 5}) d.x[own | e] = __half2float(s.x[own | e]);
        d.x[other] = __low2float(recv0);
        d.x[other | 1] = __high2float(recv0);
        d.x[other | 4] = __low2float(recv1);
        d.x[other | 5] = __high2float(recv1);
    } else {
        (void)lane;
        for (int i = 0; i < WmmaAccLayout<float>::kElements; ++i) d.x[i] = __half2float(s.x[i]);
    }
}

#endif

}  // namespace vyr

#if defined(VYR_SIM)
// The simulator's nvcuda::wmma: loads and stores are per lane by the layouts above; mma_sync is a warp
// collective that gathers the whole tiles, sums each product exactly and rounds once to the accumulator type.
namespace nvcuda {
namespace wmma {

struct matrix_a {};
struct matrix_b {};
struct accumulator {};
struct row_major {};
struct col_major {};
enum layout_t { mem_row_major, mem_col_major };

template <class Use, int M, int N, int K, class T, class Layout = void>
struct fragment {
    static_assert(M == 16 && N == 16 && K == 16, "only the 16 x 16 x 16 shape is simulated");
    static constexpr int num_elements = std::is_same<Use, accumulator>::value ? 8 : 16;
    T x[num_elements];
};

template <class Use, class T, class Layout, class V>
inline void fill_fragment(fragment<Use, 16, 16, 16, T, Layout>& f, V v) {
    for (T& e : f.x) e = (T)v;
}

namespace detail {
inline int lane() {
    return ::vyr_sim::g_ctx->lane;
}
// Element (row, col) of a 16 x 16 matrix in memory.
inline size_t offset(int row, int col, unsigned ldm, bool row_major) {
    return row_major ? (size_t)row * ldm + col : (size_t)col * ldm + row;
}
}  // namespace detail

template <class Layout>
inline void load_matrix_sync(fragment<matrix_a, 16, 16, 16, __half, Layout>& f, const __half* p,
                             unsigned ldm) {
    for (int i = 0; i < 16; ++i)
        f.x[i] = p[detail::offset(detail::lane() % 16, i, ldm, std::is_same<Layout, row_major>::value)];
}
template <class Layout>
inline void load_matrix_sync(fragment<matrix_b, 16, 16, 16, __half, Layout>& f, const __half* p,
                             unsigned ldm) {
    for (int i = 0; i < 16; ++i)
        f.x[i] = p[detail::offset(i, detail::lane() % 16, ldm, std::is_same<Layout, row_major>::value)];
}
template <class T>
inline void load_matrix_sync(fragment<accumulator, 16, 16, 16, T>& f, const T* p, unsigned ldm,
                             layout_t layout) {
    for (int i = 0; i < 8; ++i) {
        const ::vyr::WmmaPosition at = ::vyr::WmmaAccLayout<T>::at(detail::lane(), i);
        f.x[i] = p[detail::offset(at.row, at.col, ldm, layout == mem_row_major)];
    }
}
template <class T>
inline void store_matrix_sync(T* p, const fragment<accumulator, 16, 16, 16, T>& f, unsigned ldm,
                              layout_t layout) {
    for (int i = 0; i < 8; ++i) {
        const ::vyr::WmmaPosition at = ::vyr::WmmaAccLayout<T>::at(detail::lane(), i);
        p[detail::offset(at.row, at.col, ldm, layout == mem_row_major)] = f.x[i];
    }
}

namespace detail {
template <class FragA, class FragB, class FragC>
struct MmaIn {
    const FragA* a;
    const FragB* b;
    const FragC* c;
};
template <class FragA, class FragB, class FragC, class FragD>
void multiply(::vyr_sim::LaneSlot* lanes, unsigned, int) {
    using TC = std::remove_reference_t<decltype(std::declval<FragC>().x[0])>;
    using TD = std::remove_reference_t<decltype(std::declval<FragD>().x[0])>;
    double a[16][16], b[16][16], c[16][16];
    for (int lane = 0; lane < 32; ++lane) {
        const auto& in = *static_cast<const MmaIn<FragA, FragB, FragC>*>(lanes[lane].in);
        for (int i = 0; i < 16 && lane < 16; ++i) {
            a[lane][i] = (double)__half2float(in.a->x[i]);
            b[i][lane] = (double)__half2float(in.b->x[i]);
        }
        for (int i = 0; i < 8; ++i) {
            const ::vyr::WmmaPosition at = ::vyr::WmmaAccLayout<TC>::at(lane, i);
            c[at.row][at.col] = (double)(float)in.c->x[i];
        }
    }
    for (int lane = 0; lane < 32; ++lane) {
        FragD& d = *static_cast<FragD*>(lanes[lane].out);
        for (int i = 0; i < 8; ++i) {
            const ::vyr::WmmaPosition at = ::vyr::WmmaAccLayout<TD>::at(lane, i);
            double sum = c[at.row][at.col];
            for (int k = 0; k < 16; ++k) sum += a[at.row][k] * b[k][at.col];
            if constexpr (sizeof(TD) == 2)
                d.x[i] = __double2half(sum);
            else
                d.x[i] = (TD)sum;
        }
    }
}
}  // namespace detail

template <class LA, class LB, class TD, class TC>
inline void mma_sync(fragment<accumulator, 16, 16, 16, TD>& d,
                     const fragment<matrix_a, 16, 16, 16, __half, LA>& a,
                     const fragment<matrix_b, 16, 16, 16, __half, LB>& b,
                     const fragment<accumulator, 16, 16, 16, TC>& c,
                     ::vyr_sim::Site site = ::vyr_sim::Site()) {
    using FA = fragment<matrix_a, 16, 16, 16, __half, LA>;
    using FB = fragment<matrix_b, 16, 16, 16, __half, LB>;
    using FC = fragment<accumulator, 16, 16, 16, TC>;
    using FD = fragment<accumulator, 16, 16, 16, TD>;
    const detail::MmaIn<FA, FB, FC> in{&a, &b, &c};
    FD out;
    ::vyr_sim::warp_collective("wmma.mma_sync", detail::multiply<FA, FB, FC, FD>, 0xffffffffu, 32, &in, &out,
                               0, site);
    d = out;
}

}  // namespace wmma
}  // namespace nvcuda
#endif
