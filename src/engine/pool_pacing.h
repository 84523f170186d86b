// When the pool's workers nap and until when they spin. The caller's jobs come
// one per I/O call, so the time from one job's start to the next (the cycle)
// repeats: workers nap until the shortest recent cycle is nearly over, spin on
// the ticket a little past it, then sleep until posted.
#pragma once

#include <stdint.h>

enum {
    PACING_CYCLES = 8,            // recent cycles remembered
    PACING_LEAD_US = 150,         // a timed wake-up comes this late and more (and 1/64 of the cycle)
    PACING_LEAD_MAX_US = 1000,    // so that a spin of three leads stays under its cap
    PACING_NAP_MAX_US = 1000000,  // a longer nap would as well be a sleep until posted
    PACING_SPIN_FIRST_US = 1000,  // before any cycle is known
    PACING_SPIN_MAX_US = 5000     // a worker never spins longer in one go
};

struct PoolPacing {
    int64_t cycles_us[PACING_CYCLES];
    uint32_t count; // cycles recorded, at most PACING_CYCLES
    uint32_t next;  // slot the next cycle goes to
};

void pacing_reset(PoolPacing* p);
void pacing_add_cycle(PoolPacing* p, int64_t cycle_us);
// Both counted from the start of the job that is running: when a worker that
// has finished its pieces stops napping, and when it stops spinning.
int64_t pacing_nap_end_us(const PoolPacing* p);
int64_t pacing_spin_end_us(const PoolPacing* p);
