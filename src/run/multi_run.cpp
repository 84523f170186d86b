// Several drives tested side by side. The main thread configures every drive,
// starts one thread per drive, then owns the screen and the keyboard: it draws
// the table about once a second and turns each stop request into a count that
// every drive's observer compares with the count its phase began with.
#include "run/multi_run.h"

#include <string.h>

#include <atomic>
#include <new>

#include "console/console.h"
#include "console/output.h"
#include "console/text.h"
#include "engine/run_files.h"
#include "engine/test_config.h"
#include "engine/test_results.h"
#include "platform/platform.h"
#include "report/chart.h"
#include "report/output_file.h"
#include "report/csv_log.h"
#include "report/device_text.h"
#include "report/drive_reporter.h"
#include "report/drive_table.h"
#include "report/event_list.h"
#include "report/final_report.h"
#include "report/json_summary.h"
#include "report/program.h"
#include "run/dialogue.h"
#include "run/output_guard.h"
#include "run/run_options.h"
#include "run/test_phases.h"
#include "run/session.h"

namespace {

struct Drive {
    int number = 0;
    const wchar_t* directory = nullptr;
    TestConfig config;
    TestResults results;
    wchar_t log_answer[PATH_CHARS];
    wchar_t json_path[PATH_CHARS];
    wchar_t chart_path[PATH_CHARS];
    int has_json = 0;
    int has_chart = 0;
    FILE* log = nullptr;
    FILE* json = nullptr;
    EventList events;
    DriveStatus status;
    DriveReporter reporter;
    int ran = 0; // the log was created and the phases ran
    int verification_ran = 0;
    plat_thread thread = 0;
};

struct Drives {
    Drive* items[MAX_DRIVES] = {};
    int count = 0;
    Drives() = default;
    Drives(const Drives&) = delete;
    Drives& operator=(const Drives&) = delete;
    ~Drives() {
        for (int i = 0; i < count; i++) {
            samples_release(&items[i]->results.write_samples);
            samples_release(&items[i]->results.read_samples);
            damage_release(&items[i]->results.damage);
            delete items[i];
        }
    }
};

// The pattern with every DRIVE_NUMBER_MARK replaced by value; 0 when too long.
int expand_mark(const wchar_t* pattern, const wchar_t* value, wchar_t* out) {
    const size_t mark = wcslen(DRIVE_NUMBER_MARK);
    size_t used = 0;
    for (const wchar_t* p = pattern; *p;) {
        const wchar_t* piece = p;
        size_t n = 1;
        if (!wcsncmp(p, DRIVE_NUMBER_MARK, mark)) {
            piece = value;
            n = wcslen(value);
            p += mark;
        } else {
            p++;
        }
        if (used + n >= PATH_CHARS) return 0;
        wmemcpy(out + used, piece, n);
        used += n;
    }
    out[used] = 0;
    return 1;
}

// The log answer of a drive: the pattern expanded, or the default name with
// "-N" before ".csv", all drives sharing the moment it was formed.
int log_answer(const wchar_t* pattern, const wchar_t* default_name, const wchar_t* number,
               wchar_t* out) {
    if (pattern) return expand_mark(pattern, number, out);
    size_t len = wcslen(default_name);
    swprintf(out, PATH_CHARS, L"%.*ls-%ls.csv", (int)(len - 4), default_name, number);
    return 1;
}

// What the single run's reset of the stop flag does for this drive alone; the
// table's error column adds the write phase's errors to the verification's.
void drive_turn(void* arg) {
    Drive* d = (Drive*)arg;
    d->reporter.write_errors = d->results.write_errors;
    d->reporter.begin_phase();
}

// One drive from its write phase to its closed log, as a single run does it.
void drive_thread(void* arg) {
    Drive* d = (Drive*)arg;
    int code = run_test_phases(&d->config, &d->reporter, &d->results, drive_turn, d,
                               &d->verification_ran);
    csv_write_summary(d->log, &d->config, &d->results);
    d->log = nullptr;
    // A finished drive shows its write figures, the ones its verdict rests on.
    d->status.current_mbps.store(0.0);
    d->status.median_mbps.store(samples_median(&d->results.write_samples));
    d->status.mismatches.store(d->results.verification_mismatch_blocks);
    d->status.errors.store(d->results.write_errors + d->results.verification_errors);
    d->status.exit_code.store(code);
    d->status.phase.store(DRIVE_FINISHED);
}

int cancel(void) {
    out_printf("\nTest cancelled or configuration failed.\n");
    out_flush();
    session_end();
    return EXIT_CANCELLED;
}

// Concurrent tests of one volume, or of two volumes of one disk (partitions of
// one stick, subvolumes of one btrfs), would measure each other, not the drive.
int volumes_apart(const RunOptions* o) {
    for (int i = 0; i < o->drive_count; i++) {
        for (int j = i + 1; j < o->drive_count; j++) {
            const char* what = nullptr;
            uint64_t disk_i = 0, disk_j = 0;
            if (plat_same_volume(o->directories[i], o->directories[j]))
                what = "volume";
            else if (plat_whole_disk_id(o->directories[i], &disk_i) &&
                     plat_whole_disk_id(o->directories[j], &disk_j) && disk_i == disk_j)
                what = "disk";
            if (!what) continue;
            err_printf("Directories ");
            err_wide(o->directories[i]);
            err_printf(" and ");
            err_wide(o->directories[j]);
            err_printf(" are on the same %s; test each %s once.\n", what, what);
            return 0;
        }
    }
    return 1;
}

// A drive's log on another drive's volume adds writes to that drive's test, as
// a single run's log on its own volume does (the dialogue warns of that one).
void warn_logs_on_other_drives(const Drives* drives) {
    static wchar_t log_root[PATH_CHARS];
    static wchar_t target_root[PATH_CHARS];
    for (int i = 0; i < drives->count; i++) {
        const Drive* d = drives->items[i];
        if (!plat_volume_root(d->config.log_path, log_root, PATH_CHARS)) continue;
        for (int j = 0; j < drives->count; j++) {
            const Drive* other = drives->items[j];
            if (j == i || !plat_volume_root(other->config.target_path, target_root, PATH_CHARS) ||
                !plat_same_volume_root(log_root, target_root))
                continue;
            out_printf("\nWARNING: The CSV log of drive %d is on the SAME VOLUME as the test file "
                       "of drive %d.\n", d->number, other->number);
            out_printf("That adds extra writes and can slightly distort the measurement.\n");
        }
    }
}

// Asks nothing (--yes): the dialogue's checks, volume lines and settings per drive.
int configure(Drive* d, const RunOptions* o, const wchar_t* default_log) {
    wchar_t number[16];
    swprintf(number, 16, L"%d", d->number);
    if (!log_answer(o->answers.log_path, default_log, number, d->log_answer) ||
        (o->json_path && !expand_mark(o->json_path, number, d->json_path)) ||
        (o->chart_path && !expand_mark(o->chart_path, number, d->chart_path))) {
        err_printf("An output path of drive %d is too long.\n", d->number);
        return 0;
    }
    d->has_json = o->json_path != nullptr;
    d->has_chart = o->chart_path != nullptr;
    DialogueAnswers answers = o->answers;
    answers.directory = d->directory;
    answers.log_path = d->log_answer;
    out_printf("\n--- Drive %d: ", d->number);
    out_wide(d->directory);
    out_printf(" ---\n");
    return run_configuration_dialogue(&d->config, &answers) == DIALOGUE_CONFIRMED;
}

// No two outputs of the run, of one drive or of two, may be one file.
int outputs_apart(const Drives* drives, const wchar_t* all_json) {
    static const char* const what[DRIVE_OUTPUTS] = {"test file", "log", "JSON summary", "chart"};
    static GuardPath paths[(int)MAX_DRIVES * (int)DRIVE_OUTPUTS + 1];
    int n = 0;
    for (int i = 0; i < drives->count; i++) {
        const Drive* d = drives->items[i];
        const wchar_t* out[DRIVE_OUTPUTS] = {};
        drive_outputs(&d->config, d->has_json ? d->json_path : nullptr,
                      d->has_chart ? d->chart_path : nullptr, out);
        for (int k = 0; k < DRIVE_OUTPUTS; k++)
            paths[n++] = {out[k], what[k], k == 0 ? GUARD_TEST_FILE : GUARD_WRITE,
                          k == 0 ? guard_run_segments(&d->config) : 0};
    }
    paths[n++] = {all_json, "JSON summary", GUARD_WRITE, 0};
    return output_guard(paths, n);
}

// The log (and JSON) of a drive, its header written; 0 after the message. As
// for one drive, a JSON summary or chart found impossible leaves no log behind.
int open_drive_outputs(Drive* d) {
    if (open_outputs(&d->config, d->has_json ? d->json_path : nullptr,
                     d->has_chart ? d->chart_path : nullptr, &d->log, &d->json) != 0)
        return 0;
    csv_write_header(d->log, &d->config);
    return 1;
}

int all_finished(const Drives* drives) {
    for (int i = 0; i < drives->count; i++)
        if (drives->items[i]->status.phase.load() != DRIVE_FINISHED) return 0;
    return 1;
}

// The main thread while the drives run: keys, signals and the table.
void watch(const Drives* drives, const DriveRow* rows, int frames, std::atomic<uint32_t>* stops) {
    double next_frame = qpc_seconds();
    while (!all_finished(drives)) {
        if (check_stop_key() && !end_requested()) {
            stops->fetch_add(1);
            reset_stop_request();
        }
        if (frames && qpc_seconds() >= next_frame) {
            drive_table_frame(rows, drives->count);
            next_frame += 1.0;
        }
        plat_sleep_ms(50);
    }
}

// What the single run prints of a drive after its phases: errors, report, JSON, chart.
void finish_drive(Drive* d) {
    static const wchar_t* const labels[2] = {L"Write test error", L"Verification error"};
    wchar_t label[64];
    for (int p = 0; p < 2; p++) {
        if (!d->reporter.phase_errors[p]) continue;
        swprintf(label, 64, L"Drive %d: %ls", d->number, labels[p]);
        print_win_error(label, d->reporter.phase_errors[p]);
    }
    out_printf("\n--- Drive %d: ", d->number);
    out_wide(d->directory);
    out_printf(" ---\n");
    print_final_report(&d->config, &d->results);
    out_flush();
    if (d->json) {
        JsonRun run = {&d->config, &d->results, &d->events, d->verification_ran,
                       d->status.exit_code.load()};
        json_write_file(d->json_path, d->json, &run);
        d->json = nullptr;
    }
    if (d->has_chart) {
        char device[3 * PLAT_ID_CHARS];
        device_title(&d->config.device, device, sizeof device);
        chart_write(d->config.log_path, d->chart_path, device);
    }
}

} // namespace

