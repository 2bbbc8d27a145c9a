// The device-side CUDA names, as the simulator provides them to kernels compiled by the host compiler.
// Every collective (block barrier, warp shuffle, vote, reduction, tensor-core fragment exchange) suspends the
// calling fiber until all its participants have arrived, and checks that they all agree on what they called.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include <cuda_fp16.h>

namespace vyr_sim {

// Execution context of the fiber that is running now; switched by the scheduler on every resume.
struct ThreadCtx {
    uint3 thread_idx;
    uint3 block_idx;
    dim3 block_dim;
    dim3 grid_dim;
    int linear;  // x fastest, as the hardware numbers threads into warps
    int lane;
    int warp;
};
extern ThreadCtx* g_ctx;

// Where a collective was called: the defaults are evaluated at the caller's call site.
struct Site {
    Site(const char* f = __builtin_FILE(), int l = __builtin_LINE()) : file(f), line(l) {}
    const char* file;
    int line;
};

// Block barrier; op selects what is reduced over the predicates (0 none, 1 count, 2 and, 3 or).
int block_barrier(int op, int predicate, Site site);

// One lane's part in a warp collective. The last lane of the mask to arrive runs fn once for all of them,
// with each participant's in/out pointers (they point into the suspended lanes' own stacks).
struct LaneSlot {
    const void* in;
    void* out;
    int arg;
};
using CollectiveFn = void (*)(LaneSlot* lanes, unsigned mask, int width);
void warp_collective(const char* what, CollectiveFn fn, unsigned mask, int width, const void* in, void* out,
                     int arg, Site site);
unsigned active_mask();

void* dynamic_smem();

// Counts the events that can change what a spinning thread polls: atomics that changed a value, fences,
// release stores, thread exits and block starts. Plain stores are not counted.
extern unsigned long long g_progress;
// A spinning thread yields: the other threads and blocks run, and it is resumed to poll again (see simt.cpp).
void spin_yield(Site site);

// The shared-state-space address of a pointer into the block's shared memory (dynamic or static), as
// cvta.to.shared gives it, and back. Instructions that take 32-bit shared addresses (ld.shared, st.shared)
// go through these; a pointer outside shared memory is a fault.
unsigned smem_address(const void* p);
void* smem_pointer(unsigned address);

// Asynchronous global-to-shared copies of one thread: `cp_bytes` (4, 8 or 16) land at dst, the first
// `src_bytes` of them read from src and the rest zero. The source is read at issue; the data lands at the
// wait that covers its group (the latest moment the hardware allows), and until then the destination holds
// poison, so a kernel that reads before waiting sees it. Copies never committed or waited for land when the
// thread exits.
void cp_async_issue(void* dst, const void* src, int src_bytes, int cp_bytes = 16);
void cp_async_commit();
void cp_async_wait(int pending_groups);

// Reports a fault of the running kernel (naming kernel, block and thread) and abandons the launch.
[[noreturn]] void kernel_fault(const char* message);

template <class T>
struct ShuffleOps {
    static_assert(sizeof(T) <= 8 && std::is_trivially_copyable<T>::value, "shuffles move at most 8 bytes");
    // Lane-to-source rules of shfl.sync: segments of `width` lanes; a source outside the segment keeps the
    // lane's own value for up/down and for xor targets above the segment.
    static void idx(LaneSlot* l, unsigned mask, int width) {
        for (int i = 0; i < 32; ++i) {
            if (!(mask >> i & 1u)) continue;
            int base = i & ~(width - 1);
            int src = base + (l[i].arg & (width - 1));
            copy(l, i, src, mask);
        }
    }
    static void up(LaneSlot* l, unsigned mask, int width) {
        for (int i = 0; i < 32; ++i) {
            if (!(mask >> i & 1u)) continue;
            int base = i & ~(width - 1);
            int src = i - l[i].arg;
            copy(l, i, src < base ? i : src, mask);
        }
    }
    static void down(LaneSlot* l, unsigned mask, int width) {
        for (int i = 0; i < 32; ++i) {
            if (!(mask >> i & 1u)) continue;
            int base = i & ~(width - 1);
            int src = i + l[i].arg;
            copy(l, i, src >= base + width ? i : src, mask);
        }
    }
    static void bfly(LaneSlot* l, unsigned mask, int width) {
        for (int i = 0; i < 32; ++i) {
            if (!(mask >> i & 1u)) continue;
            int base = i & ~(width - 1);
            int src = i ^ l[i].arg;
            copy(l, i, src >= base + width ? i : src, mask);
        }
    }
    static void copy(LaneSlot* l, int dst, int src, unsigned mask) {
        if (src < 0 || src > 31 || !(mask >> src & 1u)) {
            // Reading a lane outside the mask is undefined on the GPU; make it loud.
            std::memset(l[dst].out, 0xff, sizeof(T));
            return;
        }
        std::memcpy(l[dst].out, l[src].in, sizeof(T));
    }
};

template <class T>
inline T shuffle(const char* what, CollectiveFn fn, unsigned mask, T v, int arg, int width, Site site) {
    T out;
    warp_collective(what, fn, mask, width, &v, &out, arg, site);
    return out;
}

void reduce_u32(LaneSlot* l, unsigned mask, int op);

}  // namespace vyr_sim

