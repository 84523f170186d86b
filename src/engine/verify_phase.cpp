// Reads the test file back and compares every byte with the pattern.
//
// With a second CPU the helper compares chunk n while the main thread reads
// chunk n+1 into the other buffer; chunk n is then accounted (its event, its
// bytes, its sample) before anything that the read of n+1 brought, so the log
// keeps file order and every way out sees the counts of the sequential loop.
// A sample still divides bytes by wall time: chunk n counts as verified when
// its read returned, the last one when its compare ended.
//
// Where the read is itself a copy made by the calling CPU (a volume in memory,
// the page cache), there is no idle device to hide the compare behind: a compare
// on the other CPU only competes with that copy for the memory, and is slower
// than the same thread's compare of what it has just copied into its cache. The
// thread's CPU time inside the reads tells which kind of read this is.
#include "engine/verify_phase.h"

#include <stdint.h>

#include <atomic>

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

// One chunk read back: where it lies and where it first differs.
struct Chunk {
    const unsigned char* data;
    uint64_t offset;
    uint32_t length;
    std::atomic<int64_t> first_difference; // within the chunk; INT64_MAX when it matches
    double read_at_s;                      // qpc seconds when its read returned
};

// The one place a chunk is held against the pattern, a piece at a time, on the
// helper or the main thread; the chunk's buffer stays as read until it is accounted.
void find_mismatch(void* arg, uint32_t k) {
    Chunk* c = (Chunk*)arg;
    uint32_t at = k * (uint32_t)BLOCK_PIECE_BYTES;
    // A lower piece already differs: this one cannot hold the first difference.
    if ((int64_t)at >= c->first_difference.load(std::memory_order_relaxed)) return;
    uint32_t rest = c->length - at;
    int64_t found = pattern_first_mismatch(c->data + at, c->offset + at,
                                           rest < BLOCK_PIECE_BYTES ? rest : (uint32_t)BLOCK_PIECE_BYTES);
    if (found < 0) return;
    int64_t seen = c->first_difference.load(std::memory_order_relaxed);
    while (at + found < seen && !c->first_difference.compare_exchange_weak(seen, at + found)) {
    }
}

struct Verification {
    PhaseObserver* observer;
    TestResults* results;
    SampleSet* samples;
    PhaseSample sample;
    SampleWindow window;
    double start;
};

// Counts a compared chunk and closes the sample when it is due at time now;
// 0 when the sample cannot be stored (the phase ends).
int account_chunk(Verification* v, const Chunk* c, double now) {
    TestResults* results = v->results;
    int64_t first = c->first_difference.load(std::memory_order_relaxed);
    if (first != INT64_MAX) {
        results->verification_mismatch_blocks++;
        damage_add_chunk(&results->damage, c->data, c->offset, c->length);
        v->observer->event("data_mismatch", WINERR_CRC, c->offset + (uint64_t)first);
        results->verify_failed = 1;
    }
    results->bytes_verified += c->length;
    v->window.bytes += c->length;

    double dt = now - v->window.opened_at;
    if (dt < 1.0 && results->bytes_verified < results->bytes_written) return 1;
    PhaseSample s = v->sample;
    s.elapsed_s = now - v->start;
    s.total_bytes = results->bytes_verified;
    s.sample_bytes = v->window.bytes;
    s.duration_s = dt;
    s.speed_mbps = speed_mbps(v->window.bytes, dt);
    s.error_count = results->verification_errors;
    s.mismatch_blocks = results->verification_mismatch_blocks;
    if (!close_sample(v->observer, v->samples, s)) {
        results->verification_errors++;
        results->verify_failed = 1;
        return 0;
    }
    v->window = {now, 0, 0.0};
    return 1;
}

// The reads so far: wall time inside the calls and the CPU time the calling
// thread used in them.
struct ReadCost {
    double wall_s;
    double cpu_s;
};

// The reads keep the calling CPU busy for most of their time: they are copies.
int reads_are_copies(const ReadCost* cost) { return cost->cpu_s * 2 > cost->wall_s; }

