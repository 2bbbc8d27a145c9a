// Stay/move lattice forward-backward: the shared-memory kernel and the looping kernel.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "harness.h"
#include "training_ref.h"

namespace {

using vyr_ref::CtcShape;
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

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr unsigned char kFill = 0x7f;  // bytes of outputs the kernels must leave alone

float fill_value() {
    float f;
    std::memset(&f, kFill, sizeof f);
    return f;
}

struct CtcInputs {
    CtcShape shape;
    std::vector<float> stay, move, alpha0, final_scores;
};

// Log-probability-like scores. `start_at_zero`: alpha step 0 is 0 at position 0 and -inf elsewhere, as a
// caller starting every alignment at the first position writes it.
CtcInputs make_inputs(const CtcShape& c, uint64_t seed, bool start_at_zero) {
    vyr_test::Rng rng(seed);
    CtcInputs in{c, {}, {}, {}, {}};
    const size_t steps = (size_t)std::max(c.T, 0);
    in.stay = rng.uniform_vec(steps * c.N * c.S, -3.0f, 0.0f);
    in.move = rng.uniform_vec(steps * c.N * std::max(c.S - 1, 0), -3.0f, 0.0f);
    in.alpha0 = rng.uniform_vec((size_t)c.N * c.S, -2.0f, 0.0f);
    in.final_scores = rng.uniform_vec((size_t)c.N * c.S, -2.0f, 0.0f);
    if (start_at_zero)
        for (int n = 0; n < c.N; ++n)
            for (int s = 0; s < c.S; ++s) in.alpha0[(size_t)n * c.S + s] = s == 0 ? 0.0f : -kInf;
    return in;
}

struct CtcOutputs {
    int status;
    std::vector<float> alpha, beta, beta_stay, beta_move;
};

// Outputs start as kFill bytes, so untouched elements are recognisable.
CtcOutputs run(const Variant& v, const CtcInputs& in) {
    const bool full_beta = v.full_beta;
    const CtcShape& c = in.shape;
    const size_t plane = (size_t)c.N * c.S, steps = (size_t)std::max(c.T, 0);
    DeviceBuffer<float> stay(in.stay), move(in.move);
    DeviceBuffer<float> alpha((steps + 1) * plane), beta((full_beta ? steps + 1 : 1) * plane);
    DeviceBuffer<float> beta_stay(steps * plane), beta_move(steps * plane);
    for (DeviceBuffer<float>* b : {&alpha, &beta, &beta_stay, &beta_move}) b->fill_bytes(kFill);
    cudaMemcpy(alpha.get(), in.alpha0.data(), plane * sizeof(float), cudaMemcpyHostToDevice);
    cudaMemcpy(beta.get() + (full_beta ? steps * plane : 0), in.final_scores.data(), plane * sizeof(float),
               cudaMemcpyHostToDevice);
    CtcOutputs o;
    o.status = v.launch(c.T, c.N, c.S, alpha.get(), beta.get(), beta_stay.get(), beta_move.get(), stay.get(),
                        move.get());
    EXPECT_TRUE(alpha.guards_intact() && beta.guards_intact() && beta_stay.guards_intact() &&
                beta_move.guards_intact());
    o.alpha = alpha.download();
    o.beta = beta.download();
    o.beta_stay = beta_stay.download();
    o.beta_move = beta_move.download();
    return o;
}

std::vector<double> widen(const std::vector<float>& v) {
    return std::vector<double>(v.begin(), v.end());
}

// beta_move is defined below the last position only; the last position must keep the fill.
void split_moves(const CtcShape& c, const std::vector<float>& got, const std::vector<double>& ref,
                 std::vector<double>* got_defined, std::vector<double>* ref_defined, size_t* last_untouched) {
    *last_untouched = 0;
    for (size_t e = 0; e < got.size(); ++e) {
        if ((int)(e % c.S) == c.S - 1) {
            *last_untouched += got[e] == fill_value();
        } else {
            got_defined->push_back(got[e]);
            ref_defined->push_back(ref[e]);
        }
    }
}

// Per step: y = alpha + stay and m = move + alpha' round once each (2^-24 |v|); the fast exp2 of the
// difference carries 2^-22 relative error (plus 2^-24 from rounding its argument), log1p has derivative at
// most 1 and its own error is under an ulp of ln 2, and the final add rounds (2^-24 |a|). So each step adds
// under 2^-21 + 2^-23 |a|, and logsumexp2 is 1-Lipschitz, so over T steps the bound is T times that. Values
// at the -1e38 no-transition level only carry the relative part.
struct Tolerance {
    double abs, rel;
};
Tolerance ctc_tol(int T, const std::vector<double>& ref) {
    double amax = 0;
    for (double v : ref)
        if (std::fabs(v) < 1e30) amax = std::max(amax, std::fabs(v));
    return {T * (std::ldexp(1.0, -21) + std::ldexp(amax, -23)) + std::ldexp(amax, -24),
            (T + 1) * std::ldexp(1.0, -23)};
}

void expect_matches_reference(const CtcInputs& in, const CtcOutputs& got, bool full_beta) {
    const CtcShape& c = in.shape;
    const size_t plane = (size_t)c.N * c.S;
    const auto ref = vyr_ref::ctc_tables<double>(c, in.stay, in.move, in.alpha0, in.final_scores);
    const Tolerance tol = ctc_tol(c.T, ref.alpha);
    const Tolerance tol_b = ctc_tol(c.T, ref.beta);
    EXPECT_EQ(cudaSuccess, got.status);
    EXPECT_TRUE(vyr_test::all_near(widen(got.alpha), ref.alpha, tol.abs, tol.rel));
    EXPECT_TRUE(vyr_test::all_near(widen(got.beta_stay), ref.beta_stay, tol_b.abs, tol_b.rel));
    std::vector<double> got_moves, ref_moves;
    size_t last_untouched = 0;
    split_moves(c, got.beta_move, ref.beta_move, &got_moves, &ref_moves, &last_untouched);
    EXPECT_TRUE(vyr_test::all_near(got_moves, ref_moves, tol_b.abs, tol_b.rel));
    EXPECT_EQ((size_t)c.T * c.N, last_untouched) << "beta_move at the last position must stay untouched";
    if (full_beta) {
        EXPECT_TRUE(vyr_test::all_near(widen(got.beta), ref.beta, tol_b.abs, tol_b.rel));
    } else {
        const std::vector<float> final_scores(got.beta.begin(), got.beta.begin() + plane);
        EXPECT_TRUE(vyr_test::all_equal(final_scores, in.final_scores)) << "the final scores are read only";
    }
}

struct ShapeCase {
    const char* name;
    int T, N, S;
    bool start_at_zero;
};

TEST(CtcFwdBwd, BothKernelsMatchReference) {
    const ShapeCase cases[] = {
        {"S=2", 7, 1, 2, false},
        {"multi-warp", 20, 3, 70, false},
        {"unreachable starts", 12, 2, 45, true},
        {"S=1024", 3, 1, 1024, false},
    };
    for (const ShapeCase& sc : cases) {
        SCOPED_TRACE(sc.name);
        const CtcInputs in = make_inputs({sc.T, sc.N, sc.S}, 17, sc.start_at_zero);
        const CtcOutputs shared = run(kShared, in);
        const CtcOutputs loop = run(kLoop, in);
        expect_matches_reference(in, shared, false);
        expect_matches_reference(in, loop, true);
        // Same operations in the same order, only the staging differs: bit-identical.
        EXPECT_TRUE(vyr_test::all_equal(shared.alpha, loop.alpha));
        EXPECT_TRUE(vyr_test::all_equal(shared.beta_stay, loop.beta_stay));
        EXPECT_TRUE(vyr_test::all_equal(shared.beta_move, loop.beta_move));
    }
}

// One position: no moves, and logsumexp2(y, -1e38) = y, so alpha is a plain running sum of the stay scores,
// bit for bit; beta_move is never written. With no steps nothing is written at all.
TEST(CtcFwdBwd, SinglePositionAndNoSteps) {
    for (const Variant& v : {kShared, kLoop}) {
        SCOPED_TRACE(v.name);
        const CtcInputs one = make_inputs({6, 2, 1}, 29, false);
        const CtcOutputs got = run(v, one);
        EXPECT_EQ(cudaSuccess, got.status);
        const auto ref =
            vyr_ref::ctc_tables<float>(one.shape, one.stay, one.move, one.alpha0, one.final_scores);
        EXPECT_TRUE(vyr_test::all_equal(got.alpha, ref.alpha));
        EXPECT_TRUE(vyr_test::all_equal(got.beta_stay, ref.beta_stay));
        if (v.full_beta) EXPECT_TRUE(vyr_test::all_equal(got.beta, ref.beta));
        EXPECT_TRUE(
            vyr_test::all_equal(got.beta_move, std::vector<float>(got.beta_move.size(), fill_value())));

        for (int T : {0, -1}) {
            SCOPED_TRACE("T=" + std::to_string(T));
            const CtcInputs none = make_inputs({T, 2, 5}, 31, false);
            const CtcOutputs empty = run(v, none);
            EXPECT_EQ(cudaSuccess, empty.status);
            EXPECT_TRUE(vyr_test::all_equal(empty.alpha, none.alpha0));
            EXPECT_TRUE(vyr_test::all_equal(empty.beta, none.final_scores));
        }
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
                double m = -INFINITY, terms[4];
                for (int s = 0; s < c.S; ++s) {
                    const size_t e = ((size_t)t * c.N + n) * c.S + s;
                    double beta = in.final_scores[(size_t)n * c.S + s];
                    if (t < c.T) {
                        const double stay = got.beta_stay[e], move = got.beta_move[e];
                        beta = s == c.S - 1
                                   ? stay
                                   : std::max(stay, move) + std::log1p(std::exp(-std::fabs(stay - move)));
                    }
                    terms[s] = (double)got.alpha[e] + beta;
                    m = std::max(m, terms[s]);
                }
                double sum = 0;
                for (double v : terms) sum += std::exp(v - m);
                EXPECT_NEAR(expected, m + std::log(sum), tol) << "chunk " << n << " t " << t;
            }
        }
    }
}

