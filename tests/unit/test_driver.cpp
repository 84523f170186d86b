// Whole runs through the driver against the fake platform: the exit code and
// what decides whether verification runs.
#include <gtest/gtest.h>

#include <string>
#include <string.h>

#include "console/console.h"
#include "engine/pattern.h"
#include "fake/fake_platform.h"
#include "run/driver.h"
#include "run/run_options.h"

namespace {

const wchar_t* const TEST_FILE = L"/mnt/card/tesselmark-drive-test.bin";

class Driver : public ::testing::Test {
protected:
    void SetUp() override {
        fake_reset_with_card();
    }
    // 16 MiB, no time limit, the given threshold and verification, log in the home dir.
    int run(const char* threshold = "0", const char* verify = "y", const char* size = "0.015625") {
        fake_stdin(std::string("/mnt/card/\n\n") + size + "\n0\n" + threshold + "\n" + verify +
                   "\n/home/user/log.csv\nn\ny\n");
        return drive_test_main();
    }
};

TEST_F(Driver, EndOfInputAtTheFirstPromptCancels) {
    fake_stdin("");
    EXPECT_EQ(drive_test_main(), 1);
    EXPECT_EQ(g_fake.out,
              "Tesselmark Drive Sustained Write Test v0.1.0\n"
              "Native Linux sustained storage write test\n\n"
              "WARNING: This creates a very large test file and can fill the selected drive.\n"
              "It does not format the drive and does not intentionally modify other files.\n\n"
              "Target directory (example /media/usb/): "
              "\nTest cancelled or configuration failed.\n");
    EXPECT_EQ(g_fake.handler, nullptr);
}

TEST_F(Driver, LogThatCannotBeCreatedEndsWithTwo) {
    fake_stdin("/mnt/card/\n\n0.015625\n0\n0\ny\n/nope/log.csv\nn\ny\n");
    EXPECT_EQ(drive_test_main(), 2);
    EXPECT_EQ(g_fake.err, "Could not create log file: /nope/log.csv\n");
    EXPECT_FALSE(g_fake.files.count(TEST_FILE));
    EXPECT_EQ(g_fake.out.find("Test cancelled"), std::string::npos);
}

TEST_F(Driver, CleanRunVerifiesAfterThePauseAndPasses) {
    EXPECT_EQ(run(), 0) << g_fake.err;
    const std::vector<uint8_t>& data = fake_file(TEST_FILE);
    ASSERT_EQ(data.size(), 16u << 20);
    EXPECT_EQ(pattern_first_mismatch(data.data(), 0, (uint32_t)data.size()), -1);
    EXPECT_EQ(g_fake.sleeps, std::vector<uint32_t>{250});
    EXPECT_EQ(g_fake.read_calls, 2u);
    EXPECT_EQ(g_fake.page_buffers, 0);
    EXPECT_EQ(g_fake.open_files, 0);
    EXPECT_EQ(g_fake.handler, nullptr);
}

// With a second CPU each phase runs one helper beside its I/O calls, joined
// before the phase returns; one CPU runs none.
TEST_F(Driver, EveryCpuCountWritesAndVerifiesThePatternAndJoinsItsHelpers) {
    const struct {
        uint32_t cpus;
        int helpers;
    } cases[] = {{1, 0}, {2, 2}, {64, 2}};
    for (const auto& c : cases) {
        SetUp();
        g_fake.cpus = c.cpus;
        EXPECT_EQ(run(), 0) << c.cpus << " CPUs: " << g_fake.err;
        const std::vector<uint8_t>& data = fake_file(TEST_FILE);
        ASSERT_EQ(data.size(), 16u << 20);
        EXPECT_EQ(pattern_first_mismatch(data.data(), 0, (uint32_t)data.size()), -1);
        EXPECT_EQ(g_fake.threads_started, c.helpers) << c.cpus << " CPUs";
        EXPECT_EQ(g_fake.threads_running, 0) << c.cpus << " CPUs";

        SetUp();
        g_fake.cpus = c.cpus;
        g_fake.corrupt_offsets = {(12u << 20) + 5};
        EXPECT_EQ(run(), 3) << c.cpus << " CPUs";
    }
}

TEST_F(Driver, StopDuringWriteStillVerifiesWhatWasWritten) {
    g_fake.on_write = [](uint64_t) { g_stop_requested.store(1); };
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(g_fake.write_calls, 1u);
    EXPECT_EQ(g_fake.read_calls, 1u);
    EXPECT_EQ(g_stop_requested.load(), 0);
}

// A stop pending from the dialogue (Ctrl+C) stops a started test before its
// first block; an end request (terminate, hang-up) cancels the dialogue, also
// when --yes left no question to ask.
TEST_F(Driver, StopOrEndRequestedBeforeTheStart) {
    struct Case { int32_t flag; int yes; int exit_code; } cases[] = {
        {STOP_PHASE, 0, 0}, {STOP_END, 0, 1}, {STOP_END, 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flag * 10 + c.yes);
        SetUp();
        g_stop_requested.store(c.flag);
        RunOptions options = {};
        options.answers.directory = L"/mnt/card/";
        options.answers.size_given = 1;
        options.answers.size_gib = 0.015625;
        options.answers.log_path = L"/home/user/log.csv";
        options.answers.yes = c.yes;
        fake_stdin("\n0\n0\ny\nn\ny\n");
        EXPECT_EQ(drive_test_main(&options), c.exit_code);
        EXPECT_EQ(g_fake.write_calls, 0u);
        EXPECT_TRUE(g_fake.sleeps.empty());
        EXPECT_EQ(g_fake.files.count(TEST_FILE), c.exit_code == 0 ? 1u : 0u);
    }
}

// A key stops the write and the verification still runs; the session going
// away (terminate, hang-up, window close, log-off, shutdown) ends the run with
// the summary and the report, and a verification that did not run is a fail.
TEST_F(Driver, EndRequestSkipsTheVerificationAndSavesTheSummary) {
    struct Case { uint32_t event; const char* verify; int exit_code; uint64_t reads; } cases[] = {
        {PLAT_CTRL_C, "y", 0, 1},
        {PLAT_CTRL_SHUTDOWN, "y", 3, 0},
        {PLAT_CTRL_CLOSE, "y", 3, 0},
        {PLAT_CTRL_LOGOFF, "y", 3, 0},
        {PLAT_CTRL_SHUTDOWN, "n", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.event);
        SetUp();
        static uint32_t event;
        event = c.event;
        g_fake.on_write = [](uint64_t) { g_fake.handler(event); };
        EXPECT_EQ(run("0", c.verify), c.exit_code);
        EXPECT_EQ(g_fake.write_calls, 1u);
        EXPECT_EQ(g_fake.read_calls, c.reads);
        EXPECT_EQ(g_fake.sleeps.size(), c.reads);
        EXPECT_TRUE(g_fake.ctrl_released);
        EXPECT_NE(g_fake.out.find("Write status       : STOPPED BY USER / LIMIT"), std::string::npos);
    }
}

// Only a window opened for this run alone waits for Enter, and not when it is
// already closing.
TEST_F(Driver, WindowOfItsOwnWaitsForEnterAtTheEnd) {
    const std::string prompt = "\nPress Enter to close this window.";
    struct Case { bool alone; uint32_t event; const char* extra; bool waits; } cases[] = {
        {false, 0, "", false},
        {true, 0, "any text\n", true},
        {true, PLAT_CTRL_CLOSE, "", false},
        {true, PLAT_CTRL_C, "\n", true},
    };
    for (const auto& c : cases) {
        SetUp();
        g_fake.console_closes_with_process = c.alone;
        static uint32_t event;
        event = c.event;
        if (c.event) g_fake.on_write = [](uint64_t) { g_fake.handler(event); };
        const std::string answers = "/mnt/card/\n\n0.015625\n0\n0\ny\n/home/user/log.csv\nn\ny\n";
        fake_stdin(answers + c.extra + "rest");
        drive_test_main();
        bool waited = g_fake.out.size() >= prompt.size() &&
                      g_fake.out.compare(g_fake.out.size() - prompt.size(), prompt.size(), prompt) == 0;
        EXPECT_EQ(waited, c.waits) << c.alone << " " << c.event;
        EXPECT_EQ(g_fake.stdin_pos, answers.size() + strlen(c.extra));
    }
    // A cancelled dialogue waits too, so its message can be read.
    SetUp();
    g_fake.console_closes_with_process = true;
    fake_stdin("");
    EXPECT_EQ(drive_test_main(), 1);
    EXPECT_EQ(g_fake.out.substr(g_fake.out.size() - prompt.size() - 41),
              "\nTest cancelled or configuration failed.\n" + prompt);
}

TEST_F(Driver, FailuresEndWithThreeAndSkipVerificationAfterAWriteFailure) {
    g_fake.fail_write_call = 2;
    g_fake.fail_write_error = 112;
    EXPECT_EQ(run(), 3);
    EXPECT_EQ(g_fake.read_calls, 0u);

    SetUp();
    g_fake.corrupt_offsets = {100};
    EXPECT_EQ(run(), 3);

    SetUp();
    g_fake.on_read = [](uint64_t) { g_stop_requested.store(1); };
    EXPECT_EQ(run(), 3);
}

TEST_F(Driver, ThresholdMissAndZeroSizeStillPass) {
    EXPECT_EQ(run("100000"), 0);
    SetUp();
    EXPECT_EQ(run("0", "y", "0.000001"), 0);
    EXPECT_TRUE(g_fake.files.count(TEST_FILE));
    EXPECT_EQ(fake_file(TEST_FILE).size(), 0u);
    EXPECT_EQ(g_fake.read_calls, 0u);
}

}  // namespace
