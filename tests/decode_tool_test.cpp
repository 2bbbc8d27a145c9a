// The decode tool: .npy input checks, FASTQ output, planted reads and the whole tool run in-process.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "decode_tool.h"
#include "harness.h"
#include "npy.h"
#include "reads.h"

namespace {

using namespace vyr_tool;

// ---- A strict FASTQ reader, written independently of the tool's writer ---------------------------------

struct FastqRecord {
    std::string name, bases, quals;
};

// Four lines per record ("@name", bases from ACGT, "+" or "+name", qualities), each ending in '\n', qualities
// as long as the bases and in the decoder's Phred+33 range: '"' (34) to 'S' (83), or the failure record
// "A" with quality "!".
::testing::AssertionResult parse_fastq(const std::string& text, std::vector<FastqRecord>* records) {
    records->clear();
    if (!text.empty() && text.back() != '\n') return ::testing::AssertionFailure() << "no final newline";
    std::vector<std::string> lines;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    if (lines.size() % 4) return ::testing::AssertionFailure() << lines.size() << " lines, not 4 per record";
    for (size_t i = 0; i < lines.size(); i += 4) {
        FastqRecord r{lines[i].substr(lines[i].empty() ? 0 : 1), lines[i + 1], lines[i + 3]};
        auto fail = [&](const char* what) {
            return ::testing::AssertionFailure() << "record " << i / 4 << ": " << what;
        };
        if (lines[i].size() < 2 || lines[i][0] != '@' || r.name.find_first_of(" \t\r") != std::string::npos)
            return fail("bad header line");
        if (r.bases.find_first_not_of("ACGT") != std::string::npos) return fail("bases outside ACGT");
        if (lines[i + 2] != "+" && lines[i + 2] != "+" + r.name) return fail("bad separator line");
        if (r.quals.size() != r.bases.size()) return fail("quality and sequence lengths differ");
        const bool failure_record = r.bases == "A" && r.quals == "!";
        for (char q : r.quals)
            if (!failure_record && (q < 34 || q > 83)) return fail("quality outside '\"' to 'S'");
        records->push_back(r);
    }
    return ::testing::AssertionSuccess();
}

// ---- Helpers ---------------------------------------------------------------------------------------------

// Files a test writes into the temporary directory; removed when the test ends.
class TempFiles {
  public:
    ~TempFiles() {
        for (const std::string& p : paths_) std::remove(p.c_str());
    }
    std::string path(const std::string& name) {
        paths_.push_back(::testing::TempDir() + "vyr_decode_tool_" + std::to_string(::getpid()) + "_" + name);
        return paths_.back();
    }
    template <class T>
    std::string npy(const std::string& name, const std::string& descr, const std::vector<int64_t>& shape,
                    const std::vector<T>& data) {
        const std::string p = path(name);
        EXPECT_EQ("", write_file(p, make_npy(descr, shape, data.data(), data.size() * sizeof(T))));
        return p;
    }

  private:
    std::vector<std::string> paths_;
};

std::string read_all(FILE* f) {
    std::string s;
    std::rewind(f);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) s.append(buf, n);
    std::fclose(f);
    return s;
}

struct ToolRun {
    int status;
    std::string out, err;
};

ToolRun run_tool(const std::vector<std::string>& args) {
    std::vector<std::string> storage{"vyr-decode"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : storage) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    const int status = run_decode_tool(static_cast<int>(storage.size()), argv.data(), out, err);
    return {status, read_all(out), read_all(err)};
}

std::vector<std::string> names_and_bases(const std::vector<FastqRecord>& records) {
    std::vector<std::string> v;
    for (const FastqRecord& r : records) v.push_back(r.name + ":" + r.bases);
    return v;
}

std::vector<std::string> expected_records(const PlantedBatch& b) {
    std::vector<std::string> v;
    for (size_t c = 0; c < b.reads.size(); ++c) v.push_back(std::to_string(c) + ":" + b.reads[c]);
    return v;
}

// ---- .npy input ------------------------------------------------------------------------------------------

