#include "engine/pool_pacing.h"

namespace {

void gap_range(const PoolPacing* p, int64_t* lo, int64_t* hi) {
    *lo = p->gaps_us[0];
    *hi = p->gaps_us[0];
    for (uint32_t i = 1; i < p->count; i++) {
        if (p->gaps_us[i] < *lo) *lo = p->gaps_us[i];
        if (p->gaps_us[i] > *hi) *hi = p->gaps_us[i];
    }
}

// A wake-up from a timed sleep comes late by up to a few hundred microseconds
// on a virtual machine, and later still on a busy one.
int64_t lead_us(int64_t lo) { return PACING_LEAD_US + lo / 16; }

} // namespace

void pacing_reset(PoolPacing* p) {
    p->count = 0;
    p->next = 0;
}

void pacing_add_gap(PoolPacing* p, int64_t gap_us) {
    p->gaps_us[p->next] = gap_us < 0 ? 0 : gap_us;
    p->next = (p->next + 1) % PACING_GAPS;
    if (p->count < PACING_GAPS) p->count++;
}

uint32_t pacing_nap_us(const PoolPacing* p) {
    if (p->count == 0) return 0;
    int64_t lo, hi;
    gap_range(p, &lo, &hi);
    int64_t nap = lo - lead_us(lo);
    if (nap <= 0) return 0;
    return nap < PACING_NAP_MAX_US ? (uint32_t)nap : (uint32_t)PACING_NAP_MAX_US;
}

uint32_t pacing_spin_us(const PoolPacing* p) {
    if (p->count == 0) return PACING_SPIN_FIRST_US;
    int64_t lo, hi;
    gap_range(p, &lo, &hi);
    // The spread of recent gaps, and the lead twice: once for a nap that ends
    // early, once for one that ends late.
    int64_t spin = PACING_SPIN_FIRST_US + hi - lo + 2 * lead_us(lo);
    return spin < PACING_SPIN_MAX_US ? (uint32_t)spin : (uint32_t)PACING_SPIN_MAX_US;
}
