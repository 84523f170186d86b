// The CSV log: exact header, rows, event lines and summary, each read back
// from the file without an extra flush, so a missing flush shows as a gap;
// and the reader that takes such a log back, refusing anything else.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "engine/samples.h"
#include "fake/fake_platform.h"
#include "engine/pattern.h"
#include "report/csv_log.h"
#include "report/log_reader.h"
#include "engine/test_config.h"
#include "engine/test_results.h"

namespace {

// A tmpfile() log whose bytes stay readable through a second descriptor,
// also after csv_write_summary has closed the stream.
struct LogFile {
    FILE* stream = tmpfile();
    int fd = dup(fileno(stream));
    bool closed = false;
    ~LogFile() {
        if (!closed) fclose(stream);
        close(fd);
    }
    std::string bytes() const {
        std::string text;
        char chunk[65536];
        ssize_t n;
        while ((n = pread(fd, chunk, sizeof chunk, (off_t)text.size())) > 0) text.append(chunk, n);
        return text;
    }
    std::vector<std::string> lines() const {
        std::string text = bytes();
        EXPECT_TRUE(text.empty() || text.back() == '\n') << "last line not ended";
        EXPECT_EQ(text.find('\r'), std::string::npos);
        std::vector<std::string> out;
        size_t start = 0;
        for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
            out.push_back(text.substr(start, nl - start));
        return out;
    }
};

struct Sets {
    SampleSet set = {};
    explicit Sets(const std::vector<double>& values) {
        for (double v : values) EXPECT_EQ(samples_add(&set, v), 1);
    }
    ~Sets() { samples_release(&set); }
};

std::unique_ptr<TestConfig> sample_config() {
    auto config = std::make_unique<TestConfig>();
    wcscpy(config->target_path, L"/mnt/f\u00fcr/drive-test.bin");
    wcscpy(config->volume_root, L"/mnt/f\u00fcr/");
    wcscpy(config->filesystem, L"exfat");
    config->logical_sector_bytes = 512;
    config->physical_sector_bytes = 4096;
    config->target_bytes = 10737418240ull;
    config->minimum_required_mbps = 100.5;
    config->block_size_bytes = 8388608;
    config->alignment_bytes = 4096;
    return config;
}

const char COLUMNS[] =
    "phase,sample,elapsed_s,total_bytes,sample_bytes,sample_duration_s,speed_mbps,average_mbps,"
    "min_mbps,median_mbps,max_mbps,threshold_mbps,threshold_pass,error_count";

class CsvLog : public ::testing::Test {
protected:
    void SetUp() override { fake_reset(); }
};

TEST_F(CsvLog, HeaderIsExactAndFlushed) {
    auto config = sample_config();
    LogFile log;
    csv_write_header(log.stream, config.get());
    std::vector<std::string> expected = {
        "# Tesselmark Drive Sustained Write Test v0.1.0",
        "# encoding=UTF-8",
        "# started_local=2026-12-08T21:05:09",
        "# target_path=/mnt/f\xc3\xbcr/drive-test.bin",
        "# volume_root=/mnt/f\xc3\xbcr/",
        "# filesystem=exfat",
        "# logical_sector_bytes=512",
        "# physical_sector_bytes=4096",
        "# target_bytes=10737418240",
        "# minimum_required_mbps=100.500",
        "# block_size_bytes=8388608",
        "# alignment_bytes=4096",
        "# io_mode=O_DIRECT|O_DSYNC",
        COLUMNS,
    };
    EXPECT_EQ(log.lines(), expected);

    // A segmented run, and only it, names its segment size after the column line.
    config->segment_bytes = 4286578688ull;
    LogFile segmented;
    csv_write_header(segmented.stream, config.get());
    expected.push_back("# segment_bytes=4286578688");
    EXPECT_EQ(segmented.lines(), expected);
}

int read_text(const std::string& text, DriveLog* out, char* reason);

// Each variant is also read back by the log reader, with the value it holds:
// every path and every number the dialogue accepts makes a log drive-test reads.
TEST_F(CsvLog, HeaderVariantsKeepEveryLine) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        bool time_fails;
        double minimum;
        const wchar_t* path; // null: the sample's
        size_t line;
        const char* expected;
    } cases[] = {
        {true, 100.5, nullptr, 2, "# started_local=unknown"},
        {false, 0, nullptr, 9, "# minimum_required_mbps=0.000"},
        {false, 0.0004, nullptr, 9, "# minimum_required_mbps=0.000"},
        {false, 1234.5678, nullptr, 9, "# minimum_required_mbps=1234.568"},
        {false, inf, nullptr, 9, "# minimum_required_mbps=inf"},
        {false, 1e70, nullptr, 9,
         "# minimum_required_mbps="
         "10000000000000000725314363815292351261583744096465219555182101554790400.000"},
        {false, 1e308, nullptr, 9, nullptr},
        // Only the line ends become their symbols (U+240A, U+240D).
        {false, 1, L"/m/a\nb\r\x01\uFFFF\uFFFE&<>\"\\%s\r", 3,
         "# target_path=/m/a\xE2\x90\x8A" "b\xE2\x90\x8D\x01\xEF\xBF\xBF\xEF\xBF\xBE&<>\"\\%s\xE2\x90\x8D"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        fake_reset();
        g_fake.local_time_fails = c.time_fails;
        auto config = sample_config();
        config->minimum_required_mbps = c.minimum;
        if (c.path) wcscpy(config->target_path, c.path);
        LogFile log;
        csv_write_header(log.stream, config.get());
        std::vector<std::string> lines = log.lines();
        ASSERT_EQ(lines.size(), 14u);
        if (c.expected) {
            EXPECT_EQ(lines[c.line], c.expected);
        }
        EXPECT_EQ(lines[13], COLUMNS);

        DriveLog back;
        char reason[LOG_REASON_BYTES];
        ASSERT_EQ(read_text(log.bytes(), &back, reason), 1) << reason;
        EXPECT_EQ(back.minimum_required_mbps, strtod(lines[9].c_str() + 24, nullptr));
        if (c.path) {
            EXPECT_EQ(std::string("# target_path=") + back.target_path, c.expected);
        }
    }
}

