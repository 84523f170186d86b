// Speed samples of one phase, in MB/s, with running minimum, maximum, total,
// a running median and the count below the phase's required minimum.
#pragma once

#include <stdint.h>

struct SampleSet {
    double* values; // heap array in the order added; null while empty
    uint64_t count;
    uint64_t capacity;
    double min; // meaningful only while count > 0
    double max;
    double total;
    // The same samples kept as two heaps (the lower half a max-heap, the upper
    // half a min-heap) so the median costs O(log n) per sample, not a sort.
    double* order;     // capacity/2 + 1 slots for each heap; null while empty
    uint64_t lower_count;
    uint64_t upper_count;
    double threshold;  // samples strictly below it are counted as they arrive
    uint64_t below;
};

// Everything shown about a set at one moment, computed once per sample.
struct SampleSummary {
    uint64_t count;
    double min; // 0 for an empty set, like every other figure
    double mean;
    double median;
    double max;
    uint64_t below; // samples strictly below the threshold; 0 without one
};

// MB/s = bytes / 1,000,000 / seconds when seconds > 0, else 0.
double speed_mbps(uint64_t bytes, double seconds);

// 1 on success; 0 when the arrays cannot grow, leaving the set exactly as it was.
int samples_add(SampleSet* set, double value);
double samples_median(const SampleSet* set);
int compare_double(const void* a, const void* b);
double samples_mean(const SampleSet* set);
uint64_t samples_below(const SampleSet* set, double threshold);
// O(1): minimum, mean, median, maximum and the count below threshold (counted
// as samples arrived when it is the set's own threshold, else by a walk).
SampleSummary samples_summary(const SampleSet* set, double threshold);
// Frees the set's arrays and empties it.
void samples_release(SampleSet* set);

// The performance counter in seconds; only differences mean anything.
double qpc_seconds(void);
// The counter's ticks per second, read once and shared with qpc_seconds.
int64_t qpc_frequency(void);
// Seconds between two raw counter readings (t1 taken after t0).
inline double qpc_interval(int64_t t0, int64_t t1) {
    return (double)(t1 - t0) / (double)qpc_frequency();
}
