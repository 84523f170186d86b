// The timed write of the test file: the measurement itself.
#include "engine/write_phase.h"

#include "engine/block_helper.h"
#include "engine/pattern.h"
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
    results->write_errors++;
    results->write_failed = 1;
}

void report_failure(PhaseObserver* observer, const TestResults* results) {
    if (results->write_failed && results->last_error != 0) {
        observer->phase_error(PHASE_WRITE, results->last_error);
    }
}

// A short write does not say why it was short. The rest of the block, written
// once more, brings the system's reason: 112 when the volume is full. When that
// write goes through, the short write itself stays the fault (29). It is timed
// and its bytes counted like every write, since whatever it moved is in the file.
uint32_t short_write_cause(plat_file file, const void* block, uint32_t chunk, uint32_t alignment,
                           uint32_t* moved, double* seconds) {
    // A rest that does not start aligned cannot be written unbuffered.
    if (alignment == 0 || *moved % alignment != 0) return WINERR_WRITE_FAULT;
    uint32_t more = 0;
    int64_t t0 = plat_perf_counter();
    int ok = plat_write(file, (const uint8_t*)block + *moved, chunk - *moved, &more);
    uint32_t code = ok ? (uint32_t)WINERR_WRITE_FAULT : plat_last_error();
    *seconds = qpc_interval(t0, plat_perf_counter());
    *moved += more;
    return code;
}

// The figures of the sample that closes now.
PhaseSample write_sample(PhaseSample s, double elapsed, const TestResults* results,
                         const SampleWindow& window) {
    s.elapsed_s = elapsed;
    s.total_bytes = results->bytes_written;
    s.sample_bytes = window.bytes;
    s.duration_s = window.seconds;
    s.speed_mbps = speed_mbps(window.bytes, window.seconds);
    s.active_s = results->write_active_sec;
    s.error_count = results->write_errors;
    return s;
}

// A block filled ahead of its write call, on the helper.
struct Fill {
    void* buffer;
    uint64_t offset;
    uint32_t length; // 0: nothing filled
};

void fill_piece(void* arg, uint32_t k) {
    Fill* f = (Fill*)arg;
    uint32_t at = k * (uint32_t)BLOCK_PIECE_BYTES;
    uint32_t rest = f->length - at;
    pattern_fill((unsigned char*)f->buffer + at, f->offset + at,
                 rest < BLOCK_PIECE_BYTES ? rest : (uint32_t)BLOCK_PIECE_BYTES);
}

} // namespace

