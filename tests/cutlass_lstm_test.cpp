// Tensor-core LSTM layers: every variant and schedule against the storage-precision oracle, chaining in
// place, continuation through the cell state, calls with nothing to do, and the fatal configurations.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "activation_tolerance.h"
#include "cutlass_lstm_ref.h"
#include "harness.h"

namespace {

using vyr_test::DeviceBuffer;

// type: VYR_TYPE_HALF or VYR_TYPE_INT8; lda only for interleave 0.
struct Shape {
    int type, interleave, M, L, T, lda;
    vyr_ref::CutlassLstmLayout layout() const { return {M, L, T, interleave, lda}; }
};

// Inputs in the ranges a layer sees: half activations in (-1, 1), 8-bit ones as 127 x; weights scaled so
// that each gate's pre-activation has a spread of about 1.
vyr_ref::CutlassLstmLayer random_layer(const Shape& s, uint64_t seed) {
    vyr_test::Rng rng(seed);
    const bool int8 = s.type == VYR_TYPE_INT8;
    vyr_ref::CutlassLstmLayer l{s.M, s.L, s.T, int8, {}, {}, {}, {}, {}};
    auto value = [&](float bound) {
        return int8 ? (float)rng.integer(-(int)bound, (int)bound)
                    : vyr_test::round_to_half({rng.uniform(-bound, bound)})[0];
    };
    l.seq.resize((size_t)(s.T + 3) * s.M * s.L);
    for (float& x : l.seq) x = value(int8 ? 127.0f : 1.0f);
    const float w = int8 ? 127.0f : 1.5f / std::sqrt(2.0f * s.L);
    l.weights.resize((size_t)8 * s.L * s.L);
    for (float& x : l.weights) x = value(w);
    for (int n = 0; n < 4 * s.L; ++n) {
        l.bias.push_back(vyr_test::round_to_half({rng.uniform(-0.5f, 0.5f)})[0]);
        // sum / (127 scale) has a spread of about 1: the sum's is 127 * 127 * sqrt(2L / 9).
        l.scale.push_back(
            vyr_test::round_to_half({127.0f * std::sqrt(2.0f * s.L / 9.0f) * rng.uniform(0.8f, 1.2f)})[0]);
    }
    l.cell.assign((size_t)s.M * s.L, 0.0f);
    return l;
}

// The layer's buffers on the device, in the call's layouts; an element is one byte (8-bit) or two (half).
struct DeviceLayer {
    Shape s;
    size_t elem;
    DeviceBuffer<char> seq, weights;
    DeviceBuffer<__half> bias, scale, cell;
    DeviceBuffer<unsigned> workspace{1024};

    DeviceLayer(const Shape& shape, const vyr_ref::CutlassLstmLayer& l)
        : s(shape),
          elem(shape.type == VYR_TYPE_INT8 ? 1 : 2),
          seq(encode(shape.layout().store_seq(l.seq))),
          weights(encode(shape.layout().store_weights(l.weights))),
          bias(vyr_test::to_half(l.bias)),
          scale(vyr_test::to_half(l.scale)),
          cell(l.cell.size()) {
        cell.fill_bytes(0);
    }
    std::vector<char> encode(const std::vector<float>& v) const {
        if (elem == 1) return std::vector<char>(v.begin(), v.end());
        std::vector<char> b(v.size() * 2);
        std::memcpy(b.data(), vyr_test::to_half(v).data(), b.size());
        return b;
    }

