// The SIMT scheduler: the threads of a block are fibers (Boost.Context) that run until they reach a
// collective (barrier, warp shuffle, vote) and are resumed once every participant has arrived. Only one fiber
// runs at a time, on the calling host thread, so memory operations between collectives are atomic, and a run
// is bit-reproducible for a given resume order.
//
// Blocks run one after another until a block waits on device memory or signals to other blocks: a thread
// that spins (`__nanosleep`, an acquire load, a failing atomicCAS) or signals (the device-scope
// acquire/release atomics of lib/intrinsics.cuh) yields. When every resident block is stalled that way, the
// next block of the grid becomes resident beside them, up to the number of blocks the device holds at once;
// then the stalled threads are woken to go on as long as anything that can change device memory (an atomic
// that changed a value, a fence, a release store, a thread exit, a block start) happened since they last
// polled. A spin that polled twice without progress anywhere, when no block can start, is reported as a
// deadlock. Plain
// stores are not progress: blocks that signal each other must use atomics, fences or release stores, as the
// memory model requires anyway.
//
// Misuse is reported, never silently tolerated: a barrier that some thread of the block passes by (by
// exiting, or by waiting at another call site), a warp collective whose mask names a lane that does not take
// part, or whose participants disagree on what they called, and a state in which no fiber can run (deadlock).
#include <boost/context/fiber.hpp>
#include <boost/context/protected_fixedsize_stack.hpp>

#include <signal.h>
#include <ucontext.h>
#include <unistd.h>
#include <xmmintrin.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#define VYR_SIM_ASAN 1
#endif

#include "simt_internal.h"
#include "vyr_sim/device.h"

namespace ctx = boost::context;

// Bounds of the static __shared__ variables, which the shim places in their own section.
extern "C" char __start_vyr_smem[] __attribute__((weak));
extern "C" char __stop_vyr_smem[] __attribute__((weak));

