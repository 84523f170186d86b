#include "engine/verify_phase.h"

#include <algorithm>

#include "phase_harness.h"

namespace {

struct VerifyCase {
    const char* name;
    uint64_t file_bytes;  // the pattern on disk, all of it counted as written
    Arrange arrange;
    int passed;
    uint64_t bytes_verified;
    uint64_t verification_errors;
    uint64_t mismatch_blocks;
    int verify_failed;
    int user_stopped;
    uint32_t last_error;
    int frames;
    std::vector<std::string> log;
    std::string err;
    bool timed = true;  // the file was opened and the buffer obtained
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const VerifyCase& c, std::ostream* os) { *os << c.name; }

const uint64_t kThree = 3ull * kBlock;
const std::string kThreeBlockRow = row("verify,1,0.750000,196608,196608,0.750000", "0.000000,1,0");

void no_alignment(TestConfig& c, TestResults&) { c.alignment_bytes = 0; }

const std::vector<VerifyCase> kCases = {
    {"CleanUnderOneSecond", kThree, nullptr, 1, kThree, 0, 0, 0, 0, 0, 1, {kThreeBlockRow}, ""},
    {"CleanTwoSamples", 8 * kBlock, nullptr, 1, 8 * kBlock, 0, 0, 0, 0, 0, 2,
     {row("verify,1,1.000000,262144,262144,1.000000", "0.000000,1,0"),
      row("verify,2,2.000000,524288,262144,1.000000", "0.000000,1,0")}, ""},
    {"OneChunkWithSeveralBadWordsCountsOnce", kThree,
     [](TestConfig&, TestResults&) { g_fake.corrupt_offsets = {kBlock + 16, kBlock + 17, kBlock + 4000}; },
     0, kThree, 0, 1, 1, 0, 0, 1,
     {"# event=data_mismatch,error_code=23,offset=65552", kThreeBlockRow}, ""},
    {"EveryChunkDiffersAndIsStillReadToTheEnd", kThree,
     [](TestConfig&, TestResults&) { g_fake.corrupt_offsets = {8, 2 * kBlock - 1, 2 * kBlock + 40000}; },
     0, kThree, 0, 3, 1, 0, 0, 1,
     {"# event=data_mismatch,error_code=23,offset=8",
      "# event=data_mismatch,error_code=23,offset=131064",
      "# event=data_mismatch,error_code=23,offset=171072", kThreeBlockRow}, ""},
    // A block of several pieces, differing in three: the lowest difference counts.
    {"PiecesDifferingGiveTheLowestOffset", (3u << 20) + 8192,
     [](TestConfig& c, TestResults&) {
         c.block_size_bytes = (3u << 20) + 8192;
         g_fake.corrupt_offsets = {(3u << 20) + 5, (2u << 20) + 100, (1u << 20) + 9};
     },
     0, (3u << 20) + 8192, 0, 1, 1, 0, 0, 1,
     {"# event=data_mismatch,error_code=23,offset=1048584",
      "verify,1,0.250000,3153920,3153920,0.250000,12.615680,12.615680,12.615680,12.615680,"
      "12.615680,0.000000,1,0"}, ""},
    {"FailedRead", kThree,
     [](TestConfig&, TestResults&) {
         g_fake.fail_read_call = 2;
         g_fake.fail_read_error = 1117;
     },
     0, kBlock, 1, 0, 1, 0, 1117, 0,
     {"# event=read_failed_or_short_read,error_code=1117,offset=65536"},
     "Verification error: [1117] Input/output error\n"},
    // Chunk 2 is compared while chunk 3 is read: its mismatch still comes first.
    {"MismatchThenFailedReadOfTheNextChunk", kThree,
     [](TestConfig&, TestResults&) {
         g_fake.corrupt_offsets = {kBlock + 16};
         g_fake.fail_read_call = 3;
         g_fake.fail_read_error = 1117;
     },
     0, 2 * kBlock, 1, 1, 1, 0, 1117, 0,
     {"# event=data_mismatch,error_code=23,offset=65552",
      "# event=read_failed_or_short_read,error_code=1117,offset=131072"},
     "Verification error: [1117] Input/output error\n"},
    {"ShortRead", kThree,
     [](TestConfig&, TestResults&) {
         g_fake.short_read_call = 2;
         g_fake.short_read_moved = 4096;
     },
     0, kBlock, 1, 0, 1, 0, 30, 0,
     {"# event=read_failed_or_short_read,error_code=30,offset=65536"},
     "Verification error: [30] The system cannot read from the specified device.\n"},
    {"StopEndsAtNextChunkSilently", kThree,
     [](TestConfig&, TestResults&) {
         g_fake.on_read = [](uint64_t n) {
             if (n == 2) g_stop_requested.store(1);
         };
     },
     0, 2 * kBlock, 0, 0, 0, 1, 0, 0, {}, ""},
    {"OpenFails", kThree, [](TestConfig&, TestResults&) { g_fake.open_read_error = 2; },
     0, 0, 1, 0, 1, 0, 2, 0, {"# event=open_verify_failed,error_code=2,offset=0"},
     "Verification error: [2] No such file or directory\n", false},
    {"BufferAllocationFailsWithoutEvent", kThree,
     [](TestConfig&, TestResults&) { g_fake.alloc_pages_error = 8; },
     0, 0, 1, 0, 1, 0, 8, 0, {},
     "Verification error: [8] Not enough memory resources are available to process this "
     "command.\n", false},
    {"SampleCannotBeStored", kThree,
     [](TestConfig&, TestResults&) { g_fake.fail_realloc_calls = {1}; },
     0, kThree, 1, 0, 1, 0, 0, 0, {}, ""},
    {"TailNotAMultipleOfEightMatches", kBlock + 12, no_alignment, 1, kBlock + 12, 0, 0, 0, 0, 0, 1,
     {"verify,1,0.500000,65548,65548,0.500000,0.131096,0.131096,0.131096,0.131096,0.131096,"
      "0.000000,1,0"}, ""},
    {"TailDiffers", kBlock + 12,
     [](TestConfig& c, TestResults& r) {
         no_alignment(c, r);
         g_fake.corrupt_offsets = {kBlock + 10};
     },
     0, kBlock + 12, 0, 1, 1, 0, 0, 1,
     {"# event=data_mismatch,error_code=23,offset=65544",
      "verify,1,0.500000,65548,65548,0.500000,0.131096,0.131096,0.131096,0.131096,0.131096,"
      "0.000000,1,0"}, ""},
    // Segments are read in order; offsets are overall.
    {"SegmentEndsInsideABlock", kThree,
     [](TestConfig& c, TestResults&) { segmented(c, kBlock + kBlock / 2); },
     1, kThree, 0, 0, 0, 0, 0, 1,
     {"verify,1,1.000000,196608,196608,1.000000,0.196608,0.196608,0.196608,0.196608,0.196608,"
      "0.000000,1,0"}, ""},
    {"MismatchInTheSecondSegmentGivesTheOverallOffset", kThree,
     [](TestConfig& c, TestResults&) {
         segmented(c, 2 * kBlock);
         g_fake.corrupt_offsets = {16};  // in every segment, at its own offset 16
     },
     0, kThree, 0, 2, 1, 0, 0, 1,
     {"# event=data_mismatch,error_code=23,offset=16",
      "# event=data_mismatch,error_code=23,offset=131088", kThreeBlockRow}, ""},
    {"SegmentCannotBeOpened", kThree,
     [](TestConfig& c, TestResults&) {
         segmented(c, 2 * kBlock);
         g_fake.open_read_error = 2;
         g_fake.open_read_call = 2;
     },
     0, 2 * kBlock, 1, 0, 1, 0, 2, 0,
     {"# event=open_verify_failed,error_code=2,offset=131072"},
     "Verification error: [2] No such file or directory\n"},
    {"RemainderBelowAlignmentStaysUnverified", kBlock + 100, nullptr,
     0, kBlock, 0, 0, 0, 0, 0, 0, {}, ""},
};

void check(const VerifyCase& c, const RunMode& mode) {
    PhaseHarness h(mode);
    g_fake.files[kTestFile].data = PhaseHarness::pattern_bytes(c.file_bytes);
    h.results.bytes_written = c.file_bytes;
    if (c.arrange) c.arrange(*h.config, h.results);
    if (h.config->segment_bytes) PhaseHarness::split(h.config->segment_bytes);
    g_fake.cursor_visible = 0;  // as the write phase leaves it
    int passed = -1;
    std::vector<std::string> log =
        h.run([&](PhaseObserver* o) { passed = run_verify_phase(h.config.get(), o, &h.results); });
    const TestResults& r = h.results;

    EXPECT_EQ(passed, c.passed);
    EXPECT_EQ(log, c.log);
    EXPECT_EQ(g_fake.err, c.err);
    EXPECT_EQ(r.bytes_verified, c.bytes_verified);
    EXPECT_EQ(r.verification_errors, c.verification_errors);
    EXPECT_EQ(r.verification_mismatch_blocks, c.mismatch_blocks);
    EXPECT_EQ(r.verify_failed, c.verify_failed);
    EXPECT_EQ(r.user_stopped, c.user_stopped);
    EXPECT_EQ(r.last_error, c.last_error);
    EXPECT_EQ(r.read_samples.count, (uint64_t)c.log.size() - std::count_if(
        c.log.begin(), c.log.end(), [](const std::string& l) { return l[0] == '#'; }));
    EXPECT_EQ(PhaseHarness::frames("Phase              : READ-BACK VERIFICATION"), c.frames);
    EXPECT_NEAR(r.verify_elapsed_sec, (double)g_fake.read_calls * g_fake.read_cost, 1e-6);
    EXPECT_EQ(g_fake.clear_calls, c.timed ? 1 : 0);
    EXPECT_EQ(g_fake.cursor_visible, c.err.empty() ? 0 : 1);
    EXPECT_EQ(g_fake.open_files, 0);
    EXPECT_EQ(g_fake.page_buffers, 0);
    EXPECT_EQ(r.bytes_written, c.file_bytes);
    EXPECT_EQ(PhaseHarness::joined(), PhaseHarness::pattern_bytes(c.file_bytes));
    EXPECT_EQ(g_fake.open_read_calls, h.config->segment_bytes ? PhaseHarness::segment_files() : 1u);
    EXPECT_EQ(g_fake.threads_started, c.timed ? mode.helpers : 0);
    EXPECT_EQ(g_fake.threads_running, 0);
    // Reads that are copies alternate between the threads; others stay on the main one.
    EXPECT_EQ(g_fake.reads_elsewhere, mode.turns ? g_fake.read_calls / 2 : 0);
}

class VerifyPhase : public ::testing::TestWithParam<VerifyCase> {};

TEST_P(VerifyPhase, Scenario) {
    for (const RunMode& mode : kRunModes) {
        SCOPED_TRACE(mode.name);
        check(GetParam(), mode);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, VerifyPhase, ::testing::ValuesIn(kCases),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

TEST(VerifyPhaseReads, ChunksAreWholeBlocksReadInOrderFromOffsetZero) {
    for (const RunMode& mode : kRunModes) {
        SCOPED_TRACE(mode.name);
        PhaseHarness h(mode);
        std::vector<uint8_t> data = PhaseHarness::pattern_bytes(2 * kBlock + kAlign);
        g_fake.files[kTestFile].data = data;
        h.results.bytes_written = data.size();
        // A copy displaced by one word must be found at the chunk's first word.
        g_fake.files[kTestFile].data.erase(g_fake.files[kTestFile].data.begin() + kBlock,
                                           g_fake.files[kTestFile].data.begin() + kBlock + 8);
        g_fake.files[kTestFile].data.resize(data.size());
        std::vector<std::string> log =
            h.run([&](PhaseObserver* o) { run_verify_phase(h.config.get(), o, &h.results); });
        EXPECT_EQ(g_fake.read_calls, 3u);
        EXPECT_EQ(h.results.verification_mismatch_blocks, 2u);
        ASSERT_GE(log.size(), 2u);
        EXPECT_EQ(log[0], "# event=data_mismatch,error_code=23,offset=65536");
        EXPECT_EQ(log[1], "# event=data_mismatch,error_code=23,offset=131072");
        // The differing chunks are classified, the matching one costs nothing.
        const DamageMap& d = h.results.damage;
        EXPECT_EQ(d.kind_bytes[SECTOR_INTACT], 0u);
        EXPECT_EQ(d.kind_bytes[SECTOR_MISPLACED], kBlock + kAlign);
        ASSERT_EQ(d.region_count, 1u);
        EXPECT_EQ(d.regions[0].start, kBlock);
        EXPECT_EQ(d.regions[0].source_start, kBlock + 8);
    }
}

}  // namespace
