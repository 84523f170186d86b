// The command line: subcommand dispatch, the test-run options, --help and --version.
#include "run/command_line.h"

#include <string.h>

#include "console/output.h"
#include "console/text.h"
#include "engine/volume_geometry.h"
#include "report/program.h"
#include "run/chart_command.h"
#include "run/driver.h"
#include "run/list_command.h"
#include "run/multi_run.h"
#include "run/probe.h"
#include "run/reverify.h"

namespace {

enum OptionId {
    OPT_DIR,
    OPT_FILE,
    OPT_SIZE,
    OPT_DURATION,
    OPT_MIN_SPEED,
    OPT_VERIFY,
    OPT_NO_VERIFY,
    OPT_LOG,
    OPT_DELETE,
    OPT_KEEP,
    OPT_YES,
    OPT_QUIET,
    OPT_JSON,
    OPT_CHART,
    OPT_HELP,
    OPT_VERSION,
    OPT_EXPECT_BYTES,
    OPT_OUTPUT,
    OPT_JOURNAL,
    OPT_RESTORE,
    OPT_COUNT
};

// Which commands take an option.
enum { RUN = 1, VERIFY = 2, CHART = 4, LIST = 8, PROBE = 16, ALL = RUN | VERIFY | CHART | LIST | PROBE };

struct OptionEntry {
    OptionId id;
    const wchar_t* name; // the long form, without "--"
    wchar_t short_name;  // 0: none
    int takes_value;
    int commands;
};

// In OptionId order: OPTIONS[id] is the option with that id.
const OptionEntry OPTIONS[] = {
    {OPT_DIR, L"dir", 0, 1, RUN},
    {OPT_FILE, L"file", 0, 1, RUN},
    {OPT_SIZE, L"size", 0, 1, RUN},
    {OPT_DURATION, L"duration", 0, 1, RUN},
    {OPT_MIN_SPEED, L"min-speed", 0, 1, RUN},
    {OPT_VERIFY, L"verify", 0, 0, RUN},
    {OPT_NO_VERIFY, L"no-verify", 0, 0, RUN},
    {OPT_LOG, L"log", 0, 1, RUN | VERIFY},
    {OPT_DELETE, L"delete", 0, 0, RUN},
    {OPT_KEEP, L"keep", 0, 0, RUN},
    {OPT_YES, L"yes", L'y', 0, RUN | VERIFY | PROBE},
    {OPT_QUIET, L"quiet", L'q', 0, RUN | VERIFY | PROBE},
    {OPT_JSON, L"json", 0, 1, RUN | VERIFY | LIST | PROBE},
    {OPT_CHART, L"chart", 0, 1, RUN},
    {OPT_HELP, L"help", L'h', 0, ALL},
    {OPT_VERSION, L"version", L'V', 0, RUN},
    {OPT_EXPECT_BYTES, L"expect-bytes", 0, 1, VERIFY},
    {OPT_OUTPUT, L"output", L'o', 1, CHART},
    {OPT_JOURNAL, L"journal", 0, 1, PROBE},
    {OPT_RESTORE, L"restore", 0, 1, PROBE},
};

static_assert(sizeof OPTIONS / sizeof OPTIONS[0] == OPT_COUNT, "one entry per option");

// The video speed classes a card is sold by, as minimum write speeds in MB/s.
struct SpeedClass {
    const wchar_t* name;
    double mbps;
};
const SpeedClass SPEED_CLASSES[] = {{L"C10", 10}, {L"U1", 10},  {L"U3", 30},  {L"V6", 6},
                                    {L"V10", 10}, {L"V30", 30}, {L"V60", 60}, {L"V90", 90}};

// One line naming the fault, then the hint, on standard error.
CommandAction refuse(const char* a, const wchar_t* b = nullptr, const char* c = "",
                     const wchar_t* d = nullptr, const char* e = "") {
    err_printf("drive-test: %s", a);
    if (b) err_wide(b);
    err_printf("%s", c);
    if (d) err_wide(d);
    err_printf("%s\nTry 'drive-test --help'.\n", e);
    return COMMAND_BAD;
}

const OptionEntry* find_long(const wchar_t* name, size_t length, int command) {
    for (const OptionEntry& o : OPTIONS)
        if ((o.commands & command) && wcslen(o.name) == length && !wcsncmp(o.name, name, length))
            return &o;
    return nullptr;
}

const OptionEntry* find_short(wchar_t name, int command) {
    for (const OptionEntry& o : OPTIONS)
        if ((o.commands & command) && o.short_name && o.short_name == name) return &o;
    return nullptr;
}

int parse_min_speed(const wchar_t* text, double* mbps) {
    for (const SpeedClass& s : SPEED_CLASSES) {
        if (ascii_equal_nocase(text, s.name)) {
            *mbps = s.mbps;
            return 1;
        }
    }
    return parse_number_w(text, mbps);
}

// The partner whose flag says the opposite, or OPT_COUNT.
OptionId opposite(OptionId id) {
    switch (id) {
    case OPT_VERIFY: return OPT_NO_VERIFY;
    case OPT_NO_VERIFY: return OPT_VERIFY;
    case OPT_DELETE: return OPT_KEEP;
    case OPT_KEEP: return OPT_DELETE;
    default: return OPT_COUNT;
    }
}

// A byte count above 0: decimal digits only.
int parse_count(const wchar_t* text, uint64_t* out) {
    uint64_t value = 0;
    for (const wchar_t* p = text; *p; p++) {
        if (*p < L'0' || *p > L'9') return 0;
        uint64_t digit = (uint64_t)(*p - L'0');
        if (value > (UINT64_MAX - digit) / 10) return 0;
        value = value * 10 + digit;
    }
    *out = value;
    return value > 0;
}

// Stores a value that passed its rule; 0 when it is malformed.
int store_value(OptionId id, const wchar_t* value, CommandLine* out) {
    RunOptions* run = &out->run;
    DialogueAnswers* a = &run->answers;
    int verify = out->command == COMMAND_VERIFY;
    ProbeOptions* probe = &out->probe;
    if (out->command == COMMAND_PROBE) {
        switch (id) {
        case OPT_JSON: probe->json = value; return 1;
        case OPT_JOURNAL: probe->journal = value; return 1;
        case OPT_RESTORE: probe->restore = value; return 1;
        default: return 0;
        }
    }
    switch (id) {
    case OPT_DIR:
        if (!a->directory) a->directory = value;
        run->directories[run->drive_count++] = value;
        return 1;
    case OPT_FILE: a->file_name = value; return 1;
    case OPT_LOG: *(verify ? &out->verify.log : &a->log_path) = value; return 1;
    case OPT_JSON:
        *(verify                           ? &out->verify.json
          : out->command == COMMAND_LIST ? &out->list.json
                                           : &run->json_path) = value;
        return 1;
    case OPT_CHART: run->chart_path = value; return 1;
    case OPT_OUTPUT: out->chart.svg = value; return 1;
    case OPT_SIZE: return a->size_given = parse_number_w(value, &a->size_gib);
    case OPT_DURATION: return a->duration_given = parse_number_w(value, &a->duration_min);
    case OPT_MIN_SPEED: return a->min_speed_given = parse_min_speed(value, &a->min_speed_mbps);
    case OPT_EXPECT_BYTES: return parse_count(value, &out->verify.expect_bytes);
    default: return 0;
    }
}

void store_flag(OptionId id, CommandLine* out, int* help, int* version) {
    DialogueAnswers* a = &out->run.answers;
    int verify = out->command == COMMAND_VERIFY;
    if (out->command == COMMAND_PROBE && (id == OPT_YES || id == OPT_QUIET)) {
        *(id == OPT_YES ? &out->probe.yes : &out->probe.quiet) = 1;
        return;
    }
    switch (id) {
    case OPT_VERIFY:
    case OPT_NO_VERIFY:
        a->verify_given = 1;
        a->verify = id == OPT_VERIFY;
        break;
    case OPT_DELETE:
    case OPT_KEEP:
        a->delete_given = 1;
        a->delete_file = id == OPT_DELETE;
        break;
    case OPT_YES: *(verify ? &out->verify.yes : &a->yes) = 1; break;
    case OPT_QUIET: *(verify ? &out->verify.quiet : &out->run.quiet) = 1; break;
    case OPT_HELP: *help = 1; break;
    case OPT_VERSION: *version = 1; break;
    default: break;
    }
}

} // namespace