void drive_outputs(const TestConfig* config, const wchar_t* json, const wchar_t* chart,
                   const wchar_t* out[DRIVE_OUTPUTS]) {
    out[0] = config->target_path;
    out[1] = config->log_path;
    out[2] = json;
    out[3] = chart;
}

int multi_run_main(const RunOptions* o) {
    session_begin();
    run_files_clear();
    qpc_seconds(); // the counter's frequency is read once, before any drive's thread
    out_printf("%s v%s\n", DRIVE_TEST_TITLE, DRIVE_TEST_VERSION);
    out_printf("%s", plat_banner_second_line);
    out_printf("WARNING: This creates a very large test file on each drive and can fill it.\n");
    out_printf("It does not format the drives and does not intentionally modify other files.\n");
    out_printf("Drives tested side by side: %d\n", o->drive_count);
    out_flush();
    if (!volumes_apart(o)) return cancel();

    Drives drives;
    static wchar_t default_log[PATH_CHARS];
    default_log_name(default_log);
    for (int i = 0; i < o->drive_count; i++) {
        Drive* d = new (std::nothrow) Drive();
        if (!d) {
            err_printf("Not enough memory for %d drives.\n", o->drive_count);
            return cancel();
        }
        drives.items[drives.count++] = d;
        memset(&d->config, 0, sizeof d->config);
        memset(&d->results, 0, sizeof d->results);
        d->number = i + 1;
        d->directory = o->directories[i];
        if (!configure(d, o, default_log)) return cancel();
        d->config.log_default_name = o->answers.log_path == nullptr;
        d->config.drives_side_by_side = (uint32_t)o->drive_count;
    }
    warn_logs_on_other_drives(&drives);
    static wchar_t all_json[PATH_CHARS];
    if (o->json_path && !expand_mark(o->json_path, L"all", all_json)) return cancel();
    if (!outputs_apart(&drives, o->json_path ? all_json : nullptr)) return cancel();

    // Opened by the same rules as every other output, and emptied once it is known to be none
    // of the run's files.
    FILE* summary_json = nullptr;
    static OutputFile summary_file;
    if (o->json_path && (!output_open(&summary_file, all_json, "JSON summary", 0) ||
                         !(summary_json = output_stream(&summary_file)))) {
        if (summary_file.clash) {
            output_print_clash("JSON summary", all_json, summary_file.clash);
            return cancel();
        }
        err_printf("Could not create JSON summary: ");
        err_wide(all_json);
        err_printf("\n");
        session_end();
        return EXIT_NO_LOG;
    }

    std::atomic<uint32_t> stops{0};
    DriveRow rows[MAX_DRIVES];
    for (int i = 0; i < drives.count; i++) {
        Drive* d = drives.items[i];
        rows[i] = {d->number, d->directory, &d->status, &d->config, &d->results,
                   d->has_json ? d->json_path : nullptr};
        d->reporter.log = d->log;
        d->reporter.status = &d->status;
        d->reporter.stops = &stops;
        d->status.target.store(d->config.target_bytes);
        if (!open_drive_outputs(d)) {
            d->status.exit_code.store(EXIT_NO_LOG);
            d->status.phase.store(DRIVE_FINISHED);
            rows[i].config = nullptr;
            rows[i].results = nullptr;
            rows[i].json_path = nullptr;
            continue;
        }
        d->reporter.log = d->log;
        if (d->json) d->reporter.events = &d->events;
    }

    int frames = !o->quiet && console_clear() != 0;
    if (frames) console_cursor_visible(0);
    for (int i = 0; i < drives.count; i++) {
        Drive* d = drives.items[i];
        if (!d->log) continue;
        d->ran = 1;
        if (!plat_thread_start(drive_thread, d, &d->thread)) {
            // No thread of its own: this drive runs before the others are watched.
            d->thread = 0;
            drive_thread(d);
        }
    }
    watch(&drives, rows, frames, &stops);
    for (int i = 0; i < drives.count; i++)
        if (drives.items[i]->thread) plat_thread_join(drives.items[i]->thread);
    if (frames) drive_table_frame(rows, drives.count);
    console_cursor_visible(1);

    int exit_code = EXIT_PASSED;
    for (int i = 0; i < drives.count; i++) {
        Drive* d = drives.items[i];
        if (d->ran) finish_drive(d);
        int code = d->status.exit_code.load();
        if (code > exit_code) exit_code = code;
    }
    drive_table_summary(rows, drives.count);
    if (summary_json && !drive_table_json(summary_json, rows, drives.count, exit_code)) {
        err_printf("Could not write JSON summary: ");
        err_wide(all_json);
        err_printf("\n");
    }
    session_end();
    return exit_code;
}
