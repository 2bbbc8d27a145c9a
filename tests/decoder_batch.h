// A batch of decoder chunks on the device, with the host-side views the decoder tests compare: per-chunk
// scores, guides, beam rows and posteriors at the offsets of the workspace layout.
#pragma once

#include <algorithm>
#include <cstring>
#include <vector>

#include "decoder_ref.h"
#include "harness.h"

namespace vyr_test {

enum class DecoderStep { Guides, Beam, Posts, Decode };

struct DecoderBatch {
    vyr_ref::DecodeParams p;
    int num_scores;       // passed to the host functions (a test may set an unsupported value)
    int end_of_axis = 0;  // set by make_desc while desc is built, so declared before it
    std::vector<ChunkDesc> desc;
    int launch_chunks;  // num_chunks passed to the host functions; the number of descriptors by default
    std::vector<float> scores_in;  // the half inputs as floats, [axis][num_scores]
    DeviceBuffer<ChunkDesc> chunks;
    DeviceBuffer<ChunkResult> results;
    DeviceBuffer<__half> scores;
    DeviceBuffer<float> workspace;
    DeviceBuffer<int> states;
    DeviceBuffer<char> moves, sequence, qstring;

    // `gaps[c]` unused timesteps are left before chunk c (none when empty).
    DecoderBatch(const vyr_ref::DecodeParams& params, const std::vector<int>& lengths,
                 const std::vector<float>& raw_scores, const std::vector<int>& gaps = {})
        : p(params),
          num_scores(4 * params.num_states),
          desc(make_desc(lengths, gaps, &end_of_axis)),
          launch_chunks((int)desc.size()),
          scores_in(round_to_half(raw_scores)),
          chunks(desc),
          results(desc.size()),
          scores(to_half(scores_in)),
          workspace(vyr_decode_workspace_bytes(end_of_axis, (int)desc.size(), num_scores, p.beam_width) / 4),
          states(end_of_axis),
          moves(end_of_axis),
          sequence(end_of_axis),
          qstring(end_of_axis) {
        results.fill_bytes(0x5a);
        workspace.fill_bytes(0xff);
        for (DeviceBuffer<char>* b : {&moves, &sequence, &qstring}) b->fill_bytes('.');
        states.fill_bytes(0x77);
    }

    static std::vector<ChunkDesc> make_desc(const std::vector<int>& lengths, const std::vector<int>& gaps,
                                            int* end) {
        std::vector<ChunkDesc> d;
        int o = 0;
        for (size_t c = 0; c < lengths.size(); ++c) {
            o += c < gaps.size() ? gaps[c] : 0;
            d.push_back(ChunkDesc{o, lengths[c], {-1, -1}});
            o += lengths[c];
        }
        *end = o;
        return d;
    }

    int num_chunks() const { return (int)desc.size(); }
    int T(int c) const { return desc[c].num_timesteps; }
    size_t row(int c) const { return (size_t)desc[c].timestep_offset + c; }

    // The step kernels' common arguments, in their order (decode_step adds timestep_aligned).
    auto args() {
        return std::make_tuple((const ChunkDesc*)chunks.get(), results.get(), launch_chunks, scores.get(),
                               p.score_clamp, num_scores, workspace.get(), states.get(), moves.get(),
                               (float*)nullptr, sequence.get(), qstring.get(), p.q_scale, p.q_shift,
                               p.beam_width, p.beam_cut, p.fixed_stay_score);
    }
    int run(DecoderStep step, int timestep_aligned = 0) {
        const auto args = this->args();
        if (step == DecoderStep::Decode)
            return std::apply([&](auto... a) { return host_run_decode(nullptr, a..., timestep_aligned); },
                              args);
        decltype(&host_back_guide_step)
            const steps[] = {host_back_guide_step, host_beam_search_step, host_compute_posts_step};
        return std::apply([&](auto... a) { return steps[(int)step](nullptr, a...); }, args);
    }
    int run_all(int timestep_aligned = 0) {
        for (DecoderStep s :
             {DecoderStep::Guides, DecoderStep::Beam, DecoderStep::Posts, DecoderStep::Decode}) {
            int e = run(s, timestep_aligned);
            if (e != cudaSuccess) return e;
        }
        return cudaDeviceSynchronize();
    }

    // Host views of one chunk.
    std::vector<float> chunk_scores(int c) const {
        auto b = scores_in.begin() + (size_t)desc[c].timestep_offset * num_scores;
        return std::vector<float>(b, b + (size_t)T(c) * num_scores);
    }
    std::vector<float> guides(const std::vector<float>& ws, int c) const {
        auto b = ws.begin() + row(c) * p.num_states;
        return std::vector<float>(b, b + (size_t)(T(c) + 1) * p.num_states);
    }
    size_t beam_region() const { return (size_t)(end_of_axis + num_chunks()) * p.num_states; }
    BeamElement* beam_row(std::vector<float>& ws, int c, int t) const {
        return reinterpret_cast<BeamElement*>(ws.data() + beam_region()) + (row(c) + t) * p.beam_width;
    }
    std::vector<float> posts(const std::vector<float>& out_scores, int c) const {
        auto b = out_scores.begin() + (size_t)desc[c].timestep_offset * num_scores;
        return std::vector<float>(b, b + (size_t)(T(c) + 1) * p.num_states);
    }
    bool guards_intact() const {
        return chunks.guards_intact() && results.guards_intact() && scores.guards_intact() &&
               workspace.guards_intact() && states.guards_intact() && moves.guards_intact() &&
               sequence.guards_intact() && qstring.guards_intact();
    }
};

}  // namespace vyr_test
