// Sequential CRF decoder, the oracle for the decoder kernels. One chunk at a time; scores are given as the
// float values of the half inputs, [T][4 * num_states]. Guides and posteriors are computed in double. The
// beam search has no step-by-step oracle here: its tests check the kernel against the search's definition,
// with the scores of path identities below, computed from the CRF alone.
#pragma once

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "vyr.h"

namespace vyr_ref {

struct DecodeParams {
    int num_states = 64;
    float score_clamp = 0.0f;
    float fixed_stay_score = 0.0f;
    int beam_width = 32;
    float beam_cut = 100.0f;
    float q_scale = 1.0f;
    float q_shift = 0.0f;
    int timestep_aligned = 0;
};

// scale * tanh(raw + bias), exact.
double post_gemm(double raw, double bias, double scale);

// The score as the decoder reads it: clamped to +-clamp (0 = no clamp); NaN reads as the lower bound.
double clamp_score(float x, float clamp);

// A step by base b from state s enters (4s mod num_states) + b, and at timestep t scores
// S[t][4 * that state + the base s drops], clamped.
int step_state(int s, int b, int num_states);
double step_score(const std::vector<float>& scores, int t, int s, int b, const DecodeParams& p);

// A path identity is a start state and the bases it emits; its score is the log of the summed weight of all
// its alignments (each timestep a step or a stay) over T timesteps.
double identity_score(const std::vector<float>& scores, int s0, const std::vector<int>& bases, int T,
                      const DecodeParams& p);
// The best identity score over every identity that starts in one of `starts`, enumerated (5^T alignments).
double best_identity_score(const std::vector<float>& scores, const std::vector<int>& starts, int T,
                           const DecodeParams& p);

// The initial beam: the min(num_states, beam_width) states with the best guides in row 0, ties to the lower
// state, in state order.
std::vector<int> initial_beam(const std::vector<float>& guides, const DecodeParams& p);

// The candidates of the first beam step from the initial beam `first` (its states): each element's four
// steps and its stay, keyed (element, stay, state entered), each scored as the ranking defines it, in float:
// the transition score plus the guide of the state entered (row 1 of `guides`).
std::map<std::tuple<int, int, int>, float> first_step_candidates(const std::vector<float>& scores,
                                                                 const std::vector<float>& guides,
                                                                 const std::vector<int>& first,
                                                                 const DecodeParams& p);

// Backward guides, rows 0..T of num_states: log of the summed weight of all continuations to the chunk's end.
std::vector<double> back_guides(const std::vector<float>& scores, int T, const DecodeParams& p);

// Posterior state probabilities, rows 0..T of num_states, from forward scores and the given guides.
std::vector<double> posteriors(const std::vector<float>& scores, const std::vector<double>& guides, int T,
                               const DecodeParams& p);

struct DecodeResult {
    std::vector<int> states;  // base index per timestep
    std::vector<char> moves;
    // Compact mode: num_bases characters. Aligned mode: T characters, '\0' where no base starts.
    std::string sequence;
    std::vector<double> quality;  // Phred value (after scale, shift and clamping), parallel to sequence
    int num_bases = 0;
    double stay_fraction = 0, move_fraction = 0, mean_error = 0;
};
// Traces the best path back through `rows` and grades each base from `posts` (rows 0..T of num_states).
DecodeResult decode(const std::vector<std::vector<BeamElement>>& rows, float score,
                    const std::vector<float>& posts, int T, const DecodeParams& p);

// The Phred+33 character of a Phred value: rounded half up.
char quality_char(double q);

}  // namespace vyr_ref
