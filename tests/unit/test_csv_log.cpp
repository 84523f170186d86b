// The CSV log: exact header, rows, event lines and summary, each read back
// from the file without an extra flush, so a missing flush shows as a gap.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/samples.h"
#include "fake/fake_platform.h"
#include "report/csv_log.h"
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

TEST_F(CsvLog, HeaderVariantsKeepEveryLine) {
    struct Case {
        bool time_fails;
        double minimum;
        size_t line;
        const char* expected;
    } cases[] = {
        {true, 100.5, 2, "# started_local=unknown"},
        {false, 0, 9, "# minimum_required_mbps=0.000"},
        {false, 0.0004, 9, "# minimum_required_mbps=0.000"},
        {false, 1234.5678, 9, "# minimum_required_mbps=1234.568"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        fake_reset();
        g_fake.local_time_fails = c.time_fails;
        auto config = sample_config();
        config->minimum_required_mbps = c.minimum;
        LogFile log;
        csv_write_header(log.stream, config.get());
        std::vector<std::string> lines = log.lines();
        ASSERT_EQ(lines.size(), 14u);
        EXPECT_EQ(lines[c.line], c.expected);
        EXPECT_EQ(lines[13], COLUMNS);
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

}  // namespace
