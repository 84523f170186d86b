// The worker pool that shares the pattern fill and compare of one block among
// the CPUs, while the caller keeps the I/O to itself.
#pragma once

#include <stdint.h>

enum {
    PATTERN_POOL_MAX_THREADS = 8,           // the caller included; memory is the limit beyond
    PATTERN_POOL_MIN_PIECE_BYTES = 1 << 20, // a block of two smaller pieces gains nothing (bench/)
    PATTERN_POOL_PIECES_PER_THREAD = 4      // a thread the machine holds up leaves its share to others
};

// Starts threads - 1 workers (at most PATTERN_POOL_MAX_THREADS - 1; the caller
// is the last thread) after stopping any earlier ones. 0 when a worker could not
// be started; then, as with one thread, the caller does all the work alone.
int pattern_pool_start(uint32_t threads);
// Ends and joins the workers; nothing happens without any.
void pattern_pool_stop(void);
// The threads that share a block now, the caller included.
uint32_t pattern_pool_threads(void);

// The same bytes and answers as pattern_fill and pattern_first_mismatch (the
// lowest differing offset, whichever piece holds it); a block of fewer than two
// pieces stays on the caller.
void pattern_fill_parallel(void* buffer, uint64_t offset, uint32_t length);
int64_t pattern_first_mismatch_parallel(const void* buffer, uint64_t offset, uint32_t length);

// Owns the pool for a scope: started with the given threads, stopped at the end.
struct PatternPoolOwner {
    int started;
    explicit PatternPoolOwner(uint32_t threads) : started(pattern_pool_start(threads)) {}
    PatternPoolOwner(const PatternPoolOwner&) = delete;
    PatternPoolOwner& operator=(const PatternPoolOwner&) = delete;
    ~PatternPoolOwner() { pattern_pool_stop(); }
};
