// The configuration dialogue: every setting of one run, asked in a fixed order,
// or taken from the command line's answers through the same rules and messages.
#include "run/dialogue.h"

#include <stdio.h>
#include <string.h>

#include "console/console.h"
#include "console/output.h"
#include "console/text.h"
#include "platform/error_codes.h"
#include "platform/platform.h"
#include "engine/test_config.h"
#include "engine/test_file.h"
#include "report/device_text.h"
#include "run/run_options.h"
#include "run/volume_probe.h"

static const wchar_t DEFAULT_FILE_NAME[] = L"tesselmark-drive-test.bin";

static int valid_file_name(const wchar_t* name) {
    if (!name[0] || !wcscmp(name, L".") || !wcscmp(name, L"..")) return 0;
    for (const wchar_t* p = name; *p; p++) {
        if (*p < 32 || wcschr(L"\\/:*?\"<>|", *p)) return 0;
    }
    return 1;
}

// Copies at most cap - 1 characters and always terminates.
static void copy_w(wchar_t* out, const wchar_t* in, size_t cap) {
    wcsncpy(out, in, cap - 1);
    out[cap - 1] = 0;
}

// A text answer: the given one, as if typed, or a line read after the prompt.
static int answer_text(const wchar_t* given, const wchar_t* prompt, wchar_t* out, int cap) {
    if (!given) return read_line_w(prompt, out, cap);
    copy_w(out, given, (size_t)cap);
    return READ_LINE_OK;
}

static double answer_number(int given, double value, const wchar_t* prompt, double fallback) {
    return given ? value : prompt_double(prompt, fallback);
}

static int answer_yes_no(int given, int value, const wchar_t* prompt, int fallback) {
    return given ? value : prompt_yes_no(prompt, fallback);
}

// A confirmation whose default is no; with --yes the transcript shows it answered.
static int confirm(const DialogueAnswers* a, const wchar_t* prompt) {
    if (!a->yes) return prompt_yes_no(prompt, 0);
    out_wide(prompt);
    out_printf("y\n");
    return 1;
}

static int ask_directory(TestConfig* c, const DialogueAnswers* a) {
    if (answer_text(a->directory, plat_directory_prompt, c->target_dir, PATH_CHARS) !=
            READ_LINE_OK ||
        !c->target_dir[0])
        return 0;
    size_t len = wcslen(c->target_dir);
    if (!plat_is_separator(c->target_dir[len - 1]) && len <= PATH_CHARS - 2) {
        c->target_dir[len] = plat_separator;
        c->target_dir[len + 1] = 0;
    }
    int is_dir = 0;
    if (!plat_file_attributes(c->target_dir, &is_dir)) {
        print_win_error(L"Target directory is not accessible", plat_last_error());
        return 0;
    }
    if (!is_dir) {
        print_win_error(L"Target directory is not accessible", WINERR_DIRECTORY);
        return 0;
    }
    return 1;
}

// The segments NAME.001 and on of an earlier run; only a FAT-family volume has them.
static uint32_t fat_segments_present(const TestConfig* c) {
    static wchar_t root[PATH_CHARS];
    wchar_t fs[256];
    if (!plat_volume_root(c->target_dir, root, PATH_CHARS) ||
        !plat_filesystem_name(root, fs, 256) || !filesystem_caps_file_size(fs))
        return 0;
    return segments_after(c->target_path);
}

// The first and the last of count segments on one line.
static void list_segments(const wchar_t* first, uint32_t count) {
    static wchar_t path[SEGMENT_PATH_CHARS];
    out_printf("  ");
    if (segment_path(first, 1, path, SEGMENT_PATH_CHARS)) out_wide(path);
    if (count > 1 && segment_path(first, count, path, SEGMENT_PATH_CHARS)) {
        out_printf(" ... ");
        out_wide(path);
    }
    out_printf(" (%lu segment file%s)\n", (unsigned long)count, count > 1 ? "s" : "");
}

static int ask_file(TestConfig* c, const DialogueAnswers* a, wchar_t* input) {
    static wchar_t name[PATH_CHARS];
    copy_w(name, DEFAULT_FILE_NAME, PATH_CHARS);
    int got = answer_text(a->file_name, L"Test filename [tesselmark-drive-test.bin]: ", input,
                          PATH_CHARS);
    if (got == READ_LINE_EOF) return 0;
    if (got == READ_LINE_OK && input[0]) copy_w(name, input, PATH_CHARS);
    if (got != READ_LINE_OK || !valid_file_name(name)) {
        err_printf("Invalid filename. Use a filename only, without path separators.\n");
        return 0;
    }
    copy_w(c->file_name, name, PATH_CHARS);
    if (wcslen(c->target_dir) + wcslen(c->file_name) > PATH_CHARS - 1) {
        err_printf("Target path is too long.\n");
        return 0;
    }
    wcscpy(c->target_path, c->target_dir);
    wcscat(c->target_path, c->file_name);
    int is_dir = 0;
    int exists = plat_file_attributes(c->target_path, &is_dir);
    uint32_t segments = fat_segments_present(c);
    if (exists || segments > 0) {
        out_printf("\nThe test file already exists and will be overwritten:\n");
        if (exists) {
            out_printf("  ");
            out_wide(c->target_path);
            out_printf("\n");
        }
        if (segments > 0) list_segments(c->target_path, segments);
        if (!confirm(a, L"Overwrite it? [y/N]: ")) return 0;
    }
    return 1;
}

