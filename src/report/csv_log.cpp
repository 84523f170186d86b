// The CSV log. Every line or group of lines is flushed at once so the log is
// complete up to the last sample even when the process ends abruptly. Results
// of the writes and flushes are deliberately not checked: a log that cannot be
// written further must not stop the test.
#include "report/csv_log.h"

#include "report/damage_report.h"

#include "console/text.h"
#include "engine/samples.h"
#include "platform/platform.h"
#include "report/program.h"
#include "engine/test_config.h"
#include "engine/test_results.h"

namespace {

const char COLUMN_LINE[] =
    "phase,sample,elapsed_s,total_bytes,sample_bytes,sample_duration_s,speed_mbps,"
    "average_mbps,min_mbps,median_mbps,max_mbps,threshold_mbps,threshold_pass,error_count\n";

// UTF-8 takes at most 4 bytes per character (wchar_t is UTF-32 on Linux), so
// a path of PATH_CHARS - 1 characters and its NUL always fit. Static: the
// header is written once and these are too large for a comfortable stack.
char g_path_utf8[4 * PATH_CHARS];
char g_filesystem_utf8[4 * FILESYSTEM_CHARS];

// "# key=" and the text: a line end inside a name (a directory may hold one)
// would split the line, so LF and CR, and only they, become the symbols that
// show them (U+240A, U+240D); every other byte stays as it is.
void write_text_line(FILE* log, const char* key, const char* text) {
    fprintf(log, "# %s=", key);
    for (const char* p = text; *p; p++) {
        if (*p == '\n') {
            fputs("\xE2\x90\x8A", log);
        } else if (*p == '\r') {
            fputs("\xE2\x90\x8D", log);
        } else {
            fputc(*p, log);
        }
    }
    fputc('\n', log);
}

void write_path_line(FILE* log, const char* key, const wchar_t* path) {
    const char* text = "<path conversion failed>";
    if (wide_to_utf8(path, g_path_utf8, sizeof g_path_utf8)) {
        text = g_path_utf8;
    }
    write_text_line(log, key, text);
}

} // namespace

void csv_write_header(FILE* log, const TestConfig* config) {
    // Read now, not when the default log name was formed: the log records the start.
    PlatLocalTime now;
    int have_time = plat_local_time(&now);

    fprintf(log, "# %s v%s\n", DRIVE_TEST_TITLE, DRIVE_TEST_VERSION);
    fputs("# encoding=UTF-8\n", log);
    if (have_time) {
        fprintf(log, "# started_local=%04d-%02d-%02dT%02d:%02d:%02d\n", now.year, now.month,
                now.day, now.hour, now.minute, now.second);
    } else {
        // Same key, a value no parser can take for a timestamp.
        fputs("# started_local=unknown\n", log);
    }
    write_path_line(log, "target_path", config->target_path);
    write_path_line(log, "volume_root", config->volume_root);
    const char* filesystem = "unknown";
    if (wide_to_utf8(config->filesystem, g_filesystem_utf8, sizeof g_filesystem_utf8)) {
        filesystem = g_filesystem_utf8;
    }
    write_text_line(log, "filesystem", filesystem);
    fprintf(log, "# logical_sector_bytes=%lu\n", (unsigned long)config->logical_sector_bytes);
    fprintf(log, "# physical_sector_bytes=%lu\n", (unsigned long)config->physical_sector_bytes);
    fprintf(log, "# target_bytes=%llu\n", (unsigned long long)config->target_bytes);
    fprintf(log, "# minimum_required_mbps=%.3f\n", config->minimum_required_mbps);
    fprintf(log, "# block_size_bytes=%lu\n", (unsigned long)config->block_size_bytes);
    fprintf(log, "# alignment_bytes=%lu\n", (unsigned long)config->alignment_bytes);
    fputs(plat_io_mode_line, log);
    fputs(COLUMN_LINE, log);
    // Among the rows, where readers already skip comment lines (the events):
    // the header keeps its line count, and a test run's log keeps its bytes.
    if (config->run_kind == RUN_REVERIFY) fputs("# run_kind=reverify\n", log);
    // Only a segmented run has it: with it, the segment of any offset follows.
    if (config->segment_bytes != 0) {
        fprintf(log, "# segment_bytes=%llu\n", (unsigned long long)config->segment_bytes);
    }
    fflush(log);
}

int csv_sample(FILE* log, const char* phase, const SampleSummary& stats, double elapsed_s,
               uint64_t total_bytes, uint64_t sample_bytes, double sample_duration_s,
               double threshold_mbps, uint64_t error_count) {
    // The same rule the phase used, so the row repeats the value in the set.
    double speed = speed_mbps(sample_bytes, sample_duration_s);
    int pass = threshold_mbps <= 0 || speed >= threshold_mbps;
    fprintf(log, "%s,%llu,%.6f,%llu,%llu,%.6f,%.6f,%.6f,%.6f,%.6f,%.6f,%.6f,%d,%llu\n", phase,
            (unsigned long long)stats.count, elapsed_s, (unsigned long long)total_bytes,
            (unsigned long long)sample_bytes, sample_duration_s, speed, stats.mean, stats.min,
            stats.median, stats.max, threshold_mbps, pass, (unsigned long long)error_count);
    return fflush(log);
}

void csv_event(FILE* log, const char* event, uint32_t error_code, uint64_t offset) {
    fprintf(log, "# event=%s,error_code=%lu,offset=%llu\n", event, (unsigned long)error_code,
            (unsigned long long)offset);
    fflush(log);
}

void csv_write_summary(FILE* log, const TestConfig* config, const TestResults* results) {
    double minimum = config->minimum_required_mbps;
    SampleSummary writes = samples_summary(&results->write_samples, minimum);
    uint64_t below = writes.below;
    int pass = minimum <= 0 || below == 0;

    fputs("# summary_begin\n", log);
    fprintf(log, "# bytes_written=%llu\n", (unsigned long long)results->bytes_written);
    fprintf(log, "# wall_elapsed_sec=%.6f\n", results->wall_elapsed_sec);
    fprintf(log, "# write_active_sec=%.6f\n", results->write_active_sec);
    fprintf(log, "# write_min_mbps=%.6f\n", writes.min);
    fprintf(log, "# write_avg_sample_mbps=%.6f\n", writes.mean);
    fprintf(log, "# write_median_mbps=%.6f\n", writes.median);
    fprintf(log, "# write_max_mbps=%.6f\n", writes.max);
    fprintf(log, "# threshold_below_samples=%llu\n", (unsigned long long)below);
    fprintf(log, "# threshold_pass=%d\n", pass);
    fprintf(log, "# write_errors=%llu\n", (unsigned long long)results->write_errors);
    fprintf(log, "# verification_requested=%d\n", config->verification_requested);
    fprintf(log, "# bytes_verified=%llu\n", (unsigned long long)results->bytes_verified);
    fprintf(log, "# verification_mismatch_blocks=%llu\n",
            (unsigned long long)results->verification_mismatch_blocks);
    fprintf(log, "# verification_errors=%llu\n", (unsigned long long)results->verification_errors);
    fprintf(log, "# user_stopped=%d\n", results->user_stopped);
    fputs("# summary_end\n", log);
    csv_write_damage(log, results);
    fflush(log);
    fclose(log);
}