// The looping kernel serves targets longer than a block; the shared-memory kernel refuses them through the
// runtime, writing nothing.
TEST(CtcFwdBwd, LongTargets) {
    const CtcInputs in = make_inputs({5, 1, 3000}, 41, false);
    expect_matches_reference(in, run(kLoop, in), true);

    for (int S : {1025, 3000}) {
        SCOPED_TRACE("S=" + std::to_string(S));
        const CtcInputs big = make_inputs({2, 1, S}, 43, false);
        const CtcOutputs refused = run(kShared, big);
        EXPECT_EQ(cudaErrorInvalidConfiguration, refused.status);
        EXPECT_EQ(cudaSuccess, cudaGetLastError());
        const std::vector<float> alpha_rest(refused.alpha.begin() + S, refused.alpha.end());
        EXPECT_TRUE(vyr_test::all_equal(alpha_rest, std::vector<float>(alpha_rest.size(), fill_value())));
        EXPECT_TRUE(vyr_test::all_equal(refused.beta_stay,
                                        std::vector<float>(refused.beta_stay.size(), fill_value())));
    }
}

// Callers may launch the kernels with their own block size: wider than S for the shared-memory kernel (and
// narrower, which cannot hold a step and writes nothing), narrower for the looping kernel (several passes,
// the last one partial). Results are the host functions'.
TEST(CtcFwdBwd, CallerLaunchConfigurations) {
    struct Case {
        const Variant& host;
        const void* kernel;
        int S, threads;
    } cases[] = {{kShared, (const void*)fwd_bwd_logspace, 20, 64},
                 {kShared, (const void*)fwd_bwd_logspace, 40, 32},
                 {kLoop, (const void*)fwd_bwd_logspace_loop, 100, 32}};
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.host.name) + " threads=" + std::to_string(k.threads));
        const CtcInputs in = make_inputs({6, 2, k.S}, 47, false);
        const CtcOutputs expected = run(k.host, in);
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
        if (!k.host.full_beta && k.threads < k.S) {
            // One thread per position cannot cover S: nothing past the caller's own step 0 is written.
            const std::vector<float> rest(got.alpha.begin() + (size_t)in.shape.N * k.S, got.alpha.end());
            EXPECT_TRUE(vyr_test::all_equal(rest, std::vector<float>(rest.size(), fill_value())));
            EXPECT_TRUE(
                vyr_test::all_equal(got.beta_stay, std::vector<float>(got.beta_stay.size(), fill_value())));
            continue;
        }
        EXPECT_TRUE(vyr_test::all_equal(got.alpha, expected.alpha));
        EXPECT_TRUE(vyr_test::all_equal(got.beta, expected.beta));
        EXPECT_TRUE(vyr_test::all_equal(got.beta_stay, expected.beta_stay));
        EXPECT_TRUE(vyr_test::all_equal(got.beta_move, expected.beta_move));
    }
}

}  // namespace
