// The screen of several drives tested side by side, and their summary table.
#include "report/drive_table.h"

#include <string.h>

#include "console/console.h"
#include "console/output.h"
#include "console/text.h"
#include "engine/samples.h"
#include "engine/test_config.h"
#include "engine/test_results.h"
#include "platform/platform.h"
#include "report/device_text.h"
#include "report/drive_reporter.h"
#include "report/final_report.h"
#include "report/json_summary.h"
#include "report/program.h"

namespace {

const int DIR_COLUMNS = 18;

// How character c of a directory shows in a cell: a control character would
// end the row or steer the terminal, so it shows as an escape (\n, \x1b).
size_t shown_char(wchar_t c, wchar_t out[8]) {
    if (c == L'\n' || c == L'\r' || c == L'\t') {
        out[0] = L'\\';
        out[1] = c == L'\n' ? L'n' : c == L'\r' ? L'r' : L't';
        out[2] = 0;
    } else if ((unsigned)c < 0x20 || c == 0x7f || ((unsigned)c >= 0x80 && (unsigned)c < 0xa0)) {
        swprintf(out, 8, L"\\x%02x", (unsigned)c);
    } else {
        out[0] = c;
        out[1] = 0;
    }
    return wcslen(out);
}

// The directory in DIR_COLUMNS characters: a longer one keeps its end, the part
// that tells drives apart. An escape is kept whole or not at all.
void directory_cell(const wchar_t* dir, char* out, size_t cap) {
    wchar_t cell[DIR_COLUMNS + 1];
    wchar_t piece[8];
    size_t len = wcslen(dir);
    size_t shown = 0;
    for (size_t i = 0; i < len; i++) shown += shown_char(dir[i], piece);
    // Filled from its end: the characters that fit behind "..." when the whole does not.
    size_t room = shown <= (size_t)DIR_COLUMNS ? (size_t)DIR_COLUMNS : (size_t)DIR_COLUMNS - 3;
    size_t at = room;
    cell[at] = 0;
    for (size_t i = len; i > 0; i--) {
        size_t n = shown_char(dir[i - 1], piece);
        if (n > at) break;
        at -= n;
        wmemcpy(cell + at, piece, n);
    }
    wchar_t line[DIR_COLUMNS + 1];
    swprintf(line, DIR_COLUMNS + 1, L"%ls%ls", shown <= (size_t)DIR_COLUMNS ? L"" : L"...",
             cell + at);
    for (size_t n = wcslen(line); n < (size_t)DIR_COLUMNS; n++) wcscat(line, L" ");
    if (!wide_to_utf8(line, out, cap)) snprintf(out, cap, "%-*s", DIR_COLUMNS, "?");
}

const int DEVICE_COLUMNS = 20;

// Which stick a drive is: model and the last digits of its serial, in DEVICE_COLUMNS.
void device_cell(const TestConfig* c, char* out, size_t cap) {
    char label[2 * PLAT_ID_CHARS];
    label[0] = 0;
    if (c) device_label(&c->device, label, sizeof label);
    text_cell(label[0] ? label : "-", DEVICE_COLUMNS, 0, out, cap);
}

const char* verdict(int exit_code) {
    switch (exit_code) {
    case 0: return "PASSED";
    case 1: return "CANCELLED";
    case 2: return "NO LOG";
    default: return "FAILED";
    }
}

const char* phase_text(const DriveStatus* s) {
    switch (s->phase.load()) {
    case DRIVE_WAITING: return "waiting";
    case DRIVE_WRITING: return "WRITE";
    case DRIVE_VERIFYING: return "VERIFY";
    default: return verdict(s->exit_code.load());
    }
}

} // namespace

