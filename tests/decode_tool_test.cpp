// The decode tool: refused arguments and malformed .npy files, and planted reads through the whole tool
// in-process.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "decode_tool.h"
#include "harness.h"
#include "npy.h"
#include "reads.h"

namespace {

using namespace vyr_tool;

std::string read_all(FILE* f) {
    std::string s;
    std::rewind(f);
    for (int c; (c = std::fgetc(f)) != EOF;) s += (char)c;
    std::fclose(f);
    return s;
}

struct ToolRun {
    int status;
    std::string out, err;
};

ToolRun run_tool(std::vector<std::string> args) {
    args.insert(args.begin(), "vyr-decode");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    FILE *out = std::tmpfile(), *err = std::tmpfile();
    const int status = run_decode_tool((int)args.size(), argv.data(), out, err);
    return {status, read_all(out), read_all(err)};
}

// "name:bases" per FASTQ record; fails unless every record is four lines ("@name", bases from ACGT, "+",
// qualities as long as the bases, from '"' to 'S', or the failure record "A" with "!").
::testing::AssertionResult records(const std::string& text, std::vector<std::string>* got) {
    std::vector<std::string> l;
    for (size_t pos = 0, end; pos < text.size(); pos = end + 1) {
        if ((end = text.find('\n', pos)) == std::string::npos)
            return ::testing::AssertionFailure() << "no newline";
        l.push_back(text.substr(pos, end - pos));
    }
    got->clear();
    for (size_t i = 0; i < l.size(); i += 4) {
        const bool ok =
            i + 3 < l.size() && l[i].size() > 1 && l[i][0] == '@' && l[i + 2] == "+" &&
            l[i + 1].find_first_not_of("ACGT") == std::string::npos && l[i + 3].size() == l[i + 1].size() &&
            ((l[i + 3] == "!" && l[i + 1] == "A") ||
             std::all_of(l[i + 3].begin(), l[i + 3].end(), [](char q) { return q >= 34 && q <= 83; }));
        if (!ok) return ::testing::AssertionFailure() << "bad record " << i / 4;
        got->push_back(l[i].substr(1) + ":" + l[i + 1]);
    }
    return ::testing::AssertionSuccess();
}

std::vector<std::string> expected_records(const PlantedBatch& b) {
    std::vector<std::string> v;
    for (size_t c = 0; c < b.reads.size(); ++c) v.push_back(std::to_string(c) + ":" + b.reads[c]);
    return v;
}

// Files a test writes into the temporary directory; removed when the test ends.
struct TempFiles {
    std::vector<std::string> paths;
    ~TempFiles() {
        for (const std::string& p : paths) std::remove(p.c_str());
    }
    std::string path(const std::string& name) {
        paths.push_back(::testing::TempDir() + "vyr_decode_tool_" + std::to_string(::getpid()) + "_" + name);
        return paths.back();
    }
    std::string write(const std::string& name, const std::vector<unsigned char>& bytes) {
        EXPECT_EQ("", write_file(path(name), bytes));
        return paths.back();
    }
    template <class T>
    std::string npy(const std::string& name, const char* descr, std::vector<int64_t> shape,
                    const std::vector<T>& v) {
        return write(name, make_npy(descr, shape, v.data(), v.size() * sizeof(T)));
    }
};

TEST(DecodeToolCli, BadArgumentsAndFilesGiveOneErrorLine) {
    TempFiles files;
    const std::vector<float> scores64(10 * 64, 0.5f);
    const std::vector<unsigned char> good_image = make_npy("<f4", {10, 64}, scores64.data(), 640 * 4);
    const std::string good = files.write("good.npy", good_image);
    // Images whose header or data disagree with their size: each must be refused, never read past its end.
    // Then sizes that disagree with each other, and arguments without a usable value.
    auto image = [&](const std::string& name, std::string header, int extra_bytes = 0) {
        std::vector<unsigned char> b = good_image;
        if (!header.empty()) {
            header.resize((b[8] | b[9] << 8) - 1, ' ');
            std::copy(header.begin(), header.end(), b.begin() + 10);
        }
        b.resize(b.size() + extra_bytes);
        return files.write(name, b);
    };
    const std::vector<std::vector<std::string>> cases = {
        {image("cut.npy", "", -100)},
        {image("negative.npy", "{'descr': '<f4', 'fortran_order': False, 'shape': (-10, 64), }")},
        {image("huge.npy", "{'descr': '<f4', 'fortran_order': False, 'shape': (4294967296, 4294967296), }")},
        {image("unclosed.npy", "{'descr': '<f4', 'fortran_order': False, 'shape': (10, 64")},
        {good, "--chunk-lens", files.npy("sum.npy", "<i8", {2}, std::vector<int64_t>{4, 5})},
        {good, "--chunk-lens", files.npy("neg.npy", "<i4", {2}, std::vector<int32_t>{12, -2})},
        {good, "--bias", files.npy("bias63.npy", "<f4", {63}, std::vector<float>(63))},
        {good, "--beam-width"},
        {"--synthetic", "1048576", "--chunk-len", "100000"},
    };
    for (const auto& args : cases) {
        std::string joined;
        for (const std::string& a : args) joined += a + " ";
        const ToolRun r = run_tool(args);
        EXPECT_EQ(1, r.status) << joined;
        EXPECT_EQ("", r.out) << joined;
        EXPECT_EQ(0u, r.err.rfind("vyr-decode: ", 0)) << r.err;
        EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
    }
}

// Planted reads beat any other path by several nats per timestep (reads.cpp), so the decoded bases must equal
// the planted ones exactly.
TEST(DecodeToolCli, PlantedReadsComeBackExactly) {
    ToolRun r = run_tool({"--synthetic", "6", "--chunk-len", "48", "--states", "64", "--seed", "3"});
    ASSERT_EQ(0, r.status) << r.err;
    std::vector<std::string> got;
    ASSERT_TRUE(records(r.out, &got));
    EXPECT_EQ(expected_records(make_planted_batch(std::vector<int>(6, 48), 64, 2.0f, 3)), got);
    EXPECT_NE(std::string::npos, r.err.find("mean 100.00%, min 100.00%, 6 of 6 exact")) << r.err;

    // Unequal chunks, an empty one and a one-timestep one, decoded two chunks per device batch.
    TempFiles files;
    const std::vector<int> lengths = {37, 1, 0, 60, 22};
    const PlantedBatch b = make_planted_batch(lengths, 16, 2.0f, 11);
    const int64_t rows = 120, cols = 64;
    const std::string lens =
        files.npy("lengths.npy", "<i8", {5}, std::vector<int64_t>(lengths.begin(), lengths.end()));
    const std::string fastq = files.path("planted.fastq");
    r = run_tool({files.npy("f16.npy", "<f2", {rows, cols}, b.scores), "--chunk-lens", lens, "--batch", "2",
                  "--beam-width", "8", "-o", fastq});
    ASSERT_EQ(0, r.status) << r.err;
    ASSERT_TRUE(records(read_all(std::fopen(fastq.c_str(), "r")), &got));
    EXPECT_EQ(expected_records(b), got);

    // The same scores as raw float32 outputs of a final layer: raw = atanh(score / scale) - bias, so the
    // tool's post-processing restores them. The half store moves each |score| < 8 by at most 2^-9 and the
    // fast tanh adds about scale * 2^-21, far below the planted margins of 3 nats, so the reads stay exact.
    std::vector<float> bias(cols), raw(rows * cols);
    for (int64_t i = 0; i < cols; ++i) bias[i] = 0.01f * (float)(i % 7) - 0.03f;
    for (int64_t i = 0; i < rows * cols; ++i)
        raw[i] = std::atanh(__half2float(b.scores[i]) / 10) - bias[i % cols];
    r = run_tool({files.npy("f32.npy", "<f4", {rows, cols}, raw), "--chunk-lens", lens, "--bias",
                  files.npy("bias.npy", "<f4", {cols}, bias), "--scale", "10", "--beam-width", "8"});
    ASSERT_EQ(0, r.status) << r.err;
    ASSERT_TRUE(records(r.out, &got));
    EXPECT_EQ(expected_records(b), got);

    // --chunk-len splits the axis evenly, the last chunk taking the remainder. A score beyond the half range
    // leaves its chunk without a finite path: that chunk gets the failure record and the tool counts it.
    const PlantedBatch even = make_planted_batch({50, 50, 20}, 16, 2.0f, 12);
    std::vector<float> with_inf = vyr_test::to_float(even.scores);
    with_inf[60 * cols + 5] = 1e6f;
    r = run_tool(
        {files.npy("inf.npy", "<f4", {rows, cols}, with_inf), "--chunk-len", "50", "--beam-width", "8"});
    ASSERT_EQ(0, r.status) << r.err;
    ASSERT_TRUE(records(r.out, &got));
    std::vector<std::string> expected = expected_records(even);
    expected[1] = "1:A";
    EXPECT_EQ(expected, got);
    EXPECT_NE(std::string::npos, r.err.find("\nvyr-decode: 1 chunk(s) could not be decoded")) << r.err;
    r = run_tool({files.npy("empty.npy", "<f2", {0, cols}, std::vector<__half>{}), "--chunk-len", "50"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.out);
    EXPECT_EQ(0u, r.err.find("vyr-decode: 0 chunks, 0 bases, mean quality -, ")) << r.err;
}

}  // namespace
