// Dashboards: whole frames compared line by line with hand-built text,
// including the trailing blanks that let a frame cover the one before.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/samples.h"
#include "fake/fake_platform.h"
#include "report/dashboard.h"

namespace {

struct Samples {
    SampleSet set = {};
    explicit Samples(const std::vector<double>& values) {
        for (double v : values) EXPECT_EQ(samples_add(&set, v), 1);
    }
    ~Samples() { samples_release(&set); }
};

std::vector<std::string> out_lines() {
    const std::string& text = g_fake.out;
    EXPECT_TRUE(text.empty() || text.back() == '\n');
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    return lines;
}

std::string pad(const std::string& text, size_t width) {
    EXPECT_LE(text.size(), width);
    return text + std::string(width - text.size(), ' ');
}

// 60 graph cells: blanks, then the given sample columns at the right.
std::string cells(const std::string& samples) { return pad(std::string(60 - samples.size(), ' ') + samples, 60); }

std::string row(const char* label7, const std::string& sixty) {
    return std::string("  ") + label7 + " |" + sixty + "|";
}

const std::string RULE(80, '=');
const std::string TITLE = " Tesselmark Drive Sustained Write Test v0.1.0";
const std::string AXIS = "           +" + std::string(60, '-') + "+";
const std::string NOTE = pad(" Note: MB/s uses decimal megabytes (1 MB = 1,000,000 bytes).", 78);
const std::string STOP = pad(" Stop               : Press Q or Ctrl+C", 77);

class Dashboard : public ::testing::Test {
protected:
    void SetUp() override { fake_reset(); }
};

TEST_F(Dashboard, WriteFrameWithoutThresholdIs28Lines) {
    Samples s({100, 50});
    draw_write_dashboard(200000000, 1000000000, 2.5, 2.0, 50.0, &s.set, samples_summary(&s.set, 0.0), 0.0, 0);
    std::vector<std::string> expected = {
        RULE, TITLE, RULE,
        pad(" Phase              : WRITE TEST", 76),
        " Progress           :  20.00 %   190.73 MiB / 953.67 MiB",
        " Elapsed            : 00:00:02   ETA: 00:00:08",
        " Current sample     :     50.00 MB/s",
        " Sample statistics  : min    50.00 | avg    75.00 | median    75.00 | max   100.00 MB/s",
        " Active-write avg   :    100.00 MB/s",
        pad(" Required minimum   : not configured", 77),
        pad(" Threshold status   : n/a", 77),
        " Write errors       : 0",
        STOP,
        "",
        "  Recent sustained write speed (last 60 samples, scale 0..100.0 MB/s)",
        // 100 fills its column; 50 stops exactly at the top of the 50.0 row.
        row("  100.0", cells("# ")),
        row("   90.0", cells("# ")),
        row("   80.0", cells("# ")),
        row("   70.0", cells("# ")),
        row("   60.0", cells("# ")),
        row("   50.0", cells("##")),
        row("   40.0", cells("##")),
        row("   30.0", cells("##")),
        row("   20.0", cells("##")),
        row("   10.0", cells("##")),
        AXIS,
        "",
        NOTE,
    };
    EXPECT_EQ(out_lines(), expected);
}

TEST_F(Dashboard, WriteFrameWithThresholdIs29Lines) {
    Samples s({90, 102});
    draw_write_dashboard(100000000, 100000000, 1.0, 1.0, 102.0, &s.set, samples_summary(&s.set, 100.0), 100.0, 2);
    std::vector<std::string> expected = {
        RULE, TITLE, RULE,
        pad(" Phase              : WRITE TEST", 76),
        " Progress           : 100.00 %   95.37 MiB / 95.37 MiB",
        " Elapsed            : 00:00:01   ETA: 00:00:00",
        " Current sample     :    102.00 MB/s",
        " Sample statistics  : min    90.00 | avg    96.00 | median    96.00 | max   102.00 MB/s",
        " Active-write avg   :    100.00 MB/s",
        " Required minimum   :    100.00 MB/s   below threshold samples: 1 / 2",
        pad(" Threshold status   : FAILED AT LEAST ONCE", 22 + 52),
        " Write errors       : 2",
        STOP,
        "",
        "  Recent sustained write speed (last 60 samples, scale 0..120.0 MB/s)",
        // The threshold 100 lies in the 96..108 band: "-" only where no bar reaches.
        row("  120.0", cells("  ")),
        row("  108.0", cells("-+")),
        row("   96.0", cells("+#")),
        row("   84.0", cells("##")),
        row("   72.0", cells("##")),
        row("   60.0", cells("##")),
        row("   48.0", cells("##")),
        row("   36.0", cells("##")),
        row("   24.0", cells("##")),
        row("   12.0", cells("##")),
        AXIS,
        "             '-' marks the configured 100.0 MB/s threshold",
        "",
        NOTE,
    };
    EXPECT_EQ(out_lines(), expected);
}

TEST_F(Dashboard, ThresholdStatusTexts) {
    struct Case {
        std::vector<double> samples;
        const char* required;
        const char* status;
    } cases[] = {
        {{150, 100}, " Required minimum   :    100.00 MB/s   below threshold samples: 0 / 2",
         "PASS SO FAR"},
        {{150, 99.99, 150, 150},
         " Required minimum   :    100.00 MB/s   below threshold samples: 1 / 4",
         "FAILED AT LEAST ONCE"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        fake_reset();
        Samples s(c.samples);
        draw_write_dashboard(1, 2, 1.0, 1.0, 150.0, &s.set, samples_summary(&s.set, 100.0), 100.0, 0);
        std::vector<std::string> lines = out_lines();
        ASSERT_EQ(lines.size(), 29u);
        EXPECT_EQ(lines[9], c.required);
        EXPECT_EQ(lines[10], pad(std::string(" Threshold status   : ") + c.status, 74));
    }
}

TEST_F(Dashboard, ProgressAndEstimate) {
    struct Case {
        uint64_t written, target;
        double elapsed, active;
        const char* progress;
        const char* elapsed_line;
        const char* average;
    } cases[] = {
        {500000000, 1000000000, 3725.9, 5.0,
         " Progress           :  50.00 %   476.84 MiB / 953.67 MiB",
         " Elapsed            : 01:02:05   ETA: 00:00:05", " Active-write avg   :    100.00 MB/s"},
        // No write time yet: no average, no estimate.
        {500000000, 1000000000, 1.0, 0.0,
         " Progress           :  50.00 %   476.84 MiB / 953.67 MiB",
         " Elapsed            : 00:00:01   ETA: --:--:--", " Active-write avg   :      0.00 MB/s"},
        {0, 1000000000, 0.4, 0.5, " Progress           :   0.00 %   0 B / 953.67 MiB",
         " Elapsed            : 00:00:00   ETA: --:--:--", " Active-write avg   :      0.00 MB/s"},
        {1000000000, 1000000000, 20.0, 10.0,
         " Progress           : 100.00 %   953.67 MiB / 953.67 MiB",
         " Elapsed            : 00:00:20   ETA: 00:00:00", " Active-write avg   :    100.00 MB/s"},
        {0, 0, 0.0, 0.0, " Progress           :   0.00 %   0 B / 0 B",
         " Elapsed            : 00:00:00   ETA: --:--:--", " Active-write avg   :      0.00 MB/s"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.progress);
        fake_reset();
        Samples s({1.0});
        draw_write_dashboard(c.written, c.target, c.elapsed, c.active, 1.0, &s.set, samples_summary(&s.set, 0.0), 0.0, 0);
        std::vector<std::string> lines = out_lines();
        ASSERT_EQ(lines.size(), 28u);
        EXPECT_EQ(lines[4], c.progress);
        EXPECT_EQ(lines[5], c.elapsed_line);
        EXPECT_EQ(lines[8], c.average);
    }
}

// The graph block of a write frame: heading, 10 rows, axis and legend if any.
std::vector<std::string> graph_block(double threshold) {
    std::vector<std::string> lines = out_lines();
    size_t end = threshold > 0 ? 27 : 26;
    EXPECT_EQ(lines.size(), end + 2);
    if (lines.size() < end) return lines;
    return std::vector<std::string>(lines.begin() + 14, lines.begin() + end);
}

std::vector<double> scrolled_history() {
    // Ten fast samples scroll out; the scale then follows the shown ones only.
    std::vector<double> values(10, 1000.0);
    for (int i = 0; i < 60; i++) values.push_back(i % 2 == 0 ? 10.0 : 20.0);
    return values;
}

TEST_F(Dashboard, SpeedGraph) {
    std::string alternating;
    for (int i = 0; i < 30; i++) alternating += " #";
    const std::string full(60, '#');
    struct Case {
        const char* name;
        double threshold;
        std::vector<double> samples;
        std::vector<std::string> block;
    } cases[] = {
        {"slow samples keep the scale at 1", 0.0, {0.25, 0.0},
         {"  Recent sustained write speed (last 60 samples, scale 0..1.0 MB/s)",
          row("    1.0", cells("  ")), row("    0.9", cells("  ")), row("    0.8", cells("  ")),
          row("    0.7", cells("  ")), row("    0.6", cells("  ")), row("    0.5", cells("  ")),
          row("    0.4", cells("  ")), row("    0.3", cells("+ ")), row("    0.2", cells("# ")),
          row("    0.1", cells("# ")), AXIS}},
        {"a small threshold is raised to the scale of 1", 0.5, {0.25},
         {"  Recent sustained write speed (last 60 samples, scale 0..1.0 MB/s)",
          row("    1.0", cells(" ")), row("    0.9", cells(" ")), row("    0.8", cells(" ")),
          row("    0.7", cells(" ")), row("    0.6", cells("-")), row("    0.5", cells(" ")),
          row("    0.4", cells(" ")), row("    0.3", cells("+")), row("    0.2", cells("#")),
          row("    0.1", cells("#")), AXIS,
          "             '-' marks the configured 0.5 MB/s threshold"}},
        {"a threshold on a band edge marks the band above it", 50.0, {100, 30},
         {"  Recent sustained write speed (last 60 samples, scale 0..100.0 MB/s)",
          row("  100.0", cells("# ")), row("   90.0", cells("# ")), row("   80.0", cells("# ")),
          row("   70.0", cells("# ")), row("   60.0", cells("#-")), row("   50.0", cells("# ")),
          row("   40.0", cells("# ")), row("   30.0", cells("##")), row("   20.0", cells("##")),
          row("   10.0", cells("##")), AXIS,
          "             '-' marks the configured 50.0 MB/s threshold"}},
        {"only the last 60 samples are shown", 0.0, scrolled_history(),
         {"  Recent sustained write speed (last 60 samples, scale 0..20.0 MB/s)",
          row("   20.0", alternating), row("   18.0", alternating), row("   16.0", alternating),
          row("   14.0", alternating), row("   12.0", alternating), row("   10.0", full),
          row("    8.0", full), row("    6.0", full), row("    4.0", full), row("    2.0", full),
          AXIS}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake_reset();
        Samples s(c.samples);
        draw_write_dashboard(1, 2, 1.0, 1.0, 1.0, &s.set, samples_summary(&s.set, c.threshold), c.threshold, 0);
        EXPECT_EQ(graph_block(c.threshold), c.block);
    }
}

TEST_F(Dashboard, FramesAreDrawnFromTheTopLeftWithoutClearing) {
    Samples s({5.0});
    g_fake.out_is_console = true;
    draw_write_dashboard(1, 2, 1.0, 1.0, 5.0, &s.set, samples_summary(&s.set, 0.0), 0.0, 0);
    draw_verify_dashboard(1, 2, 1.0, 5.0, samples_summary(&s.set, 0), 0, 0);
    EXPECT_EQ(g_fake.out.rfind("<home>", 0), 0u);
    size_t second = g_fake.out.find("<home>", 1);
    ASSERT_NE(second, std::string::npos);
    EXPECT_EQ(g_fake.out[second - 1], '\n');
    EXPECT_EQ(g_fake.clear_calls, 0);
    EXPECT_EQ(g_fake.out.find("<clear>"), std::string::npos);
    // Every row is emptied before it is written: nothing of a longer old row stays.
    size_t rows = 0;
    for (size_t at = 0; (at = g_fake.out.find('\n', at)) != std::string::npos; ++at) {
        ++rows;
        if (at + 1 < g_fake.out.size() && g_fake.out.compare(at + 1, 6, "<home>") != 0) {
            EXPECT_EQ(g_fake.out.compare(at + 1, 7, "<erase>"), 0) << g_fake.out.substr(at + 1, 40);
        }
    }
    EXPECT_EQ(rows, 28u + 14u);
    EXPECT_EQ(g_fake.out.compare(6, 7, "<erase>"), 0);

    // Without a terminal the frames simply follow each other.
    fake_reset();
    draw_write_dashboard(1, 2, 1.0, 1.0, 5.0, &s.set, samples_summary(&s.set, 0.0), 0.0, 0);
    draw_write_dashboard(1, 2, 1.0, 1.0, 5.0, &s.set, samples_summary(&s.set, 0.0), 0.0, 0);
    std::vector<std::string> lines = out_lines();
    ASSERT_EQ(lines.size(), 56u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 28),
              std::vector<std::string>(lines.begin() + 28, lines.end()));
}

TEST_F(Dashboard, VerifyFrameIs14Lines) {
    Samples s({60, 63});
    draw_verify_dashboard(250000000, 1000000000, 4.2, 61.5, samples_summary(&s.set, 0), 1, 2);
    std::vector<std::string> expected = {
        RULE, TITLE, RULE,
        pad(" Phase              : READ-BACK VERIFICATION", 77),
        " Progress           :  25.00 %   238.42 MiB / 953.67 MiB",
        " Elapsed            : 00:00:04",
        " Current read speed :     61.50 MB/s",
        " Read speed stats   : min    60.00 | avg    61.50 | median    61.50 | max    63.00 MB/s",
        " Data mismatches    : 1",
        " Read errors        : 2",
        STOP,
        std::string(80, ' '),
        pad(" Verification compares every byte with a deterministic position-dependent", 78),
        pad(" pattern. A mismatch indicates corruption, misplaced data, or incomplete data.", 79),
    };
    EXPECT_EQ(out_lines(), expected);
}

TEST_F(Dashboard, VerifyFrameOfEmptySetAndNoTotal) {
    Samples s({});
    draw_verify_dashboard(0, 0, 0.0, 0.0, samples_summary(&s.set, 0), 0, 0);
    std::vector<std::string> lines = out_lines();
    ASSERT_EQ(lines.size(), 14u);
    EXPECT_EQ(lines[4], " Progress           :   0.00 %   0 B / 0 B");
    EXPECT_EQ(lines[7],
              " Read speed stats   : min     0.00 | avg     0.00 | median     0.00 | max     0.00 MB/s");
}

}  // namespace