void drive_table_frame(const DriveRow* rows, int count) {
    char dir[4 * DIR_COLUMNS + 8];
    char device[4 * DEVICE_COLUMNS + 8];
    plat_console_home(g_console);
    out_printf(" %s v%s%-*s\n", DRIVE_TEST_TITLE, DRIVE_TEST_VERSION, 30, "");
    out_printf(" %2s %-*s %-*s %-9s %6s %8s %8s %5s %5s %6s\n", "#", DIR_COLUMNS, "Directory",
               DEVICE_COLUMNS, "Device", "Phase", "Done", "MB/s", "median", "below", "mism.",
               "errors");
    for (int i = 0; i < count; i++) {
        const DriveStatus* s = rows[i].status;
        uint64_t target = s->target.load();
        double percent = target > 0 ? (double)s->done.load() * 100.0 / (double)target : 0.0;
        directory_cell(rows[i].directory, dir, sizeof dir);
        device_cell(rows[i].config, device, sizeof device);
        out_printf(" %2d %s %s %-9s %5.1f%% %8.2f %8.2f %5llu %5llu %6llu   \n", rows[i].number, dir,
                   device, phase_text(s), percent, s->current_mbps.load(), s->median_mbps.load(),
                   (unsigned long long)s->below.load(), (unsigned long long)s->mismatches.load(),
                   (unsigned long long)s->errors.load());
    }
    out_printf(" Stop all: Press Q or Ctrl+C%-40s\n", "");
    out_flush();
}

void drive_table_summary(const DriveRow* rows, int count) {
    char dir[4 * DIR_COLUMNS + 8];
    char device[4 * DEVICE_COLUMNS + 8];
    char written[64];
    out_printf("\n================================================================================\n");
    out_printf(" %s - %d DRIVES\n", DRIVE_TEST_TITLE, count);
    out_printf("================================================================================\n");
    out_printf(" %2s %-*s %-*s %12s %8s %5s %5s %6s  %s\n", "#", DIR_COLUMNS, "Directory",
               DEVICE_COLUMNS, "Device", "Written", "median", "below", "mism.", "errors", "Result");
    for (int i = 0; i < count; i++) {
        const TestResults* r = rows[i].results;
        const TestConfig* c = rows[i].config;
        int ran = c != nullptr && r != nullptr;
        format_bytes(ran ? r->bytes_written : 0, written);
        directory_cell(rows[i].directory, dir, sizeof dir);
        device_cell(c, device, sizeof device);
        out_printf(" %2d %s %s %12s %8.2f %5llu %5llu %6llu  %s (exit %d)\n", rows[i].number, dir,
                   device, written, ran ? samples_median(&r->write_samples) : 0.0,
                   (unsigned long long)(ran ? samples_below(&r->write_samples,
                                                            c->minimum_required_mbps)
                                            : 0),
                   (unsigned long long)(ran ? r->verification_mismatch_blocks : 0),
                   (unsigned long long)(ran ? r->write_errors + r->verification_errors : 0),
                   verdict(rows[i].status->exit_code.load()), rows[i].status->exit_code.load());
    }
    out_printf("================================================================================\n");
    out_flush();
}

int drive_table_json(FILE* f, const DriveRow* rows, int count, int exit_code) {
    fprintf(f, "{\n  \"program\": \"%s\",\n  \"version\": \"%s\",\n  \"drives\": [", DRIVE_TEST_TITLE,
            DRIVE_TEST_VERSION);
    for (int i = 0; i < count; i++) {
        const TestResults* r = rows[i].results;
        const TestConfig* c = rows[i].config;
        int code = rows[i].status->exit_code.load();
        fprintf(f, "%s\n    {\"number\": %d, \"directory\": ", i ? "," : "", rows[i].number);
        json_put_text(f, rows[i].directory);
        fputs(", \"log_path\": ", f);
        if (c) json_put_text(f, c->log_path); else fputs("null", f);
        fputs(", \"json_path\": ", f);
        if (rows[i].json_path) json_put_text(f, rows[i].json_path); else fputs("null", f);
        fprintf(f, ", \"bytes_written\": %llu, \"median_write_mbps\": ",
                (unsigned long long)(r ? r->bytes_written : 0));
        json_put_number(f, r ? samples_median(&r->write_samples) : 0.0);
        // A drive whose outputs could not be created never wrote: no status.
        fputs(", \"write_status\": ", f);
        if (r) fprintf(f, "\"%s\"", write_status(r)); else fputs("null", f);
        fputs(", \"data_integrity\": ", f);
        if (c && r && c->verification_requested) {
            fprintf(f, "\"%s\"", integrity_verdict(r));
        } else {
            fputs("null", f);
        }
        fprintf(f, ", \"verdict\": \"%s\", \"exit_code\": %d, \"device\": ", verdict(code), code);
        if (c) json_put_device(f, &c->device, "    ");
        else fputs("null", f);
        fputc('}', f);
    }
    fprintf(f, "\n  ],\n  \"exit_code\": %d\n}\n", exit_code);
    int ok = fflush(f) == 0 && !ferror(f);
    return fclose(f) == 0 && ok;
}