// Several drives answer no question and need an output file each.
static int several_drives_refusal(const RunOptions* run) {
    if (run->drive_count < 2) return 0;
    if (!run->answers.yes) {
        refuse("several '--dir' need '--yes': the drives share no dialogue");
        return 1;
    }
    const wchar_t* const paths[] = {run->answers.log_path, run->json_path, run->chart_path};
    const wchar_t* const names[] = {L"log", L"json", L"chart"};
    for (int i = 0; i < 3; i++) {
        if (paths[i] && !wcsstr(paths[i], DRIVE_NUMBER_MARK)) {
            refuse("option '--", names[i], "' needs '{n}' with several '--dir'");
            return 1;
        }
    }
    return 0;
}

// A probe names its device, a restore its journal alone.
static int probe_refusal(const ProbeOptions* p) {
    if (p->restore && p->device) {
        refuse("option '--restore' takes the journal: give no device with it");
        return 1;
    }
    if (p->restore && (p->journal || p->json)) {
        refuse("option '--restore' takes no '--journal' or '--json'");
        return 1;
    }
    if (!p->restore && !p->device) {
        refuse("missing the device to probe");
        return 1;
    }
    return 0;
}

static CommandAction parse_options(int count, const wchar_t* const* args, CommandLine* out) {
    out->command = COMMAND_RUN;
    static const struct {
        const wchar_t* name;
        CommandAction command;
    } subcommands[] = {{L"verify", COMMAND_VERIFY},
                       {L"chart", COMMAND_CHART},
                       {L"list", COMMAND_LIST},
                       {L"probe", COMMAND_PROBE}};
    for (const auto& sub : subcommands) {
        if (count > 0 && !wcscmp(args[0], sub.name)) {
            out->command = sub.command;
            ++args;
            --count;
            break;
        }
    }
    int command = out->command == COMMAND_VERIFY  ? VERIFY
                  : out->command == COMMAND_CHART ? CHART
                  : out->command == COMMAND_LIST  ? LIST
                  : out->command == COMMAND_PROBE ? PROBE
                                                  : RUN;
    // The one operand of a subcommand: the test file, the log to chart, the device.
    const wchar_t** operand = command == VERIFY  ? &out->verify.file
                              : command == CHART ? &out->chart.log
                              : command == PROBE ? &out->probe.device
                                                 : nullptr;
    const wchar_t* seen[OPT_COUNT] = {};
    int help = 0;
    int version = 0;
    int only_operands = 0;
    for (int i = 0; i < count; ++i) {
        const wchar_t* arg = args[i];
        const OptionEntry* option = nullptr;
        const wchar_t* value = nullptr;
        int is_option = !only_operands && arg[0] == L'-' && arg[1];
        if (is_option && operand && !wcscmp(arg, L"--")) {
            only_operands = 1;
            continue;
        }
        if (is_option && arg[1] == L'-' && arg[2]) {
            const wchar_t* equals = wcschr(arg + 2, L'=');
            option =
                find_long(arg + 2, equals ? (size_t)(equals - arg - 2) : wcslen(arg + 2), command);
            if (option && equals) {
                if (!option->takes_value)
                    return refuse("option '--", option->name, "' takes no value");
                value = equals + 1;
            }
        } else if (is_option && !arg[2]) {
            option = find_short(arg[1], command);
        } else if (!is_option && operand && !*operand) {
            if (!arg[0])
                return refuse(command == VERIFY  ? "the name of the test file is empty"
                              : command == PROBE ? "the name of the device is empty"
                                                 : "the name of the log is empty");
            *operand = arg;
            continue;
        } else {
            return refuse("unexpected argument '", arg, "'");
        }
        if (!option) return refuse("unknown option '", arg, "'");

        if (option->takes_value) {
            // A following option is not taken as the value: a value that starts
            // with '-' must be joined with '='.
            if (!value && i + 1 < count && args[i + 1][0] != L'-') value = args[++i];
            if (!value || !value[0]) return refuse("option '--", option->name, "' needs a value");
            if (wcslen(value) > PATH_CHARS - 1)
                return refuse("the value of option '--", option->name, "' is too long");
            if (option->id == OPT_DIR && out->run.drive_count == MAX_DRIVES)
                return refuse("at most 64 directories can be tested at once");
            if (option->id != OPT_DIR && seen[option->id] && wcscmp(seen[option->id], value))
                return refuse("option '--", option->name, "' is given twice with different values");
            if (!store_value(option->id, value, out))
                return refuse("invalid value '", value, "' for option '--", option->name, "'");
        } else {
            OptionId other = opposite(option->id);
            if (other != OPT_COUNT && seen[other])
                return refuse("options '--", OPTIONS[other].name, "' and '--", option->name,
                              "' contradict each other");
            store_flag(option->id, out, &help, &version);
        }
        seen[option->id] = value ? value : option->name;
    }
    if (help) return COMMAND_HELP;
    if (version) return COMMAND_VERSION;
    if (out->run.answers.yes && !out->run.answers.directory)
        return refuse("option '--yes' needs '--dir': the target directory has no default");
    if (command == PROBE) return probe_refusal(&out->probe) ? COMMAND_BAD : COMMAND_PROBE;
    if (operand && !*operand)
        return refuse(command == VERIFY ? "missing the test file to verify"
                                        : "missing the log to chart");
    return several_drives_refusal(&out->run) ? COMMAND_BAD : out->command;
}

