// The final result screen: its fixed lines, the optional lines and verdicts,
// and the disposal of the test file.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "engine/samples.h"
#include "fake/fake_platform.h"
#include "report/final_report.h"
#include "engine/pattern.h"
#include "engine/test_config.h"
#include "engine/test_results.h"

namespace {

const wchar_t TEST_FILE[] = L"/mnt/usb/drive-test.bin";
const std::string RULE(80, '=');

class FinalReport : public ::testing::Test {
protected:
    std::unique_ptr<TestConfig> config = std::make_unique<TestConfig>();
    std::unique_ptr<TestResults> results = std::make_unique<TestResults>();

    void SetUp() override {
        fake_reset();
        wcscpy(config->target_path, TEST_FILE);
        wcscpy(config->log_path, L"/home/user/l\u00f6g.csv");
    }
    void TearDown() override { clear_results(); }

    void clear_results() {
        samples_release(&results->write_samples);
        damage_release(&results->damage);
        *results = TestResults{};
    }

    void add_samples(const std::vector<double>& values) {
        for (double v : values) ASSERT_EQ(samples_add(&results->write_samples, v), 1);
    }
    std::vector<std::string> report() {
        g_fake.out.clear();
        g_fake.err.clear();
        print_final_report(config.get(), results.get());
        std::vector<std::string> lines;
        size_t start = 0;
        for (size_t nl; (nl = g_fake.out.find('\n', start)) != std::string::npos; start = nl + 1)
            lines.push_back(g_fake.out.substr(start, nl - start));
        EXPECT_EQ(start, g_fake.out.size()) << "output does not end with a line end";
        return lines;
    }
    // The one line that starts with label, or "<absent>".
    static std::string line_of(const std::vector<std::string>& lines, const std::string& label) {
        std::string found = "<absent>";
        for (const std::string& line : lines) {
            if (line.rfind(label, 0) == 0) {
                EXPECT_EQ(found, "<absent>") << "two lines start with " << label;
                found = line;
            }
        }
        return found;
    }
};

TEST_F(FinalReport, FullScreenWithEveryOptionalLine) {
    results->bytes_written = 1073741824;
    results->wall_elapsed_sec = 3725.9;
    results->write_active_sec = 59.9;
    results->verify_elapsed_sec = 61.0;
    results->bytes_verified = 1073741824;
    results->last_error = 112;
    add_samples({120, 80, 100, 110});
    config->minimum_required_mbps = 100;
    config->verification_requested = 1;
    std::vector<std::string> expected = {
        RULE,
        " Tesselmark Drive Sustained Write Test - FINAL RESULT",
        RULE,
        "",
        "Written data       : 1.00 GiB",
        "Wall time          : 01:02:05",
        "Active write time  : 00:00:59",
        "Write samples      : 4",
        "Minimum speed      : 80.00 MB/s",
        "Average speed      : 102.50 MB/s",
        "Median speed       : 105.00 MB/s",
        "Maximum speed      : 120.00 MB/s",
        "Required minimum   : 100.00 MB/s",
        "Threshold result   : FAIL (1 below-threshold samples)",
        "Write errors       : 0",
        "Write status       : COMPLETED",
        "",
        "Verification time  : 00:01:01",
        "Bytes verified     : 1073741824",
        "Mismatch blocks    : 0",
        "Read errors        : 0",
        "Data integrity     : PASS",
        "",
        "Last Windows error : 112",
        "",
        "CSV log            : /home/user/l\xc3\xb6g.csv",
        "Test file          : /mnt/usb/drive-test.bin",
        RULE,
    };
    EXPECT_EQ(report(), expected);
    EXPECT_EQ(g_fake.err, "");
}

TEST_F(FinalReport, MinimalScreenHasNoOptionalLines) {
    std::vector<std::string> expected = {
        RULE,
        " Tesselmark Drive Sustained Write Test - FINAL RESULT",
        RULE,
        "",
        "Written data       : 0 B",
        "Wall time          : 00:00:00",
        "Active write time  : 00:00:00",
        "Write samples      : 0",
        "Minimum speed      : 0.00 MB/s",
        "Average speed      : 0.00 MB/s",
        "Median speed       : 0.00 MB/s",
        "Maximum speed      : 0.00 MB/s",
        "Write errors       : 0",
        "Write status       : COMPLETED",
        "",
        "CSV log            : /home/user/l\xc3\xb6g.csv",
        "Test file          : /mnt/usb/drive-test.bin",
        RULE,
    };
    EXPECT_EQ(report(), expected);  // no test file: no disposal line either
}

// No write happened: the write lines would read as a failed write.
TEST_F(FinalReport, ReverificationShowsItsKindInsteadOfTheWriteLines) {
    g_fake.files[TEST_FILE].data = {1, 2, 3};
    results->bytes_written = 67108864;
    results->bytes_verified = 67108864;
    results->verification_mismatch_blocks = 1;
    config->minimum_required_mbps = 100;
    config->verification_requested = 1;
    config->delete_after_test = 0;
    config->run_kind = RUN_REVERIFY;
    std::vector<std::string> expected = {
        RULE,
        " Tesselmark Drive Sustained Write Test - FINAL RESULT",
        RULE,
        "",
        "Run kind           : RE-VERIFICATION of an existing file (no write)",
        "Data to verify     : 64.00 MiB",
        "",
        "Verification time  : 00:00:00",
        "Bytes verified     : 67108864",
        "Mismatch blocks    : 1",
        "Read errors        : 0",
        "Data integrity     : FAIL / INCOMPLETE",
        "",
        "CSV log            : /home/user/l\xc3\xb6g.csv",
        "Test file          : /mnt/usb/drive-test.bin",
        RULE,
        "",
        "Test file left in place.",
    };
    EXPECT_EQ(report(), expected);
    EXPECT_EQ(g_fake.files.count(TEST_FILE), 1u);
}

TEST_F(FinalReport, ThresholdVerdict) {
    struct Case {
        double minimum;
        std::vector<double> samples;
        const char* required;
        const char* verdict;
    } cases[] = {
        {0, {50}, "<absent>", "<absent>"},
        {100, {120, 100}, "Required minimum   : 100.00 MB/s",
         "Threshold result   : PASS (0 below-threshold samples)"},
        {100, {120, 99.99, 20}, "Required minimum   : 100.00 MB/s",
         "Threshold result   : FAIL (2 below-threshold samples)"},
        // No sample at all proves nothing: FAIL with nothing below.
        {100, {}, "Required minimum   : 100.00 MB/s",
         "Threshold result   : FAIL (0 below-threshold samples)"},
        {0.5, {1}, "Required minimum   : 0.50 MB/s",
         "Threshold result   : PASS (0 below-threshold samples)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.verdict);
        clear_results();
        config->minimum_required_mbps = c.minimum;
        add_samples(c.samples);
        std::vector<std::string> lines = report();
        EXPECT_EQ(line_of(lines, "Required minimum"), c.required);
        EXPECT_EQ(line_of(lines, "Threshold result"), c.verdict);
    }
}

TEST_F(FinalReport, WriteStatus) {
    struct Case {
        int write_failed, user_stopped, write_stopped;
        const char* expected;
    } cases[] = {
        {0, 0, 0, "Write status       : COMPLETED"},
        {0, 1, 1, "Write status       : STOPPED BY USER / LIMIT"},
        {0, 1, 0, "Write status       : COMPLETED"}, // only the verification was stopped
        {1, 0, 0, "Write status       : FAILED"},
        {1, 1, 1, "Write status       : FAILED"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        results->write_failed = c.write_failed;
        results->user_stopped = c.user_stopped;
        results->write_stopped = c.write_stopped;
        EXPECT_EQ(line_of(report(), "Write status"), c.expected);
    }
}

TEST_F(FinalReport, VerificationBlockAndIntegrityVerdict) {
    struct Case {
        int requested, verify_failed;
        uint64_t written, verified, mismatches, read_errors;
        const char* verdict;
    } cases[] = {
        {0, 0, 4096, 4096, 0, 0, "<absent>"},
        {1, 0, 4096, 4096, 0, 0, "Data integrity     : PASS"},
        {1, 0, 0, 0, 0, 0, "Data integrity     : PASS"},  // nothing written, nothing to miss
        {1, 0, 8192, 0, 0, 0, "Data integrity     : FAIL / INCOMPLETE"},  // skipped after a failure
        {1, 0, 8192, 4096, 0, 0, "Data integrity     : FAIL / INCOMPLETE"},  // stopped early
        {1, 0, 4096, 4096, 1, 0, "Data integrity     : FAIL / INCOMPLETE"},
        {1, 1, 4096, 4096, 0, 1, "Data integrity     : FAIL / INCOMPLETE"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.verdict);
        config->verification_requested = c.requested;
        results->verify_failed = c.verify_failed;
        results->bytes_written = c.written;
        results->bytes_verified = c.verified;
        results->verification_mismatch_blocks = c.mismatches;
        results->verification_errors = c.read_errors;
        std::vector<std::string> lines = report();
        EXPECT_EQ(line_of(lines, "Data integrity"), c.verdict);
        if (!c.requested) {
            EXPECT_EQ(line_of(lines, "Verification time"), "<absent>");
            EXPECT_EQ(line_of(lines, "Bytes verified"), "<absent>");
            continue;
        }
        EXPECT_EQ(line_of(lines, "Bytes verified"), "Bytes verified     : " + std::to_string(c.verified));
        EXPECT_EQ(line_of(lines, "Mismatch blocks"),
                  "Mismatch blocks    : " + std::to_string(c.mismatches));
        EXPECT_EQ(line_of(lines, "Read errors"), "Read errors        : " + std::to_string(c.read_errors));
    }
}

TEST_F(FinalReport, DamageBlockFollowsTheReportOnlyWhenSectorsDiffer) {
    config->verification_requested = 1;
    results->bytes_written = results->bytes_verified = 8192;
    std::vector<std::string> intact = report();
    // The first 4 KiB hold the data written for the next 4 KiB: a wrap at 4 KiB.
    std::vector<unsigned char> chunk(4096);
    pattern_fill(chunk.data(), 4096, 4096);
    damage_add_chunk(&results->damage, chunk.data(), 0, 4096);
    std::vector<std::string> lines = report();
    char found[80];
    snprintf(found, sizeof found, "at byte 0, expected C29913B027612C54, found %016llX",
             (unsigned long long)pattern_word(512));
    const std::vector<std::string> block = {
        "",
        "DAMAGE MAP (512-byte sectors of the test file; zeroed: all 0x00, erased: all 0xFF, bits "
        "flipped: fewer than 8)",
        "Intact             : 4.00 KiB",
        "Zeroed             : 0 B",
        "Erased             : 0 B",
        "Bits flipped       : 0 B",
        "Misplaced          : 4.00 KiB",
        "Corrupted          : 0 B",
        "First damage at    : byte 0 (0 B), misplaced",
        std::string("First bad word     : ") + found,
        "Found data is for  : byte 4096 (4.00 KiB)",
        "Damaged regions    : 1",
        "Damage verdict     : Data written past 4.00 KiB landed over the start: the drive holds "
        "at most about 4.00 KiB",
    };
    ASSERT_EQ(lines.size(), intact.size() + block.size());
    // The block comes right after the closing rule, the rest stays as it was.
    auto rule = std::find(lines.begin() + 1, lines.end(), RULE);
    rule = std::find(rule + 1, lines.end(), RULE);
    ASSERT_NE(rule, lines.end());
    EXPECT_EQ(std::vector<std::string>(rule + 1, rule + 1 + (long)block.size()), block);
    lines.erase(rule + 1, rule + 1 + (long)block.size());
    EXPECT_EQ(lines, intact);
}

TEST_F(FinalReport, LastWindowsErrorLine) {
    results->last_error = 4294967295u;
    EXPECT_EQ(line_of(report(), "Last Windows error"), "Last Windows error : 4294967295");
    results->last_error = 0;
    EXPECT_EQ(line_of(report(), "Last Windows error"), "<absent>");
}

TEST_F(FinalReport, DisposalOfTheTestFile) {
    struct Case {
        const char* name;
        int delete_after;
        bool file_exists;
        uint32_t delete_error;
        std::string tail;  // stdout after the closing rule
        const char* err;
        bool file_left;
        uint32_t segments = 0;  // NAME.001 ... of a segmented run
    } cases[] = {
        {"deleted", 1, true, 0, "\nTest file deleted successfully.\n", "", false},
        {"delete refused", 1, true, 32,
         "The test result is still valid; delete the file manually when convenient.\n",
         "Could not delete test file: Windows error 32\n", true},
        {"never created", 1, false, 0,
         "The test result is still valid; delete the file manually when convenient.\n",
         "Could not delete test file: [2] No such file or directory\n", false},
        {"kept", 0, true, 0, "\nTest file kept on disk as requested.\n", "", true},
        {"kept but gone", 0, false, 0, "", "", false},
        {"segments deleted", 1, true, 0, "\nTest file deleted successfully.\n", "", false, 3},
        {"segments refused", 1, true, 32,
         "The test result is still valid; delete the file manually when convenient.\n",
         "Could not delete test file: Windows error 32\n", true, 3},
        {"segments kept", 0, true, 0, "\nTest file kept on disk as requested.\n", "", true, 3},
    };
    auto segment = [](uint32_t k) { return std::wstring(TEST_FILE) + L".00" + std::to_wstring(k); };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake_reset();
        if (c.file_exists) g_fake.files[TEST_FILE].data = {1, 2, 3};
        for (uint32_t k = 1; k <= c.segments; k++) g_fake.files[segment(k)].data = {4, 5};
        g_fake.files[segment(c.segments + 2)].data = {6};  // not a segment: one is missing
        g_fake.delete_error = c.delete_error;
        config->delete_after_test = c.delete_after;
        config->segment_bytes = c.segments ? 4096 : 0;
        results->bytes_written = c.segments ? 3 * 4096 + 512 : 0;
        EXPECT_EQ(line_of(report(), "Segment files"),
                  c.segments ? "Segment files      : 4, of 4096 bytes each but the last"
                             : "<absent>");
        std::string end = RULE + "\n" + c.tail;
        ASSERT_GE(g_fake.out.size(), end.size());
        EXPECT_EQ(g_fake.out.substr(g_fake.out.size() - end.size()), end);
        EXPECT_EQ(g_fake.err, c.err);
        EXPECT_EQ(g_fake.files.count(TEST_FILE), c.file_left ? 1u : 0u);
        for (uint32_t k = 1; k <= c.segments; k++)
            EXPECT_EQ(g_fake.files.count(segment(k)), c.file_left ? 1u : 0u) << k;
        EXPECT_EQ(g_fake.files.count(segment(c.segments + 2)), 1u);
    }
}

}  // namespace
