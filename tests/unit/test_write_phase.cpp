#include "engine/write_phase.h"

#include "phase_harness.h"

namespace {

struct WriteCase {
    const char* name;
    Arrange arrange;
    uint64_t bytes_written;
    uint64_t write_errors;
    int user_stopped;
    int write_failed;
    uint32_t last_error;
    uint64_t samples;
    int frames;
    std::vector<std::string> log;
    std::string err;
    bool opened = true;  // the file was created and the buffer obtained
    uint32_t segments = 0;  // files of a segmented test
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.name; }

const uint64_t kEight = 8ull * kBlock;

void target(TestConfig& c, uint64_t bytes) { c.target_bytes = bytes; }

void stop_at_write(uint64_t call) {
    g_fake.on_write = [call](uint64_t n) {
        if (n == call) g_stop_requested.store(1);
    };
}

const std::string kNoSpace = "Write test error: [112] No space left on device\n";
const std::string kNoMemory =
    "Write test error: [8] Not enough memory resources are available to process this command.\n";

const std::vector<WriteCase> kCases = {
    {"TargetZero", [](TestConfig& c, TestResults&) { target(c, 0); },
     0, 0, 0, 0, 0, 0, 0, {}, ""},
    {"UnderOneSecondGivesOneSample", [](TestConfig& c, TestResults&) { target(c, 3 * kBlock); },
     3 * kBlock, 0, 0, 0, 0, 1, 1,
     {row("write,1,0.750000,196608,196608,0.750000", "0.000000,1,0")}, ""},
    {"ThresholdColumns",
     [](TestConfig& c, TestResults&) {
         target(c, 3 * kBlock);
         c.minimum_required_mbps = 0.3;
     },
     3 * kBlock, 0, 0, 0, 0, 1, 1,
     {row("write,1,0.750000,196608,196608,0.750000", "0.300000,0,0")}, ""},
    {"SampleClosesAtExactlyOneSecond", [](TestConfig& c, TestResults&) { target(c, kEight); },
     kEight, 0, 0, 0, 0, 2, 2,
     {row("write,1,1.000000,262144,262144,1.000000", "0.000000,1,0"),
      row("write,2,2.000000,524288,262144,1.000000", "0.000000,1,0")}, ""},
    {"SampleStaysOpenAt0999",
     [](TestConfig& c, TestResults&) {
         target(c, kEight);
         g_fake.write_cost = 0.24975;
     },
     kEight, 0, 0, 0, 0, 2, 2,
     {"write,1,1.248750,327680,327680,1.248750,0.262406,0.262406,0.262406,0.262406,0.262406,"
      "0.000000,1,0",
      "write,2,1.998000,524288,196608,0.749250,0.262406,0.262406,0.262406,0.262406,0.262406,"
      "0.000000,1,0"}, ""},
    {"StopBeforeFirstBlock",
     [](TestConfig& c, TestResults&) {
         target(c, kEight);
         g_stop_requested.store(1);
     },
     0, 0, 1, 0, 0, 0, 0, {}, ""},
    {"StopMidSampleLogsPartialRowWithoutRedraw",
     [](TestConfig& c, TestResults&) {
         target(c, kEight);
         stop_at_write(2);
     },
     2 * kBlock, 0, 1, 0, 0, 1, 0,
     {row("write,1,0.500000,131072,131072,0.500000", "0.000000,1,0")}, ""},
    {"DurationLimitEventBeforePartialRow",
     [](TestConfig& c, TestResults&) {
         target(c, kEight);
         c.duration_limit_s = 1.1;
     },
     5 * kBlock, 0, 1, 0, 0, 2, 1,
     {row("write,1,1.000000,262144,262144,1.000000", "0.000000,1,0"),
      "# event=duration_limit_reached,error_code=0,offset=327680",
      row("write,2,1.250000,327680,65536,0.250000", "0.000000,1,0")}, ""},
    // The rest of the block, written again, goes through: space was left, so the
    // short write stays the fault; both calls count their bytes and time.
    {"ShortWriteCountsItsBytesAndTime",
     [](TestConfig& c, TestResults&) {
         target(c, kEight);
         g_fake.short_write_call = 3;
         g_fake.short_write_moved = 4096;
     },
     3 * kBlock, 1, 0, 1, 29, 1, 0,
     {"# event=write_failed_or_short_write,error_code=29,offset=196608",
      "write,1,0.500000,196608,196608,1.000000,0.196608,0.196608,0.196608,0.196608,0.196608,"
      "0.000000,1,1"},
     "Write test error: [29] The system cannot write to the specified device.\n"},
    {"ShortWriteOnAFullVolumeIs112",
     [](TestConfig& c, TestResults&) {
         target(c, kEight);
         g_fake.short_write_call = 3;
         g_fake.short_write_moved = 4096;
         g_fake.fail_write_call = 4;
         g_fake.fail_write_error = 112;
     },
     2 * kBlock + 4096, 1, 0, 1, 112, 1, 0,
     {"# event=write_failed_or_short_write,error_code=112,offset=135168",
      "write,1,0.500000,135168,135168,1.000000,0.135168,0.135168,0.135168,0.135168,0.135168,"
      "0.000000,1,1"},
     kNoSpace},
    {"ShortWriteEndingUnalignedIsNotWrittenAgain",
     [](TestConfig& c, TestResults&) {
         target(c, kEight);
         g_fake.short_write_call = 3;
         g_fake.short_write_moved = 1000;
     },
     2 * kBlock + 1000, 1, 0, 1, 29, 1, 0,
     {"# event=write_failed_or_short_write,error_code=29,offset=132072",
      "write,1,0.500000,132072,132072,0.750000,0.176096,0.176096,0.176096,0.176096,0.176096,"
      "0.000000,1,1"},
     "Write test error: [29] The system cannot write to the specified device.\n"},
    {"FailedWriteKeepsBytesWritten",
     [](TestConfig& c, TestResults&) {
         target(c, kEight);
         g_fake.fail_write_call = 3;
         g_fake.fail_write_error = 112;
     },
     2 * kBlock, 1, 0, 1, 112, 1, 0,
     {"# event=write_failed_or_short_write,error_code=112,offset=131072",
      "write,1,0.500000,131072,131072,0.750000,0.174763,0.174763,0.174763,0.174763,0.174763,"
      "0.000000,1,1"},
     kNoSpace},
    {"FailedWriteCountsTheBytesItMoved",
     [](TestConfig& c, TestResults&) {
         target(c, kEight);
         g_fake.fail_write_call = 5;
         g_fake.fail_write_error = 112;
         g_fake.fail_write_moved = 8192;
     },
     4 * kBlock + 8192, 1, 0, 1, 112, 2, 1,
     {row("write,1,1.000000,262144,262144,1.000000", "0.000000,1,0"),
      "# event=write_failed_or_short_write,error_code=112,offset=270336",
      "write,2,1.000000,270336,8192,0.250000,0.032768,0.147456,0.032768,0.147456,0.262144,"
      "0.000000,1,1"},
     kNoSpace},
    {"FailedWriteRightAfterASampleLeavesNoPartialRow",
     [](TestConfig& c, TestResults&) {
         target(c, kEight);
         g_fake.fail_write_call = 5;
         g_fake.fail_write_error = 112;
     },
     4 * kBlock, 1, 0, 1, 112, 1, 1,
     {row("write,1,1.000000,262144,262144,1.000000", "0.000000,1,0"),
      "# event=write_failed_or_short_write,error_code=112,offset=262144"},
     kNoSpace},
    {"OpenFails",
     [](TestConfig& c, TestResults&) {
         target(c, kEight);
         g_fake.open_write_error = 5;
     },
     0, 1, 0, 1, 5, 0, 0, {"# event=open_write_failed,error_code=5,offset=0"},
     "Write test error: [5] Permission denied\n", false},
    {"BufferAllocationFails",
     [](TestConfig& c, TestResults&) {
         target(c, kEight);
         g_fake.alloc_pages_error = 8;
     },
     0, 1, 0, 1, 8, 0, 0, {"# event=buffer_allocation_failed,error_code=8,offset=0"}, kNoMemory,
     false},
    {"FlushFailsAfterThePartialRow",
     [](TestConfig& c, TestResults&) {
         target(c, kEight);
         stop_at_write(2);
         g_fake.flush_error = 1117;
     },
     2 * kBlock, 1, 1, 1, 1117, 1, 0,
     {row("write,1,0.500000,131072,131072,0.500000", "0.000000,1,0"),
      "# event=flush_failed,error_code=1117,offset=131072"},
     "Write test error: [1117] Input/output error\n"},
    {"SampleGrowthFailsThenSucceedsInClosing",
     [](TestConfig& c, TestResults&) {
         target(c, kEight);
         g_fake.fail_realloc_calls = {1};
     },
     4 * kBlock, 1, 0, 1, 8, 1, 0,
     {"# event=statistics_allocation_failed,error_code=8,offset=262144",
      row("write,1,1.000000,262144,262144,1.000000", "0.000000,1,1")},
     kNoMemory},
    {"SampleGrowthFailsTwice",
     [](TestConfig& c, TestResults&) {
         target(c, kEight);
         g_fake.fail_realloc_calls = {1, 2};
     },
     4 * kBlock, 1, 0, 1, 8, 0, 0,
     {"# event=statistics_allocation_failed,error_code=8,offset=262144"}, kNoMemory},
    // Segments: the pattern runs on over NAME, NAME.001, ...; offsets are overall.
    {"SegmentEndsInsideABlock",
     [](TestConfig& c, TestResults&) {
         target(c, 3 * kBlock);
         segmented(c, kBlock + kBlock / 2);
     },
     3 * kBlock, 0, 0, 0, 0, 1, 1,
     {"write,1,1.000000,196608,196608,1.000000,0.196608,0.196608,0.196608,0.196608,0.196608,"
      "0.000000,1,0"}, "", true, 2},
    {"SegmentEndsWithABlock",
     [](TestConfig& c, TestResults&) {
         target(c, 5 * kBlock);
         segmented(c, 2 * kBlock);
     },
     5 * kBlock, 0, 0, 0, 0, 2, 2,
     {row("write,1,1.000000,262144,262144,1.000000", "0.000000,1,0"),
      row("write,2,1.250000,327680,65536,0.250000", "0.000000,1,0")}, "", true, 3},
    {"SegmentCannotBeCreated",
     [](TestConfig& c, TestResults&) {
         target(c, 5 * kBlock);
         segmented(c, 2 * kBlock);
         g_fake.open_write_error = 5;
         g_fake.open_write_call = 2;
     },
     2 * kBlock, 1, 0, 1, 5, 1, 0,
     {"# event=open_write_failed,error_code=5,offset=131072",
      row("write,1,0.500000,131072,131072,0.500000", "0.000000,1,1")},
     "Write test error: [5] Permission denied\n", true, 1},
    {"FailedWriteInASegmentGivesTheOverallOffset",
     [](TestConfig& c, TestResults&) {
         target(c, 5 * kBlock);
         segmented(c, 2 * kBlock);
         g_fake.fail_write_call = 4;
         g_fake.fail_write_error = 112;
         g_fake.fail_write_moved = 8192;
     },
     3 * kBlock + 8192, 1, 0, 1, 112, 1, 0,
     {"# event=write_failed_or_short_write,error_code=112,offset=204800",
      "write,1,0.750000,204800,204800,1.000000,0.204800,0.204800,0.204800,0.204800,0.204800,"
      "0.000000,1,1"},
     kNoSpace, true, 2},
    {"StopInTheSecondSegmentKeepsBothFlushed",
     [](TestConfig& c, TestResults&) {
         target(c, 5 * kBlock);
         segmented(c, 2 * kBlock);
         stop_at_write(3);
     },
     3 * kBlock, 0, 1, 0, 0, 1, 0,
     {row("write,1,0.750000,196608,196608,0.750000", "0.000000,1,0")}, "", true, 2},
    {"SegmentsOfAnEarlierRunAreRemovedOnFat",
     [](TestConfig& c, TestResults&) {
         target(c, 2 * kBlock);
         wcscpy(c.filesystem, L"FAT32");
         g_fake.files[PhaseHarness::segment(1)].data.assign(kBlock, 0xEE);
         g_fake.files[PhaseHarness::segment(2)].data.assign(kBlock, 0xEE);
     },
     2 * kBlock, 0, 0, 0, 0, 1, 1,
     {row("write,1,0.500000,131072,131072,0.500000", "0.000000,1,0")}, ""},
    // A volume not known as FAT refuses the file's size: the test goes on in NAME.001.
    {"FileSizeLimitStartsTheNextSegment",
     [](TestConfig& c, TestResults&) {
         target(c, 5 * kBlock);
         g_fake.fail_write_call = 3;
         g_fake.fail_write_error = 223;
     },
     5 * kBlock, 0, 0, 0, 0, 2, 2,
     {"# event=file_size_limit_reached,error_code=223,offset=131072",
      "write,1,1.000000,196608,196608,0.750000,0.262144,0.262144,0.262144,0.262144,0.262144,"
      "0.000000,1,0",
      row("write,2,1.500000,327680,131072,0.500000", "0.000000,1,0")}, "", true, 3},
    {"FileSizeLimitWithAFileInTheWayFails",
     [](TestConfig& c, TestResults&) {
         target(c, 5 * kBlock);
         g_fake.fail_write_call = 3;
         g_fake.fail_write_error = 223;
         g_fake.files[PhaseHarness::segment(2)].data.assign(kBlock, 0xEE);
     },
     2 * kBlock, 1, 0, 1, 223, 1, 0,
     {"# event=write_failed_or_short_write,error_code=223,offset=131072",
      "write,1,0.500000,131072,131072,0.750000,0.174763,0.174763,0.174763,0.174763,0.174763,"
      "0.000000,1,1"},
     "Write test error: [223] File too large\n"},
    // A size that is no multiple of the block: the last block is shorter, and
    // one filled ahead of a limit is dropped, never written.
    {"UnevenSizeEndsWithAShortBlock",
     [](TestConfig& c, TestResults&) { target(c, 5 * kBlock + 3 * kAlign); },
     5 * kBlock + 3 * kAlign, 0, 0, 0, 0, 2, 2,
     {row("write,1,1.000000,262144,262144,1.000000", "0.000000,1,0"),
      "write,2,1.500000,339968,77824,0.500000,0.155648,0.208896,0.155648,0.208896,0.262144,"
      "0.000000,1,0"}, ""},
    {"UnevenSizeDurationLimitDropsTheShortBlockFilledAhead",
     [](TestConfig& c, TestResults&) {
         target(c, 5 * kBlock + 3 * kAlign);
         c.duration_limit_s = 1.1;
     },
     5 * kBlock, 0, 1, 0, 0, 2, 1,
     {row("write,1,1.000000,262144,262144,1.000000", "0.000000,1,0"),
      "# event=duration_limit_reached,error_code=0,offset=327680",
      row("write,2,1.250000,327680,65536,0.250000", "0.000000,1,0")}, ""},
    {"RemainderBelowAlignmentIsLeftUnwritten",
     [](TestConfig& c, TestResults&) { target(c, kBlock + 100); },
     kBlock, 0, 0, 0, 0, 1, 0,
     {row("write,1,0.250000,65536,65536,0.250000", "0.000000,1,0")}, ""},
};

void check(const WriteCase& c, const RunMode& mode) {
    PhaseHarness h(mode);
    c.arrange(*h.config, h.results);
    std::vector<std::string> log =
        h.run([&](PhaseObserver* o) { run_write_phase(h.config.get(), o, &h.results); });
    const TestResults& r = h.results;

    EXPECT_EQ(log, c.log);
    EXPECT_EQ(g_fake.err, c.err);
    EXPECT_EQ(r.bytes_written, c.bytes_written);
    EXPECT_EQ(r.write_errors, c.write_errors);
    EXPECT_EQ(r.user_stopped, c.user_stopped);
    EXPECT_EQ(r.write_stopped, c.user_stopped); // the write phase's stop is its own
    EXPECT_EQ(r.write_failed, c.write_failed);
    EXPECT_EQ(r.last_error, c.last_error);
    EXPECT_EQ(r.write_samples.count, c.samples);
    EXPECT_EQ(PhaseHarness::frames("Phase              : WRITE TEST"), c.frames);
    EXPECT_EQ(r.bytes_verified + r.verification_errors + r.read_samples.count, 0u);

    // Only the write calls move the fake clock, so wall and active time agree,
    // but for a write refused at a file-size limit: it is written again.
    double call_time = (double)g_fake.write_calls * g_fake.write_cost;
    double refused = (double)std::count_if(log.begin(), log.end(), [](const std::string& l) {
        return l.rfind("# event=file_size_limit_reached", 0) == 0;
    });
    EXPECT_NEAR(r.write_active_sec, call_time - refused * g_fake.write_cost, 1e-6);
    EXPECT_NEAR(r.wall_elapsed_sec, call_time, 1e-6);

    EXPECT_EQ(g_fake.open_files, 0);
    EXPECT_EQ(g_fake.page_buffers, 0);
    EXPECT_EQ(g_fake.clear_calls, c.opened ? 1 : 0);
    bool first_refused = g_fake.open_write_error && g_fake.open_write_call < 2;
    EXPECT_EQ(g_fake.files.count(kTestFile), first_refused ? 0u : 1u);
    EXPECT_EQ(PhaseHarness::joined(), PhaseHarness::pattern_bytes(r.bytes_written));
    uint32_t segments = PhaseHarness::segment_files();
    if (h.config->segment_bytes || r.segment_bytes) {
        EXPECT_EQ(segments, c.segments);
    }
    for (uint32_t k = 0; k + 1 < segments; k++)
        EXPECT_EQ(fake_file(PhaseHarness::segment(k)).size(), r.segment_bytes);
    EXPECT_EQ(g_fake.cursor_visible, r.write_failed ? 1 : 0);
    if (c.opened) {
        EXPECT_EQ(g_fake.flush_calls, segments);
        for (uint32_t length : g_fake.write_lengths) EXPECT_EQ(length % kAlign, 0u);
    } else {
        EXPECT_EQ(g_fake.write_calls, 0u);
    }
    EXPECT_EQ(g_fake.threads_started, c.opened ? mode.helpers : 0);
    EXPECT_EQ(g_fake.threads_running, 0);
}

class WritePhase : public ::testing::TestWithParam<WriteCase> {};

TEST_P(WritePhase, Scenario) {
    for (const RunMode& mode : kRunModes) {
        SCOPED_TRACE(mode.name);
        check(GetParam(), mode);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, WritePhase, ::testing::ValuesIn(kCases),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

TEST(WritePhaseTiming, SpeedDividesByTimeInsideWriteCallsOnly) {
    for (const RunMode& mode : kRunModes) {
        SCOPED_TRACE(mode.name);
        PhaseHarness h(mode);
        h.config->target_bytes = 5 * kBlock;
        g_fake.read_tick = 0.01;  // every clock reading costs time, outside or inside a write
        std::vector<std::string> log =
            h.run([&](PhaseObserver* o) { run_write_phase(h.config.get(), o, &h.results); });
        const char* kStats = "0.252062,0.252062,0.252062,0.252062,0.252062,0.000000,1,0";
        EXPECT_EQ(log, (std::vector<std::string>{
                           std::string("write,1,1.160000,262144,262144,1.040000,") + kStats,
                           std::string("write,2,1.450000,327680,65536,0.260000,") + kStats}));
        EXPECT_NEAR(h.results.write_active_sec, 1.3, 1e-9);
        EXPECT_NEAR(h.results.wall_elapsed_sec, 1.46, 1e-9);
    }
}

TEST(WritePhaseFile, ExistingFileIsTruncatedAndRewrittenInBlocks) {
    for (const RunMode& mode : kRunModes) {
        SCOPED_TRACE(mode.name);
        PhaseHarness h(mode);
        g_fake.files[kTestFile].data.assign(10 * kBlock, 0xEE);
        h.config->target_bytes = 2 * kBlock + kAlign;
        h.run([&](PhaseObserver* o) { run_write_phase(h.config.get(), o, &h.results); });
        EXPECT_EQ(g_fake.write_lengths, (std::vector<uint32_t>{kBlock, kBlock, kAlign}));
        EXPECT_EQ(fake_file(kTestFile), PhaseHarness::pattern_bytes(2 * kBlock + kAlign));
    }
}

}  // namespace
