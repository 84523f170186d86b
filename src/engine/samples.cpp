// The clock and the speed statistics of one phase.
#include "engine/samples.h"

#include <stdlib.h>
#include <string.h>

#include "platform/platform.h"

static int64_t g_qpc_frequency = 0;

double speed_mbps(uint64_t bytes, double seconds) {
    if (seconds > 0.0) {
        return (double)bytes / 1000000.0 / seconds;
    }
    return 0.0;
}

int samples_add(SampleSet* set, double value) {
    if (set->count == set->capacity) {
        uint64_t new_capacity = set->count == 0 ? 1024 : 2 * set->count;
        // A capacity whose byte size does not fit a size_t cannot be allocated.
        if (new_capacity < set->count || new_capacity > SIZE_MAX / sizeof(double)) {
            return 0;
        }
        void* grown = plat_mem_realloc(set->values, (size_t)new_capacity * sizeof(double));
        if (grown == NULL) {
            return 0;
        }
        set->values = (double*)grown;
        set->capacity = new_capacity;
    }
    set->values[set->count] = value;
    set->count++;
    set->total += value;
    if (set->count == 1) {
        set->min = value;
        set->max = value;
    } else {
        if (value < set->min) {
            set->min = value;
        }
        if (value > set->max) {
            set->max = value;
        }
    }
    return 1;
}

int compare_double(const void* a, const void* b) {
    double x = *(const double*)a;
    double y = *(const double*)b;
    return (x > y) - (y > x);
}

double samples_median(const SampleSet* set) {
    if (set->count == 0) {
        return 0.0;
    }
    if (set->count > SIZE_MAX / sizeof(double)) {
        return 0.0;
    }
    size_t bytes = (size_t)set->count * sizeof(double);
    double* work = (double*)plat_mem_alloc(bytes);
    if (work == NULL) {
        return 0.0;
    }
    memcpy(work, set->values, bytes);
    qsort(work, (size_t)set->count, sizeof(double), compare_double);
    uint64_t mid = set->count / 2;
    double median;
    if (set->count % 2 == 1) {
        median = work[mid];
    } else {
        median = (work[mid] + work[mid - 1]) * 0.5;
    }
    plat_mem_free(work);
    return median;
}

double samples_mean(const SampleSet* set) {
    if (set->count == 0) {
        return 0.0;
    }
    return set->total / (double)set->count;
}

uint64_t samples_below(const SampleSet* set, double threshold) {
    if (!(threshold > 0.0)) {
        return 0;
    }
    uint64_t below = 0;
    for (uint64_t i = 0; i < set->count; i++) {
        if (threshold > set->values[i]) {
            below++;
        }
    }
    return below;
}

int64_t qpc_frequency(void) {
    if (g_qpc_frequency == 0) {
        g_qpc_frequency = plat_perf_frequency();
    }
    return g_qpc_frequency;
}

double qpc_seconds(void) {
    int64_t frequency = qpc_frequency();
    int64_t ticks = plat_perf_counter();
    return (double)ticks / (double)frequency;
}
