// Where the probe writes: spots over the whole announced size, a window at
// the start read back in full, and the cache flush.
#pragma once

#include <stdint.h>

// Nothing is written below this: partition table, boot sector.
const uint64_t PROBE_KEEP_OUT = 1ull << 20;
const uint32_t PROBE_SPOT_BYTES = 4096;
const uint32_t PROBE_MIN_SPOTS = 512;
const uint64_t PROBE_MAX_WINDOW = 512ull << 20;
// A drive cache up to this size is pushed out before anything is read back.
const uint64_t PROBE_FLUSH_BYTES = 256ull << 20;
const uint32_t PROBE_FLUSH_REQUEST = 8u << 20;
// The smallest device a plan is made for.
const uint64_t PROBE_MIN_DEVICE = 16ull << 20;

struct ProbeExtent {
    uint64_t offset;
    uint32_t length;
};

struct ProbePlan {
    uint64_t announced_bytes;
    uint64_t window_bytes;   // L: [0, L) is read back in full
    uint32_t spot_count;
    // Ascending offsets, each PROBE_SPOT_BYTES long, the last ending at S:
    // uniform ones no further apart than the window allows, and below them a
    // ladder in 0.8 % steps that locates a drop within 1 %.
    uint64_t* spots;
    uint32_t flush_count;
    ProbeExtent* flush;      // written after the spots, in this order
    uint64_t flush_bytes;
};

// 0 when announced_bytes is below PROBE_MIN_DEVICE, not a multiple of 512, or
// memory runs out.
int probe_plan_make(uint64_t announced_bytes, ProbePlan* out);
// Cache-flush extents of total > PROBE_FLUSH_BYTES in [plan->window_bytes, S)
// that avoid every extent in keep (sorted by offset); caller frees with plat_mem_free.
int probe_flush_extents(const ProbePlan* plan, const ProbeExtent* keep, uint32_t keep_count,
                        ProbeExtent** out, uint32_t* count);
void probe_plan_release(ProbePlan* plan);
