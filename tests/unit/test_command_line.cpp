// Command lines: each with the exit code of the whole program on the fake
// platform (no standard input), the first line on standard error and the
// answers it stands for.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake/fake_platform.h"
#include "run/command_line.h"

namespace {

const wchar_t* const TEST_FILE = L"/mnt/card/tesselmark-drive-test.bin";

std::string narrow(const wchar_t* text) {
    std::string out;
    for (; *text; ++text) out += (char)*text;
    return out;
}

std::string number(double value) {
    char text[32];
    snprintf(text, sizeof text, "%g", value);
    return text;
}

// The parsed record as one line: the action, then each answer that was given.
std::string describe(const CommandLine& line) {
    static const char* const actions[] = {"run",   "help", "version", "verify",
                                          "chart", "bad",  "list",    "probe"};
    std::string s = actions[line.action];
    if (line.action == COMMAND_HELP && line.command != COMMAND_RUN) s += " " + std::string(actions[line.command]);
    const DialogueAnswers& a = line.run.answers;
    if (a.directory) s += " dir=" + narrow(a.directory);
    if (line.run.drive_count > 1) s += " drives=" + std::to_string(line.run.drive_count);
    if (a.file_name) s += " file=" + narrow(a.file_name);
    if (a.size_given) s += " size=" + number(a.size_gib);
    if (a.duration_given) s += " duration=" + number(a.duration_min);
    if (a.min_speed_given) s += " min=" + number(a.min_speed_mbps);
    if (a.verify_given) s += " verify=" + std::to_string(a.verify);
    if (a.log_path) s += " log=" + narrow(a.log_path);
    if (a.delete_given) s += " delete=" + std::to_string(a.delete_file);
    if (a.yes) s += " yes";
    if (line.run.quiet) s += " quiet";
    if (line.run.json_path) s += " json=" + narrow(line.run.json_path);
    if (line.run.chart_path) s += " chart=" + narrow(line.run.chart_path);
    const VerifyOptions& v = line.verify;
    if (v.file) s += " file=" + narrow(v.file);
    if (v.log) s += " log=" + narrow(v.log);
    if (v.json) s += " json=" + narrow(v.json);
    if (v.quiet) s += " quiet";
    if (v.yes) s += " yes";
    if (v.expect_bytes) s += " expect=" + std::to_string(v.expect_bytes);
    if (line.chart.log) s += " log=" + narrow(line.chart.log);
    if (line.chart.svg) s += " svg=" + narrow(line.chart.svg);
    if (line.list.json) s += " json=" + narrow(line.list.json);
    const ProbeOptions& p = line.probe;
    if (p.device) s += " device=" + narrow(p.device);
    if (p.restore) s += " restore=" + narrow(p.restore);
    if (p.journal) s += " journal=" + narrow(p.journal);
    if (p.json) s += " json=" + narrow(p.json);
    if (p.quiet) s += " quiet";
    if (p.yes) s += " yes";
    return s;
}

struct Case {
    const char* args; // split at blanks
    int exit_code;
    const char* err; // the start of the first line on standard error
    const char* answers;
};

const Case CASES[] = {
    {"", 1, "", "run"},
    {"--help", 0, "", "help"},
    {"-h --dir /x --size 1", 0, "", "help dir=/x size=1"},
    {"-V", 0, "", "version"},
    {"--dir /mnt/card --size 0.015625 --min-speed 0 --verify --log /home/user/l.csv --delete --yes",
     0, "", "run dir=/mnt/card size=0.015625 min=0 verify=1 log=/home/user/l.csv delete=1 yes"},
    {"--dir=/mnt/card --size=1e30 --yes", 1, "Requested size is too large.",
     "run dir=/mnt/card size=1e+30 yes"},
    {"--dir /mnt/card --size 0.015625 --min-speed V30 --no-verify --keep -y -q --json "
     "/home/user/s.json",
     0, "",
     "run dir=/mnt/card size=0.015625 min=30 verify=0 delete=0 yes quiet json=/home/user/s.json"},
    {"--min-speed u3 --duration 1.5 --file x.bin --chart c.svg", 1, "",
     "run file=x.bin duration=1.5 min=30 chart=c.svg"},
    {"--size 1 --size 1 --verify --verify", 1, "", "run size=1 verify=1"},
    {"--dir /mnt/card --size 0.015625 --yes", 0, "", "run dir=/mnt/card size=0.015625 yes"},
    {"--dir /mnt/card/ --file a:b --yes", 1,
     "Invalid filename. Use a filename only, without path separators.",
     "run dir=/mnt/card/ file=a:b yes"},
    {"--dir /mnt/nowhere --yes", 1,
     "Target directory is not accessible: ", "run dir=/mnt/nowhere yes"},
    {"--dir /mnt/card --size 1 --yes --json /mnt/card/tesselmark-drive-test.bin", 1,
     "Refused: the JSON summary path '/mnt/card/tesselmark-drive-test.bin' names the same file "
     "as the test file path '/mnt/card/tesselmark-drive-test.bin'.",
     "run dir=/mnt/card size=1 yes json=/mnt/card/tesselmark-drive-test.bin"},
    {"--bogus", 1, "drive-test: unknown option '--bogus'", "bad"},
    {"--dir /mnt/card -x", 1, "drive-test: unknown option '-x'", "bad"},
    {"--dir /mnt/card stray", 1, "drive-test: unexpected argument 'stray'", "bad"},
    {"--dir", 1, "drive-test: option '--dir' needs a value", "bad"},
    {"--log --yes", 1, "drive-test: option '--log' needs a value", "bad"},
    {"--file=", 1, "drive-test: option '--file' needs a value", "bad"},
    {"--size abc", 1, "drive-test: invalid value 'abc' for option '--size'", "bad"},
    {"--duration=-1", 1, "drive-test: invalid value '-1' for option '--duration'", "bad"},
    {"--min-speed V31", 1, "drive-test: invalid value 'V31' for option '--min-speed'", "bad"},
    {"--verify --no-verify", 1,
     "drive-test: options '--verify' and '--no-verify' contradict each other", "bad"},
    {"--keep --delete", 1, "drive-test: options '--keep' and '--delete' contradict each other",
     "bad"},
    {"--delete --keep", 1, "drive-test: options '--delete' and '--keep' contradict each other",
     "bad"},
    {"--size 1 --size 2", 1, "drive-test: option '--size' is given twice with different values",
     "bad"},
    {"--yes --size 1", 1, "drive-test: option '--yes' needs '--dir'", "bad"},
    // Several drives: no dialogue, one output file per drive, one drive per volume.
    {"--dir /mnt/card --dir /mnt/b", 1, "drive-test: several '--dir' need '--yes'", "bad"},
    {"--dir /mnt/card --dir /mnt/b -y --log l.csv", 1,
     "drive-test: option '--log' needs '{n}' with several '--dir'", "bad"},
    {"--dir /mnt/card --dir /mnt/b -y --log l{n}.csv --chart c.svg", 1,
     "drive-test: option '--chart' needs '{n}' with several '--dir'", "bad"},
    {"--dir /mnt/card/ --dir /mnt/card/x --yes --json s{n}.json", 1,
     "Directories /mnt/card/ and /mnt/card/x are on the same volume",
     "run dir=/mnt/card/ drives=2 yes json=s{n}.json"},
    {"--quiet=1", 1, "drive-test: option '--quiet' takes no value", "bad"},
    // Numbers: -0 and an underflow are refused, not taken as 0 (the maximum); inf is a number.
    {"--size 1e-400", 1, "drive-test: invalid value '1e-400' for option '--size'", "bad"},
    {"--size=-0", 1, "drive-test: invalid value '-0' for option '--size'", "bad"},
    {"--duration=-0.0", 1, "drive-test: invalid value '-0.0' for option '--duration'", "bad"},
    {"--dir /mnt/card --size 0.015625 --min-speed inf --no-verify --yes", 0, "",
     "run dir=/mnt/card size=0.015625 min=inf verify=0 yes"},
    // The subcommands: the same rules, the same messages, their own --help.
    {"verify --log=/home/user/v.csv --json /home/user/v.json -q -y --expect-bytes 4096 "
     "/mnt/card/kept.bin",
     3, "Cannot read the test file: [2]",
     "verify file=/mnt/card/kept.bin log=/home/user/v.csv json=/home/user/v.json quiet yes "
     "expect=4096"},
    {"verify -- -kept.bin", 3, "Cannot read the test file: [2]", "verify file=-kept.bin"},
    {"verify --help", 0, "", "help verify"},
    {"verify -h --yes x", 0, "", "help verify file=x yes"},
    {"verify", 1, "drive-test: missing the test file to verify", "bad"},
    {"verify --yes", 1, "drive-test: missing the test file to verify", "bad"},
    {"probe -y -q --json=/home/user/p.json --journal /home/user/p.journal /dev/sdz", 1,
     "Refused: /dev/sdz cannot be examined",
     "probe device=/dev/sdz journal=/home/user/p.journal json=/home/user/p.json quiet yes"},
    {"probe --restore /home/user/p.journal --yes", 1, "", "probe restore=/home/user/p.journal yes"},
    {"probe --help", 0, "", "help probe"},
    {"probe", 1, "drive-test: missing the device to probe", "bad"},
    {"probe --restore j /dev/sdz", 1,
     "drive-test: option '--restore' takes the journal: give no device with it", "bad"},
    {"probe --restore j --journal k", 1,
     "drive-test: option '--restore' takes no '--journal' or '--json'", "bad"},
    {"probe --dir /mnt/card /dev/sdz", 1, "drive-test: unknown option '--dir'", "bad"},
    {"probe /dev/sdz /dev/sdy", 1, "drive-test: unexpected argument '/dev/sdy'", "bad"},
    {"verify a b", 1, "drive-test: unexpected argument 'b'", "bad"},
    {"verify --dir x", 1, "drive-test: unknown option '--dir'", "bad"},
    {"verify --frobnicate x", 1, "drive-test: unknown option '--frobnicate'", "bad"},
    {"verify --log x", 1, "drive-test: missing the test file to verify", "bad"},
    {"verify --log", 1, "drive-test: option '--log' needs a value", "bad"},
    {"verify --log=a --log=b x", 1, "drive-test: option '--log' is given twice", "bad"},
    {"verify --quiet=1 x", 1, "drive-test: option '--quiet' takes no value", "bad"},
    {"verify --expect-bytes 0 x", 1, "drive-test: invalid value '0' for option '--expect-bytes'",
     "bad"},
    {"verify --expect-bytes=1e6 x", 1,
     "drive-test: invalid value '1e6' for option '--expect-bytes'", "bad"},
    {"chart run.csv", 1, "run.csv: cannot open the log: [2]", "chart log=run.csv"},
    {"chart --output=o.svg -- -run.csv", 1, "-run.csv: cannot open the log: [2]",
     "chart log=-run.csv svg=o.svg"},
    {"chart --help", 0, "", "help chart"},
    {"chart -x run.csv", 1, "drive-test: unknown option '-x'", "bad"},
    {"chart --json j run.csv", 1, "drive-test: unknown option '--json'", "bad"},
    {"chart -o", 1, "drive-test: option '--output' needs a value", "bad"},
    {"chart a.csv b.csv", 1, "drive-test: unexpected argument 'b.csv'", "bad"},
    {"chart", 1, "drive-test: missing the log to chart", "bad"},
    {"list", 0, "", "list"},
    {"list --json=/home/user/disks.json", 0, "", "list json=/home/user/disks.json"},
    {"list --json /home/user/disks.json --json /home/user/other.json", 1,
     "drive-test: option '--json' is given twice", "bad"},
    {"list --help", 0, "", "help list"},
    {"list --json", 1, "drive-test: option '--json' needs a value", "bad"},
    {"list --dir /mnt/card", 1, "drive-test: unknown option '--dir'", "bad"},
    {"list -y", 1, "drive-test: unknown option '-y'", "bad"},
    {"list /dev/sdb", 1, "drive-test: unexpected argument '/dev/sdb'", "bad"},
};

class CommandLineTable : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_reset_with_card();
        fake_stdin("");
    }
};

