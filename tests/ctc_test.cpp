// Stay/move lattice forward-backward: the shared-memory kernel and the looping kernel.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>

#include "harness.h"
#include "training_ref.h"

namespace {

using vyr_ref::CtcShape;
using vyr_ref::Semiring;
using vyr_test::DeviceBuffer;

// A host function, or a caller's own launch of a kernel with the host functions' arguments.
using CtcLaunch =
    std::function<int(int, int, int, float*, float*, float*, float*, const float*, const float*)>;
// `full_beta`: the looping kernel's (T + 1, N, S) beta with the final scores at step T; otherwise the (N, S)
// final scores only.
struct Variant {
    const char* name;
    CtcLaunch launch;
    bool full_beta;
};
const Variant kShared{"shared", fwd_bwd_logspace_host, false};
const Variant kLoop{"loop", fwd_bwd_logspace_loop_host, true};

constexpr unsigned char kFill = 0x7f;  // bytes of outputs the kernels must leave alone

std::vector<float> filled(size_t n) {
    float f;
    std::memset(&f, kFill, sizeof f);
    return std::vector<float>(n, f);
}

struct CtcInputs {
    CtcShape shape;
    std::vector<float> stay, move, alpha0, final_scores;
};

// Log-probability-like scores. `start_at_zero`: alpha step 0 is 0 at position 0 and -inf elsewhere, as a
// caller starting every alignment at the first position writes it.
CtcInputs make_inputs(const CtcShape& c, uint64_t seed, bool start_at_zero) {
    vyr_test::Rng rng(seed);
    const size_t steps = (size_t)std::max(c.T, 0);
    CtcInputs in{c, rng.uniform_vec(steps * c.N * c.S, -3.0f, 0.0f),
                 rng.uniform_vec(steps * c.N * std::max(c.S - 1, 0), -3.0f, 0.0f),
                 rng.uniform_vec((size_t)c.N * c.S, -2.0f, 0.0f),
                 rng.uniform_vec((size_t)c.N * c.S, -2.0f, 0.0f)};
    if (start_at_zero)
        for (size_t e = 0; e < in.alpha0.size(); ++e) in.alpha0[e] = e % c.S == 0 ? 0.0f : -INFINITY;
    return in;
}

struct CtcOutputs {
    int status;
    std::vector<float> alpha, beta, beta_stay, beta_move;
};

// Outputs start as kFill bytes, so untouched elements are recognisable.
CtcOutputs run(const Variant& v, const CtcInputs& in) {
    const CtcShape& c = in.shape;
    const size_t plane = (size_t)c.N * c.S, steps = (size_t)std::max(c.T, 0);
    DeviceBuffer<float> stay(in.stay), move(in.move);
    DeviceBuffer<float> alpha((steps + 1) * plane), beta((v.full_beta ? steps + 1 : 1) * plane);
    DeviceBuffer<float> beta_stay(steps * plane), beta_move(steps * plane);
    for (DeviceBuffer<float>* b : {&alpha, &beta, &beta_stay, &beta_move}) b->fill_bytes(kFill);
    cudaMemcpy(alpha.get(), in.alpha0.data(), plane * sizeof(float), cudaMemcpyHostToDevice);
    cudaMemcpy(beta.get() + (v.full_beta ? steps * plane : 0), in.final_scores.data(), plane * sizeof(float),
               cudaMemcpyHostToDevice);
    const int status = v.launch(c.T, c.N, c.S, alpha.get(), beta.get(), beta_stay.get(), beta_move.get(),
                                stay.get(), move.get());
    EXPECT_TRUE(alpha.guards_intact() && beta.guards_intact() && beta_stay.guards_intact() &&
                beta_move.guards_intact());
    return {status, alpha.download(), beta.download(), beta_stay.download(), beta_move.download()};
}

// Per step: y = alpha + stay and m = move + alpha' round once each (2^-24 |v|); the fast exp2 of the
// difference carries 2^-22 relative error (plus 2^-24 from rounding its argument), log1p has derivative at
// most 1 and its own error is under an ulp of ln 2, and the final add rounds (2^-24 |a|). So each step adds
// under 2^-21 + 2^-23 |a|, and logsumexp2 is 1-Lipschitz, so over T steps the bound is T times that. Values
// at the -1e38 no-transition level only carry the relative part.
::testing::AssertionResult near_ref(const std::vector<float>& got, const std::vector<double>& ref, int T) {
    double amax = 0;
    for (double v : ref)
        if (std::fabs(v) < 1e30) amax = std::max(amax, std::fabs(v));
    return vyr_test::all_near(std::vector<double>(got.begin(), got.end()), ref,
                              T * (std::ldexp(1.0, -21) + std::ldexp(amax, -23)) + std::ldexp(amax, -24),
                              (T + 1) * std::ldexp(1.0, -23));
}

void expect_matches_reference(const CtcInputs& in, const CtcOutputs& got, bool full_beta) {
    const CtcShape& c = in.shape;
    auto ref = vyr_ref::ctc_tables<double>(c, in.stay, in.move, in.alpha0, in.final_scores);
    EXPECT_EQ(cudaSuccess, got.status);
    EXPECT_TRUE(near_ref(got.alpha, ref.alpha, c.T));
    EXPECT_TRUE(near_ref(got.beta_stay, ref.beta_stay, c.T));
    // beta_move is defined below the last position only; the last position must keep the fill.
    std::vector<float> moves = got.beta_move;
    for (size_t e = c.S - 1; e < moves.size(); e += c.S) {
        EXPECT_EQ(filled(1)[0], moves[e]) << "beta_move at the last position must stay untouched";
        moves[e] = (float)(ref.beta_move[e] = 0);
    }
    EXPECT_TRUE(near_ref(moves, ref.beta_move, c.T));
    if (full_beta)
        EXPECT_TRUE(near_ref(got.beta, ref.beta, c.T));
    else
        EXPECT_TRUE(vyr_test::all_equal(got.beta, in.final_scores)) << "the final scores are read only";
}

TEST(CtcFwdBwd, BothKernelsMatchReference) {
    const struct {
        const char* name;
        int T, N, S;
        bool start_at_zero;
    } cases[] = {
        // One position: no moves, beta_move never written. No steps: nothing written at all.
        {"S=1", 6, 2, 1, false},
        {"T=0", 0, 2, 5, false},
        {"S=2", 7, 1, 2, false},
        {"multi-warp", 20, 3, 70, false},
        {"unreachable starts", 12, 2, 45, true},
        {"S=1024", 3, 1, 1024, false},
        // Scores fall to about -500: exponentials without the shift by the larger term underflow.
        {"long", 300, 1, 40, true},
        // Longer than a block: only the looping kernel serves them.
        {"S=1025", 2, 1, 1025, false},
        {"S=3000", 5, 1, 3000, false},
    };
    for (const auto& sc : cases) {
        SCOPED_TRACE(sc.name);
        const CtcInputs in = make_inputs({sc.T, sc.N, sc.S}, 17, sc.start_at_zero);
        // The shared-memory kernel first: an error it left pending would show in the looping kernel's status.
        const CtcOutputs shared = run(kShared, in);
        const CtcOutputs loop = run(kLoop, in);
        expect_matches_reference(in, loop, true);
        if (sc.S > 1024) {
            // Refused through the runtime, with nothing written past the caller's step 0.
            EXPECT_EQ(cudaErrorInvalidConfiguration, shared.status);
            EXPECT_TRUE(
                vyr_test::all_equal(std::vector<float>(shared.alpha.begin() + sc.S, shared.alpha.end()),
                                    filled((size_t)sc.T * sc.S)));
            EXPECT_TRUE(vyr_test::all_equal(shared.beta_stay, filled(shared.beta_stay.size())));
            continue;
        }
        expect_matches_reference(in, shared, false);
        // Same operations in the same order, only the staging differs: bit-identical.
        EXPECT_TRUE(vyr_test::all_equal(shared.alpha, loop.alpha));
        EXPECT_TRUE(vyr_test::all_equal(shared.beta_stay, loop.beta_stay));
        EXPECT_TRUE(vyr_test::all_equal(shared.beta_move, loop.beta_move));
    }
}

// Every alignment enumerated: for each step, log-sum-exp over positions of alpha_t + beta_t is the log
// likelihood of the chunk, with beta_t recombined from its stay and move halves.
TEST(CtcFwdBwd, ForwardBackwardAgreeWithEnumeration) {
    for (bool start_at_zero : {false, true}) {
        SCOPED_TRACE(start_at_zero ? "start at 0" : "any start");
        const CtcShape c{6, 2, 4};
        const CtcInputs in = make_inputs(c, 37, start_at_zero);
        const CtcOutputs got = run(kShared, in);
        ASSERT_EQ(cudaSuccess, got.status);
        // Scores stay below 6 * 3 + 4 in magnitude; forward and backward halves each within the derived
        // bound.
        const double tol = 2 * c.T * (std::ldexp(1.0, -21) + std::ldexp(22.0, -23)) + 1e-12;
        for (int n = 0; n < c.N; ++n) {
            const double expected =
                vyr_ref::ctc_brute_force(c, in.stay, in.move, in.alpha0, in.final_scores, n);
            for (int t = 0; t <= c.T; ++t) {
                std::vector<double> x(c.S);
                for (int s = 0; s < c.S; ++s) {
                    const size_t e = ((size_t)t * c.N + n) * c.S + s;
                    // beta_t: the final scores at t = T, else the stay and move halves recombined.
                    double beta = in.final_scores[(size_t)n * c.S + s];
                    if (t < c.T) {
                        const double halves[2] = {got.beta_stay[e], got.beta_move[e]};
                        beta = s == c.S - 1 ? halves[0] : vyr_ref::semiring_sum(Semiring::log, halves, 2);
                    }
                    x[s] = got.alpha[e] + beta;
                }
                EXPECT_NEAR(expected, vyr_ref::semiring_sum(Semiring::log, x.data(), c.S), tol)
                    << "chunk " << n << " t " << t;
            }
        }
    }
}

// Callers may launch the kernels with their own block size: wider than S for the shared-memory kernel (and
// narrower, which cannot hold a step and writes nothing), narrower for the looping kernel (several passes,
// the last one partial). Results are the host functions'.
TEST(CtcFwdBwd, CallerLaunchConfigurations) {
    const struct {
        const Variant& host;
        const void* kernel;
        int S, threads;
    } cases[] = {{kShared, (const void*)fwd_bwd_logspace, 20, 64},
                 {kShared, (const void*)fwd_bwd_logspace, 40, 32},
                 {kLoop, (const void*)fwd_bwd_logspace_loop, 100, 32}};
    for (const auto& k : cases) {
        SCOPED_TRACE(std::string(k.host.name) + " threads=" + std::to_string(k.threads));
        const CtcInputs in = make_inputs({6, 2, k.S}, 47, false);
        auto own_launch = [&](int T, int N, int S, float* alpha, float* beta, float* beta_stay,
                              float* beta_move, const float* stay, const float* move) {
            void* args[] = {&alpha, &beta, &beta_stay, &beta_move, &stay, &move, &T, &N, &S};
            const size_t smem = k.host.full_beta ? 0 : 2 * k.threads * sizeof(float);
            const cudaError_t e =
                cudaLaunchKernel(k.kernel, dim3(N, 2), dim3(k.threads), args, smem, nullptr);
            return (int)(e != cudaSuccess ? e : cudaDeviceSynchronize());
        };
        const CtcOutputs got = run({"own", own_launch, k.host.full_beta}, in);
        EXPECT_EQ(cudaSuccess, got.status);
        CtcOutputs expected = run(k.host, in);
        if (!k.host.full_beta && k.threads < k.S) {
            // One thread per position cannot cover S: nothing past the caller's own step 0 is written.
            std::fill(expected.alpha.begin() + 2 * k.S, expected.alpha.end(), filled(1)[0]);
            expected.beta_stay = expected.beta_move = filled(got.beta_stay.size());
        }
        EXPECT_TRUE(vyr_test::all_equal(got.alpha, expected.alpha));
        EXPECT_TRUE(vyr_test::all_equal(got.beta, expected.beta));
        EXPECT_TRUE(vyr_test::all_equal(got.beta_stay, expected.beta_stay));
        EXPECT_TRUE(vyr_test::all_equal(got.beta_move, expected.beta_move));
    }
}

}  // namespace
