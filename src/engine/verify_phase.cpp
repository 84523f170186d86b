// Reads the test file back and compares every byte with the pattern.
#include "engine/verify_phase.h"

#include "console/console.h"
#include "console/text.h"
#include "engine/pattern.h"
#include "engine/samples.h"
#include "platform/platform.h"
#include "report/csv_log.h"
#include "report/dashboard.h"
#include "run/test_config.h"
#include "run/test_results.h"

enum { ERROR_CRC_CODE = 23, ERROR_READ_FAULT_CODE = 30 };

static int verdict(TestResults* results) {
    if (!results->verify_failed && results->bytes_verified == results->bytes_written) {
        return 1;
    }
    if (results->last_error != 0) {
        console_cursor_visible(1);
        print_win_error(L"Verification error", results->last_error);
    }
    return 0;
}

int run_verify_phase(const TestConfig* config, FILE* log, TestResults* results) {
    plat_file file = PLAT_NO_FILE;
    if (!plat_open_read_sequential(config->target_path, &file)) {
        uint32_t code = plat_last_error();
        results->verification_errors++;
        results->last_error = code;
        csv_event(log, "open_verify_failed", code, 0);
        results->verify_failed = 1;
        return verdict(results);
    }
    void* buffer = plat_alloc_pages(config->block_size_bytes);
    if (buffer == NULL) {
        uint32_t code = plat_last_error();
        results->verification_errors++;
        plat_close(file);
        results->last_error = code;
        results->verify_failed = 1;
        return verdict(results);
    }

    const uint64_t total = results->bytes_written;
    const uint32_t block = config->block_size_bytes;
    const uint32_t alignment = config->alignment_bytes;
    SampleSet* samples = &results->read_samples;

    double start = qpc_seconds();
    double last_sample_time = start;
    console_clear();
    uint64_t sample_bytes = 0;

    while (results->bytes_verified < total) {
        if (check_stop_key()) {
            results->user_stopped = 1;
            break;
        }
        uint64_t remaining = total - results->bytes_verified;
        uint32_t chunk = remaining >= block ? block : (uint32_t)remaining;
        if (alignment != 0) {
            chunk -= chunk % alignment;
        }
        if (chunk == 0) {
            break;
        }

        uint32_t moved = 0;
        int ok = plat_read(file, buffer, chunk, &moved);
        if (!ok || moved != chunk) {
            results->last_error = ok ? (uint32_t)ERROR_READ_FAULT_CODE : plat_last_error();
            results->verification_errors++;
            csv_event(log, "read_failed_or_short_read", results->last_error,
                      results->bytes_verified);
            results->verify_failed = 1;
            break;
        }

        int64_t at = pattern_first_mismatch(buffer, results->bytes_verified, chunk);
        if (at >= 0) {
            results->verification_mismatch_blocks++;
            csv_event(log, "data_mismatch", ERROR_CRC_CODE, results->bytes_verified + (uint64_t)at);
            results->verify_failed = 1;
        }
        results->bytes_verified += chunk;
        sample_bytes += chunk;

        double now = qpc_seconds();
        double dt = now - last_sample_time;
        if (dt < 1.0 && results->bytes_verified < total) {
            continue;
        }
        double speed = speed_mbps(sample_bytes, dt);
        double elapsed = now - start;
        if (!samples_add(samples, speed)) {
            results->verification_errors++;
            results->verify_failed = 1;
            break;
        }
        csv_sample(log, "verify", samples, elapsed, results->bytes_verified, sample_bytes, dt, 0.0,
                   results->verification_errors);
        draw_verify_dashboard(results->bytes_verified, total, elapsed, speed, samples,
                              results->verification_mismatch_blocks, results->verification_errors);
        sample_bytes = 0;
        last_sample_time = now;
    }

    plat_close(file);
    plat_free_pages(buffer, block);
    results->verify_elapsed_sec = qpc_seconds() - start;
    return verdict(results);
}
