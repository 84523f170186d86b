// The quick probe's spot plan: its shape for devices from 16 MiB to 1 TiB, and
// the property it exists for: a wrap at any period from 64 MiB to the
// announced size leaves one of this run's blocks, away from its own offset,
// in a window cell that no later write covers.
#include <gtest/gtest.h>

#include <stdint.h>

#include <algorithm>
#include <vector>

#include "engine/probe_plan.h"

namespace {

const uint64_t MiB = 1ull << 20;
const uint64_t GiB = 1ull << 30;

struct Range {
    uint64_t start, end;
};

// Everything the plan writes, in order.
std::vector<ProbeExtent> writes_of(const ProbePlan& plan) {
    std::vector<ProbeExtent> w;
    for (uint32_t i = 0; i < plan.spot_count; i++) w.push_back({plan.spots[i], PROBE_SPOT_BYTES});
    for (uint32_t i = 0; i < plan.flush_count; i++) w.push_back(plan.flush[i]);
    return w;
}

// Walks the writes last first: the window cells a write reaches that no
// later one covers keep its blocks; 1 when such a cell holds a block from
// past the period.
bool caught(const std::vector<ProbeExtent>& writes, uint64_t window, uint64_t w) {
    std::vector<Range> painted; // window cells covered by later writes
    for (size_t k = writes.size(); k-- > 0;) {
        uint64_t at = writes[k].offset, end = at + writes[k].length;
        while (at < end) {
            uint64_t cell = at % w, take = std::min(end - at, w - cell);
            uint64_t c0 = cell, c1 = std::min(cell + take, window);
            if (c0 < c1) {
                // Is any part of [c0, c1) left unpainted?
                std::vector<Range> left = {{c0, c1}};
                for (const Range& p : painted) {
                    std::vector<Range> next;
                    for (const Range& l : left) {
                        if (p.end <= l.start || p.start >= l.end) next.push_back(l);
                        else {
                            if (l.start < p.start) next.push_back({l.start, p.start});
                            if (p.end < l.end) next.push_back({p.end, l.end});
                        }
                    }
                    left.swap(next);
                }
                if (!left.empty() && at != cell) return true;
                painted.push_back({c0, c1});
            }
            at += take;
        }
    }
    return false;
}

TEST(ProbePlan, EveryWrapPeriodLeavesEvidenceInTheWindow)
{
    const uint64_t sizes[] = {
        96 * MiB,
        256 * MiB,
        GiB + 512 * 77,           // odd: not a multiple of 4096
        7838315008ull + 512 * 5,  // about 7.3 GiB
        8 * GiB,
        64 * GiB - 512,
        1ull << 40,               // 1 TiB
        (1ull << 40) + 512 * 3,
    };
    for (uint64_t size : sizes) {
        SCOPED_TRACE(size);
        ProbePlan plan;
        ASSERT_TRUE(probe_plan_make(size, &plan));
        // Shape: at least 512 spots, ascending and apart, none in the first
        // MiB, the last ending at the end, gaps that fit in the window.
        ASSERT_GE(plan.spot_count, PROBE_MIN_SPOTS);
        EXPECT_EQ(plan.spots[0], PROBE_KEEP_OUT);
        EXPECT_EQ(plan.spots[plan.spot_count - 1] + PROBE_SPOT_BYTES, size);
        EXPECT_LE(plan.window_bytes, PROBE_MAX_WINDOW);
        EXPECT_LT(plan.window_bytes, size);
        for (uint32_t i = 1; i < plan.spot_count; i++) {
            ASSERT_GE(plan.spots[i], plan.spots[i - 1] + PROBE_SPOT_BYTES);
            ASSERT_LE(plan.spots[i] - plan.spots[i - 1], plan.window_bytes - PROBE_SPOT_BYTES);
        }
        // The flush: enough to push a 256 MiB cache out, outside the window,
        // on no spot, inside the device, in requests the I/O record allows.
        EXPECT_GE(plan.flush_bytes, PROBE_FLUSH_BYTES);
        for (uint32_t i = 0; i < plan.flush_count; i++) {
            const ProbeExtent& f = plan.flush[i];
            ASSERT_GE(f.offset, plan.window_bytes);
            ASSERT_LE(f.offset + f.length, size);
            ASSERT_LE(f.length, PROBE_FLUSH_REQUEST);
            ASSERT_EQ(f.offset % 4096, 0u);
            const uint64_t* s = std::upper_bound(plan.spots, plan.spots + plan.spot_count, f.offset);
            if (s != plan.spots + plan.spot_count) {
                ASSERT_LE(f.offset + f.length, *s);
            }
            if (s != plan.spots) {
                ASSERT_GE(f.offset, s[-1] + PROBE_SPOT_BYTES);
            }
        }
        uint64_t written = (uint64_t)plan.spot_count * PROBE_SPOT_BYTES + plan.flush_bytes;
        if (size >= (1ull << 40)) {
            EXPECT_LE(written, 512 * MiB);
        }
        // Every period: a dense sweep, plus each value next to a spot's ends.
        std::vector<ProbeExtent> writes = writes_of(plan);
        std::vector<uint64_t> periods;
        uint64_t step = std::max<uint64_t>(512, (size - 64 * MiB) / 20000 / 512 * 512 + 512 * 3);
        for (uint64_t w = 64 * MiB; w < size; w += step) periods.push_back(w);
        for (uint32_t i = 0; i < plan.spot_count; i++) {
            for (int64_t d : {-512, 0, 512, 4096 - 512, 4096, 4096 + 512})
                periods.push_back(plan.spots[i] + d);
        }
        for (uint64_t d = 512; d <= 8192; d += 512) periods.push_back(size - d);
        uint64_t checked = 0;
        for (uint64_t w : periods) {
            if (w < 64 * MiB || w >= size) continue;
            checked++;
            ASSERT_TRUE(caught(writes, plan.window_bytes, w)) << "period " << w;
        }
        EXPECT_GT(checked, 2000u);
        probe_plan_release(&plan);
    }
}

TEST(ProbePlan, RefusesWhatItCannotPlan)
{
    ProbePlan plan;
    EXPECT_FALSE(probe_plan_make(PROBE_MIN_DEVICE - 512, &plan));
    EXPECT_FALSE(probe_plan_make(GiB + 100, &plan));
    ASSERT_TRUE(probe_plan_make(PROBE_MIN_DEVICE, &plan));
    probe_plan_release(&plan);
}

} // namespace