TEST(DecodeToolNpy, ReadsDtypesByteOrdersAndVersions) {
    const std::vector<float> values = {1.5f, -2.25f, 1e-3f, 65504.0f, 7.0f, -0.0f};
    const std::vector<__half> halves = vyr_test::to_half(values);
    // Conversions to half are exact here or rounded to nearest even, so the expected halves are the
    // round-trip of each float through __float2half_rn.
    std::vector<__half> got;
    int64_t rows = 0;
    int cols = 0;
    NpyArray a;

    std::vector<unsigned char> f16 = make_npy("<f2", {2, 3}, halves.data(), 12);
    ASSERT_EQ("", parse_npy(f16.data(), f16.size(), &a));
    ASSERT_EQ("", npy_to_scores(a, &got, &rows, &cols));
    EXPECT_EQ(2, rows);
    EXPECT_EQ(3, cols);
    EXPECT_TRUE(vyr_test::all_equal(vyr_test::to_float(got), vyr_test::round_to_half(values)));

    // Big-endian float32 in a version 2.0 header (4-byte header length).
    std::vector<unsigned char> swapped(24);
    for (int i = 0; i < 6; ++i)
        for (int k = 0; k < 4; ++k)
            swapped[4 * i + k] = reinterpret_cast<const unsigned char*>(&values[i])[3 - k];
    std::vector<unsigned char> v1 = make_npy(">f4", {3, 2}, swapped.data(), swapped.size());
    std::vector<unsigned char> v2(v1.begin(), v1.begin() + 8);
    v2[6] = 2;
    const uint32_t header_len = v1[8] | (v1[9] << 8);
    for (int k = 0; k < 4; ++k) v2.push_back((header_len >> (8 * k)) & 0xff);
    v2.insert(v2.end(), v1.begin() + 10, v1.end());
    ASSERT_EQ("", parse_npy(v2.data(), v2.size(), &a));
    ASSERT_EQ("", npy_to_scores(a, &got, &rows, &cols));
    EXPECT_EQ(3, rows);
    EXPECT_TRUE(vyr_test::all_equal(vyr_test::to_float(got), vyr_test::round_to_half(values)));

    std::vector<int> lengths;
    const std::vector<int64_t> i64 = {0, 5, 2147483647};
    std::vector<unsigned char> li = make_npy("<i8", {3}, i64.data(), 24);
    ASSERT_EQ("", parse_npy(li.data(), li.size(), &a));
    ASSERT_EQ("", npy_to_lengths(a, &lengths));
    EXPECT_EQ((std::vector<int>{0, 5, 2147483647}), lengths);
    const std::vector<uint8_t> u8 = {200, 3};
    std::vector<unsigned char> lu = make_npy("|u1", {2}, u8.data(), 2);
    ASSERT_EQ("", parse_npy(lu.data(), lu.size(), &a));
    ASSERT_EQ("", npy_to_lengths(a, &lengths));
    EXPECT_EQ((std::vector<int>{200, 3}), lengths);
}

TEST(DecodeToolNpy, RejectsMalformedImages) {
    const std::vector<float> data(8, 1.0f);
    const std::vector<unsigned char> good = make_npy("<f4", {2, 4}, data.data(), 32);
    auto with_header = [&](const std::string& dict) {
        std::vector<unsigned char> b = make_npy("<f4", {2, 4}, data.data(), 32);
        const size_t len = b[8] | (b[9] << 8);
        std::string h = dict;
        h.resize(len - 1, ' ');
        h += '\n';
        std::copy(h.begin(), h.end(), b.begin() + 10);
        return b;
    };
    struct Case {
        const char* name;
        std::vector<unsigned char> bytes;
        const char* message;
    };
    std::vector<Case> cases = {
        {"empty", {}, "bad magic"},
        {"magic", std::vector<unsigned char>(good.begin() + 1, good.end()), "bad magic"},
        {"header past end", std::vector<unsigned char>(good.begin(), good.begin() + 40), "truncated"},
        {"data short", std::vector<unsigned char>(good.begin(), good.end() - 1), "needs 32 data bytes"},
        {"data long", good, "needs 32 data bytes"},
        {"fortran", with_header("{'descr': '<f4', 'fortran_order': True, 'shape': (2, 4), }"), "Fortran"},
        {"complex", with_header("{'descr': '<c8', 'fortran_order': False, 'shape': (2, 4), }"), "dtype"},
        {"structured", with_header("{'descr': [('a', '<f4')], 'fortran_order': False, 'shape': (2,), }"),
         "dtype"},
        {"no shape", with_header("{'descr': '<f4', 'fortran_order': False, }"), "lacks"},
        {"negative dim", with_header("{'descr': '<f4', 'fortran_order': False, 'shape': (-2, 4), }"),
         "non-negative"},
        {"huge shape",
         with_header("{'descr': '<f4', 'fortran_order': False, 'shape': (4294967296, 4294967296), }"),
         "too large"},
        {"unclosed", with_header("{'descr': '<f4', 'fortran_order': False, 'shape': (2, 4"), "malformed"},
        {"bad version", good, "version"},
    };
    cases[4].bytes.push_back(0);
    cases.back().bytes[6] = 9;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NpyArray a;
        const std::string e = parse_npy(c.bytes.data(), c.bytes.size(), &a);
        EXPECT_NE(std::string::npos, e.find(c.message)) << "got: " << e;
        EXPECT_EQ(std::string::npos, e.find('\n'));
    }
}

