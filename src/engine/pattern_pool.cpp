// The worker pool: each call cuts the block into page-aligned pieces that the
// caller and the workers claim one at a time, and returns when all are done.
//
// Between two blocks the caller is in one I/O call. A worker that slept through
// it would start a millisecond-scale job late by its wake-up time (0.1-0.2 ms on
// a virtual machine), so a worker naps through most of the expected call and
// spins on the ticket for the rest (pool_pacing.h); only a call longer than
// expected finds it asleep, and then the caller's post wakes it.
#include "engine/pattern_pool.h"

#include <stdint.h>

#include <atomic>

#include "engine/pattern.h"
#include "engine/pool_pacing.h"
#include "platform/platform.h"

namespace {

enum { JOB_FILL = 0, JOB_COMPARE = 1 };

// The ticket: job number, piece count and next piece in one word, so that a
// worker woken late can only claim a piece of the job that is running now.
const int PIECE_BITS = 12;
const uint64_t PIECE_MASK = (1u << PIECE_BITS) - 1;
const uint32_t POLLS_PER_CLOCK_READ = 64;

struct Job {
    int kind;
    unsigned char* buffer;
    uint64_t offset;
    uint32_t length;
    uint32_t piece; // bytes of every piece but the last, a multiple of 4096
    uint32_t pieces;
};

struct Pool {
    int running; // the semaphores exist
    std::atomic<int> stopping;
    uint32_t workers;
    plat_thread threads[PATTERN_POOL_MAX_THREADS];
    plat_semaphore start; // wakes a sleeping worker to look for pieces
    plat_semaphore done;  // posted by a worker that finished the last piece while the caller sleeps
    Job job;              // written by the caller only while no piece is claimed
    std::atomic<uint64_t> ticket;
    std::atomic<uint32_t> finished; // pieces of this job done
    std::atomic<int> caller_asleep; // the caller waits on done: the last worker must post
    std::atomic<int64_t> first;     // the lowest differing offset found so far
    std::atomic<uint32_t> sleepers; // workers that will wait on start; the caller posts for them
    // On the wait clock: until when a worker that finished may nap, then spin.
    std::atomic<int64_t> nap_end_us;
    std::atomic<int64_t> spin_end_us;
    PoolPacing pacing;      // the caller's
    int64_t last_start_us;  // the caller's: when the last job started (0: none yet)
};

Pool g_pool;

void lower_to(std::atomic<int64_t>* first, int64_t value) {
    int64_t seen = first->load(std::memory_order_relaxed);
    while (value < seen && !first->compare_exchange_weak(seen, value)) {
    }
}

// The index of a piece of the running job, now owned by this thread, and the
// job's piece count; 0 when none is left.
int claim(uint32_t* index, uint32_t* pieces) {
    uint64_t t = g_pool.ticket.load(std::memory_order_acquire);
    for (;;) {
        uint64_t next = t & PIECE_MASK;
        uint64_t count = (t >> PIECE_BITS) & PIECE_MASK;
        if (next >= count) return 0;
        if (g_pool.ticket.compare_exchange_weak(t, t + 1, std::memory_order_acq_rel)) {
            *index = (uint32_t)next;
            *pieces = (uint32_t)count;
            return 1;
        }
    }
}

void run_piece(const Job* job, uint32_t k) {
    uint64_t at = (uint64_t)k * job->piece;
    uint32_t length = k + 1 == job->pieces ? job->length - (uint32_t)at : job->piece;
    if (job->kind == JOB_FILL) {
        pattern_fill(job->buffer + at, job->offset + at, length);
        return;
    }
    // A lower piece already differs: this one cannot hold the first difference.
    if ((int64_t)at >= g_pool.first.load(std::memory_order_relaxed)) return;
    int64_t found = pattern_first_mismatch(job->buffer + at, job->offset + at, length);
    if (found >= 0) lower_to(&g_pool.first, (int64_t)at + found);
}

// Runs pieces until none is left; 1 when this thread finished the job's last one.
int run_pieces(void) {
    int last = 0;
    uint32_t k = 0;
    uint32_t pieces = 0;
    // Once the count rises the caller may start the next job: nothing of this
    // one is read after it.
    while (claim(&k, &pieces)) {
        run_piece(&g_pool.job, k);
        last = g_pool.finished.fetch_add(1, std::memory_order_acq_rel) + 1 == pieces;
    }
    return last;
}

uint64_t job_number(uint64_t ticket) { return ticket >> (2 * PIECE_BITS); }

// A job after seen has been posted, or the pool stops.
int news(uint64_t seen) {
    return job_number(g_pool.ticket.load()) != seen || g_pool.stopping.load();
}

// Takes back a worker's place among the sleepers; when the caller has already
// counted it, the post made for it is taken instead.
void withdraw(void) {
    uint32_t n = g_pool.sleepers.load();
    while (n > 0 && !g_pool.sleepers.compare_exchange_weak(n, n - 1)) {
    }
    if (n == 0) plat_semaphore_wait(g_pool.start);
}

// Sleeps until a post, or until deadline_us on the wait clock when that is not
// 0. The worker counts itself among the sleepers before it looks at the ticket
// a last time, and the caller posts the ticket before it counts them: either
// the worker sees the job or the caller sees the worker.
void sleep_until_posted(uint64_t seen, int64_t deadline_us) {
    g_pool.sleepers.fetch_add(1);
    if (news(seen)) {
        withdraw();
    } else if (deadline_us == 0) {
        plat_semaphore_wait(g_pool.start);
    } else if (!plat_semaphore_wait_until(g_pool.start, deadline_us)) {
        withdraw();
    }
}

// Polls the ticket until until_us on the wait clock, and for no longer than
// PACING_SPIN_MAX_US; 1 when news came.
int spin_for_news(uint64_t seen, int64_t until_us) {
    int64_t now = plat_wait_clock_us();
    if (until_us > now + PACING_SPIN_MAX_US) until_us = now + PACING_SPIN_MAX_US;
    for (;;) {
        for (uint32_t i = 0; i < POLLS_PER_CLOCK_READ; i++) {
            if (news(seen)) return 1;
            plat_cpu_relax();
        }
        if (plat_wait_clock_us() >= until_us) return 0;
    }
}

void worker(void*) {
    uint64_t seen = job_number(g_pool.ticket.load());
    for (;;) {
        // Read after the job's ticket: they belong to it, or news is waiting.
        int64_t nap_end = g_pool.nap_end_us.load(std::memory_order_relaxed);
        int64_t spin_end = g_pool.spin_end_us.load(std::memory_order_relaxed);
        if (nap_end > plat_wait_clock_us()) sleep_until_posted(seen, nap_end);
        if (!spin_for_news(seen, spin_end)) sleep_until_posted(seen, 0);
        if (g_pool.stopping.load(std::memory_order_acquire)) return;
        seen = job_number(g_pool.ticket.load(std::memory_order_acquire));
        if (run_pieces() && g_pool.caller_asleep.exchange(0) == 1) plat_semaphore_post(g_pool.done);
    }
}

// Tells the workers how to wait for the job after the one that starts now.
void pace_workers(void) {
    int64_t now = plat_wait_clock_us();
    if (g_pool.last_start_us != 0) pacing_add_cycle(&g_pool.pacing, now - g_pool.last_start_us);
    g_pool.last_start_us = now;
    int64_t nap_end = pacing_nap_end_us(&g_pool.pacing);
    g_pool.nap_end_us.store(nap_end > 0 ? now + nap_end : 0, std::memory_order_relaxed);
    g_pool.spin_end_us.store(now + pacing_spin_end_us(&g_pool.pacing), std::memory_order_relaxed);
}

// Waits until the workers have finished the pieces they claimed. On a busy
// machine a thread that goes to sleep waits long for its turn to run again, so
// the caller first spins for as long as its own pieces took, which is what the
// workers' pieces should take too; only then does it sleep.
void wait_for_workers(uint32_t pieces, int64_t own_ticks) {
    int64_t until = plat_perf_counter() + own_ticks;
    while (g_pool.finished.load(std::memory_order_acquire) != pieces) {
        if (plat_perf_counter() < until) continue;
        g_pool.caller_asleep.store(1);
        // A worker that finished meanwhile may or may not have seen the flag:
        // whoever clears it decides whether a post is coming.
        if (g_pool.finished.load() != pieces || g_pool.caller_asleep.exchange(0) == 0) {
            plat_semaphore_wait(g_pool.done);
        }
        return;
    }
}

// Cuts the job into pieces; 0 when the block is too small to share.
uint32_t plan_pieces(Job* job, uint32_t threads) {
    uint32_t want = threads * (uint32_t)PATTERN_POOL_PIECES_PER_THREAD;
    uint32_t most = job->length / (uint32_t)PATTERN_POOL_MIN_PIECE_BYTES;
    uint32_t pieces = want < most ? want : most;
    if (pieces < 2) return 0;
    uint64_t piece = ((uint64_t)job->length + pieces - 1) / pieces;
    piece = (piece + 4095) / 4096 * 4096;
    job->piece = (uint32_t)piece;
    job->pieces = (uint32_t)(((uint64_t)job->length + piece - 1) / piece);
    return job->pieces;
}

// Runs the job on the caller and the workers; 0 when it must run on the caller
// alone. The caller waits only for pieces a worker has claimed: a worker that
// the machine has not run yet leaves its pieces to the others.
int run_shared(int kind, const void* buffer, uint64_t offset, uint32_t length) {
    if (g_pool.workers == 0) return 0;
    Job* job = &g_pool.job;
    job->kind = kind;
    job->buffer = (unsigned char*)buffer;
    job->offset = offset;
    job->length = length;
    if (plan_pieces(job, g_pool.workers + 1) == 0) return 0;
    pace_workers();
    g_pool.finished.store(0, std::memory_order_relaxed);
    g_pool.first.store(INT64_MAX, std::memory_order_relaxed);
    uint64_t number = (g_pool.ticket.load(std::memory_order_relaxed) >> (2 * PIECE_BITS)) + 1;
    g_pool.ticket.store(number << (2 * PIECE_BITS) | (uint64_t)job->pieces << PIECE_BITS,
                        std::memory_order_seq_cst);
    for (uint32_t n = g_pool.sleepers.exchange(0); n > 0; n--) plat_semaphore_post(g_pool.start);
    int64_t begun = plat_perf_counter();
    if (!run_pieces()) wait_for_workers(job->pieces, plat_perf_counter() - begun);
    return 1;
}

} // namespace

