// The timed write of the test file: the measurement itself.
#include "engine/write_phase.h"

#include "console/console.h"
#include "console/text.h"
#include "engine/pattern.h"
#include "engine/samples.h"
#include "platform/platform.h"
#include "report/csv_log.h"
#include "report/dashboard.h"
#include "run/test_config.h"
#include "run/test_results.h"

enum { ERROR_NOT_ENOUGH_MEMORY_CODE = 8, ERROR_WRITE_FAULT_CODE = 29 };

static void report_failure(TestResults* results) {
    if (results->write_failed && results->last_error != 0) {
        console_cursor_visible(1);
        print_win_error(L"Write test error", results->last_error);
    }
}

// The failures before the timed part: nothing was written, the screen is untouched.
static void fail_opening(FILE* log, TestResults* results, const char* event, uint32_t code) {
    results->write_errors = 1;
    results->write_failed = 1;
    results->last_error = code;
    csv_event(log, event, code, 0);
    report_failure(results);
}

void run_write_phase(const TestConfig* config, FILE* log, TestResults* results) {
    plat_file file = PLAT_NO_FILE;
    if (!plat_open_write_through(config->target_path, &file)) {
        fail_opening(log, results, "open_write_failed", plat_last_error());
        return;
    }
    void* buffer = plat_alloc_pages(config->block_size_bytes);
    if (buffer == NULL) {
        uint32_t code = plat_last_error();
        plat_close(file);
        fail_opening(log, results, "buffer_allocation_failed", code);
        return;
    }

    const uint64_t target = config->target_bytes;
    const uint32_t alignment = config->alignment_bytes;
    const double threshold = config->minimum_required_mbps;
    SampleSet* samples = &results->write_samples;

    double start = qpc_seconds();
    double last_sample_time = start;
    double elapsed = 0.0; // the wall time the loop measured last
    uint64_t sample_bytes = 0;
    double sample_active_sec = 0.0;

    console_clear();
    console_cursor_visible(0);

    while (results->bytes_written < target) {
        if (check_stop_key()) {
            results->user_stopped = 1;
            break;
        }
        elapsed = qpc_seconds() - start;
        if (config->duration_limit_s > 0.0 && elapsed >= config->duration_limit_s) {
            csv_event(log, "duration_limit_reached", 0, results->bytes_written);
            results->user_stopped = 1;
            break;
        }

        uint64_t remaining = target - results->bytes_written;
        uint32_t chunk =
            remaining < config->block_size_bytes ? (uint32_t)remaining : config->block_size_bytes;
        if (alignment != 0) {
            chunk -= chunk % alignment;
        }
        if (chunk == 0) {
            break;
        }
        pattern_fill(buffer, results->bytes_written, chunk);

        uint32_t moved = 0;
        int64_t t0 = plat_perf_counter();
        int ok = plat_write(file, buffer, chunk, &moved);
        int64_t t1 = plat_perf_counter();
        double call_sec = qpc_interval(t0, t1);
        results->write_active_sec += call_sec;
        sample_active_sec += call_sec;

        if (!ok || moved != chunk) {
            results->last_error = ok ? (uint32_t)ERROR_WRITE_FAULT_CODE : plat_last_error();
            results->write_errors++;
            results->bytes_written += moved;
            sample_bytes += moved;
            csv_event(log, "write_failed_or_short_write", results->last_error,
                      results->bytes_written);
            results->write_failed = 1;
            break;
        }
        results->bytes_written += chunk;
        sample_bytes += chunk;

        double now = qpc_seconds();
        elapsed = now - start;
        if (now - last_sample_time < 1.0 && results->bytes_written < target) {
            continue;
        }
        double speed = speed_mbps(sample_bytes, sample_active_sec);
        if (!samples_add(samples, speed)) {
            csv_event(log, "statistics_allocation_failed", ERROR_NOT_ENOUGH_MEMORY_CODE,
                      results->bytes_written);
            results->write_errors++;
            results->write_failed = 1;
            results->last_error = ERROR_NOT_ENOUGH_MEMORY_CODE;
            break;
        }
        csv_sample(log, "write", samples, elapsed, results->bytes_written, sample_bytes,
                   sample_active_sec, threshold, results->write_errors);
        draw_write_dashboard(results->bytes_written, target, elapsed, results->write_active_sec,
                             speed, samples, threshold, results->write_errors);
        last_sample_time = now;
        sample_bytes = 0;
        sample_active_sec = 0.0;
    }

    // The bytes since the last close still deserve a row; no redraw follows it.
    if (sample_bytes > 0 && sample_active_sec > 0.0) {
        if (samples_add(samples, speed_mbps(sample_bytes, sample_active_sec))) {
            csv_sample(log, "write", samples, elapsed, results->bytes_written, sample_bytes,
                       sample_active_sec, threshold, results->write_errors);
        }
    }

    if (!plat_flush(file)) {
        uint32_t code = plat_last_error();
        results->last_error = code;
        results->write_errors++;
        csv_event(log, "flush_failed", code, results->bytes_written);
        results->write_failed = 1;
    }
    plat_close(file);
    plat_free_pages(buffer, config->block_size_bytes);
    results->wall_elapsed_sec = qpc_seconds() - start;

    report_failure(results);
}