    // T steps from slice `first` on.
    void run(int direction, bool with_workspace, int T, int brf = -1, int first = 0) {
        host_cutlass_lstm(nullptr, s.type, 0, s.M, s.L, T, direction, s.lda,
                          seq.get() + s.layout().seq_index(first, 0, 0) * elem, weights.get(), bias.get(),
                          scale.get(), cell.get(), with_workspace ? workspace.get() : nullptr, s.interleave,
                          brf);
        EXPECT_EQ(cudaSuccess, cudaDeviceSynchronize());
    }
    // The sequence, logical [slice][row][column].
    std::vector<float> sequence() const {
        const std::vector<char> b = seq.download();
        std::vector<__half> h(b.size() / 2);
        std::memcpy(h.data(), b.data(), h.size() * 2);
        return s.layout().load_seq(elem == 1 ? std::vector<float>(b.begin(), b.end())
                                             : vyr_test::to_float(h));
    }
    bool guards_intact() const {
        return seq.guards_intact() && cell.guards_intact() && workspace.guards_intact();
    }
};

// On the simulator, a device with these multiprocessors and opt-in shared memory for the object's
// lifetime; on a GPU, the GPU as it is (the schedules then follow its own multiprocessor count).
struct DeviceScope {
#if defined(VYR_BACKEND_SIM)
    DeviceScope(int processors, int smem_optin)
        : sim([&](VyrSimDevice& d) {
              d.multiprocessors = processors;
              d.smem_optin = smem_optin;
          }) {}
    vyr_test::SimulatedDevice sim;
#else
    DeviceScope(int, int) {}
#endif
};

// Runs the calls (true: forward) on one layer and compares the whole sequence buffer with the oracle.
void check_layer(const Shape& s, const std::vector<bool>& calls, bool with_workspace, uint64_t seed,
                 int brf = -1) {
    const vyr_ref::CutlassLstmLayer start = random_layer(s, seed);
    auto oracle = [&](double skew) {
        vyr_ref::CutlassLstmLayer l = start;
        for (bool f : calls) vyr_ref::cutlass_lstm(l, f, skew);
        return l.seq;
    };
    // How far the GPU's fast tanh (relative error e) can move a run: the oracle with every tanh scaled by
    // 1 + e and by 1 - e brackets it. Twice the larger excursion, plus one unit of the stored form for a
    // rounding of h or c that flips between the two (half: 2^-11 at |h| <= 1; 8-bit: 1).
    const auto exact = oracle(0.0), up = oracle(vyr_test::kTanhApproxRel),
               down = oracle(-vyr_test::kTanhApproxRel);
    double drift = 0.0;
    for (size_t i = 0; i < exact.size(); ++i)
        drift = std::max({drift, (double)std::fabs(up[i] - exact[i]), (double)std::fabs(down[i] - exact[i])});
    DeviceLayer d(s, start);
    for (bool f : calls) d.run(f ? 1 : -1, with_workspace, s.T, brf);
    EXPECT_TRUE(
        vyr_test::all_near(d.sequence(), exact, 2 * drift + (start.int8 ? 1.0 : 2 * vyr_test::kHalfUnit)));
    EXPECT_TRUE(d.guards_intact());
}

TEST(CutlassLstm, EveryVariantAndScheduleMatchesTheOracle) {
    // M = 128: two batch tiles of 64 rows.
    const struct {
        const char* what;
        int processors;
        bool workspace;
    } schedules[] = {
        {"static, one block per batch tile", 2, false},
        {"static, fewer multiprocessors than batch tiles", 1, false},
        {"dynamic", 3, true},
    };
    for (int type : {VYR_TYPE_HALF, VYR_TYPE_INT8})
        for (int interleave : {0, 32, 64})
            for (const auto& sc : schedules) {
                const int L = type == VYR_TYPE_HALF ? 64 : 128;
                const Shape s{type, interleave, 128, L, 2, interleave ? 0 : L + 16};
                SCOPED_TRACE(std::string(type == VYR_TYPE_HALF ? "half" : "8-bit") + ", interleave " +
                             std::to_string(interleave) + ", " + sc.what);
                DeviceScope device(sc.processors, 232448);
                check_layer(s, {true}, sc.workspace, 11 + interleave + type);
            }
}

// 8-bit layers of 384 take the register-resident path when allowed or required: groups of 12 blocks, one
// group serving several batch tiles or one each, meeting at a device barrier after every step.
TEST(CutlassLstm, RegisterResidentPathMatchesTheOracle) {
    const struct {
        int interleave, processors, brf, M;
        std::vector<bool> calls;
    } cases[] = {{0, 3, 0, 64, {true, false}}, {32, 4, 1, 64, {true}}, {64, 3, 0, 32, {true}}};
    for (const auto& c : cases) {
        SCOPED_TRACE("interleave " + std::to_string(c.interleave) + ", " + std::to_string(c.processors) +
                     " multiprocessors");
        DeviceScope device(c.processors, 232448);
        check_layer({VYR_TYPE_INT8, c.interleave, c.M, 384, 2, c.interleave ? 0 : 384}, c.calls, true,
                    3 + c.interleave, c.brf);
    }
}

// A forward layer's outputs are the reverse layer's inputs on the same buffer; the 2-stage variant (chosen
// when the 3-stage one does not fit) does the same arithmetic in the same order as the 3-stage one.
TEST(CutlassLstm, ForwardThenReverseInPlaceAndTheTwoStageVariant) {
    const Shape s{VYR_TYPE_HALF, 0, 128, 64, 3, 64};
    check_layer(s, {true, false}, true, 5);

    const vyr_ref::CutlassLstmLayer start = random_layer(s, 6);
    std::vector<float> three, two;
    for (int smem : {232448, 100000}) {
        DeviceScope device(2, smem);
        DeviceLayer d(s, start);
        d.run(1, false, s.T);
        (smem == 232448 ? three : two) = d.sequence();
    }
    VYR_SIM_ONLY();  // a GPU has one opt-in size
    EXPECT_TRUE(vyr_test::all_equal(two, three));
}

// A sequence run in two calls, the second starting two slices further on, continues through the cell state
// exactly as one call over all steps does. Then T, M or L of zero, an element type that is neither code, and
// a device that cannot be queried leave the buffers of the one call as they were.
TEST(CutlassLstm, CellStateContinuesASequenceAndEmptyCallsDoNothing) {
    const Shape whole{VYR_TYPE_INT8, 32, 64, 128, 4, 0};
    const vyr_ref::CutlassLstmLayer start = random_layer(whole, 8);
    DeviceLayer one(whole, start), split(whole, start);
    one.run(1, true, 4);
    for (int first : {0, 2}) split.run(1, true, 2, -1, first);
    auto call = [&](int type, int M, int L, int T) {
        host_cutlass_lstm(nullptr, type, 0, M, L, T, 1, 0, one.seq.get(), one.weights.get(), one.bias.get(),
                          one.scale.get(), one.cell.get(), one.workspace.get(), 32, -1);
        EXPECT_EQ(cudaSuccess, cudaDeviceSynchronize());
    };
    call(VYR_TYPE_INT8, 64, 128, 0);
    call(VYR_TYPE_INT8, 0, 128, 4);
    call(VYR_TYPE_INT8, 64, 0, 4);
    call(VYR_TYPE_FLOAT, 64, 128, 4);
#if defined(VYR_BACKEND_SIM)
    {  // one failing query stands for all four: they share the check
        vyr_test::SimulatedDevice failing(
            [&](VyrSimDevice& d) { d.fail_attribute = cudaDevAttrMaxSharedMemoryPerBlockOptin; });
        call(VYR_TYPE_INT8, 64, 128, 4);
        cudaGetLastError();
    }
#endif
    EXPECT_TRUE(vyr_test::all_equal(split.sequence(), one.sequence()));
    EXPECT_TRUE(vyr_test::all_equal(split.cell.download(), one.cell.download()));
    EXPECT_TRUE(one.guards_intact());
}

// Configurations that end the process: each runs in a forked child that must exit with status 1 after
// printing its message.
TEST(CutlassLstmDeathTest, FatalConfigurationsExitWithTheirMessage) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    DeviceBuffer<int8_t> seq(64 * 1024 * 8 + 64), weights(8 * 1024 * 1024 + 64);
    DeviceBuffer<__half> bias(4096), scale(4096), cell(1024 * 1024);
    auto call = [&](int type, int M, int L, int interleave, int brf, int lda = 0, int offset = 0,
                    void* workspace = nullptr) {
        host_cutlass_lstm(nullptr, type, 0, M, L, 1, 1, lda ? lda : L, seq.get() + offset, weights.get(),
                          bias.get(), scale.get(), cell.get(), workspace, interleave, brf);
        std::exit(0);
    };
    const auto exit1 = testing::ExitedWithCode(1);
    EXPECT_EXIT(call(VYR_TYPE_HALF, 96, 64, 16, 0), exit1, "Cutlass LSTM: Invalid interleave value 16\n");
    EXPECT_EXIT(call(VYR_TYPE_HALF, 64, 512, 0, 1), exit1, "Vyr Cutlass LSTM: cannot force BRF\n");
    EXPECT_EXIT(call(VYR_TYPE_HALF, 96, 64, 0, 0), exit1,
                "Cutlass LSTM: Unsupported batch size, must be multiple of 64: 96\n");
    EXPECT_EXIT(call(VYR_TYPE_HALF, -64, 64, 0, 0), exit1, "must be multiple of 64: -64\n");
    EXPECT_EXIT(call(VYR_TYPE_HALF, 64, 1088, 0, 0), exit1,
                "Cutlass LSTM: Unsupported layer size, must be multiple of 64, and <1024: 1088\n");
    EXPECT_EXIT(call(VYR_TYPE_INT8, 64, 320, 0, -1), exit1, "must be multiple of 128, and <1024: 320\n");
    EXPECT_EXIT(call(VYR_TYPE_INT8, 64, -128, 0, -1), exit1, "and <1024: -128\n");
    EXPECT_EXIT(call(VYR_TYPE_HALF, 64, 64, 0, 0, 68), exit1,
                "Cutlass LSTM returned status Error Misaligned Operand\n");
    EXPECT_EXIT(call(VYR_TYPE_HALF, 64, 128, 0, 0, 64), exit1,
                "status Error Misaligned Operand\n");  // lda < L
    // L = 1024 passes the layer check and fails only for its misaligned sequence buffer.
    EXPECT_EXIT(call(VYR_TYPE_HALF, 64, 1024, 0, 0, 0, 8), exit1, "status Error Misaligned Operand\n");
    EXPECT_EXIT(call(VYR_TYPE_INT8, 32, 384, 0, 0), exit1,
                "Cutlass LSTM returned status Error Workspace Null\n");
#if defined(VYR_BACKEND_SIM)
    // Opt-in shared memory per block decides between the 3-stage and 2-stage variants, or neither: one byte
    // short of the 2-stage size (90128 bytes for both), then exactly that size.
    {
        DeviceScope device(4, 90127);
        EXPECT_EXIT(call(VYR_TYPE_HALF, 64, 64, 0, 0), exit1,
                    "Vyr Cutlass LSTM: insufficient shared memory\n");
        EXPECT_EXIT(call(VYR_TYPE_INT8, 64, 128, 32, 0), exit1, "insufficient shared memory\n");
    }
    DeviceScope device(4, 90128);
    EXPECT_EXIT(call(VYR_TYPE_HALF, 64, 64, 0, 0), testing::ExitedWithCode(0), "");
#endif
}

}  // namespace