#define VYR_SIM_SITE ::vyr_sim::Site()

#define threadIdx (::vyr_sim::g_ctx->thread_idx)
#define blockIdx (::vyr_sim::g_ctx->block_idx)
#define blockDim (::vyr_sim::g_ctx->block_dim)
#define gridDim (::vyr_sim::g_ctx->grid_dim)
constexpr int warpSize = 32;

inline void __syncthreads(vyr_sim::Site s = VYR_SIM_SITE) {
    vyr_sim::block_barrier(0, 0, s);
}
inline int __syncthreads_count(int p, vyr_sim::Site s = VYR_SIM_SITE) {
    return vyr_sim::block_barrier(1, p, s);
}
inline int __syncthreads_and(int p, vyr_sim::Site s = VYR_SIM_SITE) {
    return vyr_sim::block_barrier(2, p, s);
}
inline int __syncthreads_or(int p, vyr_sim::Site s = VYR_SIM_SITE) {
    return vyr_sim::block_barrier(3, p, s);
}
inline void __threadfence() {
    ++vyr_sim::g_progress;
}
inline void __threadfence_block() {}
inline void __threadfence_system() {
    ++vyr_sim::g_progress;
}
// A thread that sleeps is polling for something another thread or block must do.
inline void __nanosleep(unsigned, vyr_sim::Site s = VYR_SIM_SITE) {
    vyr_sim::spin_yield(s);
}

inline void __syncwarp(unsigned mask = 0xffffffffu, vyr_sim::Site s = VYR_SIM_SITE) {
    vyr_sim::warp_collective(
        "__syncwarp", [](vyr_sim::LaneSlot*, unsigned, int) {}, mask, 32, nullptr, nullptr, 0, s);
}

template <class T>
inline T __shfl_sync(unsigned mask, T v, int src, int width = 32, vyr_sim::Site s = VYR_SIM_SITE) {
    return vyr_sim::shuffle("__shfl_sync", vyr_sim::ShuffleOps<T>::idx, mask, v, src, width, s);
}
template <class T>
inline T __shfl_up_sync(unsigned mask, T v, unsigned delta, int width = 32, vyr_sim::Site s = VYR_SIM_SITE) {
    return vyr_sim::shuffle("__shfl_up_sync", vyr_sim::ShuffleOps<T>::up, mask, v, (int)delta, width, s);
}
template <class T>
inline T __shfl_down_sync(unsigned mask, T v, unsigned delta, int width = 32,
                          vyr_sim::Site s = VYR_SIM_SITE) {
    return vyr_sim::shuffle("__shfl_down_sync", vyr_sim::ShuffleOps<T>::down, mask, v, (int)delta, width, s);
}
template <class T>
inline T __shfl_xor_sync(unsigned mask, T v, int lane_mask, int width = 32, vyr_sim::Site s = VYR_SIM_SITE) {
    return vyr_sim::shuffle("__shfl_xor_sync", vyr_sim::ShuffleOps<T>::bfly, mask, v, lane_mask, width, s);
}

