// The wrap finder: which period W, if any, explains what the probe read back
// given everything it wrote, in order. Inside engine/ only.
#pragma once

#include <stdint.h>

#include "engine/probe_plan.h"

const uint64_t PROBE_NOT_OURS = ~0ull;      // a sector that is no block of this run
const uint64_t PROBE_UNREAD = ~0ull - 1;    // its read failed

// One 512-byte sector read back: the source its block names, or one of the two above.
struct ProbeSeen {
    uint64_t offset;
    uint64_t source;
};

// The smallest period a drive is judged to wrap at.
const uint64_t PROBE_MIN_WRAP = 64u << 10;

// written: every extent written, in order of writing, each holding this run's
// blocks for its own offsets; the first before_flush of them were written
// before the cache flush. W (a multiple of 512) when a wrap at W predicts
// every block read back away from its own offset, and such blocks were seen;
// 0 otherwise. A cell may show its last write or, where a write-back cache
// still holds the flush's last writes, the last write before the flush.
uint64_t probe_find_wrap(const ProbeExtent* written, uint32_t written_count,
                         uint32_t before_flush, const ProbeSeen* seen, uint64_t seen_count);
