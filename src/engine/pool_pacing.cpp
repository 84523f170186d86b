#include "engine/pool_pacing.h"

namespace {

int64_t shortest_cycle(const PoolPacing* p) {
    int64_t lo = p->cycles_us[0];
    for (uint32_t i = 1; i < p->count; i++) {
        if (p->cycles_us[i] < lo) lo = p->cycles_us[i];
    }
    return lo;
}

// A timed wake-up comes 0.1-0.2 ms late on a virtual machine, and later still
// on a busy one.
int64_t lead_us(int64_t lo) {
    int64_t lead = PACING_LEAD_US + lo / 64;
    return lead < PACING_LEAD_MAX_US ? lead : (int64_t)PACING_LEAD_MAX_US;
}

} // namespace

void pacing_reset(PoolPacing* p) {
    p->count = 0;
    p->next = 0;
}

void pacing_add_cycle(PoolPacing* p, int64_t cycle_us) {
    p->cycles_us[p->next] = cycle_us < 0 ? 0 : cycle_us;
    p->next = (p->next + 1) % PACING_CYCLES;
    if (p->count < PACING_CYCLES) p->count++;
}

int64_t pacing_nap_end_us(const PoolPacing* p) {
    if (p->count == 0) return 0;
    int64_t lo = shortest_cycle(p);
    int64_t end = lo - lead_us(lo);
    if (end <= 0) return 0;
    return end < PACING_NAP_MAX_US ? end : (int64_t)PACING_NAP_MAX_US;
}

int64_t pacing_spin_end_us(const PoolPacing* p) {
    if (p->count == 0) return PACING_SPIN_FIRST_US;
    int64_t lo = shortest_cycle(p);
    // Only around the shortest cycle: a spinning worker takes CPU time that
    // the I/O itself may need (a virtual disk, encryption, a USB stack), so a
    // later job finds it asleep and pays one wake-up.
    return lo + 2 * lead_us(lo);
}