CommandAction parse_command_line(int count, const wchar_t* const* args, CommandLine* out) {
    memset(out, 0, sizeof *out);
    out->action = parse_options(count, args, out);
    // A refused command line stands for no answers at all.
    if (out->action == COMMAND_BAD) {
        memset(&out->run, 0, sizeof out->run);
        memset(&out->verify, 0, sizeof out->verify);
        memset(&out->chart, 0, sizeof out->chart);
        memset(&out->list, 0, sizeof out->list);
        memset(&out->probe, 0, sizeof out->probe);
    }
    return out->action;
}

void print_usage(void) {
    out_printf("Usage: drive-test [OPTION]...\n"
               "       drive-test verify [--log PATH] [--json PATH] [--quiet] [--yes]\n"
               "                         [--expect-bytes N] FILE\n"
               "       drive-test chart [-o OUT.svg] LOG.csv\n"
               "       drive-test list [--json PATH]\n"
               "       drive-test probe [--yes] [--quiet] [--json PATH] [--journal PATH] DEVICE\n"
               "Writes one large test file, samples the sustained write speed, then reads\n"
               "the file back and checks every byte. Without options it asks for every\n"
               "setting; each option answers its question, and the others are asked.\n"
               "\n"
               "      --dir DIR         target directory (no default); given several times,\n"
               "                        the drives are tested side by side (needs --yes,\n"
               "                        and {n}, the drive's number, in --log --json --chart)\n"
               "      --file NAME       test file name [tesselmark-drive-test.bin]\n"
               "      --size GIB        test size in GiB, 0 = maximum safe size [0]\n"
               "      --duration MIN    duration limit in minutes, 0 = none [0]\n"
               "      --min-speed MBPS  required minimum write speed in MB/s, 0 = none [100],\n"
               "                        or a speed class: C10 U1 U3 V6 V10 V30 V60 V90\n"
               "      --verify          read the file back and check every byte [default]\n"
               "      --no-verify       do not read the file back\n"
               "      --log PATH        CSV log [drive-test-YYYYMMDD-HHMMSS.csv]\n"
               "      --delete          delete the test file at the end\n"
               "      --keep            keep the test file [default]\n"
               "  -y, --yes             answer yes to every confirmation, take the default of\n"
               "                        every other question, read nothing; needs --dir\n"
               "  -q, --quiet           no dashboard frames while the test runs\n"
               "      --json PATH       write a JSON summary of the run to PATH\n"
               "      --chart PATH      write an SVG chart of the run to PATH\n"
               "  -h, --help            show this help and exit\n"
               "  -V, --version         show the name and version and exit\n"
               "\n"
               "\n"
               "verify reads a kept test file back again and checks every byte; its\n"
               "--expect-bytes N fails a file that became shorter than N bytes.\n"
               "chart draws the CSV log of a run as an SVG chart. list shows the disks a\n"
               "test can use and the directories to give --dir. probe tells in minutes\n"
               "whether a whole device is fake and puts every byte back. Each answers --help.\n"
               "A value that begins with '-' is given as --OPTION=VALUE.\n"
               "Exit status: 0 passed, 1 cancelled or bad command line, 2 log or JSON file\n"
               "not creatable, 3 failed or incomplete. Full manual: drive-test(1).\n");
}