// A re-verification's log is a test run's with one line added after the
// column line, where readers already skip comment lines.
TEST_F(CsvLog, ReverifyLogAddsItsKindAfterTheColumnLine) {
    auto config = sample_config();
    LogFile test_run;
    csv_write_header(test_run.stream, config.get());
    config->run_kind = RUN_REVERIFY;
    LogFile reverify;
    csv_write_header(reverify.stream, config.get());
    std::vector<std::string> expected = test_run.lines();
    ASSERT_EQ(expected.size(), 14u);
    expected.push_back("# run_kind=reverify");
    EXPECT_EQ(reverify.lines(), expected);
}

TEST_F(CsvLog, LongestPathOfFourByteCharactersIsLoggedWhole) {
    auto config = sample_config();
    for (int i = 0; i < PATH_CHARS - 1; i++) config->target_path[i] = 0x1F600;
    config->target_path[PATH_CHARS - 1] = 0;
    LogFile log;
    csv_write_header(log.stream, config.get());
    std::string expected = "# target_path=";
    for (int i = 0; i < PATH_CHARS - 1; i++) expected += "\xF0\x9F\x98\x80";
    std::vector<std::string> lines = log.lines();
    ASSERT_EQ(lines.size(), 14u);
    EXPECT_EQ(lines[3], expected);
}

