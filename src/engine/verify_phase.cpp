// Reads the test file back and compares every byte with the pattern.
#include "engine/verify_phase.h"

#include "engine/pattern_pool.h"
#include "engine/phase_common.h"
#include "engine/samples.h"
#include "engine/test_config.h"
#include "engine/test_file.h"
#include "engine/test_results.h"
#include "platform/error_codes.h"
#include "platform/owned.h"
#include "platform/platform.h"

namespace {

void record_failure(TestResults* results, uint32_t code) {
    results->last_error = code;
    results->verification_errors++;
    results->verify_failed = 1;
}

int verdict(PhaseObserver* observer, const TestResults* results) {
    if (!results->verify_failed && results->bytes_verified == results->bytes_written) {
        return 1;
    }
    if (results->last_error != 0) {
        observer->phase_error(PHASE_VERIFY, results->last_error);
    }
    return 0;
}

} // namespace

int run_verify_phase(const TestConfig* config, PhaseObserver* observer, TestResults* results) {
    TestFile test_file;
    OwnedFile& file = test_file.file;
    if (!test_file_open(&test_file, config->target_path, config->segment_bytes, 0)) {
        uint32_t code = plat_last_error();
        record_failure(results, code);
        observer->event("open_verify_failed", code, 0);
        return verdict(observer, results);
    }
    OwnedPages buffer(config->block_size_bytes);
    if (buffer.data == nullptr) {
        uint32_t code = plat_last_error();
        file.release();
        record_failure(results, code);
        return verdict(observer, results);
    }

    const uint64_t total = results->bytes_written;
    SampleSet* samples = &results->read_samples;
    PhaseSample sample = {};
    sample.phase = PHASE_VERIFY;
    sample.target_bytes = total;

    double start = qpc_seconds();
    SampleWindow window = {start, 0, 0.0};
    observer->timed_part_started(PHASE_VERIFY);

    while (results->bytes_verified < total) {
        if (observer->stop_requested()) {
            results->user_stopped = 1;
            break;
        }
        uint32_t chunk = next_chunk(results->bytes_verified, total, config->block_size_bytes,
                                    config->alignment_bytes);
        chunk = test_file_cut(&test_file, results->bytes_verified, chunk);
        if (chunk == 0) {
            break;
        }
        if (test_file_reach(&test_file, results->bytes_verified) != STEP_READY) {
            record_failure(results, test_file.error);
            observer->event("open_verify_failed", results->last_error, results->bytes_verified);
            break;
        }
        uint32_t moved = 0;
        int ok = plat_read(file.handle, buffer.data, chunk, &moved);
        if (!ok || moved != chunk) {
            record_failure(results, ok ? (uint32_t)WINERR_READ_FAULT : plat_last_error());
            observer->event("read_failed_or_short_read", results->last_error,
                            results->bytes_verified);
            break;
        }
        int64_t at = pattern_first_mismatch_parallel(buffer.data, results->bytes_verified, chunk);
        if (at >= 0) {
            results->verification_mismatch_blocks++;
            damage_add_chunk(&results->damage, buffer.data, results->bytes_verified, chunk);
            observer->event("data_mismatch", WINERR_CRC, results->bytes_verified + (uint64_t)at);
            results->verify_failed = 1;
        }
        results->bytes_verified += chunk;
        window.bytes += chunk;

        double now = qpc_seconds();
        double dt = now - window.opened_at;
        if (dt < 1.0 && results->bytes_verified < total) {
            continue;
        }
        sample.elapsed_s = now - start;
        sample.total_bytes = results->bytes_verified;
        sample.sample_bytes = window.bytes;
        sample.duration_s = dt;
        sample.speed_mbps = speed_mbps(window.bytes, dt);
        sample.error_count = results->verification_errors;
        sample.mismatch_blocks = results->verification_mismatch_blocks;
        if (!close_sample(observer, samples, sample)) {
            results->verification_errors++;
            results->verify_failed = 1;
            break;
        }
        window = {now, 0, 0.0};
    }

    file.release();
    buffer.release();
    results->verify_elapsed_sec = qpc_seconds() - start;
    return verdict(observer, results);
}