inline unsigned __ballot_sync(unsigned mask, int p, vyr_sim::Site s = VYR_SIM_SITE) {
    unsigned in = p != 0, out;
    vyr_sim::warp_collective(
        "__ballot_sync", [](vyr_sim::LaneSlot* l, unsigned m, int) { vyr_sim::reduce_u32(l, m, 3); }, mask,
        32, &in, &out, 0, s);
    return out;
}
inline int __any_sync(unsigned mask, int p, vyr_sim::Site s = VYR_SIM_SITE) {
    return __ballot_sync(mask, p, s) != 0;
}
inline int __all_sync(unsigned mask, int p, vyr_sim::Site s = VYR_SIM_SITE) {
    return __ballot_sync(mask, p, s) == mask;
}
inline unsigned __reduce_add_sync(unsigned mask, unsigned v, vyr_sim::Site s = VYR_SIM_SITE) {
    unsigned out;
    vyr_sim::warp_collective(
        "__reduce_add_sync", [](vyr_sim::LaneSlot* l, unsigned m, int) { vyr_sim::reduce_u32(l, m, 0); },
        mask, 32, &v, &out, 0, s);
    return out;
}
inline int __reduce_add_sync(unsigned mask, int v, vyr_sim::Site s = VYR_SIM_SITE) {
    return (int)__reduce_add_sync(mask, (unsigned)v, s);
}
inline unsigned __reduce_min_sync(unsigned mask, unsigned v, vyr_sim::Site s = VYR_SIM_SITE) {
    unsigned out;
    vyr_sim::warp_collective(
        "__reduce_min_sync", [](vyr_sim::LaneSlot* l, unsigned m, int) { vyr_sim::reduce_u32(l, m, 1); },
        mask, 32, &v, &out, 0, s);
    return out;
}
inline unsigned __reduce_max_sync(unsigned mask, unsigned v, vyr_sim::Site s = VYR_SIM_SITE) {
    unsigned out;
    vyr_sim::warp_collective(
        "__reduce_max_sync", [](vyr_sim::LaneSlot* l, unsigned m, int) { vyr_sim::reduce_u32(l, m, 2); },
        mask, 32, &v, &out, 0, s);
    return out;
}
inline int __reduce_min_sync(unsigned mask, int v, vyr_sim::Site s = VYR_SIM_SITE) {
    unsigned out, in = (unsigned)v ^ 0x80000000u;  // order-preserving map of int onto unsigned
    vyr_sim::warp_collective(
        "__reduce_min_sync", [](vyr_sim::LaneSlot* l, unsigned m, int) { vyr_sim::reduce_u32(l, m, 1); },
        mask, 32, &in, &out, 0, s);
    return (int)(out ^ 0x80000000u);
}
inline int __reduce_max_sync(unsigned mask, int v, vyr_sim::Site s = VYR_SIM_SITE) {
    unsigned out, in = (unsigned)v ^ 0x80000000u;
    vyr_sim::warp_collective(
        "__reduce_max_sync", [](vyr_sim::LaneSlot* l, unsigned m, int) { vyr_sim::reduce_u32(l, m, 2); },
        mask, 32, &in, &out, 0, s);
    return (int)(out ^ 0x80000000u);
}
// A kernel's deliberate abort (the device code of an architecture a kernel does not serve): a fault of the
// launch, as on the GPU, where it ends the kernel with an error.
[[noreturn]] inline void __trap() {
    vyr_sim::kernel_fault("__trap() called");
}

inline unsigned __activemask() {
    return vyr_sim::active_mask();
}

