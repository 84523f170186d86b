// The spot plan.
//
// A drive that wraps at W stores a write at x in the cell x mod W. With spots
// no further apart than the window's length L (less one spot), the first spot
// at or past any W lands within [0, L), which is read back in full; when
// W < L every write lands in the window. Spots go in ascending order and
// nothing later is written inside the window, so a cell there that a write
// from past W reached keeps a block of this run naming a source past W.
//
// Cost for 1 TiB (writes 20 MB/s + 5 ms a request, reads 30 MB/s): with
// L = 512 MiB, 2050 uniform spots + 1422 ladder rungs of 4 KiB = 14 MiB and
// a flush of 266 MiB in 54 requests (cut around the spots): 3526 write
// requests, 17.6 s, and 293 MB, 14.6 s; their backup reads 9.8 s; the
// read-back of the window and the spots 18.4 s; the restore as many
// requests and bytes again, 32.2 s, and its check read 9.8 s. About 103 s
// in all, 293 MB written (restore excluded). A 256 MiB window would halve
// the read-back but double the uniform spots, each a 5 ms request twice.
// Smaller devices: L = S / 4 up to 512 MiB and never fewer than 512 spots.
#include "engine/probe_plan.h"

#include <string.h>

#include <algorithm>

#include "platform/platform.h"

namespace {

const uint64_t ALIGN = 4096;

uint64_t align_down(uint64_t v) { return v / ALIGN * ALIGN; }

// The next rung's distance: 0.8 % of the offset, at least two spots.
uint64_t ladder_step(uint64_t p) {
    uint64_t step = align_down(p / 125);
    return step > 2 * PROBE_SPOT_BYTES ? step : 2 * PROBE_SPOT_BYTES;
}

// The first keep extent that ends after pos (keep sorted by offset).
uint32_t next_keep(const ProbeExtent* keep, uint32_t count, uint64_t pos) {
    uint32_t lo = 0, hi = count;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (keep[mid].offset + keep[mid].length <= pos) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

} // namespace

int probe_plan_make(uint64_t announced_bytes, ProbePlan* out) {
    memset(out, 0, sizeof *out);
    if (announced_bytes < PROBE_MIN_DEVICE || announced_bytes % 512 != 0) return 0;
    uint64_t window = align_down(announced_bytes / 4);
    if (window > PROBE_MAX_WINDOW) window = PROBE_MAX_WINDOW;
    uint64_t first = PROBE_KEEP_OUT;
    uint64_t last = announced_bytes - PROBE_SPOT_BYTES;
    uint64_t span = last - first;
    // Spacing is rounded down to 4096, which can widen a gap by up to a spot:
    // a whole spot still fits in the window after the widest gap.
    uint64_t widest = window - 2 * PROBE_SPOT_BYTES;
    uint64_t n = (span + widest - 1) / widest + 1;
    if (n < PROBE_MIN_SPOTS) n = PROBE_MIN_SPOTS;
    // The uniform spots, then the ladder: from 1 MiB up, steps of 0.8 % of
    // the offset, until the uniform spots are denser. A drop between two
    // neighbours is then located within 1 % of where it is, from the one
    // read-back: no second round, no second cache flush.
    uint64_t step = span / (n - 1), rest = span % (n - 1);
    uint64_t ladder_top = 125 * (widest + PROBE_SPOT_BYTES);
    uint64_t rungs = 0;
    for (uint64_t p = first; p < ladder_top && p < last; p += ladder_step(p)) rungs++;
    uint64_t* spots = (uint64_t*)plat_mem_alloc((n + rungs) * sizeof(uint64_t));
    if (spots == nullptr) return 0;
    for (uint64_t i = 0; i + 1 < n; i++) spots[i] = align_down(first + step * i + rest * i / (n - 1));
    spots[n - 1] = last;
    uint64_t k = n;
    for (uint64_t p = first; p < ladder_top && p < last; p += ladder_step(p)) spots[k++] = p;
    // Ascending, and a rung that would overlap a spot gives way to it.
    std::sort(spots, spots + k);
    uint64_t kept = 0;
    for (uint64_t i = 0; i < k; i++) {
        if (kept > 0 && spots[i] < spots[kept - 1] + PROBE_SPOT_BYTES) {
            if (i + 1 == k) spots[kept - 1] = spots[i]; // the last spot, at the end, stays
            continue;
        }
        spots[kept++] = spots[i];
    }
    n = kept;
    out->announced_bytes = announced_bytes;
    out->window_bytes = window;
    out->spot_count = (uint32_t)n;
    out->spots = spots;
    ProbeExtent* keep = (ProbeExtent*)plat_mem_alloc(n * sizeof(ProbeExtent));
    if (keep == nullptr) {
        probe_plan_release(out);
        return 0;
    }
    for (uint64_t i = 0; i < n; i++) keep[i] = {spots[i], PROBE_SPOT_BYTES};
    int ok = probe_flush_extents(out, keep, (uint32_t)n, &out->flush, &out->flush_count);
    plat_mem_free(keep);
    if (!ok) {
        probe_plan_release(out);
        return 0;
    }
    for (uint32_t i = 0; i < out->flush_count; i++) out->flush_bytes += out->flush[i].length;
    return 1;
}

// Laps over [L, last spot) until enough is written: rewriting addresses a
// cache already holds pushes nothing out, so each lap covers all it can.
int probe_flush_extents(const ProbePlan* plan, const ProbeExtent* keep, uint32_t keep_count,
                        ProbeExtent** out, uint32_t* count) {
    *out = nullptr;
    *count = 0;
    uint64_t start = align_down(plan->window_bytes + ALIGN - 1);
    uint64_t end = align_down(plan->announced_bytes - PROBE_SPOT_BYTES);
    uint32_t cap = 0, used = 0;
    ProbeExtent* list = nullptr;
    uint64_t total = 0;
    // One request more than the cache holds: a cache that keeps the newest
    // 256 MiB has then given up every spot.
    const uint64_t target = PROBE_FLUSH_BYTES + PROBE_FLUSH_REQUEST;
    while (total < target) {
        uint64_t lap = 0;
        uint64_t pos = start;
        while (pos < end && total < target) {
            uint32_t k = next_keep(keep, keep_count, pos);
            if (k < keep_count && keep[k].offset <= pos) {
                pos = align_down(keep[k].offset + keep[k].length + ALIGN - 1);
                continue;
            }
            uint64_t stop = end;
            if (k < keep_count && align_down(keep[k].offset) < stop) stop = align_down(keep[k].offset);
            if (stop <= pos) {
                pos = align_down(keep[k].offset + keep[k].length + ALIGN - 1);
                continue;
            }
            uint64_t length = stop - pos;
            if (length > PROBE_FLUSH_REQUEST) length = PROBE_FLUSH_REQUEST;
            if (used == cap) {
                cap = cap ? cap * 2 : 64;
                ProbeExtent* grown =
                    (ProbeExtent*)plat_mem_realloc(list, (size_t)cap * sizeof(ProbeExtent));
                if (grown == nullptr) {
                    plat_mem_free(list);
                    return 0;
                }
                list = grown;
            }
            list[used++] = {pos, (uint32_t)length};
            pos += length;
            total += length;
            lap += length;
        }
        if (lap == 0) break; // no room at all: the device is too small
    }
    if (total < target) {
        plat_mem_free(list);
        return 0;
    }
    *out = list;
    *count = used;
    return 1;
}

void probe_plan_release(ProbePlan* plan) {
    plat_mem_free(plan->spots);
    plat_mem_free(plan->flush);
    memset(plan, 0, sizeof *plan);
}