TEST_F(CsvLog, RowsCarrySpeedStatisticsAndThresholdVerdict) {
    struct Case {
        const char* phase;
        std::vector<double> set;
        double elapsed;
        uint64_t total, sample_bytes;
        double duration, threshold;
        uint64_t errors;
        const char* expected;
    } cases[] = {
        {"write", {100.0}, 1.25, 100000000, 100000000, 1.0, 100.0, 0,
         "write,1,1.250000,100000000,100000000,1.000000,100.000000,100.000000,100.000000,"
         "100.000000,100.000000,100.000000,1,0"},
        {"write", {99.999999}, 2.0, 199999999, 99999999, 1.0, 100.0, 3,
         "write,1,2.000000,199999999,99999999,1.000000,99.999999,99.999999,99.999999,"
         "99.999999,99.999999,100.000000,0,3"},
        {"write", {0.0}, 0.5, 4096, 4096, 0.0, 0.0, 0,
         "write,1,0.500000,4096,4096,0.000000,0.000000,0.000000,0.000000,0.000000,0.000000,"
         "0.000000,1,0"},
        {"write", {16.777216}, 3.0, 18446744073709551615ull, 8388608, 0.5, 0.0, 0,
         "write,1,3.000000,18446744073709551615,8388608,0.500000,16.777216,16.777216,"
         "16.777216,16.777216,16.777216,0.000000,1,0"},
        {"verify", {5, 1, 3, 4}, 10.0, 16000000, 4000000, 1.0, 0.0, 7,
         "verify,4,10.000000,16000000,4000000,1.000000,4.000000,3.250000,1.000000,3.500000,"
         "5.000000,0.000000,1,7"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        Sets set(c.set);
        LogFile log;
        csv_sample(log.stream, c.phase, samples_summary(&set.set, c.threshold), c.elapsed, c.total, c.sample_bytes, c.duration,
                   c.threshold, c.errors);
        EXPECT_EQ(log.lines(), std::vector<std::string>{c.expected});
    }
}

TEST_F(CsvLog, EventLinesAreFlushedInOrder) {
    LogFile log;
    csv_event(log.stream, "write_failed_or_short_write", 29, 1073745920ull);
    csv_event(log.stream, "data_mismatch", 23, 8388624);
    csv_event(log.stream, "open_write_failed", 4294967295u, 18446744073709551615ull);
    std::vector<std::string> expected = {
        "# event=write_failed_or_short_write,error_code=29,offset=1073745920",
        "# event=data_mismatch,error_code=23,offset=8388624",
        "# event=open_write_failed,error_code=4294967295,offset=18446744073709551615",
    };
    EXPECT_EQ(log.lines(), expected);
}

std::vector<std::string> summary_of(const TestConfig& config, const TestResults& results) {
    LogFile log;
    csv_write_summary(log.stream, &config, &results);
    log.closed = true;
    return log.lines();
}

TEST_F(CsvLog, SummaryOfAFullRun) {
    auto config = sample_config();
    config->minimum_required_mbps = 100;
    config->verification_requested = 1;
    auto results = std::make_unique<TestResults>();
    results->bytes_written = 1073741824;
    results->wall_elapsed_sec = 12.5;
    results->write_active_sec = 10.25;
    results->bytes_verified = 1073741823;
    results->verification_mismatch_blocks = 2;
    results->verification_errors = 1;
    results->user_stopped = 1;
    Sets writes({120, 80, 100});
    results->write_samples = writes.set;
    std::vector<std::string> expected = {
        "# summary_begin",
        "# bytes_written=1073741824",
        "# wall_elapsed_sec=12.500000",
        "# write_active_sec=10.250000",
        "# write_min_mbps=80.000000",
        "# write_avg_sample_mbps=100.000000",
        "# write_median_mbps=100.000000",
        "# write_max_mbps=120.000000",
        "# threshold_below_samples=1",
        "# threshold_pass=0",
        "# write_errors=0",
        "# verification_requested=1",
        "# bytes_verified=1073741823",
        "# verification_mismatch_blocks=2",
        "# verification_errors=1",
        "# user_stopped=1",
        "# summary_end",
    };
    EXPECT_EQ(summary_of(*config, *results), expected);
}

TEST_F(CsvLog, SummaryAfterTheTestFileCouldNotBeCreated) {
    auto config = sample_config();
    auto results = std::make_unique<TestResults>();
    results->write_errors = 1;
    results->write_failed = 1;
    results->last_error = 5;
    std::vector<std::string> expected = {
        "# summary_begin",
        "# bytes_written=0",
        "# wall_elapsed_sec=0.000000",
        "# write_active_sec=0.000000",
        "# write_min_mbps=0.000000",
        "# write_avg_sample_mbps=0.000000",
        "# write_median_mbps=0.000000",
        "# write_max_mbps=0.000000",
        "# threshold_below_samples=0",
        "# threshold_pass=1",
        "# write_errors=1",
        "# verification_requested=0",
        "# bytes_verified=0",
        "# verification_mismatch_blocks=0",
        "# verification_errors=0",
        "# user_stopped=0",
        "# summary_end",
    };
    EXPECT_EQ(summary_of(*config, *results), expected);
}

TEST_F(CsvLog, SummaryThresholdRules) {
    struct Case {
        double minimum;
        std::vector<double> samples;
        const char* below;
        const char* pass;
        const char* average = nullptr;  // the mean of the samples, checked when given
    } cases[] = {
        {0, {50}, "# threshold_below_samples=0", "# threshold_pass=1"},
        {-5, {50}, "# threshold_below_samples=0", "# threshold_pass=1"},
        {100, {}, "# threshold_below_samples=0", "# threshold_pass=1"},
        {100, {100, 150}, "# threshold_below_samples=0", "# threshold_pass=1"},
        {100, {99.999999, 100, 150, 20}, "# threshold_below_samples=2", "# threshold_pass=0"},
        {0, {10, 20, 60}, "# threshold_below_samples=0", "# threshold_pass=1",
         "# write_avg_sample_mbps=30.000000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.below);
        auto config = sample_config();
        config->minimum_required_mbps = c.minimum;
        auto results = std::make_unique<TestResults>();
        Sets writes(c.samples);
        results->write_samples = writes.set;
        std::vector<std::string> lines = summary_of(*config, *results);
        ASSERT_EQ(lines.size(), 17u);
        EXPECT_EQ(lines[8], c.below);
        EXPECT_EQ(lines[9], c.pass);
        if (c.average) {
            EXPECT_EQ(lines[5], c.average);
        }
    }
}

// A whole log as the writer produces it: two write rows (the second below the
// minimum), an event, one verify row and the summary.
std::string written_log() {
    auto config = sample_config();
    config->verification_requested = 1;
    auto results = std::make_unique<TestResults>();
    LogFile log;
    csv_write_header(log.stream, config.get());
    Sets writes({150.0, 99.0});
    csv_sample(log.stream, "write", samples_summary(&writes.set, 100.5), 1.0, 150000000, 150000000,
               1.0, 100.5, 0);
    csv_sample(log.stream, "write", samples_summary(&writes.set, 100.5), 2.0, 249000000, 99000000,
               1.0, 100.5, 0);
    csv_event(log.stream, "data_mismatch", 23, 8388624);
    csv_sample(log.stream, "verify", samples_summary(&writes.set, 0), 1.0, 249000000, 249000000,
               0.5, 0, 0);
    results->bytes_written = 249000000;
    results->bytes_verified = 249000000;
    results->verification_mismatch_blocks = 1;
    csv_write_summary(log.stream, config.get(), results.get());
    log.closed = true;
    return log.bytes();
}

int read_text(const std::string& text, DriveLog* out, char* reason) {
    FILE* f = fmemopen((void*)text.data(), text.size(), "rb");
    if (text.empty()) f = tmpfile(); // fmemopen refuses a size of 0
    int ok = log_read_stream(f, out, reason);
    fclose(f);
    return ok;
}

TEST_F(CsvLog, ReaderTakesBackWhatWasWritten) {
    DriveLog log;
    char reason[LOG_REASON_BYTES];
    ASSERT_EQ(read_text(written_log(), &log, reason), 1) << reason;
    EXPECT_STREQ(log.program, "Tesselmark Drive Sustained Write Test v0.1.0");
    EXPECT_STREQ(log.started_local, "2026-12-08T21:05:09");
    EXPECT_STREQ(log.target_path, "/mnt/f\xc3\xbcr/drive-test.bin");
    EXPECT_STREQ(log.filesystem, "exfat");
    EXPECT_EQ(log.target_bytes, 10737418240ull);
    EXPECT_EQ(log.minimum_required_mbps, 100.5);
    EXPECT_EQ(log.block_size_bytes, 8388608u);
    ASSERT_EQ(log.row_count, 3u);
    EXPECT_EQ(log.rows[1].phase, LOG_PHASE_WRITE);
    EXPECT_EQ(log.rows[1].total_bytes, 249000000u);
    EXPECT_EQ(log.rows[1].sample_bytes, 99000000u);
    EXPECT_EQ(log.rows[1].speed_mbps, 99.0);
    EXPECT_EQ(log.rows[1].threshold_pass, 0);
    EXPECT_EQ(log.rows[0].threshold_pass, 1);
    EXPECT_EQ(log.rows[2].phase, LOG_PHASE_VERIFY);
    EXPECT_EQ(log.rows[2].speed_mbps, 498.0);
    ASSERT_EQ(log.event_count, 1u);
    EXPECT_STREQ(log.events[0].name, "data_mismatch");
    EXPECT_EQ(log.events[0].error_code, 23u);
    EXPECT_EQ(log.events[0].offset, 8388624u);
    ASSERT_EQ(log.have_summary, 1);
    EXPECT_EQ(log.summary.bytes_written, 249000000u);
    EXPECT_EQ(log.summary.verification_requested, 1);
    EXPECT_EQ(log.summary.verification_mismatch_blocks, 1u);
    EXPECT_EQ(log.extra_count, 0);
}

TEST_F(CsvLog, DamageLinesFollowTheSummaryAndReadBack) {
    auto config = sample_config();
    auto results = std::make_unique<TestResults>();
    results->bytes_written = results->bytes_verified = 1 << 20;
    // A chunk at 64 KiB: a zeroed sector, data written for 1 MiB and a word
    // further on, and a sector of no pattern at all.
    std::vector<unsigned char> chunk(1536, 0);
    pattern_fill(&chunk[512], (64 << 10) + 512 + (1 << 20) + 8, 512);
    for (int k = 0; k < 512; k++) chunk[1024 + k] = (unsigned char)(k * 37 + 11);
    damage_add_chunk(&results->damage, chunk.data(), 64 << 10, 1536);
    LogFile file;
    csv_write_header(file.stream, config.get());
    csv_write_summary(file.stream, config.get(), results.get());
    file.closed = true;
    std::vector<std::string> lines = file.lines();
    auto end = std::find(lines.begin(), lines.end(), "# summary_end");
    ASSERT_NE(end, lines.end());
    const std::vector<std::string> expected = {
        "# damage_sector_bytes=512",
        "# damage_intact_bytes=1047040",
        "# damage_zero_bytes=512",
        "# damage_erased_bytes=0",
        "# damage_flipped_bytes=0",
        "# damage_misplaced_bytes=512",
        "# damage_corrupted_bytes=512",
        "# damage_first_offset=65536",
        "# damage_wrap_bytes=none",
        "# damage_likely_capacity_bytes=none",
        "# damage_verdict=scattered",
        "# damage_displacement_bytes=none",
        "# damage_flipped_bits=0",
        "# damage_region=65536,66048,zero",
        "# damage_region=66048,66560,misplaced,1114632",
        "# damage_region=66560,67072,corrupted",
        "# damage_regions_truncated=0",
    };
    EXPECT_EQ(std::vector<std::string>(end + 1, lines.end()), expected);

    DriveLog log;
    char reason[LOG_REASON_BYTES];
    ASSERT_EQ(read_text(file.bytes(), &log, reason), 1) << reason;
    const LogDamage& d = log.damage;
    EXPECT_EQ(d.present, 1);
    EXPECT_EQ(d.kind_bytes[SECTOR_INTACT], 1047040u);
    EXPECT_EQ(d.kind_bytes[SECTOR_ZERO], 512u);
    EXPECT_EQ(d.kind_bytes[SECTOR_MISPLACED], 512u);
    EXPECT_EQ(d.kind_bytes[SECTOR_CORRUPTED], 512u);
    EXPECT_EQ(d.first_offset, 65536u);
    EXPECT_EQ(d.wraps + d.has_capacity + d.regions_truncated, 0);
    EXPECT_EQ(d.finding, (uint32_t)DAMAGE_FINDING_SCATTERED);
    ASSERT_EQ(d.region_count, 3u);
    EXPECT_EQ(d.regions[1].start, 66048u);
    EXPECT_EQ(d.regions[1].end, 66560u);
    EXPECT_EQ(d.regions[1].kind, (uint32_t)SECTOR_MISPLACED);
    EXPECT_EQ(d.regions[1].source_start, 1114632u);
    EXPECT_EQ(d.regions[2].start, 66560u);
    EXPECT_EQ(d.regions[2].kind, (uint32_t)SECTOR_CORRUPTED);
    damage_release(&results->damage);
}

TEST_F(CsvLog, ReaderRefusesWhatDriveTestDoesNotWrite) {
    // Each case edits the written log: line `at` (negative: from the end) is
    // replaced, removed, or gets a line inserted before it; or the text is cut.
    enum { KEEP, REPLACE, REMOVE, INSERT, CUT_BYTES, CR_LF };
    struct Case {
        const char* name;
        int edit;
        int at;
        std::string text;
        const char* refusal; // null: accepted
        int summary;
        uint64_t rows;
    } cases[] = {
        {"as written", KEEP, 0, "", nullptr, 1, 3},
        {"unknown header key", INSERT, 13, "# segment_bytes=4294959104", nullptr, 1, 3},
        {"unknown summary key", INSERT, -1, "# run_kind=verify", nullptr, 1, 3},
        {"cut off before the summary", CUT_BYTES, 0, "# summary_begin", nullptr, 0, 3},
        {"last row cut off mid-line", CUT_BYTES, 30, "verify,", nullptr, 0, 2},
        {"cut off inside the summary", CUT_BYTES, 5, "# bytes_written=", nullptr, 0, 3},
        {"CR LF line ends", CR_LF, 0, "", nullptr, 1, 3},
        {"infinite minimum", REPLACE, 15,
         "write,2,2.000000,249000000,99000000,1.000000,99.000000,124.500000,99.000000,124.500000,"
         "150.000000,inf,0,0",
         nullptr, 1, 3},
        {"speed of 1e308", REPLACE, 15,
         "write,2,2.000000,249000000,99000000,1.000000,1" + std::string(308, '0') +
             ".000000,124.500000,99.000000,124.500000,150.000000,100.500000,0,0",
         nullptr, 1, 3},
        {"empty file", CUT_BYTES, 0, "# Tesselmark", "the file is empty", 0, 0},
        {"another program's CSV", REPLACE, 0, "time,speed", "line 1: not a drive-test log", 0, 0},
        {"header only", CUT_BYTES, 0, "phase,", "ends before its column line", 0, 0},
        {"renamed column", REPLACE, 13,
         "phase,sample,elapsed_s,total_bytes,sample_bytes,sample_duration_s,speed,average_mbps,"
         "min_mbps,median_mbps,max_mbps,threshold_mbps,threshold_pass,error_count",
         "line 14: the column line differs", 0, 0},
        {"header key missing", REMOVE, 8, "", "the header has no target_bytes line", 0, 0},
        {"header key twice", INSERT, 9, "# target_bytes=1", "line 10: repeated key target_bytes", 0, 0},
        {"header number", REPLACE, 8, "# target_bytes=10GiB", "line 9: bad value for target_bytes",
         0, 0},
        {"other encoding", REPLACE, 1, "# encoding=latin1", "line 2: the log is not marked", 0, 0},
        {"header line without a key", INSERT, 5, "# started", "line 6: expected a \"# key=value\"",
         0, 0},
        {"row with a field missing", REPLACE, 14, "write,1,1.000000,150000000,150000000,1.000000",
         "line 15: a data row has fewer than 14 fields", 0, 0},
        {"row with a word for a number", REPLACE, 15,
         "write,2,2.000000,249000000,99000000,1.000000,fast,124.500000,99.000000,124.500000,"
         "150.000000,100.500000,0,0",
         "line 16: bad number in column speed_mbps", 0, 0},
        {"negative speed", REPLACE, 15,
         "write,2,2.000000,249000000,99000000,1.000000,-9.0,124.500000,99.000000,124.500000,"
         "150.000000,100.500000,0,0",
         "line 16: bad number in column speed_mbps", 0, 0},
        {"unknown phase", REPLACE, 14,
         "read,1,1.000000,150000000,150000000,1.000000,150.000000,150.000000,150.000000,"
         "150.000000,150.000000,100.500000,1,0",
         "line 15: unknown phase", 0, 0},
        {"infinite speed", REPLACE, 15,
         "write,2,2.000000,249000000,99000000,1.000000,inf,124.500000,99.000000,124.500000,"
         "150.000000,100.500000,0,0",
         "line 16: bad number in column speed_mbps", 0, 0},
        {"position going backwards", REPLACE, 15,
         "write,2,2.000000,240000000,99000000,1.000000,99.000000,124.500000,99.000000,124.500000,"
         "150.000000,100.500000,0,0",
         "line 16: the position goes backwards", 0, 0},
        {"sample larger than the total", REPLACE, 14,
         "write,1,1.000000,15,150000000,1.000000,150.000000,150.000000,150.000000,150.000000,"
         "150.000000,100.500000,1,0",
         "line 15: sample_bytes exceeds total_bytes", 0, 0},
        {"event without offset", REPLACE, 16, "# event=data_mismatch,error_code=23",
         "line 17: malformed event line", 0, 0},
        {"comment that is no key", INSERT, 16, "# hello", "line 17: expected a \"# key=value\"", 0,
         0},
        {"empty line", INSERT, 16, "", "line 17: empty line", 0, 0},
        {"summary key missing", REMOVE, -3, "", "the summary has no verification_errors line", 0,
         0},
        {"text after the summary", INSERT, 100, "write,", "line 36: text after the summary", 0, 0},
        {"damage line after the summary", INSERT, 100, "# damage_wrap_bytes=4096", nullptr, 1, 3},
        {"unknown damage key", INSERT, 100, "# damage_lost_bytes=4096",
         "line 36: unknown damage line", 0, 0},
        {"damage key twice", INSERT, 100, "# damage_zero_bytes=1\n# damage_zero_bytes=1",
         "line 37: repeated key damage_zero_bytes", 0, 0},
        {"wrap at 0 bytes", INSERT, 100, "# damage_wrap_bytes=0",
         "line 36: bad value in a damage line", 0, 0},
        {"wrap inside a sector", INSERT, 100, "# damage_wrap_bytes=1000",
         "line 36: bad value in a damage line", 0, 0},
        {"capacity past the test", INSERT, 100, "# damage_likely_capacity_bytes=10737418240",
         "line 36: bad value in a damage line", 0, 0},
        {"unknown verdict", INSERT, 100, "# damage_verdict=smaller",
         "line 36: bad value in a damage line", 0, 0},
        {"displacement of 0", INSERT, 100, "# damage_displacement_bytes=0",
         "line 36: bad value in a damage line", 0, 0},
        {"wrap beside a verdict of scattered damage", INSERT, 100,
         "# damage_wrap_bytes=4096\n# damage_verdict=scattered",
         "damage lines disagree with their verdict", 0, 0},
        {"displaced data with its displacement", INSERT, 100,
         "# damage_verdict=displaced\n# damage_displacement_bytes=-512", nullptr, 1, 3},
        {"damage region of no kind", INSERT, 100, "# damage_region=0,512,lost",
         "line 36: malformed damage region", 0, 0},
        {"damage region ending at its start", INSERT, 100, "# damage_region=512,512,zero",
         "line 36: malformed damage region", 0, 0},
        {"misplaced region without its source", INSERT, 100, "# damage_region=0,512,misplaced",
         "line 36: malformed damage region", 0, 0},
        {"damage capacity in words", INSERT, 100, "# damage_likely_capacity_bytes=big",
         "line 36: bad value in a damage line", 0, 0},
        {"NUL byte", REPLACE, 5, std::string("# filesystem=ext4\0x", 19), "line 6: NUL byte", 0,
         0},
    };
    std::string good = written_log();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> lines;
        for (size_t start = 0, nl; (nl = good.find('\n', start)) != std::string::npos;
             start = nl + 1) {
            lines.push_back(good.substr(start, nl - start));
        }
        ASSERT_EQ(lines.size(), 35u);
        size_t at = c.at < 0 ? lines.size() + c.at : std::min((size_t)c.at, lines.size());
        if (c.edit == REPLACE) lines[at] = c.text;
        if (c.edit == REMOVE) lines.erase(lines.begin() + (long)at);
        if (c.edit == INSERT) lines.insert(lines.begin() + (long)at, c.text);
        std::string text;
        for (const std::string& l : lines) text += l + (c.edit == CR_LF ? "\r\n" : "\n");
        if (c.edit == CUT_BYTES) text = good.substr(0, good.find(c.text) + (size_t)c.at);
        DriveLog log;
        char reason[LOG_REASON_BYTES];
        int ok = read_text(text, &log, reason);
        if (!c.refusal) {
            ASSERT_EQ(ok, 1) << reason;
            EXPECT_EQ(log.have_summary, c.summary);
            EXPECT_EQ(log.row_count, c.rows);
            continue;
        }
        EXPECT_EQ(ok, 0);
        EXPECT_NE(std::string(reason).find(c.refusal), std::string::npos) << reason;
    }
}

}  // namespace