namespace vyr_sim {

ThreadCtx* g_ctx = nullptr;
unsigned long long g_progress = 0;

namespace {

constexpr size_t kStackSize = 256 * 1024;  // virtual; pages are touched lazily; a guard page below
constexpr unsigned char kPoison = 0xff;    // NaN as float and as half, -1 as an integer
constexpr long long kEagerResidentThreads = 4096;

struct Abandon {};  // unwinds a fiber's kernel frames when its launch is abandoned

enum class State { Idle, Runnable, WaitBarrier, WaitWarp, Sleep, Done };

struct AsyncCopy {
    void* dst;
    unsigned char data[16];
    int bytes;
};

struct Worker {
    ctx::fiber fiber;  // the worker while it is suspended
    ThreadCtx tctx{};
    bool abandon = false;
    const void* fn = nullptr;
    KernelEntry entry = nullptr;
    void** args = nullptr;
    // Stack bounds, for telling AddressSanitizer about each switch.
    const void* stack_bottom = nullptr;
    size_t stack_size = 0;
    // Asynchronous copies in flight, and the end (in `copies`) of each committed group, oldest first.
    std::vector<AsyncCopy> copies;
    std::vector<size_t> group_ends;
    // Spinning: where, the progress count at the latest poll, and how many polls in a row saw that count.
    Site spin_site{};
    unsigned long long spin_mark = 0;
    int spin_repeats = 0;
};

// Delivers the first n copies in flight.
void land_copies(Worker* w, size_t n) {
    for (size_t i = 0; i < n; ++i)
        std::memcpy(w->copies[i].dst, w->copies[i].data, (size_t)w->copies[i].bytes);
    w->copies.erase(w->copies.begin(), w->copies.begin() + (long)n);
    for (size_t& end : w->group_ends) end -= n;
}

struct Group {
    bool open = false;
    unsigned mask = 0;
    unsigned arrived = 0;
    const char* what = nullptr;
    CollectiveFn fn = nullptr;
    int width = 32;
    Site site{};
    LaneSlot slots[32];
};

struct BlockRun {
    const KernelInfo* kernel = nullptr;
    int slot = 0;  // which set of pooled workers it runs on
    uint3 idx{};
    int sleeping = 0;
    std::vector<unsigned char> dynamic_smem;
    std::vector<unsigned char> static_smem;  // its static __shared__ while another resident block owns them
    bool static_saved = false;
    std::vector<Worker*> workers;
    std::vector<State> state;  // per thread, kept apart from the workers so that scans stay in cache
    std::vector<int> order;    // resume order of the threads within a pass
    std::vector<int> pos;      // each thread's place in that order
    int nthreads = 0;
    int done = 0;
    int bar_arrived = 0;
    int bar_op = 0;
    int bar_acc = 0;
    int bar_result =
        0;  // of the barrier last completed; read by each released thread before it can arrive again
    Site bar_site{};
    std::vector<std::vector<Group>> groups;  // per warp
    std::string fault;
    bool faulted = false;
};

std::vector<Worker*>& pool() {
    // Never destroyed: suspended fibers are not unwound at process exit.
    static auto* workers = new std::vector<Worker*>();
    return *workers;
}

BlockRun* g_block = nullptr;
Worker* g_worker = nullptr;        // running now; nullptr while the scheduler runs
BlockRun* g_smem_owner = nullptr;  // the resident block whose static __shared__ the section holds

// The scheduler's own context, while a worker runs.
struct {
    ctx::fiber cont;
    const void* stack_bottom = nullptr;
    size_t stack_size = 0;
} g_scheduler;
Worker* g_switch_from = nullptr;  // the context that made the latest switch (nullptr: the scheduler)
int g_order = VYR_SIM_ORDER_FORWARD;
unsigned g_seed = 0;
bool g_abort_on_fault = false;
std::string g_last_fault;
cudaError_t g_sticky = cudaSuccess;

// Stacks are mmap'ed at page-aligned addresses, so the tops of all fibers' stacks (where each switch saves
// and restores its registers) would fall into the same cache sets. Each worker's stack top is moved down by a
// different multiple of a cache line to spread them out.
struct RecordingStack {
    Worker* w;
    size_t color;
    ctx::stack_context allocate() {
        ctx::stack_context sc = ctx::protected_fixedsize_stack(kStackSize).allocate();
        sc.sp = static_cast<char*>(sc.sp) - color;
        sc.size -= color;
        w->stack_bottom = static_cast<char*>(sc.sp) - sc.size;
        w->stack_size = sc.size;
        return sc;
    }
    void deallocate(ctx::stack_context& sc) {
        sc.sp = static_cast<char*>(sc.sp) + color;
        sc.size += color;
        ctx::protected_fixedsize_stack(kStackSize).deallocate(sc);
    }
};

// Starts loading what the worker at order position k touches when it resumes: its record and the top of its
// suspended stack (a fiber holds just the address of its saved context). With a thousand fibers these are out
// of cache by the time their turn comes, and the loads would otherwise stall each switch.
void prefetch_worker(const BlockRun& b, int k) {
    if (k + 2 < b.nthreads) __builtin_prefetch(b.workers[b.order[k + 2]]);
    if (k >= b.nthreads) return;
    const Worker* w = b.workers[b.order[k]];  // prefetched two switches ago
    static_assert(sizeof(ctx::fiber) == sizeof(void*), "a fiber is its saved-context address");
    const char* top;
    std::memcpy(&top, &w->fiber, sizeof top);
    if (!top) return;
    for (int line = 0; line < 8; ++line) __builtin_prefetch(top + 64 * line);
}

// Bookkeeping on arrival in context `self` (a worker, or the scheduler when null), which `back` was switched
// away from: `back` is stored as the suspended state of whoever made the switch.
void arrived(Worker* self, void* fake, ctx::fiber back) {
    Worker* prev = g_switch_from;
#ifdef VYR_SIM_ASAN
    const void* prev_bottom = nullptr;
    size_t prev_size = 0;
    __sanitizer_finish_switch_fiber(fake, &prev_bottom, &prev_size);
    if (!prev) {
        g_scheduler.stack_bottom = prev_bottom;
        g_scheduler.stack_size = prev_size;
    }
#else
    (void)fake;
#endif
    (prev ? prev->fiber : g_scheduler.cont) = std::move(back);
    g_worker = self;
    g_ctx = self ? &self->tctx : nullptr;
}

// Moves control from the running context (worker `from`, or the scheduler when null) to worker `to` (or the
// scheduler when null), and returns when some context switches back to `from`. Workers hand control straight
// to the next runnable worker of the pass, so that a barrier costs one switch per thread, not two.
void transfer(Worker* from, Worker* to) {
    ctx::fiber& target = to ? to->fiber : g_scheduler.cont;
    void* fake = nullptr;
#ifdef VYR_SIM_ASAN
    __sanitizer_start_switch_fiber(&fake, to ? to->stack_bottom : g_scheduler.stack_bottom,
                                   to ? to->stack_size : g_scheduler.stack_size);
#endif
    if (to) prefetch_worker(*g_block, g_block->pos[to->tctx.linear] + 2);
    g_switch_from = from;
    arrived(from, fake, std::move(target).resume());
}

// The next runnable worker after w in this pass, or null when the pass is over.
Worker* next_in_pass(const Worker* w) {
    const BlockRun& b = *g_block;
    for (int k = b.pos[w->tctx.linear] + 1; k < b.nthreads; ++k)
        if (b.state[b.order[k]] == State::Runnable) return b.workers[b.order[k]];
    return nullptr;
}

// Worker side of a collective: let the others run; on return, unwind if the launch was abandoned.
void suspend(Worker* w) {
    transfer(w, next_in_pass(w));
    if (w->abandon) throw Abandon{};
}

// Formats a fault report. Kept out of line so that the hot collectives have small stack frames: every fiber's
// frames are touched on every switch, and with a thousand fibers they compete for the cache.
[[noreturn, gnu::cold, gnu::noinline, gnu::format(printf, 1, 2)]] void faultf(const char* format, ...) {
    char msg[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(msg, sizeof msg, format, args);
    va_end(args);
    kernel_fault(msg);
}

void worker_loop(Worker* w) {
    // Kernels are built for flush-to-zero single precision: subnormal inputs and results of every float
    // operation become zero, as on the GPU. The setting is saved and restored with each fiber's context, so
    // the host code around a launch keeps its own.
    _mm_setcsr(_mm_getcsr() | 0x8040u);  // FTZ and DAZ
    for (;;) {
        w->copies.clear();
        w->group_ends.clear();
        if (!w->abandon) {
            try {
                w->entry(w->fn, w->args);
                land_copies(w, w->copies.size());
            } catch (Abandon&) {
            } catch (ctx::detail::forced_unwind&) {
                throw;
            } catch (std::exception& e) {
                std::string msg = std::string("uncaught exception: ") + e.what();
                try {
                    kernel_fault(msg.c_str());
                } catch (Abandon&) {
                }
            }
        }
        BlockRun& b = *g_block;
        b.state[w->tctx.linear] = State::Done;
        ++b.done;
        ++g_progress;  // a spinner may wait for this thread's last writes
        if (!w->abandon && !b.faulted) {
            // A thread that leaves while others wait at a barrier or for it in a warp collective would
            // hang the GPU.
            try {
                if (b.bar_arrived > 0)
                    faultf("exited while %d thread(s) wait at __syncthreads (%s:%d)", b.bar_arrived,
                           b.bar_site.file, b.bar_site.line);
                for (const Group& g : b.groups[w->tctx.warp])
                    if (g.open && (g.mask >> w->tctx.lane & 1u))
                        faultf("exited while named in the mask 0x%08x of %s (%s:%d)", g.mask, g.what,
                               g.site.file, g.site.line);
            } catch (Abandon&) {
            }
        }
        // After a fault, the scheduler abandons the block; otherwise the pass goes on.
        Worker* next = (w->abandon || b.faulted) ? nullptr : next_in_pass(w);
        w->abandon = false;
        transfer(w, next);
    }
}

#ifndef VYR_SIM_ASAN
// A kernel whose locals outgrow its fiber's stack runs into the guard page below it. Name the thread before
// the process dies, instead of leaving a bare segmentation fault (the sanitizer build reports this itself).
void on_segv(int sig, siginfo_t* info, void* context) {
    const char* addr = static_cast<const char*>(info->si_addr);
    const char* sp =
        reinterpret_cast<const char*>(static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_RSP]);
    const Worker* w = g_worker;
    const char* bottom = w ? static_cast<const char*>(w->stack_bottom) : nullptr;
    // A frame larger than the guard page can skip it, so the stack pointer tells as well as the address.
    if (w && g_block && (sp < bottom || (addr < bottom && addr >= bottom - 64 * 1024))) {
        const ThreadCtx& t = w->tctx;
        char msg[512];
        const int n =
            std::snprintf(msg, sizeof msg,
                          "vyr-sim: stack overflow in kernel %s, block (%u,%u,%u), thread (%u,%u,%u): "
                          "its locals exceed the %zu KiB fiber stack\n",
                          g_block->kernel->name, t.block_idx.x, t.block_idx.y, t.block_idx.z, t.thread_idx.x,
                          t.thread_idx.y, t.thread_idx.z, kStackSize / 1024);
        if (n > 0) (void)!write(2, msg, (size_t)std::min(n, (int)sizeof msg - 1));
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

// The handler runs on its own stack: the faulting one has no room left.
void install_overflow_report() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    static std::vector<char> alt(64 * 1024);
    stack_t ss{};
    ss.ss_sp = alt.data();
    ss.ss_size = alt.size();
    sigaltstack(&ss, nullptr);
    struct sigaction sa {};
    sa.sa_sigaction = on_segv;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigaction(SIGSEGV, &sa, nullptr);
}
#else
void install_overflow_report() {}
#endif

Worker* make_worker(size_t index) {
    install_overflow_report();
    auto* w = new Worker();
    const size_t color = (index % 64) * 64;
    w->fiber = ctx::fiber(std::allocator_arg, RecordingStack{w, color}, [w](ctx::fiber&& sink) {
        arrived(w, nullptr, std::move(sink));
        worker_loop(w);  // never returns: workers live as long as the process
        return ctx::fiber{};
    });
    return w;
}

// Scheduler side: run worker w (and, through it, the rest of the pass).
void resume(Worker* w) {
    transfer(nullptr, w);
}

std::string where(const KernelInfo& k, const ThreadCtx& t) {
    char buf[256];
    std::snprintf(buf, sizeof buf, "kernel %s, block (%u,%u,%u), thread (%u,%u,%u)", k.name, t.block_idx.x,
                  t.block_idx.y, t.block_idx.z, t.thread_idx.x, t.thread_idx.y, t.thread_idx.z);
    return buf;
}

void record_fault(BlockRun& b, const std::string& report) {
    if (b.faulted) return;
    b.faulted = true;
    b.fault = report;
    g_last_fault = report;
    g_sticky = cudaErrorLaunchFailure;
    std::fprintf(stderr, "vyr-sim: %s\n", report.c_str());
    if (g_abort_on_fault) std::abort();
}

bool same_site(Site a, Site b) {
    return a.line == b.line && (a.file == b.file || std::strcmp(a.file, b.file) == 0);
}

std::vector<int> run_order(int n) {
    std::vector<int> order(n);
    std::iota(order.begin(), order.end(), 0);
    if (g_order == VYR_SIM_ORDER_REVERSE) std::reverse(order.begin(), order.end());
    if (g_order == VYR_SIM_ORDER_SHUFFLE) std::shuffle(order.begin(), order.end(), std::mt19937(g_seed));
    return order;
}

std::string deadlock_report(const BlockRun& b) {
    std::string r = "deadlock in " + where(*b.kernel, b.workers[0]->tctx) + " and the rest of its block:";
    for (int i = 0; i < b.nthreads; ++i) {
        const Worker* w = b.workers[i];
        if (b.state[i] == State::WaitBarrier) {
            r += "\n  thread " + std::to_string(i) + " waits at __syncthreads (" + b.bar_site.file + ":" +
                 std::to_string(b.bar_site.line) + ")";
        } else if (b.state[i] == State::WaitWarp) {
            for (const Group& g : b.groups[w->tctx.warp])
                if (g.open && (g.arrived >> w->tctx.lane & 1u)) {
                    char buf[64];
                    std::snprintf(buf, sizeof buf, " with mask 0x%08x, arrived 0x%08x", g.mask, g.arrived);
                    r += "\n  thread " + std::to_string(i) + " waits in " + g.what + " (" + g.site.file +
                         ":" + std::to_string(g.site.line) + ")" + buf;
                }
        }
    }
    return r;
}

// Runs the block until it is done or every thread not done waits; a block none of whose threads spins can
// never go on, whatever other blocks do.
bool run_block(BlockRun& b) {
    for (;;) {
        int first = 0;
        while (first < b.nthreads && b.state[b.order[first]] != State::Runnable) ++first;
        if (first == b.nthreads) {
            if (b.done == b.nthreads || b.sleeping > 0) return true;
            record_fault(b, deadlock_report(b));
            return false;
        }
        resume(b.workers[b.order[first]]);
        if (b.faulted) return false;
    }
}

// Static __shared__ variables live in one section for all blocks; each resident block keeps its own contents
// there while it runs, and in a save area while another resident block runs.
size_t static_smem_size() {
    char* const start = __start_vyr_smem;
    return start && __stop_vyr_smem - start > 0 ? (size_t)(__stop_vyr_smem - start) : 0;
}
void own_static_smem(BlockRun* b) {
    if (g_smem_owner == b) return;
    const size_t n = static_smem_size();
    if (g_smem_owner && n) {
        g_smem_owner->static_smem.assign(__start_vyr_smem, __start_vyr_smem + n);
        g_smem_owner->static_saved = true;
    }
    if (n) {
        if (b->static_saved)
            std::memcpy(__start_vyr_smem, b->static_smem.data(), n);
        else
            std::memset(__start_vyr_smem, kPoison, n);
    }
    g_smem_owner = b;
}

void abandon_block(BlockRun& b) {
    for (int i = 0; i < b.nthreads; ++i) {
        if (b.state[i] == State::Done || b.state[i] == State::Idle) continue;
        b.workers[i]->abandon = true;
        resume(b.workers[i]);
    }
}

}  // namespace

int block_barrier(int op, int predicate, Site site) {
    BlockRun& b = *g_block;
    Worker* w = g_worker;
    if (b.bar_arrived == 0) {
        b.bar_site = site;
        b.bar_op = op;
        b.bar_acc = op == 2 ? 1 : 0;
    } else if (!same_site(site, b.bar_site) || op != b.bar_op) {
        faultf("__syncthreads at %s:%d while %d thread(s) wait at %s:%d", site.file, site.line, b.bar_arrived,
               b.bar_site.file, b.bar_site.line);
    }
    if (b.done > 0) {
        faultf("__syncthreads at %s:%d cannot complete: %d thread(s) of the block exited", site.file,
               site.line, b.done);
    }
    switch (op) {
        case 1:
            b.bar_acc += predicate != 0;
            break;
        case 2:
            b.bar_acc &= predicate != 0;
            break;
        case 3:
            b.bar_acc |= predicate != 0;
            break;
    }
    if (++b.bar_arrived == b.nthreads) {
        b.bar_result = b.bar_acc;
        b.bar_arrived = 0;
        for (State& st : b.state)
            if (st == State::WaitBarrier) st = State::Runnable;
        return b.bar_result;
    }
    b.state[w->tctx.linear] = State::WaitBarrier;
    suspend(w);
    return b.bar_result;
}

void warp_collective(const char* what, CollectiveFn fn, unsigned mask, int width, const void* in, void* out,
                     int arg, Site site) {
    BlockRun& b = *g_block;
    Worker* w = g_worker;
    const int lane = w->tctx.lane, warp = w->tctx.warp;
    if (!(mask >> lane & 1u)) {
        faultf("%s at %s:%d: mask 0x%08x does not name the calling lane %d", what, site.file, site.line, mask,
               lane);
    }
    if (width < 1 || width > 32 || (width & (width - 1)) != 0) {
        faultf("%s at %s:%d: width %d is not a power of two up to 32", what, site.file, site.line, width);
    }
    std::vector<Group>& groups = b.groups[warp];
    Group* g = nullptr;
    for (Group& c : groups) {
        if (!c.open) continue;
        if (c.mask == mask) {
            g = &c;
        } else if (c.mask & mask) {
            faultf("%s at %s:%d with mask 0x%08x overlaps %s (%s:%d) with mask 0x%08x", what, site.file,
                   site.line, mask, c.what, c.site.file, c.site.line, c.mask);
        }
    }
    if (g && (g->fn != fn || g->width != width || (g->what != what && std::strcmp(g->what, what) != 0))) {
        faultf("%s at %s:%d meets %s (%s:%d) from other lanes of mask 0x%08x", what, site.file, site.line,
               g->what, g->site.file, g->site.line, mask);
    }
    if (!g) {
        // Lanes named in the mask must exist and still be running; a lane that exits later while the group
        // is open is caught when it exits.
        const int lanes_here = std::min(32, b.nthreads - warp * 32);
        const unsigned present = lanes_here == 32 ? 0xffffffffu : ((1u << lanes_here) - 1u);
        unsigned exited = 0;
        for (int l = 0; l < lanes_here; ++l)
            if (b.state[warp * 32 + l] == State::Done) exited |= 1u << l;
        if ((mask & ~present) || (mask & exited)) {
            faultf("%s at %s:%d: mask 0x%08x names lane(s) 0x%08x that do not take part", what, site.file,
                   site.line, mask, (mask & ~present) | (mask & exited));
        }
        for (Group& c : groups)
            if (!c.open) g = &c;
        if (!g) g = &groups.emplace_back();
        g->open = true;
        g->mask = mask;
        g->arrived = 0;
        g->what = what;
        g->fn = fn;
        g->width = width;
        g->site = site;
    }
    g->slots[lane] = LaneSlot{in, out, arg};
    g->arrived |= 1u << lane;
    if (g->arrived == mask) {
        g->fn(g->slots, mask, width);
        g->open = false;
        for (int l = 0; l < 32; ++l)
            if ((mask >> l & 1u) && l != lane) b.state[warp * 32 + l] = State::Runnable;
        return;
    }
    b.state[w->tctx.linear] = State::WaitWarp;
    suspend(w);
}

void reduce_u32(LaneSlot* l, unsigned mask, int op) {
    unsigned acc = op == 1 ? 0xffffffffu : 0u;
    for (int i = 0; i < 32; ++i) {
        if (!(mask >> i & 1u)) continue;
        unsigned v = *static_cast<const unsigned*>(l[i].in);
        switch (op) {
            case 0:
                acc += v;
                break;
            case 1:
                acc = std::min(acc, v);
                break;
            case 2:
                acc = std::max(acc, v);
                break;
            case 3:
                acc |= (v != 0) << i;
                break;
        }
    }
    for (int i = 0; i < 32; ++i)
        if (mask >> i & 1u) *static_cast<unsigned*>(l[i].out) = acc;
}

unsigned active_mask() {
    const BlockRun& b = *g_block;
    const int warp = g_worker->tctx.warp;
    unsigned m = 0;
    for (int l = 0; l < 32 && warp * 32 + l < b.nthreads; ++l)
        if (b.state[warp * 32 + l] != State::Done) m |= 1u << l;
    return m;
}

void* dynamic_smem() {
    return g_block->dynamic_smem.data();
}

void spin_yield(Site site) {
    BlockRun& b = *g_block;
    Worker* w = g_worker;
    if (w->spin_mark == g_progress) {
        ++w->spin_repeats;
    } else {
        w->spin_mark = g_progress;
        w->spin_repeats = 1;
    }
    w->spin_site = site;
    b.state[w->tctx.linear] = State::Sleep;
    ++b.sleeping;
    suspend(w);
}

void cp_async_issue(void* dst, const void* src, int src_bytes, int cp_bytes) {
    if (cp_bytes != 4 && cp_bytes != 8 && cp_bytes != 16)
        faultf("cp.async of %d bytes: the copy size must be 4, 8 or 16", cp_bytes);
    if (src_bytes < 0 || src_bytes > cp_bytes)
        faultf("cp.async of %d bytes: the source size %d must be 0 to %d", cp_bytes, src_bytes, cp_bytes);
    if (reinterpret_cast<uintptr_t>(dst) % (uintptr_t)cp_bytes ||
        (src_bytes && reinterpret_cast<uintptr_t>(src) % (uintptr_t)cp_bytes))
        faultf("cp.async of %d bytes: misaligned address (shared %p, global %p)", cp_bytes, dst, src);
    AsyncCopy c{dst, {}, cp_bytes};
    if (src_bytes) std::memcpy(c.data, src, (size_t)src_bytes);
    g_worker->copies.push_back(c);
    std::memset(dst, kPoison, (size_t)cp_bytes);
}

// Dynamic shared memory starts at shared address 0; the static __shared__ section follows it at 2^31.
constexpr unsigned kStaticSmemBase = 0x80000000u;

unsigned smem_address(const void* p) {
    const char* c = static_cast<const char*>(p);
    const std::vector<unsigned char>& dynamic = g_block->dynamic_smem;
    const char* dyn = reinterpret_cast<const char*>(dynamic.data());
    if (c >= dyn && c < dyn + dynamic.size()) return (unsigned)(c - dyn);
    if (__start_vyr_smem && c >= __start_vyr_smem && c < __stop_vyr_smem)
        return kStaticSmemBase + (unsigned)(c - __start_vyr_smem);
    faultf("address %p is not in the block's shared memory", p);
}

void* smem_pointer(unsigned address) {
    std::vector<unsigned char>& dynamic = g_block->dynamic_smem;
    if (address < kStaticSmemBase && address < dynamic.size()) return dynamic.data() + address;
    if (address >= kStaticSmemBase && __start_vyr_smem &&
        address - kStaticSmemBase < (unsigned)(__stop_vyr_smem - __start_vyr_smem))
        return __start_vyr_smem + (address - kStaticSmemBase);
    faultf("shared address 0x%x is outside the block's shared memory", address);
}

void cp_async_commit() {
    Worker* w = g_worker;
    w->group_ends.push_back(w->copies.size());
}

void cp_async_wait(int pending_groups) {
    Worker* w = g_worker;
    const size_t groups = w->group_ends.size(), keep = (size_t)std::max(pending_groups, 0);
    if (groups <= keep) return;
    const size_t done = groups - keep;
    land_copies(w, w->group_ends[done - 1]);
    w->group_ends.erase(w->group_ends.begin(), w->group_ends.begin() + (long)done);
}

void kernel_fault(const char* message) {
    BlockRun& b = *g_block;
    record_fault(b, where(*b.kernel, g_worker->tctx) + ": " + message);
    throw Abandon{};
}

namespace {

// The blocks of one launch that are resident now, with the pooled workers and buffers they run on.
struct Grid {
    const KernelInfo* kernel;
    dim3 grid, block;
    size_t smem;
    void** args;
    int nthreads;
    std::vector<int> order;                           // resume order of threads, shared by all blocks
    std::vector<std::unique_ptr<BlockRun>> resident;  // in the order they started
    std::vector<std::unique_ptr<BlockRun>> spare;     // finished; their slots and buffers are reused
    int slots = 0;
};

void enter(BlockRun& b) {
    g_block = &b;
    own_static_smem(&b);
}

void start_block(Grid& g, long long id) {
    std::unique_ptr<BlockRun> b;
    if (!g.spare.empty()) {
        b = std::move(g.spare.back());
        g.spare.pop_back();
    } else {
        b = std::make_unique<BlockRun>();
        b->slot = g.slots++;
    }
    if (b->workers.empty()) {
        std::vector<Worker*>& workers = pool();
        const size_t first = (size_t)b->slot * (size_t)g.nthreads;
        while (workers.size() < first + (size_t)g.nthreads) workers.push_back(make_worker(workers.size()));
        b->kernel = g.kernel;
        b->nthreads = g.nthreads;
        b->workers.assign(workers.begin() + (long)first, workers.begin() + (long)(first + g.nthreads));
        b->order = g.order;
        b->pos.assign(g.nthreads, 0);
        for (int k = 0; k < g.nthreads; ++k) b->pos[b->order[k]] = k;
        b->groups.resize((g.nthreads + 31) / 32);
    }
    for (auto& gs : b->groups) gs.clear();
    b->idx = uint3{(unsigned)(id % g.grid.x), (unsigned)(id / g.grid.x % g.grid.y),
                   (unsigned)(id / g.grid.x / g.grid.y)};
    b->dynamic_smem.assign(std::max<size_t>(g.smem, 16), kPoison);
    b->static_saved = false;
    b->done = 0;
    b->sleeping = 0;
    b->bar_arrived = 0;
    b->faulted = false;
    const dim3 block = g.block;
    for (int t = 0; t < g.nthreads; ++t) {
        Worker* w = b->workers[t];
        w->tctx.thread_idx = uint3{t % block.x, t / block.x % block.y, t / block.x / block.y};
        w->tctx.block_idx = b->idx;
        w->tctx.block_dim = block;
        w->tctx.grid_dim = g.grid;
        w->tctx.linear = t;
        w->tctx.lane = t % 32;
        w->tctx.warp = t / 32;
        w->fn = g.kernel->fn;
        w->entry = g.kernel->entry;
        w->args = g.args;
        w->abandon = false;
        w->spin_repeats = 0;
    }
    b->state.assign(g.nthreads, State::Runnable);
    ++g_progress;
    g.resident.push_back(std::move(b));
}

// A spinner that has not yet polled twice with nothing changed since may see something new.
bool spinners_may_progress(const Grid& g) {
    for (const auto& b : g.resident)
        for (int i = 0; i < b->nthreads; ++i)
            if (b->state[i] == State::Sleep &&
                (b->workers[i]->spin_mark != g_progress || b->workers[i]->spin_repeats < 2))
                return true;
    return false;
}

void wake_spinners(Grid& g) {
    for (auto& b : g.resident) {
        for (State& st : b->state)
            if (st == State::Sleep) st = State::Runnable;
        b->sleeping = 0;
    }
}

std::string spin_deadlock_report(const Grid& g, long long resident_limit, bool blocks_left) {
    std::string r = std::string("deadlock in kernel ") + g.kernel->name + ": " +
                    std::to_string(g.resident.size()) +
                    " resident block(s) spin on device memory that nothing left running can change";
    if (blocks_left)
        r += " (the grid's other blocks cannot start: the device holds " + std::to_string(resident_limit) +
             " blocks of this kernel at once)";
    r += ":";
    for (const auto& b : g.resident) {
        int spinning = 0, waiting = 0, first = -1;
        for (int i = 0; i < b->nthreads; ++i) {
            if (b->state[i] == State::Sleep && ++spinning == 1) first = i;
            if (b->state[i] == State::WaitBarrier || b->state[i] == State::WaitWarp) ++waiting;
        }
        char buf[384];
        std::snprintf(buf, sizeof buf, "\n  block (%u,%u,%u): %d thread(s) spin", b->idx.x, b->idx.y,
                      b->idx.z, spinning);
        r += buf;
        if (first >= 0) {
            const Site s = b->workers[first]->spin_site;
            std::snprintf(buf, sizeof buf, ", thread %d at %s:%d", first, s.file, s.line);
            r += buf;
        }
        if (waiting) r += ", " + std::to_string(waiting) + " wait in a collective";
    }
    return r;
}

// How many blocks of the kernel the simulated device holds at once (its occupancy, at least one per
// multiprocessor).
long long resident_limit(const KernelInfo& k, int nthreads, size_t smem) {
    int per_sm = 0;
    if (cudaOccupancyMaxActiveBlocksPerMultiprocessor(&per_sm, k.fn, nthreads, smem) != cudaSuccess)
        (void)cudaGetLastError();
    return (long long)std::max(device().multiprocessors, 1) * std::max(per_sm, 1);
}

}  // namespace

bool run_grid(const KernelInfo& k, dim3 grid, dim3 block, size_t smem, void** args) {
    Grid g{&k, grid, block, smem, args, (int)(block.x * block.y * block.z), {}, {}, {}, 0};
    g.order = run_order(g.nthreads);
    const long long nblocks = (long long)grid.x * grid.y * grid.z;
    std::vector<int> block_order;
    if (nblocks <= (1 << 24)) block_order = run_order((int)nblocks);
    long long limit = -1;  // computed when a second block would become resident
    long long next = 0;
    bool ok = true;
    unsigned long long round = 0;
    g_smem_owner = nullptr;
    while (ok) {
        if (g.resident.empty()) {
            if (next == nblocks) break;
            start_block(g, block_order.empty() ? next : block_order[next]);
            ++next;
        }
        // Resident blocks take turns in the resume order's sense too, so that under the reverse and shuffled
        // orders a later block may go ahead of an earlier one at every signal.
        std::vector<int> turns = run_order((int)g.resident.size());
        if (g_order == VYR_SIM_ORDER_SHUFFLE)
            std::shuffle(turns.begin(), turns.end(), std::mt19937(g_seed + (unsigned)round++));
        for (int i : turns) {
            BlockRun& b = *g.resident[i];
            enter(b);
            ok = run_block(b);
            if (!ok) break;
        }
        for (size_t i = 0; ok && i < g.resident.size();) {
            BlockRun& b = *g.resident[i];
            if (b.done == b.nthreads) {
                if (g_smem_owner == &b) g_smem_owner = nullptr;
                g.spare.push_back(std::move(g.resident[i]));
                g.resident.erase(g.resident.begin() + (long)i);
            } else {
                ++i;
            }
        }
        if (!ok || g.resident.empty()) continue;
        // Every resident block is stalled on a spin or a signal: more blocks join them while the device has
        // room (so that blocks interleave at every signal, as they may on the GPU; beyond a few thousand
        // threads only when nothing else can go on, each resident thread being a fiber with its own stack),
        // then the spinners poll.
        if (limit < 0) limit = resident_limit(k, g.nthreads, smem);
        const bool room = next < nblocks && (long long)g.resident.size() < limit;
        const bool eager = (long long)(g.resident.size() + 1) * g.nthreads <= kEagerResidentThreads;
        if (room && (eager || !spinners_may_progress(g))) {
            start_block(g, block_order.empty() ? next : block_order[next]);
            ++next;
            continue;
        }
        if (spinners_may_progress(g)) {
            wake_spinners(g);
            continue;
        }
        BlockRun& b = *g.resident.front();
        enter(b);
        record_fault(b, spin_deadlock_report(g, limit, next < nblocks));
        ok = false;
    }
    if (!ok) {
        for (auto& b : g.resident) {
            enter(*b);
            b->faulted = true;
            abandon_block(*b);
        }
    }
    g_block = nullptr;
    g_smem_owner = nullptr;
    return ok;
}

cudaError_t sticky_fault() {
    return g_sticky;
}
void clear_fault() {
    g_sticky = cudaSuccess;
    g_last_fault.clear();
}

}  // namespace vyr_sim

extern "C" {
VYR_SIM_API void vyr_sim_set_order(int order, unsigned seed) {
    vyr_sim::g_order = order;
    vyr_sim::g_seed = seed;
}
VYR_SIM_API void vyr_sim_set_abort_on_fault(int abort_on_fault) {
    vyr_sim::g_abort_on_fault = abort_on_fault != 0;
}
VYR_SIM_API const char* vyr_sim_last_fault(void) {
    return vyr_sim::g_last_fault.c_str();
}
}