// ---- FASTQ, identity and planted reads --------------------------------------------------------------

TEST(DecodeToolReads, FastqRecordsAndTheStrictReader) {
    FILE* f = std::tmpfile();
    write_fastq_record(f, 0, "ACGTTx", "S\"$'5x", 5);
    write_fastq_record(f, 12, "", "", 0);
    write_fastq_record(f, 3, "A", "!", 1);
    std::vector<FastqRecord> records;
    ASSERT_TRUE(parse_fastq(read_all(f), &records));
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ("0", records[0].name);
    EXPECT_EQ("ACGTT", records[0].bases);
    EXPECT_EQ("S\"$'5", records[0].quals);
    EXPECT_EQ("12", records[1].name);

    // The reader must itself be strict, or the end-to-end checks below would prove nothing.
    const char* bad[] = {"@0\nAC\n+\nSS",       "@0\nAC\n+\nS\n",  "@0\nAN\n+\nSS\n",  "0\nAC\n+\nSS\n",
                         "@0\nAC\n-\nSS\n",     "@0\nAC\n+\nS!\n", "@0\nAC\n+\nST\n",  "@0\nAC\n+1\nSS\n",
                         "@0\nAC\n+\nSS\n@1\n", "@\nAC\n+\nSS\n",  "@0\nAC\r\n+\nSS\n"};
    for (const char* text : bad) EXPECT_FALSE(parse_fastq(text, &records)) << text;
}

TEST(DecodeToolReads, IdentityCountsAlignmentColumns) {
    EXPECT_EQ(1.0, read_identity("", ""));
    EXPECT_EQ(0.0, read_identity("", "ACGT"));
    EXPECT_EQ(1.0, read_identity("ACGTACGTAC", "ACGTACGTAC"));
    EXPECT_EQ(0.9, read_identity("ACGTTCGTAC", "ACGTACGTAC"));           // one substitution in ten columns
    EXPECT_EQ(10.0 / 11.0, read_identity("ACGTACGTAC", "ACGTAACGTAC"));  // one deletion: eleven columns
}

TEST(DecodeToolReads, PlantedReadsFollowTheirMoves) {
    const PlantedBatch b = make_planted_batch({40, 1, 0, 25}, 64, 2.0f, 5);
    ASSERT_EQ(66u * 256u, b.scores.size());
    for (size_t c = 0; c < b.reads.size(); ++c) {
        EXPECT_EQ(static_cast<size_t>(b.lengths[c]), b.moves[c].size());
        EXPECT_EQ(std::count(b.moves[c].begin(), b.moves[c].end(), '1'),
                  static_cast<long>(b.reads[c].size()));
        if (b.lengths[c]) EXPECT_EQ('1', b.moves[c][0]);
    }
    // The same seed gives the same batch, so a failing tool run can be reproduced from its arguments.
    EXPECT_EQ(b.reads, make_planted_batch({40, 1, 0, 25}, 64, 2.0f, 5).reads);
}