void run_write_phase(const TestConfig* config, PhaseObserver* observer, TestResults* results) {
    const uint64_t target = config->target_bytes;
    const double threshold = config->minimum_required_mbps;
    SampleSet* samples = &results->write_samples;
    samples->threshold = threshold;

    // The failures before the timed part: nothing was written, the screen is untouched.
    TestFile test_file;
    OwnedFile& file = test_file.file;
    // Segments of an earlier, longer run are covered by the overwrite answer
    // and would otherwise read as part of this test.
    if (!test_file_open(&test_file, config->target_path, config->segment_bytes, 1) ||
        (filesystem_caps_file_size(config->filesystem) &&
         !delete_segments_from(config->target_path, 1))) {
        uint32_t code = plat_last_error();
        file.release();
        record_failure(results, code);
        observer->event("open_write_failed", code, 0);
        report_failure(observer, results);
        return;
    }
    OwnedPages buffer(config->block_size_bytes);
    if (buffer.data == nullptr) {
        uint32_t code = plat_last_error();
        file.release();
        record_failure(results, code);
        observer->event("buffer_allocation_failed", code, 0);
        report_failure(observer, results);
        return;
    }
    // With a second CPU the next block is filled during the write call; without
    // the helper or its buffer the loop fills each block itself, in turn.
    BlockHelper helper;
    OwnedPages second(block_helper_start(&helper) ? config->block_size_bytes : 0);
    if (second.data == nullptr) block_helper_stop(&helper);
    Fill fills[2] = {{buffer.data, 0, 0}, {second.data, 0, 0}};
    int next = 0; // the buffer the next write call takes

    PhaseSample sample = {};
    sample.phase = PHASE_WRITE;
    sample.target_bytes = target;
    sample.threshold_mbps = threshold;

    double start = qpc_seconds();
    double elapsed = 0.0; // the wall time the loop measured last
    SampleWindow window = {start, 0, 0.0};
    observer->timed_part_started(PHASE_WRITE);

    while (results->bytes_written < target) {
        if (observer->stop_requested()) {
            results->user_stopped = results->write_stopped = 1;
            break;
        }
        elapsed = qpc_seconds() - start;
        if (config->duration_limit_s > 0.0 && elapsed >= config->duration_limit_s) {
            observer->event("duration_limit_reached", 0, results->bytes_written);
            results->user_stopped = results->write_stopped = 1;
            break;
        }
        uint32_t chunk = next_chunk(results->bytes_written, target, config->block_size_bytes,
                                    config->alignment_bytes);
        chunk = test_file_cut(&test_file, results->bytes_written, chunk);
        if (chunk == 0) {
            break;
        }
        // The next segment is opened outside the timed call as well.
        TestFileStep step = test_file_reach(&test_file, results->bytes_written);
        if (step != STEP_READY) {
            record_failure(results, test_file.error);
            observer->event(step == STEP_FLUSH_FAILED ? "flush_failed" : "open_write_failed",
                            results->last_error, results->bytes_written);
            break;
        }
        // Filled outside the timed call: generating the pattern is not the drive's time.
        block_helper_collect(&helper);
        Fill* now_fill = &fills[next];
        if (now_fill->offset != results->bytes_written || now_fill->length < chunk) {
            *now_fill = {now_fill->buffer, results->bytes_written, chunk};
            pattern_fill(now_fill->buffer, now_fill->offset, chunk);
        }
        if (helper.running) {
            // The block after this one, cut later only at its end: its start is
            // this block's end whatever the segments do.
            uint64_t ahead = results->bytes_written + chunk;
            Fill* later = &fills[next ^ 1];
            *later = {later->buffer, ahead,
                      next_chunk(ahead, target, config->block_size_bytes, config->alignment_bytes)};
            if (later->length > 0) {
                block_helper_hand(&helper, fill_piece, later, block_pieces(later->length));
            }
            next ^= 1;
        }

        uint32_t moved = 0;
        int64_t t0 = plat_perf_counter();
        int ok = plat_write(file.handle, now_fill->buffer, chunk, &moved);
        int64_t t1 = plat_perf_counter();
        double call_sec = qpc_interval(t0, t1);
        results->write_active_sec += call_sec;
        window.seconds += call_sec;

        if (!ok || moved != chunk) {
            double rest_sec = 0.0;
            uint32_t code = !ok ? plat_last_error()
                                : short_write_cause(file.handle, now_fill->buffer, chunk,
                                                    config->alignment_bytes, &moved, &rest_sec);
            if (test_file_split_at_limit(&test_file, results->bytes_written, moved, code,
                                         target)) {
                // None of it counts: the whole chunk goes again into the next segment.
                results->write_active_sec -= call_sec;
                window.seconds -= call_sec;
                observer->event("file_size_limit_reached", WINERR_FILE_TOO_LARGE,
                                results->bytes_written);
                continue;
            }
            results->write_active_sec += rest_sec;
            window.seconds += rest_sec;
            record_failure(results, code);
            results->bytes_written += moved;
            window.bytes += moved;
            observer->event("write_failed_or_short_write", results->last_error,
                            results->bytes_written);
            break;
        }
        results->bytes_written += chunk;
        window.bytes += chunk;

        double now = qpc_seconds();
        elapsed = now - start;
        if (now - window.opened_at < 1.0 && results->bytes_written < target) {
            continue;
        }
        if (!close_sample(observer, samples, write_sample(sample, elapsed, results, window))) {
            observer->event("statistics_allocation_failed", WINERR_NOT_ENOUGH_MEMORY,
                            results->bytes_written);
            record_failure(results, WINERR_NOT_ENOUGH_MEMORY);
            break;
        }
        window = {now, 0, 0.0};
    }

    results->segment_bytes = test_file.segment_bytes;
    // The bytes since the last close still deserve a row; no redraw follows it.
    if (window.bytes > 0 && window.seconds > 0.0) {
        sample.closing = 1;
        close_sample(observer, samples, write_sample(sample, elapsed, results, window));
    }

    if (file.handle != PLAT_NO_FILE && !plat_flush(file.handle)) {
        uint32_t code = plat_last_error();
        record_failure(results, code);
        observer->event("flush_failed", code, results->bytes_written);
    }
    file.release();
    block_helper_stop(&helper); // a block filled ahead and not written is dropped
    second.release();
    buffer.release();
    results->wall_elapsed_sec = qpc_seconds() - start;
    report_failure(observer, results);
}
