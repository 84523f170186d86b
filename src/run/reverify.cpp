// drive-test verify: the verification phase of a test run, on a file kept from
// an earlier run (after a replug, a power cycle or days of storage).
#include "run/reverify.h"

#include <string.h>

#include "console/console.h"
#include "console/output.h"
#include "console/text.h"
#include "engine/run_files.h"
#include "engine/test_config.h"
#include "engine/test_file.h"
#include "engine/test_results.h"
#include "engine/verify_phase.h"
#include "platform/platform.h"
#include "report/csv_log.h"
#include "report/event_list.h"
#include "report/final_report.h"
#include "report/json_summary.h"
#include "report/phase_reporter.h"
#include "report/program.h"
#include "run/dialogue.h"
#include "run/session.h"
#include "run/output_guard.h"
#include "run/volume_probe.h"

namespace {

void full_path_of(const wchar_t* path, wchar_t* out) {
    uint32_t len = plat_full_path(path, out, PATH_CHARS);
    if (len < 1 || len > PATH_CHARS - 1) {
        wcsncpy(out, path, PATH_CHARS - 1);
        out[PATH_CHARS - 1] = 0;
    }
}

// The volume's facts, as the dialogue settles them for a test run there.
int take_geometry(TestConfig* c) {
    static VolumeGeometry g;
    memset(&g, 0, sizeof g);
    if (!probe_volume(c->target_path, &g)) return 0;
    config_take_geometry(c, &g);
    return 1;
}

// The index k when path names segment k of a test whose first file exists
// beside it (NAME.001 beside NAME), else 0: alone it would be checked against
// the data of the test's start.
uint32_t segment_index_of(const wchar_t* path, wchar_t* first) {
    size_t len = wcslen(path);
    size_t digits = 0;
    while (digits < len && path[len - 1 - digits] >= L'0' && path[len - 1 - digits] <= L'9') digits++;
    if (digits < 3 || digits > 9 || digits + 1 >= len || path[len - 1 - digits] != L'.') return 0;
    uint32_t k = 0;
    for (size_t i = len - digits; i < len; i++) k = k * 10 + (uint32_t)(path[i] - L'0');
    wcsncpy(first, path, len - 1 - digits);
    first[len - 1 - digits] = 0;
    static wchar_t again[PATH_CHARS];
    int is_dir = 0;
    if (k == 0 || !segment_path(first, k, again, PATH_CHARS) || wcscmp(again, path) != 0 ||
        !plat_file_attributes(first, &is_dir) || is_dir) {
        return 0;
    }
    return k;
}

// EXIT_PASSED when the settings are complete, else the exit code to end with.
int settle(const VerifyOptions* o, TestConfig* c, uint64_t* file_bytes) {
    full_path_of(o->file, c->target_path);
    static wchar_t first[PATH_CHARS];
    uint32_t segment = segment_index_of(c->target_path, first);
    if (segment != 0) {
        err_printf("This file is segment %lu of the test file ", (unsigned long)segment);
        err_wide(first);
        err_printf(": verify that one, which reads every segment.\n");
        return EXIT_CANCELLED;
    }
    if (!plat_file_size(c->target_path, file_bytes)) {
        print_win_error(L"Cannot read the test file", plat_last_error());
        return EXIT_FAILED;
    }
    if (!take_geometry(c)) return EXIT_FAILED;
    // On FAT a test larger than one file goes on in FILE.001 and on.
    uint32_t segments = 1;
    uint64_t total = 0;
    if (filesystem_caps_file_size(c->filesystem) &&
        find_segments(c->target_path, &segments, &total) && segments > 1) {
        c->segment_bytes = *file_bytes;
        *file_bytes = total;
    }
    uint64_t align = c->alignment_bytes;
    if (o->expect_bytes % align != 0) {
        err_printf("--expect-bytes must be a multiple of the I/O alignment (%llu bytes).\n",
                   (unsigned long long)align);
        return EXIT_CANCELLED;
    }
    // A test run writes whole alignment units only; a tail is no part of it.
    c->target_bytes = o->expect_bytes ? o->expect_bytes : *file_bytes - *file_bytes % align;
    if (c->target_bytes == 0) {
        err_printf("The file is shorter than one I/O unit (%llu bytes): nothing to verify.\n",
                   (unsigned long long)align);
        return EXIT_FAILED;
    }
    if (o->log) {
        wcsncpy(c->log_path, o->log, PATH_CHARS - 1);
    } else {
        default_log_name(c->log_path);
        c->log_default_name = 1;
    }
    static wchar_t full[PATH_CHARS];
    full_path_of(c->log_path, full);
    wcscpy(c->log_path, full);
    if (!guard_reverify(c, o->json)) return EXIT_CANCELLED;
    c->verification_requested = 1;
    c->run_kind = RUN_REVERIFY;
    return EXIT_PASSED;
}

void show_plan(const TestConfig* c, uint64_t file_bytes) {
    char size_text[64];
    char verify_text[64];
    format_bytes(file_bytes, size_text);
    format_bytes(c->target_bytes, verify_text);
    out_printf("Test file   : ");
    out_wide(c->target_path);
    out_printf("\nFile size   : %s (%llu bytes)\n", size_text, (unsigned long long)file_bytes);
    if (c->segment_bytes != 0) {
        char segment_text[64];
        format_bytes(c->segment_bytes, segment_text);
        out_printf("Segments    : %llu files of %s each but the last\n",
                   (unsigned long long)((file_bytes + c->segment_bytes - 1) / c->segment_bytes),
                   segment_text);
    }
    out_printf("To verify   : %s (%llu bytes)\n", verify_text, (unsigned long long)c->target_bytes);
    if (c->target_bytes > file_bytes) {
        out_printf("The file is shorter than expected: the missing part counts as unreadable.\n");
    }
    out_printf("Log         : ");
    out_wide(c->log_path);
    out_printf("\n\n");
}

int exit_code_for(const TestResults* r, int verify_passed) {
    int clean = verify_passed && r->verification_errors == 0 && r->verification_mismatch_blocks == 0;
    return clean ? EXIT_PASSED : EXIT_FAILED;
}

// From the log's header to the final report; returns the exit code.
int run_reverify(TestConfig* c, int quiet, const wchar_t* json_path) {
    FILE* log = nullptr;
    FILE* json = nullptr;
    guard_note_inputs(c);
    int open_code = open_outputs(c, json_path, nullptr, &log, &json);
    if (open_code != 0) return open_code;
    if (json) plat_directory_identity(c->target_path, &c->device); // the disk the kept file is on
    static TestResults results;
    memset(&results, 0, sizeof results);
    // The verification reads as many bytes as the run it checks wrote.
    results.bytes_written = c->target_bytes;
    csv_write_header(log, c);
    EventList events;
    PhaseReporter reporter(log);
    reporter.quiet = quiet;
    if (json) reporter.events = &events;
    if (!quiet) console_cursor_visible(0);
    int verify_passed = run_verify_phase(c, &reporter, &results);
    csv_write_summary(log, c, &results);

    if (!quiet) console_clear();
    console_cursor_visible(1);
    print_final_report(c, &results);
    out_flush();
    int code = exit_code_for(&results, verify_passed);
    if (json) {
        JsonRun run = {c, &results, &events, 1, code};
        json_write_file(json_path, json, &run);
    }
    samples_release(&results.read_samples);
    damage_release(&results.damage);
    return code;
}

int reverify_session(const VerifyOptions* o) {
    static TestConfig config;
    memset(&config, 0, sizeof config);
    out_printf("%s v%s - re-verification of a kept test file\n", DRIVE_TEST_TITLE,
               DRIVE_TEST_VERSION);
    out_printf("Reads the file back and checks it; nothing is written to it or deleted.\n");
    out_flush(); // before any error line on a shared terminal
    uint64_t file_bytes = 0;
    int code = settle(o, &config, &file_bytes);
    if (code != EXIT_PASSED) return code;
    show_plan(&config, file_bytes);
    if ((!o->yes && !prompt_yes_no(L"START VERIFICATION? [y/N]: ", 0)) || end_requested()) {
        out_printf("\nVerification cancelled.\n");
        return EXIT_CANCELLED;
    }
    return run_reverify(&config, o->quiet, o->json);
}

} // namespace

int reverify_command(const VerifyOptions* options) {
    session_begin();
    run_files_clear();
    int code = reverify_session(options);
    out_flush();
    session_end();
    return code;
}