// ---- The tool
// ----------------------------------------------------------------------------------------------

TEST(DecodeToolCli, BadArgumentsAndFilesGiveOneErrorLine) {
    TempFiles files;
    const std::vector<float> scores64(10 * 64, 0.5f), scores100(10 * 100, 0.5f);
    const std::string good = files.npy("good.npy", "<f4", {10, 64}, scores64);
    const std::string cols100 = files.npy("cols100.npy", "<f4", {10, 100}, scores100);
    const std::string ints = files.npy("ints.npy", "<i4", {10, 64}, std::vector<int32_t>(640, 1));
    const std::string three_d = files.npy("3d.npy", "<f4", {2, 5, 64}, scores64);
    const std::string len_sum = files.npy("len_sum.npy", "<i8", {2}, std::vector<int64_t>{4, 5});
    const std::string len_neg = files.npy("len_neg.npy", "<i4", {2}, std::vector<int32_t>{12, -2});
    const std::string len_float = files.npy("len_float.npy", "<f4", {2}, std::vector<float>{5, 5});
    const std::string bias_short = files.npy("bias_short.npy", "<f4", {63}, std::vector<float>(63, 0.0f));
    std::vector<unsigned char> truncated = make_npy("<f4", {10, 64}, scores64.data(), 640 * 4);
    truncated.resize(truncated.size() - 100);
    const std::string cut = files.path("cut.npy");
    ASSERT_EQ("", write_file(cut, truncated));
    const std::string not_npy = files.path("text.npy");
    ASSERT_EQ("", write_file(not_npy, {'h', 'e', 'l', 'l', 'o', '\n'}));

    const std::vector<std::vector<std::string>> cases = {
        {},
        {files.path("missing.npy")},
        {not_npy},
        {cut},
        {cols100},
        {ints},
        {three_d},
        {good, "--chunk-lens", len_sum},
        {good, "--chunk-lens", len_neg},
        {good, "--chunk-lens", len_float},
        {good, "--chunk-lens", len_sum, "--chunk-len", "5"},
        {good, "--bias", bias_short},
        {good, good},
        {good, "--frobnicate", "1"},
        {good, "--beam-width", "0"},
        {good, "--beam-cut", "nan"},
        {good, "--clamp", "-1"},
        {good, "--chunk-len", "0"},
        {good, "--beam-width"},
        {"--synthetic", "4", "--states", "100"},
        {"--synthetic", "4", good},
        {"--synthetic", "4", "--bias", good},
        {"--synthetic", "1048576", "--chunk-len", "100000"},
        {good, "-o", files.path("no/such/dir.fastq")},
    };
    for (const auto& args : cases) {
        std::string joined;
        for (const std::string& a : args) joined += a + " ";
        SCOPED_TRACE(joined);
        const ToolRun r = run_tool(args);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("", r.out);
        EXPECT_EQ(0u, r.err.rfind("vyr-decode: ", 0)) << r.err;
        EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
    }
}

// Every end-to-end run decodes planted reads, whose best path beats any other by several nats per
// timestep (reads.cpp), so the decoded bases must equal the planted ones exactly.
TEST(DecodeToolCli, SyntheticReadsComeBackExactly) {
    const ToolRun r = run_tool({"--synthetic", "6", "--chunk-len", "48", "--states", "64", "--seed", "3"});
    ASSERT_EQ(0, r.status) << r.err;
    std::vector<FastqRecord> records;
    ASSERT_TRUE(parse_fastq(r.out, &records));
    std::vector<int> lengths(6, 48);
    EXPECT_EQ(expected_records(make_planted_batch(lengths, 64, 2.0f, 3)), names_and_bases(records));
    EXPECT_NE(std::string::npos, r.err.find("vyr-decode: 6 chunks, ")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("timesteps/s\n")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("mean 100.00%, min 100.00%, 6 of 6 exact")) << r.err;
}

