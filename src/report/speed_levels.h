// Speed levels of a run: where the write speed settles at a new level (a cache
// running out, a throttling step), found from the series of sample speeds.
#pragma once

#include <stdint.h>

// Samples [first, end) of the series, and their median speed.
struct SpeedLevel {
    uint64_t first;
    uint64_t end;
    double median_mbps;
};

// A level is at least 5 samples and about 1 % of the run long, so there are fewer than this.
enum { SPEED_LEVELS_MAX = 128 };

// Adjacent levels differ by at least this factor (1.15: 15 %).
#define SPEED_LEVEL_STEP 1.15

// Splits speeds[0..count) into levels, in order, covering every sample. A
// shorter dip or burst than a level belongs to the level around it. Returns the
// number of levels (0 for no samples), or -1 when working memory cannot be had.
int speed_levels(const double* speeds, uint64_t count, SpeedLevel out[SPEED_LEVELS_MAX]);

// The median of speeds[first, end) by the rule of the running statistics (the
// mean of the middle two for an even count; 0 for none); 0 without memory.
int speed_median(const double* speeds, uint64_t first, uint64_t end, double* median);
