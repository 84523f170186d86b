// Speed samples of one phase, in MB/s, with running minimum, maximum and total.
#pragma once

#include <stdint.h>

struct SampleSet {
    double* values; // heap array in the order added; null while empty
    uint64_t count;
    uint64_t capacity;
    double min; // meaningful only while count > 0
    double max;
    double total;
};

// MB/s = bytes / 1,000,000 / seconds when seconds > 0, else 0.
double speed_mbps(uint64_t bytes, double seconds);

// 1 on success; 0 when the array cannot grow, leaving the set exactly as it was.
int samples_add(SampleSet* set, double value);
double samples_median(const SampleSet* set);
int compare_double(const void* a, const void* b);
double samples_mean(const SampleSet* set);
uint64_t samples_below(const SampleSet* set, double threshold);

// The performance counter in seconds; only differences mean anything.
double qpc_seconds(void);
// The counter's ticks per second, read once and shared with qpc_seconds.
int64_t qpc_frequency(void);
// Seconds between two raw counter readings (t1 taken after t0).
inline double qpc_interval(int64_t t0, int64_t t1) {
    return (double)(t1 - t0) / (double)qpc_frequency();
}
