// Live dashboards. A frame is drawn over the previous one from the top-left
// corner without clearing, so every line sits at a fixed row, the fixed texts
// carry trailing blanks up to their full width and the numbers use fixed-width
// fields; on a terminal or console each row is also emptied before it is
// written, since a value that got shorter ("1.02 GiB" after "1016.00 MiB")
// would leave the end of the last frame's line.
#include "report/dashboard.h"

#include <stdarg.h>
#include <stdio.h>

#include "console/console.h"
#include "console/output.h"
#include "console/text.h"
#include "engine/samples.h"
#include "platform/platform.h"
#include "report/program.h"

namespace {

const int GRAPH_COLUMNS = 60;
const int GRAPH_ROWS = 10;

const char RULE_LINE[] =
    "================================================================================\n";

// One row of a frame; a pipe or file gets exactly the text.
__attribute__((format(gnu_printf, 1, 2))) void frame_line(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    plat_console_erase_line(g_console);
    out_printf("%s", text);
}

double percent_of(uint64_t part, uint64_t whole) {
    // In doubles: part * 100 would overflow 64 bits for huge counts.
    return whole > 0 ? (double)part * 100.0 / (double)whole : 0.0;
}

void print_heading(void) {
    frame_line("%s", RULE_LINE);
    frame_line(" %s v%s\n", DRIVE_TEST_TITLE, DRIVE_TEST_VERSION);
    frame_line("%s", RULE_LINE);
}

char graph_cell(double sample, double upper, double lower, double threshold_mbps) {
    if (sample >= upper) {
        return '#';
    }
    if (sample > lower) {
        return '+';
    }
    if (threshold_mbps > 0 && lower <= threshold_mbps && threshold_mbps < upper) {
        return '-';
    }
    return ' ';
}

} // namespace

void draw_write_dashboard(uint64_t written, uint64_t target, double elapsed_s, double active_s,
                          double current_mbps, const SampleSet* set, const SampleSummary& stats,
                          double threshold_mbps, uint64_t write_errors) {
    char written_text[64];
    char target_text[64];
    char elapsed_text[32];
    char eta_text[32];
    format_bytes(written, written_text);
    format_bytes(target, target_text);
    format_duration(elapsed_s, elapsed_text);

    double avg = speed_mbps(written, active_s);
    double eta = -1.0; // shown as "--:--:--"
    if (active_s > 0 && avg > 0) {
        uint64_t remaining = target > written ? target - written : 0;
        eta = (double)remaining / (1000000.0 * avg);
    }
    format_duration(eta, eta_text);

    uint64_t below = stats.below;

    plat_console_home(g_console);
    print_heading();
    frame_line(" Phase              : WRITE TEST                                            \n");
    frame_line(" Progress           : %6.2f %%   %s / %s\n", percent_of(written, target),
               written_text, target_text);
    frame_line(" Elapsed            : %s   ETA: %s\n", elapsed_text, eta_text);
    frame_line(" Current sample     : %9.2f MB/s\n", current_mbps);
    frame_line(" Sample statistics  : min %8.2f | avg %8.2f | median %8.2f | max %8.2f MB/s\n",
               stats.min, stats.mean, stats.median, stats.max);
    frame_line(" Active-write avg   : %9.2f MB/s\n", avg);
    if (threshold_mbps > 0) {
        frame_line(" Required minimum   : %9.2f MB/s   below threshold samples: %llu / %llu\n",
                   threshold_mbps, (unsigned long long)below, (unsigned long long)stats.count);
        frame_line(" Threshold status   : %-52s\n",
                   below == 0 ? "PASS SO FAR" : "FAILED AT LEAST ONCE");
    } else {
        frame_line(
            " Required minimum   : not configured                                         \n");
        frame_line(
            " Threshold status   : n/a                                                    \n");
    }
    frame_line(" Write errors       : %llu\n", (unsigned long long)write_errors);
    frame_line(" Stop               : Press Q or Ctrl+C                                      \n");
    draw_speed_graph(set, threshold_mbps);
    frame_line("\n");
    frame_line(" Note: MB/s uses decimal megabytes (1 MB = 1,000,000 bytes).                  \n");
    out_flush();
}

void draw_speed_graph(const SampleSet* set, double threshold_mbps) {
    uint64_t shown = set->count < (uint64_t)GRAPH_COLUMNS ? set->count : (uint64_t)GRAPH_COLUMNS;
    const double* window = shown > 0 ? set->values + (set->count - shown) : nullptr;
    int blank_columns = GRAPH_COLUMNS - (int)shown; // short histories are right-aligned

    double scale = threshold_mbps > 0 ? 1.2 * threshold_mbps : 1.0;
    for (uint64_t i = 0; i < shown; ++i) {
        if (window[i] > scale) {
            scale = window[i];
        }
    }
    if (scale < 1.0) {
        scale = 1.0;
    }

    frame_line("\n");
    frame_line("  Recent sustained write speed (last %d samples, scale 0..%.1f MB/s)\n",
               GRAPH_COLUMNS, scale);
    for (int k = GRAPH_ROWS; k >= 1; --k) {
        double upper = k * scale / 10;
        double lower = (k - 1) * scale / 10;
        char cells[GRAPH_COLUMNS + 1];
        for (int c = 0; c < GRAPH_COLUMNS; ++c) {
            cells[c] = c < blank_columns
                           ? ' '
                           : graph_cell(window[c - blank_columns], upper, lower, threshold_mbps);
        }
        cells[GRAPH_COLUMNS] = '\0';
        frame_line("  %7.1f |%s|\n", upper, cells);
    }
    frame_line("           +------------------------------------------------------------+\n");
    if (threshold_mbps > 0) {
        frame_line("             '-' marks the configured %.1f MB/s threshold\n", threshold_mbps);
    }
}

void draw_verify_dashboard(uint64_t verified, uint64_t total, double elapsed_s, double current_mbps,
                           const SampleSummary& stats, uint64_t mismatch_blocks,
                           uint64_t read_errors) {
    char verified_text[64];
    char total_text[64];
    char elapsed_text[32];
    format_bytes(verified, verified_text);
    format_bytes(total, total_text);
    format_duration(elapsed_s, elapsed_text);

    plat_console_home(g_console);
    print_heading();
    frame_line(" Phase              : READ-BACK VERIFICATION                                 \n");
    frame_line(" Progress           : %6.2f %%   %s / %s\n", percent_of(verified, total),
               verified_text, total_text);
    frame_line(" Elapsed            : %s\n", elapsed_text);
    frame_line(" Current read speed : %9.2f MB/s\n", current_mbps);
    frame_line(" Read speed stats   : min %8.2f | avg %8.2f | median %8.2f | max %8.2f MB/s\n",
               stats.min, stats.mean, stats.median, stats.max);
    frame_line(" Data mismatches    : %llu\n", (unsigned long long)mismatch_blocks);
    frame_line(" Read errors        : %llu\n", (unsigned long long)read_errors);
    frame_line(" Stop               : Press Q or Ctrl+C                                      \n");
    frame_line("%80s\n", "");
    frame_line(" Verification compares every byte with a deterministic position-dependent     \n");
    frame_line(" pattern. A mismatch indicates corruption, misplaced data, or incomplete data. \n");
    out_flush();
}