static void print_verify_usage(void) {
    out_printf("Usage: drive-test verify [OPTION]... FILE\n"
               "Reads a test file kept from an earlier run back and checks every byte again,\n"
               "as the verification of a test run does. The file is never written or deleted.\n"
               "\n"
               "      --log PATH        CSV log [drive-test-YYYYMMDD-HHMMSS.csv]\n"
               "      --json PATH       write a JSON summary of the verification to PATH\n"
               "      --expect-bytes N  the bytes the test wrote: a shorter file fails\n"
               "  -y, --yes             start without asking\n"
               "  -q, --quiet           no dashboard frames\n"
               "  -h, --help            show this help and exit\n"
               "\n"
               "Exit status: 0 every byte matched, 1 cancelled or bad command line, 2 log or\n"
               "JSON file not creatable, 3 failed or incomplete. Full manual: drive-test(1).\n");
}

static void print_chart_usage(void) {
    out_printf("Usage: drive-test chart [OPTION]... LOG.csv\n"
               "Writes the SVG chart of a drive-test CSV log and prints the write speed levels\n"
               "and the sustained write speed.\n"
               "\n"
               "  -o, --output OUT.svg  the chart's file [the log's name with .svg]\n"
               "  -h, --help            show this help and exit\n"
               "\n"
               "Exit status: 0 chart written, 1 not. Full manual: drive-test(1).\n");
}