TEST_F(CommandLineTable, ExitCodeFirstErrorLineAndAnswers) {
    for (const Case& c : CASES) {
        const std::string text = c.args;
        std::vector<std::wstring> words;
        size_t at = 0;
        while (at < text.size()) {
            size_t end = text.find(' ', at);
            if (end == std::string::npos) end = text.size();
            if (end > at) words.emplace_back(text.begin() + (long)at, text.begin() + (long)end);
            at = end + 1;
        }
        std::vector<const wchar_t*> args;
        for (const std::wstring& w : words) args.push_back(w.c_str());

        SetUp();
        CommandLine line;
        parse_command_line((int)args.size(), args.data(), &line);
        EXPECT_EQ(describe(line), c.answers) << c.args;

        SetUp();
        EXPECT_EQ(command_line_main((int)args.size(), args.data()), c.exit_code) << c.args;
        std::string first = g_fake.err.substr(0, g_fake.err.find('\n'));
        EXPECT_EQ(first.rfind(c.err, 0), 0u) << c.args << " gave " << g_fake.err;
        if (line.action == COMMAND_BAD) {
            EXPECT_EQ(g_fake.err, first + "\nTry 'drive-test --help'.\n") << c.args;
            EXPECT_EQ(g_fake.out, "") << c.args;
        }
        if (c.exit_code != 0) {
            EXPECT_FALSE(g_fake.files.count(TEST_FILE)) << c.args;
        }
        if (line.action == COMMAND_HELP) {
            const std::string usage = line.command == COMMAND_VERIFY  ? "Usage: drive-test verify "
                                      : line.command == COMMAND_CHART ? "Usage: drive-test chart "
                                      : line.command == COMMAND_LIST  ? "Usage: drive-test list "
                                      : line.command == COMMAND_PROBE ? "Usage: drive-test probe "
                                                                      : "Usage: drive-test [";
            EXPECT_EQ(g_fake.out.rfind(usage, 0), 0u) << c.args;
        }
        // A batch run shows no question but the confirmations it answered itself.
        for (size_t p = g_fake.out.find("]: "); line.run.answers.yes && p != std::string::npos;
             p = g_fake.out.find("]: ", p + 1))
            EXPECT_EQ(g_fake.out.compare(p, 5, "]: y\n"), 0) << c.args;
        // Without --min-speed a batch run takes the dialogue's default minimum.
        if (line.run.answers.yes && !line.run.answers.min_speed_given && c.exit_code == 0) {
            EXPECT_NE(g_fake.out.find("Threshold   : 100.00 MB/s\n"), std::string::npos) << c.args;
        }
    }
}

} // namespace
