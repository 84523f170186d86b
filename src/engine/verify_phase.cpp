// Reads the test file back and compares every byte with the pattern.
//
// With a second CPU the read of chunk n+1 overlaps the compare of chunk n, in
// one of two ways, chosen by what a read costs the CPU that calls it:
// - a read that waits for a device leaves its CPU idle: the main thread does
//   every read and the helper compares the chunk before;
// - a read that is itself a copy made by the calling CPU (a volume in memory,
//   the page cache) leaves no idle CPU beside it, and a compare on the other
//   CPU only competes with the copy for the memory. There the two threads take
//   turns: each compares the chunk it has just read, still in its own cache,
//   while the other reads the next one. The main thread hands each such read
//   over and waits for its return before its own next read, so only one read is
//   ever in flight and reads stay in file order.
// Either way chunk n is accounted (its event, its bytes, its sample) before
// anything that the read of n+1 brought, so the log keeps file order and every
// way out sees the counts of the sequential loop. A sample still divides bytes
// by wall time: a chunk counts as verified when its read returned, the last one
// when its compare ended.
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
    // A read handed to the helper: its file and what it came to.
    plat_file file;
    int read_ok;
    uint32_t read_error;
    std::atomic<int> read_returned;
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

// The whole chunk held against the pattern on the calling thread.
void compare_here(Chunk* c) {
    for (uint32_t k = 0; k < block_pieces(c->length); k++) find_mismatch(c, k);
}

