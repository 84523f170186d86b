// When the pool's workers nap and for how long they spin: the caller measures
// the gap between its jobs (its I/O call), and workers nap through the part of
// the next gap that recent ones always lasted, then spin for the rest.
#pragma once

#include <stdint.h>

enum {
    PACING_GAPS = 8,          // recent gaps remembered
    PACING_LEAD_US = 200,     // woken this much (and a sixteenth of the gap) before the job
    PACING_NAP_MAX_US = 1000000,
    PACING_SPIN_FIRST_US = 1000, // before any gap is known
    PACING_SPIN_MAX_US = 5000    // a longer spread finds the worker asleep now and then
};

struct PoolPacing {
    int64_t gaps_us[PACING_GAPS];
    uint32_t count; // gaps recorded, at most PACING_GAPS
    uint32_t next;  // slot the next gap goes to
};

void pacing_reset(PoolPacing* p);
void pacing_add_gap(PoolPacing* p, int64_t gap_us);
// How long a worker that finished a job may sleep before it spins.
uint32_t pacing_nap_us(const PoolPacing* p);
// How long it spins after that before it sleeps until the caller posts.
uint32_t pacing_spin_us(const PoolPacing* p);
