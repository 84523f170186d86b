// The configuration dialogue on scripted input against fake volumes.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fake/fake_platform.h"
#include "run/dialogue.h"
#include "engine/test_config.h"

namespace {

class Dialogue : public ::testing::Test {
protected:
    std::unique_ptr<TestConfig> config;

    void SetUp() override {
        fake_reset();
        g_fake.current_dir = L"/home/user/";
        FakeVolume card;
        card.root = L"/mnt/card/";
        card.free_bytes = (8ull << 30) + 268435456;
        card.logical = 512;
        card.physical = 4096;
        card.filesystem = L"exfat";
        FakeVolume home = card;
        home.root = L"/home/";
        home.filesystem = L"ext4";
        g_fake.volumes = {card, home};
        g_fake.files[L"/home/user"].is_dir = true;
        g_fake.files[L"/mnt/card/notes.txt"] = FakeFile{};
    }

    int run(const std::string& answers) {
        config = std::make_unique<TestConfig>();
        fake_stdin(answers);
        return run_configuration_dialogue(config.get());
    }
};

TEST_F(Dialogue, ConfirmedRunFillsTheConfig) {
    ASSERT_EQ(run("/mnt/card\n\n1\n1.5\n\n\nrun.csv\ny\ny\n"), DIALOGUE_CONFIRMED) << g_fake.err;
    EXPECT_STREQ(config->target_dir, L"/mnt/card/");
    EXPECT_STREQ(config->file_name, L"tesselmark-drive-test.bin");
    EXPECT_STREQ(config->target_path, L"/mnt/card/tesselmark-drive-test.bin");
    EXPECT_STREQ(config->log_path, L"/home/user/run.csv");
    EXPECT_STREQ(config->volume_root, L"/mnt/card/");
    EXPECT_STREQ(config->filesystem, L"exfat");
    EXPECT_EQ(config->target_bytes, 1ull << 30);
    EXPECT_DOUBLE_EQ(config->duration_limit_s, 90.0);
    EXPECT_DOUBLE_EQ(config->minimum_required_mbps, 100.0);
    EXPECT_EQ(config->alignment_bytes, 4096u);
    EXPECT_EQ(config->block_size_bytes, 8388608u);
    EXPECT_EQ(config->verification_requested, 1);
    EXPECT_EQ(config->delete_after_test, 1);
    const std::string summary =
        "\nTarget file : /mnt/card/tesselmark-drive-test.bin\n"
        "Test size   : 1.00 GiB\n"
        "Threshold   : 100.00 MB/s\n"
        "Verification: yes\n"
        "Log         : /home/user/run.csv\n\n"
        "START TEST? [y/N]: ";
    EXPECT_NE(g_fake.out.find(summary), std::string::npos) << g_fake.out;
    EXPECT_NE(g_fake.out.find("Log path [drive-test-20261208-210509.csv]: "), std::string::npos);
    EXPECT_EQ(g_fake.out.find("WARNING"), std::string::npos);
}

TEST_F(Dialogue, HintsOfTheDriveComeOneLineEachBeforeStart) {
    g_fake.identity.usb.known = 1;
    g_fake.identity.usb.speed_mbps = 480;
    snprintf(g_fake.identity.usb.version, sizeof g_fake.identity.usb.version, "3.10");
    g_fake.identity.card.known = 1; // all zero: no manufacturer, no name, serial 0
    snprintf(g_fake.identity.model, sizeof g_fake.identity.model, "Ultra Fit");
    ASSERT_EQ(run("/mnt/card\n\n1\n0\n\n\nrun.csv\nn\ny\n"), DIALOGUE_CONFIRMED) << g_fake.err;
    const std::string tail =
        "Log         : /home/user/run.csv\n\n"
        "Hint: the card's identification looks generic; counterfeit cards often look like this\n"
        "Hint: connected at USB 2.0 speed: a USB 2 port, hub or cable caps it at about 40 MB/s\n"
        "\nSTART TEST? [y/N]: ";
    EXPECT_NE(g_fake.out.find(tail), std::string::npos) << g_fake.out;
    EXPECT_STREQ(config->device.model, "Ultra Fit");
}

TEST_F(Dialogue, ExplicitZeroThresholdAndNoVerification) {
    // -0 and an underflow are asked again; only a plain 0 means the maximum size.
    ASSERT_EQ(run("/mnt/card/\nx.bin\n-0\n1e-400\n0\n0\n0\nn\n\nn\nyes\n"),
              DIALOGUE_CONFIRMED);
    const std::string retry = "Invalid value. Please enter a number >= 0.00.\n";
    size_t second = g_fake.out.find(retry, g_fake.out.find(retry) + 1);
    EXPECT_NE(second, std::string::npos);
    EXPECT_EQ(g_fake.out.find(retry, second + 1), std::string::npos);
    EXPECT_DOUBLE_EQ(config->minimum_required_mbps, 0.0);
    EXPECT_EQ(config->verification_requested, 0);
    EXPECT_EQ(config->target_bytes, 8ull << 30);
    EXPECT_STREQ(config->log_path, L"/home/user/drive-test-20261208-210509.csv");
    EXPECT_NE(g_fake.out.find("Threshold   : 0.00 MB/s\nVerification: no\n"), std::string::npos);
}

struct Refusal {
    const char* answers;
    const char* err;  // expected start of standard error
};

TEST_F(Dialogue, EveryRefusalCancelsWithItsMessage) {
    const Refusal cases[] = {
        {"", ""},
        {"\n", ""},
        {"/mnt/nowhere/\n", "Target directory is not accessible: "},
        {"/mnt/card/notes.txt\n", "Target directory is not accessible: "},
        {"\"/mnt/card/\"\n", "Target directory is not accessible: "},
        {"/mnt/card/\n", ""},
        {"/mnt/card/\na:b\n", "Invalid filename. Use a filename only, without path separators.\n"},
        {"/mnt/card/\na/b\n", "Invalid filename."},
        {"/mnt/card/\na\tb\n", "Invalid filename."},
        {"/mnt/card/\nwhy?\n", "Invalid filename."},
        {"/mnt/card/\n.\n", "Invalid filename."},
        {"/mnt/card/\n..\n", "Invalid filename."},
        {"/mnt/card/\nbad\xff\n", "Input is not valid UTF-8 text.\nInvalid filename."},
        {"/mnt/card/\nnotes.txt\n\n", ""},
        {"/mnt/card/\nnotes.txt\nn\n", ""},
        {"/mnt/card/\n\n9\n", ""},
        {"/mnt/card/\n\n1\n0\n0\ny\n", ""},
        {"/mnt/card/\n\n1\n0\n0\ny\n/mnt/card/tesselmark-drive-test.bin\n",
         "The log path must not be the test file.\n"},
        {"/mnt/card/\n\n1\n0\n0\ny\n/mnt/card/log.csv\nn\n", ""},
        {"/mnt/card/\n\n1\n0\n0\ny\n/mnt/card/log.csv\n\n", ""},
        {"/mnt/card/\n\n1\n0\n0\ny\n/mnt/card/log.csv\n\nn\ny\n", ""},
        {"/mnt/card/\n\n1\n0\n0\ny\n\nn\nn\n", ""},
        {"/mnt/card/\n\n1\n0\n0\ny\n\nn\n\n", ""},
    };
    for (const Refusal& c : cases) {
        SetUp();
        EXPECT_EQ(run(c.answers), DIALOGUE_CANCELLED) << c.answers;
        EXPECT_EQ(g_fake.err.rfind(c.err, 0), 0u) << c.answers << " gave " << g_fake.err;
        EXPECT_FALSE(g_fake.files.count(L"/mnt/card/tesselmark-drive-test.bin")) << c.answers;
    }
}

TEST_F(Dialogue, NamesThatLookOddButAreAccepted) {
    for (const char* name : {"CON", "name.", "trailing ", "Prüfung-测试.bin"}) {
        SetUp();
        run(std::string("/mnt/card/\n") + name + "\n");
        EXPECT_EQ(g_fake.err, "") << name;
    }
}

TEST_F(Dialogue, ExistingFileIsOverwrittenOnlyAfterYes) {
    ASSERT_EQ(run("/mnt/card/\nnotes.txt\ny\n1\n\n\n\n/home/user/l.csv\n\ny\n"),
              DIALOGUE_CONFIRMED);
    EXPECT_NE(g_fake.out.find("\nThe test file already exists and will be overwritten:\n"
                              "  /mnt/card/notes.txt\nOverwrite it? [y/N]: "),
              std::string::npos);
}

TEST_F(Dialogue, FatSegmentsOfAnEarlierRunAreCoveredAndALargeTestIsSplit) {
    const struct {
        const wchar_t* fs;
        std::vector<const wchar_t*> files;
        const char* answers;
        const char* listing;  // from the question's first line to the prompt
        uint64_t segment_bytes;
        const char* settings;  // the settings lines after the size
    } cases[] = {
        {L"vfat", {L"x.bin", L"x.bin.001", L"x.bin.002", L"x.bin.003", L"x.bin.005"}, "y\n5\n",
         "  /mnt/card/x.bin\n  /mnt/card/x.bin.001 ... /mnt/card/x.bin.003 (3 segment files)\n",
         4286578688ull,
         "Test size   : 5.00 GiB\n"
         "Segments    : 2 files of at most 3.99 GiB (the volume's file-size limit)\nThreshold"},
        {L"FAT32", {L"x.bin.001"}, "y\n3\n", "  /mnt/card/x.bin.001 (1 segment file)\n", 0,
         "Test size   : 3.00 GiB\nThreshold"},
        {L"exfat", {L"x.bin", L"x.bin.001"}, "y\n5\n", "  /mnt/card/x.bin\n", 0,
         "Test size   : 5.00 GiB\nThreshold"},
        {L"exfat", {L"x.bin.001"}, "5\n", nullptr, 0, "Test size   : 5.00 GiB\nThreshold"},
    };
    for (const auto& c : cases) {
        SetUp();
        g_fake.volumes[0].filesystem = c.fs;
        for (const wchar_t* name : c.files) g_fake.files[std::wstring(L"/mnt/card/") + name] = {};
        ASSERT_EQ(run(std::string("/mnt/card/\nx.bin\n") + c.answers + "\n\n\n/home/user/l.csv\n\ny\n"),
                  DIALOGUE_CONFIRMED) << c.answers << g_fake.out;
        std::string question = "\nThe test file already exists and will be overwritten:\n";
        if (c.listing) {
            EXPECT_NE(g_fake.out.find(question + c.listing + "Overwrite it? [y/N]: "),
                      std::string::npos) << g_fake.out;
        } else {
            EXPECT_EQ(g_fake.out.find(question), std::string::npos) << g_fake.out;
        }
        EXPECT_EQ(config->segment_bytes, c.segment_bytes);
        EXPECT_NE(g_fake.out.find(c.settings), std::string::npos) << g_fake.out;
    }
}

TEST_F(Dialogue, LogOnTheTargetVolumeAsksFirst) {
    ASSERT_EQ(run("/mnt/card/\n\n1\n\n\n\n/mnt/card/log.csv\ny\n\ny\n"), DIALOGUE_CONFIRMED);
    EXPECT_NE(g_fake.out.find("\nWARNING: The CSV log is on the SAME VOLUME as the test file.\n"
                              "That adds extra writes and can slightly distort the measurement.\n"
                              "Continue with this log location? [y/N]: "),
              std::string::npos);
}

TEST_F(Dialogue, InputEndingAfterTheNameFallsBackThenCancelsAtTheLog) {
    EXPECT_EQ(run("/mnt/card/\n\n"), DIALOGUE_CANCELLED);
    for (const char* prompt : {"Test size in GiB", "Optional duration limit", "Required minimum",
                               "Verify the written file", "Log path ["})
        EXPECT_NE(g_fake.out.find(prompt), std::string::npos) << prompt;
    EXPECT_DOUBLE_EQ(config->minimum_required_mbps, 100.0);
    EXPECT_EQ(config->verification_requested, 1);
    EXPECT_EQ(g_fake.out.find("Delete the test file"), std::string::npos);
}

}  // namespace