// What the step before a chunk's compare came to.
enum Next { NEXT_READ, NEXT_END, NEXT_STOP, NEXT_OPEN_FAILED, NEXT_READ_FAILED };

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
    // Without the helper or its buffer each chunk is compared right after its read.
    BlockHelper helper;
    OwnedPages second(block_helper_start(&helper) ? config->block_size_bytes : 0);
    if (second.data == nullptr) block_helper_stop(&helper);
    void* buffers[2] = {buffer.data, second.data};
    Chunk chunks[2];
    int next = 0;     // the buffer the next read fills
    int pending = 0;  // the other buffer's chunk is being compared
    uint64_t read_at = 0;
    ReadCost cost = {0.0, 0.0};

    const uint64_t total = results->bytes_written;
    Verification v = {observer, results, &results->read_samples, {}, {}, 0.0};
    v.sample.phase = PHASE_VERIFY;
    v.sample.target_bytes = total;
    v.start = qpc_seconds();
    v.window = {v.start, 0, 0.0};
    observer->timed_part_started(PHASE_VERIFY);

    for (;;) {
        Next step = NEXT_READ;
        uint32_t chunk = 0;
        uint32_t code = 0;
        if (read_at >= total) {
            step = NEXT_END;
        } else if (observer->stop_requested()) {
            step = NEXT_STOP;
        } else {
            chunk = next_chunk(read_at, total, config->block_size_bytes, config->alignment_bytes);
            chunk = test_file_cut(&test_file, read_at, chunk);
            if (chunk == 0) {
                step = NEXT_END;
            } else if (test_file_reach(&test_file, read_at) != STEP_READY) {
                step = NEXT_OPEN_FAILED;
                code = test_file.error;
            } else {
                uint32_t moved = 0;
                double cpu = plat_thread_cpu_seconds();
                double began = qpc_seconds();
                int ok = plat_read(file.handle, buffers[next], chunk, &moved);
                cost.wall_s += qpc_seconds() - began;
                cost.cpu_s += plat_thread_cpu_seconds() - cpu;
                if (!ok || moved != chunk) {
                    step = NEXT_READ_FAILED;
                    code = ok ? (uint32_t)WINERR_READ_FAULT : plat_last_error();
                }
            }
        }
        // The chunk before comes first: its mismatch is logged before this step's
        // failure. Its sample time is the end of its own read, whose successor's
        // time it should not take; only the last chunk ends with its compare.
        if (pending) {
            block_helper_collect(&helper);
            pending = 0;
            const Chunk* before = &chunks[next ^ 1];
            double now = step == NEXT_END ? qpc_seconds() : before->read_at_s;
            if (!account_chunk(&v, before, now)) break;
        }
        if (step == NEXT_STOP) results->user_stopped = 1;
        if (step == NEXT_OPEN_FAILED || step == NEXT_READ_FAILED) {
            record_failure(results, code);
            observer->event(step == NEXT_OPEN_FAILED ? "open_verify_failed"
                                                     : "read_failed_or_short_read",
                            code, results->bytes_verified);
        }
        if (step != NEXT_READ) break;

        Chunk* c = &chunks[next];
        c->data = (const unsigned char*)buffers[next];
        c->offset = read_at;
        c->length = chunk;
        c->first_difference.store(INT64_MAX, std::memory_order_relaxed);
        read_at += chunk;
        if (!helper.running || reads_are_copies(&cost)) {
            for (uint32_t k = 0; k < block_pieces(chunk); k++) find_mismatch(c, k);
            if (!account_chunk(&v, c, qpc_seconds())) break;
            continue;
        }
        c->read_at_s = qpc_seconds();
        block_helper_hand(&helper, find_mismatch, c, block_pieces(chunk));
        pending = 1;
        next ^= 1;
    }

    file.release();
    block_helper_stop(&helper);
    second.release();
    buffer.release();
    results->verify_elapsed_sec = qpc_seconds() - v.start;
    return verdict(observer, results);
}