int pattern_pool_start(uint32_t threads) {
    pattern_pool_stop();
    if (threads > PATTERN_POOL_MAX_THREADS) threads = PATTERN_POOL_MAX_THREADS;
    if (threads < 2) return 1;
    if (!plat_semaphore_create(&g_pool.start)) return 0;
    if (!plat_semaphore_create(&g_pool.done)) {
        plat_semaphore_destroy(g_pool.start);
        return 0;
    }
    g_pool.running = 1;
    g_pool.stopping.store(0);
    g_pool.sleepers.store(0);
    g_pool.nap_end_us.store(0);
    g_pool.spin_end_us.store(plat_wait_clock_us() + PACING_SPIN_FIRST_US);
    pacing_reset(&g_pool.pacing);
    g_pool.last_start_us = 0;
    for (uint32_t i = 0; i + 1 < threads; i++) {
        if (!plat_thread_start(worker, nullptr, &g_pool.threads[i])) {
            pattern_pool_stop();
            return 0;
        }
        g_pool.workers++;
    }
    return 1;
}

void pattern_pool_stop(void) {
    if (!g_pool.running) return;
    g_pool.stopping.store(1, std::memory_order_release);
    for (uint32_t i = 0; i < g_pool.workers; i++) plat_semaphore_post(g_pool.start);
    for (uint32_t i = 0; i < g_pool.workers; i++) plat_thread_join(g_pool.threads[i]);
    plat_semaphore_destroy(g_pool.start);
    plat_semaphore_destroy(g_pool.done);
    g_pool.running = 0;
    g_pool.workers = 0;
}

uint32_t pattern_pool_threads(void) { return g_pool.workers + 1; }

void pattern_fill_parallel(void* buffer, uint64_t offset, uint32_t length) {
    if (!run_shared(JOB_FILL, buffer, offset, length)) pattern_fill(buffer, offset, length);
}

int64_t pattern_first_mismatch_parallel(const void* buffer, uint64_t offset, uint32_t length) {
    if (!run_shared(JOB_COMPARE, buffer, offset, length)) {
        return pattern_first_mismatch(buffer, offset, length);
    }
    int64_t first = g_pool.first.load(std::memory_order_relaxed);
    return first == INT64_MAX ? -1 : first;
}