// Atomics: one fiber runs at a time and switches only at collectives, so a plain read-modify-write would do;
// integer and floating-point words still go through the host's atomic compare-and-swap, so that a counter
// shared by the blocks of a persistent kernel behaves as on the GPU even when it is also touched from outside
// the running fiber. Other types (half) keep the plain form. One that changes the value is progress for
// spinning threads; one that does not (an add of 0 used as a load) is not.
namespace vyr_sim {
template <class T, class F>
inline T atomic_update(T* p, F f) {
    if constexpr (std::is_integral<T>::value || std::is_floating_point<T>::value) {
        T old;
        __atomic_load(p, &old, __ATOMIC_SEQ_CST);
        T desired = f(old);
        while (!__atomic_compare_exchange(p, &old, &desired, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
            desired = f(old);
        return old;
    } else {
        T old = *p;
        *p = f(old);
        return old;
    }
}
}  // namespace vyr_sim
#define VYR_SIM_ATOMIC(name, expr)                                          \
    template <class T>                                                      \
    inline T name(T* p, T v) {                                              \
        const auto f = [v]([[maybe_unused]] T old) { return (T)(expr); };   \
        const T old = ::vyr_sim::atomic_update(p, f);                       \
        const T now = f(old);                                               \
        if (std::memcmp(&old, &now, sizeof(T)) != 0) ++vyr_sim::g_progress; \
        return old;                                                         \
    }
VYR_SIM_ATOMIC(atomicAdd, old + v)
VYR_SIM_ATOMIC(atomicSub, old - v)
VYR_SIM_ATOMIC(atomicExch, v)
VYR_SIM_ATOMIC(atomicMax, old < v ? v : old)
VYR_SIM_ATOMIC(atomicMin, v < old ? v : old)
VYR_SIM_ATOMIC(atomicAnd, old& v)
VYR_SIM_ATOMIC(atomicOr, old | v)
VYR_SIM_ATOMIC(atomicXor, old ^ v)
#undef VYR_SIM_ATOMIC
// A compare-and-swap that fails is taken as a spin (a lock or a flag being polled): the thread yields.
template <class T>
inline T atomicCAS(T* p, T compare, T v, vyr_sim::Site s = VYR_SIM_SITE) {
    const T old = ::vyr_sim::atomic_update(p, [compare, v](T o) { return o == compare ? v : o; });
    if (old == compare) {
        if (!(old == v)) ++vyr_sim::g_progress;
    } else {
        vyr_sim::spin_yield(s);
    }
    return old;
}
inline unsigned atomicInc(unsigned* p, unsigned limit) {
    unsigned old = *p;
    *p = old >= limit ? 0u : old + 1u;
    if (old != *p) ++vyr_sim::g_progress;
    return old;
}

template <class T>
inline T __ldg(const T* p) {
    return *p;
}

// Integer and bit intrinsics with the hardware's definitions.
inline int __popc(unsigned x) {
    return __builtin_popcount(x);
}
inline int __popcll(unsigned long long x) {
    return __builtin_popcountll(x);
}
inline int __clz(int x) {
    return x == 0 ? 32 : __builtin_clz((unsigned)x);
}
inline int __clzll(long long x) {
    return x == 0 ? 64 : __builtin_clzll((unsigned long long)x);
}
inline int __ffs(int x) {
    return __builtin_ffs(x);
}
inline int __ffsll(long long x) {
    return __builtin_ffsll(x);
}
inline unsigned __brev(unsigned x) {
    unsigned r = 0;
    for (int i = 0; i < 32; ++i) r |= ((x >> i) & 1u) << (31 - i);
    return r;
}
inline unsigned __umulhi(unsigned a, unsigned b) {
    return (unsigned)(((unsigned long long)a * b) >> 32);
}
inline int __mulhi(int a, int b) {
    return (int)(((long long)a * b) >> 32);
}
inline int __mul24(int a, int b) {
    return (int)((long long)(a << 8 >> 8) * (b << 8 >> 8));
}
inline unsigned __byte_perm(unsigned x, unsigned y, unsigned s) {
    unsigned long long v = ((unsigned long long)y << 32) | x;
    unsigned r = 0;
    for (int i = 0; i < 4; ++i) r |= (unsigned)((v >> (8 * ((s >> (4 * i)) & 7))) & 0xff) << (8 * i);
    return r;
}
template <class To, class From>
inline To vyr_sim_bit_cast(From x) {
    static_assert(sizeof(To) == sizeof(From), "reinterpretation keeps the size");
    To y;
    std::memcpy(&y, &x, sizeof y);
    return y;
}
inline float __int_as_float(int x) {
    return vyr_sim_bit_cast<float>(x);
}
inline int __float_as_int(float x) {
    return vyr_sim_bit_cast<int>(x);
}
inline float __uint_as_float(unsigned x) {
    return vyr_sim_bit_cast<float>(x);
}
inline unsigned __float_as_uint(float x) {
    return vyr_sim_bit_cast<unsigned>(x);
}
inline float __fadd_rn(float a, float b) {
    return a + b;
}
inline float __fmul_rn(float a, float b) {
    return a * b;
}
inline float __fmaf_rn(float a, float b, float c) {
    return std::fma(a, b, c);
}
inline float __saturatef(float x) {
    return x != x ? 0.0f : (x < 0.0f ? 0.0f : (x > 1.0f ? 1.0f : x));
}
inline float __int2float_rn(int x) {
    return (float)x;
}
inline int __float2int_rn(float x) {
    return (int)std::nearbyint(x);
}
inline int __float2int_rz(float x) {
    return (int)x;
}
inline int __float2int_rd(float x) {
    return (int)std::floor(x);
}
inline int __float2int_ru(float x) {
    return (int)std::ceil(x);
}

// CUDA's device min/max are overloaded on the argument types; std::min needs equal types.
inline int min(int a, int b) {
    return a < b ? a : b;
}
inline int max(int a, int b) {
    return a > b ? a : b;
}
inline unsigned min(unsigned a, unsigned b) {
    return a < b ? a : b;
}
inline unsigned max(unsigned a, unsigned b) {
    return a > b ? a : b;
}
inline long long min(long long a, long long b) {
    return a < b ? a : b;
}
inline long long max(long long a, long long b) {
    return a > b ? a : b;
}
inline unsigned long long min(unsigned long long a, unsigned long long b) {
    return a < b ? a : b;
}
inline unsigned long long max(unsigned long long a, unsigned long long b) {
    return a > b ? a : b;
}
inline float min(float a, float b) {
    return std::fmin(a, b);
}
inline float max(float a, float b) {
    return std::fmax(a, b);
}
inline double min(double a, double b) {
    return std::fmin(a, b);
}
inline double max(double a, double b) {
    return std::fmax(a, b);
}

// Half-precision operations that cuda_fp16.h implements for the device only. Each rounds once, as the
// hardware does: products of halves are exact in double, so fma below rounds only when narrowing.
inline __half __hfma(__half a, __half b, __half c) {
    return __double2half((double)__half2float(a) * (double)__half2float(b) + (double)__half2float(c));
}
inline __half2 __hfma2(__half2 a, __half2 b, __half2 c) {
    return __halves2half2(__hfma(__low2half(a), __low2half(b), __low2half(c)),
                          __hfma(__high2half(a), __high2half(b), __high2half(c)));
}
inline __half __hfma_relu(__half a, __half b, __half c) {
    __half r = __hfma(a, b, c);
    return __hisnan(r) ? __ushort_as_half(0x7fff) : (__half2float(r) < 0.0f ? __float2half(0.0f) : r);
}
// Approximate half transcendentals: exact result rounded to half (the hardware's error is ~1 half ulp).
inline __half hexp(__half a) {
    return __float2half(std::exp(__half2float(a)));
}
inline __half hexp2(__half a) {
    return __float2half(std::exp2(__half2float(a)));
}
inline __half hlog(__half a) {
    return __float2half(std::log(__half2float(a)));
}
inline __half hlog2(__half a) {
    return __float2half(std::log2(__half2float(a)));
}
inline __half htanh(__half a) {
    return __float2half(std::tanh(__half2float(a)));
}
inline __half hrcp(__half a) {
    return __float2half(1.0f / __half2float(a));
}
inline __half hsqrt(__half a) {
    return __float2half(std::sqrt(__half2float(a)));
}
#define VYR_SIM_HALF2_UNARY(name, scalar)                                     \
    inline __half2 name(__half2 a) {                                          \
        return __halves2half2(scalar(__low2half(a)), scalar(__high2half(a))); \
    }
VYR_SIM_HALF2_UNARY(h2exp, hexp)
VYR_SIM_HALF2_UNARY(h2exp2, hexp2)
VYR_SIM_HALF2_UNARY(h2log, hlog)
VYR_SIM_HALF2_UNARY(h2log2, hlog2)
VYR_SIM_HALF2_UNARY(h2tanh, htanh)
VYR_SIM_HALF2_UNARY(h2rcp, hrcp)
VYR_SIM_HALF2_UNARY(h2sqrt, hsqrt)
#undef VYR_SIM_HALF2_UNARY
inline int __half2int_rn(__half a) {
    return (int)std::nearbyint(__half2float(a));
}
