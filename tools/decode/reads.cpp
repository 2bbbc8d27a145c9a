#include "reads.h"

#include <algorithm>
#include <random>

namespace vyr_tool {

namespace {

const char kBases[] = "ACGT";

// Margins around the stay score: the planted step wins its timestep by kStepLead - kNoise or more over a
// stay, and a stay beats every off-path step by kOffPath - kNoise or more. Shifting a base by one timestep
// therefore costs a path several nats, far beyond any rounding in the decoder.
constexpr float kStepLead = 4.0f;
constexpr float kOffPath = 6.0f;
constexpr float kNoise = 0.5f;
constexpr double kStepProbability = 0.6;

}  // namespace

void write_fastq_record(FILE* out, int64_t index, const char* bases, const char* quals, int n) {
    std::fprintf(out, "@%lld\n", static_cast<long long>(index));
    std::fwrite(bases, 1, n, out);
    std::fputs("\n+\n", out);
    std::fwrite(quals, 1, n, out);
    std::fputc('\n', out);
}

PlantedBatch make_planted_batch(const std::vector<int>& lengths, int num_states, float stay_score,
                                uint64_t seed) {
    PlantedBatch b;
    b.num_states = num_states;
    b.lengths = lengths;
    const int num_scores = 4 * num_states;
    size_t total = 0;
    for (int t : lengths) total += t;
    b.scores.resize(total * num_scores);

    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<float> noise(-kNoise, kNoise);
    std::bernoulli_distribution step(kStepProbability);
    std::uniform_int_distribution<int> base(0, 3), any_state(0, num_states - 1);

    size_t row = 0;
    for (int T : lengths) {
        int s = any_state(rng);
        std::string read, moves;
        for (int t = 0; t < T; ++t, ++row) {
            __half* S = &b.scores[row * num_scores];
            for (int i = 0; i < num_scores; ++i) S[i] = __float2half_rn(stay_score - kOffPath + noise(rng));
            // The first timestep always emits the state's last base, so whether it is a step only decides
            // which state the path starts from.
            const bool is_step = step(rng);
            if (is_step) {
                const int top = s * 4 / num_states, next = (s * 4) % num_states + base(rng);
                S[4 * next + top] = __float2half_rn(stay_score + kStepLead + noise(rng));
                s = next;
            }
            if (t == 0 || is_step) read += kBases[s % 4];
            moves += (t == 0 || is_step) ? '1' : '0';
        }
        b.reads.push_back(read);
        b.moves.push_back(moves);
    }
    return b;
}

double read_identity(const std::string& decoded, const std::string& expected) {
    const size_t n = decoded.size(), m = expected.size();
    if (n == 0 && m == 0) return 1.0;
    // Edit distance table, then one traceback that prefers matches, counting columns and matching columns.
    std::vector<std::vector<int>> d(n + 1, std::vector<int>(m + 1));
    for (size_t i = 0; i <= n; ++i) d[i][0] = static_cast<int>(i);
    for (size_t j = 0; j <= m; ++j) d[0][j] = static_cast<int>(j);
    for (size_t i = 1; i <= n; ++i)
        for (size_t j = 1; j <= m; ++j)
            d[i][j] = std::min(
                {d[i - 1][j - 1] + (decoded[i - 1] != expected[j - 1]), d[i - 1][j] + 1, d[i][j - 1] + 1});
    size_t i = n, j = m, columns = 0, matches = 0;
    while (i > 0 || j > 0) {
        ++columns;
        if (i > 0 && j > 0 && d[i][j] == d[i - 1][j - 1] + (decoded[i - 1] != expected[j - 1])) {
            matches += decoded[i - 1] == expected[j - 1];
            --i, --j;
        } else if (i > 0 && d[i][j] == d[i - 1][j] + 1) {
            --i;
        } else {
            --j;
        }
    }
    return static_cast<double>(matches) / static_cast<double>(columns);
}

}  // namespace vyr_tool