// The helper's turn when reads are copies: it reads the chunk, tells the main
// thread, then compares what its own CPU has just copied.
void read_and_compare(void* arg, uint32_t) {
    Chunk* c = (Chunk*)arg;
    uint32_t moved = 0;
    int ok = plat_read(c->file, (void*)c->data, c->length, &moved);
    c->read_ok = ok && moved == c->length;
    c->read_error = c->read_ok ? 0 : ok ? (uint32_t)WINERR_READ_FAULT : plat_last_error();
    c->read_at_s = qpc_seconds();
    c->read_returned.store(1, std::memory_order_release);
    if (c->read_ok) compare_here(c);
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

// The main thread's reads so far: wall time inside the calls and the CPU time
// the thread used in them.
struct ReadCost {
    double wall_s;
    double cpu_s;
    uint64_t reads;
};

// The reads keep the calling CPU busy for most of their time: they are copies.
int reads_are_copies(const ReadCost* cost) { return cost->cpu_s * 2 > cost->wall_s; }

// Turns keep both threads of a drive busy: they pay only with a CPU for each.
// Where drives tested side by side share too few, each thread compares what it
// read, between two reads, as on one CPU.
int turns_fit(const TestConfig* config) {
    uint32_t drives = config->drives_side_by_side > 1 ? config->drives_side_by_side : 1;
    return plat_cpu_count() >= 2 * drives;
}

// Waits for the return of the read handed over in c. Such a read is a copy
// that takes about as long as the main thread's own: the wait is short and a
// sleep would end later than the read, so the thread looks; a read far slower
// than usual is waited for in full, its compare with it.
void await_read(BlockHelper* helper, Chunk* c, const ReadCost* cost) {
    double patience = 4.0 * cost->wall_s / (double)(cost->reads ? cost->reads : 1) + 0.001;
    double until = qpc_seconds() + patience;
    while (!c->read_returned.load(std::memory_order_acquire)) {
        if (qpc_seconds() > until) {
            block_helper_collect(helper);
            return;
        }
        // Other work ready on this CPU (another drive's threads) goes first.
        plat_thread_yield();
    }
}

// What the step before a chunk's compare came to.
enum Next { NEXT_READ, NEXT_END, NEXT_STOP, NEXT_OPEN_FAILED, NEXT_READ_FAILED };

// The read at offset at: NEXT_READ with its length and its file reached, or
// why there is none (with the error code of a file that would not open).
struct Plan {
    Next step;
    uint32_t length;
    uint32_t code;
};

Plan plan_read(const TestConfig* config, PhaseObserver* observer, TestFile* test_file,
               uint64_t at, uint64_t total) {
    if (at >= total) return {NEXT_END, 0, 0};
    if (observer->stop_requested()) return {NEXT_STOP, 0, 0};
    uint32_t length = next_chunk(at, total, config->block_size_bytes, config->alignment_bytes);
    length = test_file_cut(test_file, at, length);
    if (length == 0) return {NEXT_END, 0, 0};
    if (test_file_reach(test_file, at) != STEP_READY) return {NEXT_OPEN_FAILED, 0, test_file->error};
    return {NEXT_READ, length, 0};
}

void prepare(Chunk* c, void* buffer, uint64_t offset, uint32_t length) {
    c->data = (const unsigned char*)buffer;
    c->offset = offset;
    c->length = length;
    c->first_difference.store(INT64_MAX, std::memory_order_relaxed);
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
    // Without the helper or its buffer each chunk is compared right after its read.
    BlockHelper helper;
    OwnedPages second(block_helper_start(&helper) ? config->block_size_bytes : 0);
    if (second.data == nullptr) block_helper_stop(&helper);
    void* buffers[2] = {buffer.data, second.data};
    Chunk chunks[2];
    int next = 0;     // the buffer the next read fills
    int pending = 0;  // the other buffer's chunk is being compared
    int handed = 0;   // the next chunk's read was handed to the helper
    Plan planned = {NEXT_READ, 0, 0}; // a plan made ahead that found no read
    int have_plan = 0;
    uint64_t read_at = 0;
    ReadCost cost = {0.0, 0.0, 0};
    const int turns = helper.running && turns_fit(config);

    const uint64_t total = results->bytes_written;
    Verification v = {observer, results, &results->read_samples, {}, {}, 0.0};
    v.sample.phase = PHASE_VERIFY;
    v.sample.target_bytes = total;
    v.start = qpc_seconds();
    v.window = {v.start, 0, 0.0};
    observer->timed_part_started(PHASE_VERIFY);

    for (;;) {
        Chunk* c = &chunks[next];
        Plan step = {NEXT_READ, 0, 0};
        if (handed) {
            await_read(&helper, c, &cost);
            if (!c->read_ok) step = {NEXT_READ_FAILED, 0, c->read_error};
        } else {
            step = have_plan ? planned : plan_read(config, observer, &test_file, read_at, total);
            have_plan = 0;
            if (step.step == NEXT_READ) {
                prepare(c, buffers[next], read_at, step.length);
                read_at += step.length;
                uint32_t moved = 0;
                // Only a helper has a use for the read's cost.
                double cpu = helper.running ? plat_thread_cpu_seconds() : 0.0;
                double began = qpc_seconds();
                int ok = plat_read(file.handle, buffers[next], step.length, &moved);
                c->read_at_s = qpc_seconds();
                if (helper.running) {
                    cost.wall_s += c->read_at_s - began;
                    cost.cpu_s += plat_thread_cpu_seconds() - cpu;
                    cost.reads++;
                }
                if (!ok || moved != step.length) {
                    step = {NEXT_READ_FAILED, 0, ok ? (uint32_t)WINERR_READ_FAULT : plat_last_error()};
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
            double now = step.step == NEXT_END ? qpc_seconds() : before->read_at_s;
            if (!account_chunk(&v, before, now)) break;
        }
        if (step.step == NEXT_STOP) results->user_stopped = 1;
        if (step.step == NEXT_OPEN_FAILED || step.step == NEXT_READ_FAILED) {
            record_failure(results, step.code);
            observer->event(step.step == NEXT_OPEN_FAILED ? "open_verify_failed"
                                                          : "read_failed_or_short_read",
                            step.code, results->bytes_verified);
        }
        if (step.step != NEXT_READ) break;

        if (handed) {
            // The helper compares what it read; it is accounted after the next read.
            handed = 0;
        } else if (!helper.running || (reads_are_copies(&cost) && !turns)) {
            compare_here(c);
            if (!account_chunk(&v, c, qpc_seconds())) break;
            continue;
        } else if (!reads_are_copies(&cost)) {
            block_helper_hand(&helper, find_mismatch, c, block_pieces(c->length));
        } else {
            // Turns: the helper reads the next chunk while this one is compared here.
            planned = plan_read(config, observer, &test_file, read_at, total);
            int turn = planned.step == NEXT_READ;
            have_plan = !turn;
            if (turn) {
                Chunk* after = &chunks[next ^ 1];
                prepare(after, buffers[next ^ 1], read_at, planned.length);
                read_at += planned.length;
                after->file = file.handle;
                after->read_returned.store(0, std::memory_order_relaxed);
                block_helper_hand(&helper, read_and_compare, after, 1);
            }
            compare_here(c);
            if (!account_chunk(&v, c, turn ? c->read_at_s : qpc_seconds())) break;
            if (!turn) continue;
            handed = 1;
            next ^= 1;
            continue;
        }
        pending = 1;
        next ^= 1;
    }

    // The helper first: a read handed to it uses the file.
    block_helper_stop(&helper);
    file.release();
    second.release();
    buffer.release();
    results->verify_elapsed_sec = qpc_seconds() - v.start;
    return verdict(observer, results);
}