static void print_list_usage(void) {
    out_printf("Usage: drive-test list [OPTION]...\n"
               "Shows the disks a test can use, removable ones first: device, size, bus,\n"
               "model, serial, USB speed, the mount points of its partitions (the directories\n"
               "to give --dir) and any hint about the disk.\n"
               "\n"
               "      --json PATH       write the list as JSON to PATH\n"
               "  -h, --help            show this help and exit\n"
               "\n"
               "Exit status: 0 listed, 1 bad command line, 2 JSON file not creatable.\n"
               "Full manual: drive-test(1).\n");
}

static void print_probe_usage(void) {
    out_printf("Usage: drive-test probe [OPTION]... DEVICE\n"
               "       drive-test probe --restore JOURNAL [--yes]\n"
               "Tells in minutes whether a whole device (a card, a stick, a disk) is fake: it\n"
               "writes a few hundred spots over the whole announced size, reads them back and\n"
               "finds where a fake drive wraps around or drops data. The original content of\n"
               "every spot is saved in a journal before it is written and put back at the end,\n"
               "also after Ctrl+C; after a crash or an unplug, --restore puts it back. DEVICE\n"
               "is a whole disk (/dev/sdX, /dev/mmcblkN, \\\\.\\PhysicalDriveN, a drive\n"
               "letter E: for its disk) or a disk image file. Needs root or administrator for\n"
               "a disk. A quick probe can show a drive is fake, never prove it genuine.\n"
               "\n"
               "      --journal PATH    the journal [drive-test-probe-DEVICE-TIME.journal here]\n"
               "      --json PATH       write a JSON summary of the probe to PATH\n"
               "      --restore JOURNAL put back what an interrupted probe's journal holds\n"
               "  -y, --yes             start without asking\n"
               "  -q, --quiet           no progress line\n"
               "  -h, --help            show this help and exit\n"
               "\n"
               "Exit status: 0 no sign of a fake, 1 refused, cancelled, stopped or bad command\n"
               "line, 2 journal not creatable, 3 fake or failing. Full manual: drive-test(1).\n");
}

static void print_version(void) {
    out_printf("drive-test %s (%s)\n", DRIVE_TEST_VERSION, DRIVE_TEST_TITLE);
    out_printf("Copyright (c) 2026 drive-test developers\n");
    out_printf("License: MIT <https://opensource.org/licenses/MIT>\n");
}

int command_line_main(int count, const wchar_t* const* args) {
    CommandLine line;
    switch (parse_command_line(count, args, &line)) {
    case COMMAND_HELP:
        if (line.command == COMMAND_VERIFY) {
            print_verify_usage();
        } else if (line.command == COMMAND_CHART) {
            print_chart_usage();
        } else if (line.command == COMMAND_LIST) {
            print_list_usage();
        } else if (line.command == COMMAND_PROBE) {
            print_probe_usage();
        } else {
            print_usage();
        }
        out_flush();
        return EXIT_PASSED;
    case COMMAND_VERSION:
        print_version();
        out_flush();
        return EXIT_PASSED;
    case COMMAND_VERIFY: return reverify_command(&line.verify);
    case COMMAND_CHART: return chart_command(&line.chart);
    case COMMAND_LIST: return list_command(&line.list);
    case COMMAND_PROBE: return probe_command(&line.probe);
    case COMMAND_BAD: return EXIT_CANCELLED;
    case COMMAND_RUN: break;
    }
    if (line.run.drive_count > 1) return multi_run_main(&line.run);
    return drive_test_main(&line.run);
}