static int ask_volume_and_size(TestConfig* c, const DialogueAnswers* a) {
    static VolumeGeometry g;
    memset(&g, 0, sizeof g);
    if (!probe_volume(c->target_dir, &g)) return 0;
    config_take_geometry(c, &g);
    double gib = answer_number(a->size_given, a->size_gib,
                               L"Test size in GiB [0 = maximum safe free space]: ", 0.0);
    if (!resolve_test_size(gib, &g, &c->target_bytes)) return 0;
    c->segment_bytes = segment_bytes_for_run(c->filesystem, c->target_bytes, c->alignment_bytes,
                                             c->block_size_bytes);
    return 1;
}

void default_log_name(wchar_t* out) {
    PlatLocalTime t;
    if (!plat_local_time(&t)) memset(&t, 0, sizeof t);
    swprintf(out, PATH_CHARS, L"drive-test-%04d%02d%02d-%02d%02d%02d.csv", t.year, t.month, t.day,
             t.hour, t.minute, t.second);
}

static int ask_log(TestConfig* c, const DialogueAnswers* a, wchar_t* input) {
    static wchar_t default_name[PATH_CHARS];
    static wchar_t prompt[PATH_CHARS + 32];
    static wchar_t full[PATH_CHARS];
    default_log_name(default_name);
    wcscpy(prompt, L"Log path [");
    wcscat(prompt, default_name);
    wcscat(prompt, L"]: ");
    int got = answer_text(a->log_path, prompt, input, PATH_CHARS);
    if (got != READ_LINE_OK) return 0;
    copy_w(c->log_path, input[0] ? input : default_name, PATH_CHARS);
    c->log_default_name = !input[0];
    uint32_t len = plat_full_path(c->log_path, full, PATH_CHARS);
    if (len >= 1 && len <= PATH_CHARS - 1) wcscpy(c->log_path, full);

    // Opening the test file would truncate a log of the same name under the run,
    // also one that reaches it through a linked directory, a hard link or a mount.
    len = plat_full_path(c->target_path, full, PATH_CHARS);
    const wchar_t* target_full = len >= 1 && len <= PATH_CHARS - 1 ? full : c->target_path;
    if (plat_same_volume_root(target_full, c->log_path) ||
        plat_same_file(target_full, c->log_path)) {
        err_printf("The log path must not be the test file.\n");
        return 0;
    }

    static wchar_t target_root[PATH_CHARS];
    static wchar_t log_root[PATH_CHARS];
    if (plat_volume_root(c->target_path, target_root, PATH_CHARS) &&
        plat_volume_root(c->log_path, log_root, PATH_CHARS) &&
        plat_same_volume_root(target_root, log_root)) {
        out_printf("\nWARNING: The CSV log is on the SAME VOLUME as the test file.\n");
        out_printf("That adds extra writes and can slightly distort the measurement.\n");
        if (!confirm(a, L"Continue with this log location? [y/N]: ")) return 0;
    }
    return 1;
}

// With --yes every question not answered takes its default, as an empty line would.
static void take_defaults(DialogueAnswers* a) {
    if (!a->file_name) a->file_name = L"";
    if (!a->log_path) a->log_path = L"";
    if (!a->size_given) a->size_gib = 0.0;
    if (!a->duration_given) a->duration_min = 0.0;
    if (!a->min_speed_given) a->min_speed_mbps = 100.0;
    if (!a->verify_given) a->verify = 1;
    if (!a->delete_given) a->delete_file = 0;
    a->size_given = a->duration_given = a->min_speed_given = a->verify_given = a->delete_given = 1;
}

int run_configuration_dialogue(TestConfig* c, const DialogueAnswers* given) {
    static wchar_t input[PATH_CHARS];
    DialogueAnswers a;
    memset(&a, 0, sizeof a);
    if (given) a = *given;
    if (a.yes) take_defaults(&a);
    if (!ask_directory(c, &a) || !ask_file(c, &a, input) || !ask_volume_and_size(c, &a)) {
        return DIALOGUE_CANCELLED;
    }
    c->duration_limit_s =
        answer_number(a.duration_given, a.duration_min,
                      L"Optional duration limit in minutes [0 = disabled]: ", 0.0) *
        60.0;
    c->minimum_required_mbps =
        answer_number(a.min_speed_given, a.min_speed_mbps,
                      L"Required minimum sustained write speed in MB/s [0 = none]: ", 100.0);
    c->verification_requested =
        answer_yes_no(a.verify_given, a.verify,
                      L"Verify the written file byte-for-byte after the write test? [Y/n]: ", 1);
    if (!ask_log(c, &a, input)) return DIALOGUE_CANCELLED;
    c->delete_after_test =
        answer_yes_no(a.delete_given, a.delete_file,
                      L"Delete the test file automatically after all tests? [y/N]: ", 0);

    char size_text[64];
    format_bytes(c->target_bytes, size_text);
    out_printf("\nTarget file : ");
    out_wide(c->target_path);
    out_printf("\nTest size   : %s\n", size_text);
    if (c->segment_bytes != 0) {
        char segment_text[64];
        format_bytes(c->segment_bytes, segment_text);
        uint64_t count = (c->target_bytes + c->segment_bytes - 1) / c->segment_bytes;
        out_printf("Segments    : %llu files of at most %s (the volume's file-size limit)\n",
                   (unsigned long long)count, segment_text);
    }
    out_printf("Threshold   : %.2f MB/s\n", c->minimum_required_mbps);
    out_printf("Verification: %s\n", c->verification_requested ? "yes" : "no");
    out_printf("Log         : ");
    out_wide(c->log_path);
    out_printf("\n\n");
    // Only a drive that gives a hint changes what is shown before START.
    plat_directory_identity(c->target_dir, &c->device);
    print_device_hints(&c->device);
    // An end request that came during the dialogue, answered or not, cancels it.
    int start = confirm(&a, L"START TEST? [y/N]: ");
    return start && !end_requested() ? DIALOGUE_CONFIRMED : DIALOGUE_CANCELLED;
}