TEST(DecodeToolCli, ScoreFilesInBatchesAndWithPostProcessing) {
    TempFiles files;
    // Unequal chunks, an empty one and a one-timestep one, decoded two chunks per device batch.
    const std::vector<int> lengths = {37, 1, 0, 60, 22};
    const PlantedBatch b = make_planted_batch(lengths, 16, 2.0f, 11);
    const int64_t rows = 120, cols = 64;
    const std::string f16 = files.npy("planted16.npy", "<f2", {rows, cols}, b.scores);
    const std::string lens =
        files.npy("lengths.npy", "<i8", {5}, std::vector<int64_t>(lengths.begin(), lengths.end()));
    const std::string fastq = files.path("planted.fastq");
    ToolRun r = run_tool({f16, "--chunk-lens", lens, "--batch", "2", "--beam-width", "8", "-o", fastq});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.out);
    std::vector<FastqRecord> records;
    ASSERT_TRUE(parse_fastq(read_all(std::fopen(fastq.c_str(), "r")), &records));
    EXPECT_EQ(expected_records(b), names_and_bases(records));
    EXPECT_NE(std::string::npos, r.err.find("vyr-decode: 5 chunks, ")) << r.err;

    // The same scores as raw float32 outputs of a final layer: raw = atanh(score / scale) - bias, so the
    // tool's post-processing restores them. The half store moves each |score| < 8 by at most 2^-9 and the
    // fast tanh adds about scale * 2^-21, far below the planted margins of 3 nats, so the reads stay exact.
    const float scale = 10.0f;
    std::vector<float> bias(cols), raw(rows * cols);
    for (int64_t i = 0; i < cols; ++i) bias[i] = 0.01f * static_cast<float>(i % 7) - 0.03f;
    for (int64_t i = 0; i < rows * cols; ++i)
        raw[i] = std::atanh(__half2float(b.scores[i]) / scale) - bias[i % cols];
    const std::string f32 = files.npy("planted32.npy", "<f4", {rows, cols}, raw);
    const std::string bias_file = files.npy("bias.npy", "<f4", {cols}, bias);
    r = run_tool({f32, "--chunk-lens", lens, "--bias", bias_file, "--scale", "10", "--beam-width", "8"});
    ASSERT_EQ(0, r.status) << r.err;
    ASSERT_TRUE(parse_fastq(r.out, &records));
    EXPECT_EQ(expected_records(b), names_and_bases(records));

    // --chunk-len splits the axis evenly, the last chunk taking the remainder: 50, 50, 20 timesteps.
    const PlantedBatch even = make_planted_batch({50, 50, 20}, 16, 2.0f, 12);
    const std::string evenf = files.npy("even.npy", "<f2", {rows, cols}, even.scores);
    r = run_tool({evenf, "--chunk-len", "50", "--beam-width", "8"});
    ASSERT_EQ(0, r.status) << r.err;
    ASSERT_TRUE(parse_fastq(r.out, &records));
    EXPECT_EQ(expected_records(even), names_and_bases(records));

    // An infinite score (float32 beyond the half range) leaves the beam search without a finite path: that
    // chunk gets the failure record, its neighbour decodes normally, and the tool says how many failed.
    std::vector<float> with_inf(rows * cols);
    for (int64_t i = 0; i < rows * cols; ++i) with_inf[i] = __half2float(even.scores[i]);
    with_inf[60 * cols + 5] = 1e6f;
    r = run_tool(
        {files.npy("inf.npy", "<f4", {rows, cols}, with_inf), "--chunk-len", "50", "--beam-width", "8"});
    ASSERT_EQ(0, r.status) << r.err;
    ASSERT_TRUE(parse_fastq(r.out, &records));
    std::vector<std::string> expected = expected_records(even);
    expected[1] = "1:A";
    EXPECT_EQ(expected, names_and_bases(records));
    EXPECT_EQ("!", records[1].quals);
    EXPECT_NE(std::string::npos, r.err.find("\nvyr-decode: 1 chunk(s) could not be decoded")) << r.err;

    // No timesteps at all: no records, and a summary that divides by nothing.
    r = run_tool({files.npy("empty.npy", "<f2", {0, cols}, std::vector<__half>{}), "--chunk-len", "50"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.out);
    EXPECT_EQ(0u, r.err.find("vyr-decode: 0 chunks, 0 bases, mean quality -, ")) << r.err;
}

}  // namespace
