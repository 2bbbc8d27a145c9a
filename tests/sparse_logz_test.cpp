// Sparse CRF forward, backward and log-partition tables, all three compiled families.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <string>

#include "harness.h"
#include "training_ref.h"

namespace {

using vyr_ref::CrfShape;
using vyr_ref::Semiring;
using vyr_test::DeviceBuffer;

using TableHost = int (*)(float*, const float*, const float*, const int*, int, int, int);
using TableKernel = void (*)(float*, const float*, const float*, const int*, int, int, int);

struct Family {
    const char* name;
    Semiring semiring;
    int nz;
    decltype(&logZ_fwd_host_max) logz;
    TableHost fwd, bwd;
    TableKernel fwd_kernel;
};
const Family kFamilies[] = {
    {"max", Semiring::max, 5, logZ_fwd_host_max, fwd_scores_host_sparse_max, bwd_scores_host_sparse_max,
     fwd_scores_max},
    {"log_NZ5", Semiring::log, 5, logZ_fwd_host_log_NZ5, fwd_scores_host_sparse_log_NZ5,
     bwd_scores_host_sparse_log_NZ5, fwd_scores_log_NZ5},
    {"log_NZ3", Semiring::log, 3, logZ_fwd_host_log_NZ3, fwd_scores_host_sparse_log_NZ3,
     bwd_scores_host_sparse_log_NZ3, fwd_scores_log_NZ3},
};

struct CrfInputs {
    CrfShape shape;
    std::vector<float> ms, init, final_scores;
    std::vector<int> idx, idx_t;
};

// Each of the nz columns of idx is a random permutation of the states, so every state is the source of
// exactly nz transitions; idx_t lists those transitions, each once, as the backward pass needs. Transition
// scores are uniform in +-scale; a fraction `impossible` of them is -inf, and then every state but 0 starts
// unreachable.
CrfInputs make_inputs(const CrfShape& c, uint64_t seed, float scale = 2.0f, float impossible = 0.0f) {
    vyr_test::Rng rng(seed);
    CrfInputs in{c, {}, {}, {}, std::vector<int>((size_t)c.C * c.nz), std::vector<int>((size_t)c.C * c.nz)};
    std::vector<int> perm(c.C), filled(c.C, 0);
    for (int k = 0; k < c.nz; ++k) {
        std::iota(perm.begin(), perm.end(), 0);
        std::shuffle(perm.begin(), perm.end(), rng.engine());
        for (int s = 0; s < c.C; ++s) in.idx[(size_t)s * c.nz + k] = perm[s];
    }
    for (int p = 0; p < c.C * c.nz; ++p) in.idx_t[(size_t)in.idx[p] * c.nz + filled[in.idx[p]]++] = p;
    in.ms = rng.uniform_vec((size_t)c.T * c.N * c.C * c.nz, -scale, scale);
    for (float& m : in.ms)
        if (rng.uniform(0.0f, 1.0f) < impossible) m = -INFINITY;
    in.init = rng.uniform_vec((size_t)c.N * c.C, -1.0f, 1.0f);
    for (size_t e = 0; e < in.init.size(); ++e)
        if (impossible > 0 && e % c.C) in.init[e] = -INFINITY;
    in.final_scores = rng.uniform_vec((size_t)c.N * c.C, -1.0f, 1.0f);
    return in;
}

using Tables = vyr_ref::CrfTables<float>;

// Runs the three host functions of a family; checks their status and the guard bands.
Tables run_family(const Family& f, const CrfInputs& in) {
    const CrfShape& c = in.shape;
    DeviceBuffer<float> ms(in.ms), init(in.init), fin(in.final_scores);
    DeviceBuffer<int> idx(in.idx), idx_t(in.idx_t);
    DeviceBuffer<float> alpha((size_t)(c.T + 1) * c.N * c.C), beta((size_t)(c.T + 1) * c.N * c.C);
    DeviceBuffer<float> z((size_t)c.N * c.C), ms_out(in.ms.size());
    EXPECT_EQ(cudaSuccess, f.fwd(alpha.get(), ms.get(), init.get(), idx.get(), c.T, c.N, c.C));
    EXPECT_EQ(cudaSuccess, f.bwd(beta.get(), ms.get(), fin.get(), idx_t.get(), c.T, c.N, c.C));
    EXPECT_EQ(cudaSuccess,
              f.logz(c.T, c.N, c.C, 0, z.get(), ms_out.get(), ms.get(), init.get(), fin.get(), idx.get()));
    EXPECT_TRUE(alpha.guards_intact() && beta.guards_intact() && z.guards_intact() && ms_out.guards_intact());
    return {alpha.download(), beta.download(), z.download(), ms_out.download()};
}

double max_abs_finite(const std::vector<double>& v) {
    double m = 0;
    for (double x : v)
        if (std::isfinite(x)) m = std::max(m, std::fabs(x));
    return m;
}

// Log semiring against double. Per step and state: the summands x_k = Ms + alpha are rounded (2^-24 |x|);
// each fast exp2 term carries 2^-22 relative error and the sum of at most five terms 5 * 2^-24, so s is off
// by under 2^-21 relative, i.e. ln s by under 2^-21; the fast log2 of s in [1, 5] adds at most 2^-21
// absolute, and the fused multiply-add rounds once (2^-24 |a|). Log-sum-exp is 1-Lipschitz in the largest
// input error, so the per-step errors add up over T steps: T * (2^-20 + 2^-23 * max|a|), plus one rounding of
// the final add.
double log_semiring_tol(int T, double amax) {
    return T * (std::ldexp(1.0, -20) + std::ldexp(amax, -23)) + std::ldexp(amax, -23);
}

// All four tables against the reference, NaN and infinities exactly. The max semiring adds and compares
// floats in the reference's order: exact against the float reference. The log semiring within the bound.
void expect_matches_reference(const Family& f, const CrfInputs& in, const Tables& got) {
    const auto ref_f =
        vyr_ref::crf_tables<float>(f.semiring, in.shape, in.ms, in.init, in.final_scores, in.idx, in.idx_t);
    const auto ref =
        vyr_ref::crf_tables<double>(f.semiring, in.shape, in.ms, in.init, in.final_scores, in.idx, in.idx_t);
    const double tol = log_semiring_tol(in.shape.T, max_abs_finite(ref.alpha) + max_abs_finite(ref.beta));
    auto check = [&](const std::vector<float>& g, const std::vector<float>& rf,
                     const std::vector<double>& rd) {
        if (f.semiring == Semiring::max)
            EXPECT_TRUE(vyr_test::all_near(g, rf, 0.0));
        else
            EXPECT_TRUE(vyr_test::all_near(std::vector<double>(g.begin(), g.end()), rd, tol));
    };
    check(got.alpha, ref_f.alpha, ref.alpha);
    check(got.beta, ref_f.beta, ref.beta);
    check(got.z, ref_f.z, ref.z);
    check(got.ms_out, ref_f.ms_out, ref.ms_out);
}

TEST(SparseCrf, MatchesReference) {
    const struct {
        const char* name;
        int T, N, C;
        float scale, impossible;
    } cases[] = {
        {"T=0", 0, 2, 7, 2, 0},
        {"C=1", 3, 2, 1, 2, 0},
        {"T=1", 1, 1, 40, 2, 0},
        {"multi-warp", 24, 3, 97, 2, 0},
        // -inf - -inf must not turn unreachable states into NaN.
        {"unreachable states", 6, 2, 12, 2, 0.3f},
        // Scores reach +-3000: a log-sum-exp without its shift by the maximum overflows or underflows.
        {"long, large magnitudes", 150, 1, 33, 20, 0},
    };
    for (const Family& f : kFamilies)
        for (const auto& sc : cases) {
            SCOPED_TRACE(std::string(f.name) + " " + sc.name);
            const CrfInputs in = make_inputs({sc.T, sc.N, sc.C, f.nz}, 11, sc.scale, sc.impossible);
            expect_matches_reference(f, in, run_family(f, in));
        }
}

// Every path enumerated: the chunk's score from Z, and from alpha_t + beta_t at every step, is the score of
// all paths together.
TEST(SparseCrf, ForwardBackwardAgreeWithEnumeration) {
    for (const Family& f : kFamilies) {
        SCOPED_TRACE(f.name);
        const CrfShape c{4, 2, 5, f.nz};
        const CrfInputs in = make_inputs(c, 23);
        const Tables got = run_family(f, in);
        // Values stay below 4 * 2 + 2 * 1 + 4 * ln 5 < 17 in magnitude. Max: each float path sum rounds T + 2
        // times (2^-24 |v| each); log: the derived bound, summed over the forward and backward halves.
        const double tol =
            f.semiring == Semiring::max ? (c.T + 2) * std::ldexp(17.0, -24) : 2 * log_semiring_tol(c.T, 17.0);
        for (int n = 0; n < c.N; ++n) {
            const double expected =
                vyr_ref::crf_brute_force(f.semiring, c, in.ms, in.init, in.final_scores, in.idx, n);
            for (int t = 0; t <= c.T + 1; ++t) {
                // t = T + 1 stands for Z; otherwise alpha_t + beta_t.
                std::vector<double> x(c.C);
                for (int s = 0; s < c.C; ++s) {
                    const size_t e = ((size_t)t * c.N + n) * c.C + s;
                    x[s] = t > c.T ? got.z[(size_t)n * c.C + s] : (double)got.alpha[e] + got.beta[e];
                }
                EXPECT_NEAR(expected, vyr_ref::semiring_sum(f.semiring, x.data(), c.C), tol)
                    << "chunk " << n << " t " << t;
            }
        }
    }
}

// The maximum keeps the later value on a tie or a NaN on either side, so a NaN summand is dropped unless it
// comes last; a maximum that ignored NaN (fmaxf) would drop it there too. The log semiring passes any NaN on.
TEST(SparseCrf, NaNSummands) {
    for (const Family& f : kFamilies) {
        SCOPED_TRACE(f.name);
        const CrfShape c{3, 1, 10, f.nz};
        CrfInputs in = make_inputs(c, 13);
        const int first_nan = 2, last_nan = 5;  // states whose first or last summand at step 0 is NaN
        in.ms[(size_t)first_nan * c.nz] = NAN;
        in.ms[(size_t)last_nan * c.nz + c.nz - 1] = NAN;
        const Tables got = run_family(f, in);
        EXPECT_EQ(f.semiring == Semiring::log, std::isnan(got.alpha[c.C + first_nan]));
        EXPECT_TRUE(std::isnan(got.alpha[c.C + last_nan]));
        expect_matches_reference(f, in, got);
    }
}

// A caller may launch the kernels itself. Threads of a wider block than there are states must neither write
// nor disturb the barriers; a narrower block cannot hold a step and must write nothing.
TEST(SparseCrf, CallerLaunchConfigurations) {
    for (const Family& f : kFamilies) {
        const CrfInputs in = make_inputs({5, 2, 20, f.nz}, 3);
        const Tables expected = run_family(f, in);
        for (int threads : {64, 16}) {
            SCOPED_TRACE(std::string(f.name) + " threads=" + std::to_string(threads));
            const CrfShape& c = in.shape;
            DeviceBuffer<float> ms(in.ms), init(in.init), alpha((size_t)(c.T + 1) * c.N * c.C);
            DeviceBuffer<int> idx(in.idx);
            alpha.fill_bytes(0x7f);
            const std::vector<float> untouched = alpha.download();
            float* alpha_p = alpha.get();
            const float *ms_p = ms.get(), *init_p = init.get();
            const int* idx_p = idx.get();
            int T = c.T, N = c.N, C = c.C;
            void* args[] = {&alpha_p, &ms_p, &init_p, &idx_p, &T, &N, &C};
            CUDA_CHECK(cudaLaunchKernel((const void*)f.fwd_kernel, dim3(N), dim3(threads), args,
                                        2 * threads * sizeof(float), nullptr));
            CUDA_CHECK(cudaDeviceSynchronize());
            EXPECT_TRUE(vyr_test::all_equal(alpha.download(), threads >= C ? expected.alpha : untouched));
            EXPECT_TRUE(alpha.guards_intact());
        }
    }
}

// A configuration the runtime refuses comes back as its error code with nothing written and the error
// cleared; a negative step count describes no table and writes nothing. The functions report the thread's
// last error after waiting, so an error left by earlier work reaches the caller although the call's own
// table is complete.
TEST(SparseCrf, RefusedLaunchesEmptyTablesAndEarlierErrors) {
    const struct {
        const char* name;
        int T, N, C;
        cudaError_t expected;
    } cases[] = {
        {"C above block limit", 1, 1, 1025, cudaErrorInvalidConfiguration},
        {"N=0", 1, 0, 8, cudaErrorInvalidConfiguration},
        {"T<0", -1, 2, 8, cudaSuccess},
    };
    const size_t n = 2 * 2 * 1025 * 5;
    for (const Family& f : kFamilies)
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(f.name) + " " + c.name);
            DeviceBuffer<float> in(n), out(n), out2(n);
            DeviceBuffer<int> idx(std::vector<int>(n, 0));
            in.fill_bytes(0);
            out.fill_bytes(0x7f);
            out2.fill_bytes(0x7f);
            const std::vector<float> untouched = out.download();
            EXPECT_EQ(c.expected, f.fwd(out.get(), in.get(), in.get(), idx.get(), c.T, c.N, c.C));
            EXPECT_EQ(c.expected, f.bwd(out.get(), in.get(), in.get(), idx.get(), c.T, c.N, c.C));
            EXPECT_EQ(c.expected, f.logz(c.T, c.N, c.C, 0, out.get(), out2.get(), in.get(), in.get(),
                                         in.get(), idx.get()));
            EXPECT_EQ(cudaSuccess, cudaGetLastError());
            EXPECT_TRUE(vyr_test::all_equal(out.download(), untouched));
            EXPECT_TRUE(vyr_test::all_equal(out2.download(), untouched));
            EXPECT_TRUE(out.guards_intact() && out2.guards_intact());
        }
    const Family& f = kFamilies[2];
    const CrfInputs in = make_inputs({3, 1, 8, f.nz}, 2);
    DeviceBuffer<float> ms(in.ms), init(in.init), alpha(4 * 8), again(4 * 8);
    DeviceBuffer<int> idx(in.idx);
    void* no_args[7] = {};
    ASSERT_EQ(cudaErrorInvalidConfiguration,
              cudaLaunchKernel((const void*)f.fwd_kernel, dim3(1), dim3(2048), no_args, 0, nullptr));
    EXPECT_EQ(cudaErrorInvalidConfiguration, f.fwd(alpha.get(), ms.get(), init.get(), idx.get(), 3, 1, 8));
    EXPECT_EQ(cudaSuccess, f.fwd(again.get(), ms.get(), init.get(), idx.get(), 3, 1, 8));
    EXPECT_TRUE(vyr_test::all_equal(alpha.download(), again.download()))
        << "the first call's table is complete";
}

}  // namespace
