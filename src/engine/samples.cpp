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

int compare_double(const void* a, const void* b) {
    double x = *(const double*)a;
    double y = *(const double*)b;
    return (x > y) - (y > x);
}

// ---- the two heaps of the running median ----

static uint64_t heap_slots(uint64_t capacity) {
    return capacity / 2 + 1;
}
static double* lower_heap(const SampleSet* set) {
    return set->order;
}
static double* upper_heap(const SampleSet* set) {
    return set->order + heap_slots(set->capacity);
}

// sign = 1 keeps the largest value on top, -1 the smallest.
static void heap_push(double* heap, uint64_t* count, double value, int sign) {
    uint64_t i = (*count)++;
    heap[i] = value;
    while (i > 0) {
        uint64_t parent = (i - 1) / 2;
        if (sign * compare_double(&heap[i], &heap[parent]) <= 0) break;
        double t = heap[i];
        heap[i] = heap[parent];
        heap[parent] = t;
        i = parent;
    }
}

static double heap_pop(double* heap, uint64_t* count, int sign) {
    double top = heap[0];
    heap[0] = heap[--(*count)];
    uint64_t i = 0;
    for (;;) {
        uint64_t best = i;
        uint64_t l = 2 * i + 1;
        uint64_t r = l + 1;
        if (l < *count && sign * compare_double(&heap[l], &heap[best]) > 0) best = l;
        if (r < *count && sign * compare_double(&heap[r], &heap[best]) > 0) best = r;
        if (best == i) break;
        double t = heap[i];
        heap[i] = heap[best];
        heap[best] = t;
        i = best;
    }
    return top;
}

static void order_insert(SampleSet* set, double value) {
    double* lower = lower_heap(set);
    double* upper = upper_heap(set);
    if (set->lower_count == 0 || compare_double(&value, &lower[0]) <= 0) {
        heap_push(lower, &set->lower_count, value, 1);
    } else {
        heap_push(upper, &set->upper_count, value, -1);
    }
    // The lower half holds the middle element of an odd count.
    if (set->lower_count > set->upper_count + 1) {
        heap_push(upper, &set->upper_count, heap_pop(lower, &set->lower_count, 1), -1);
    } else if (set->upper_count > set->lower_count) {
        heap_push(lower, &set->lower_count, heap_pop(upper, &set->upper_count, -1), 1);
    }
}

// Grows both arrays to new_capacity; on failure nothing of the set changes.
static int grow(SampleSet* set, uint64_t new_capacity) {
    uint64_t slots = heap_slots(new_capacity);
    if (slots > SIZE_MAX / (2 * sizeof(double))) return 0;
    double* order = (double*)plat_mem_alloc((size_t)(2 * slots) * sizeof(double));
    if (order == NULL) return 0;
    void* grown = plat_mem_realloc(set->values, (size_t)new_capacity * sizeof(double));
    if (grown == NULL) {
        plat_mem_free(order);
        return 0;
    }
    if (set->order != NULL) {
        memcpy(order, lower_heap(set), (size_t)set->lower_count * sizeof(double));
        memcpy(order + slots, upper_heap(set), (size_t)set->upper_count * sizeof(double));
        plat_mem_free(set->order);
    }
    set->order = order;
    set->values = (double*)grown;
    set->capacity = new_capacity;
    return 1;
}

int samples_add(SampleSet* set, double value) {
    if (set->count == set->capacity) {
        uint64_t new_capacity = set->count == 0 ? 1024 : 2 * set->count;
        // A capacity whose byte size does not fit a size_t cannot be allocated.
        if (new_capacity < set->count || new_capacity > SIZE_MAX / sizeof(double)) {
            return 0;
        }
        if (!grow(set, new_capacity)) {
            return 0;
        }
    }
    set->values[set->count] = value;
    set->count++;
    set->total += value;
    order_insert(set, value);
    if (set->threshold > 0.0 && set->threshold > value) {
        set->below++;
    }
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

double samples_median(const SampleSet* set) {
    if (set->count == 0 || set->order == NULL) {
        return 0.0;
    }
    const double* lower = lower_heap(set);
    if (set->count % 2 == 1) {
        return lower[0];
    }
    return (upper_heap(set)[0] + lower[0]) * 0.5;
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

SampleSummary samples_summary(const SampleSet* set, double threshold) {
    SampleSummary s = {set->count, 0.0, samples_mean(set), samples_median(set), 0.0, 0};
    if (set->count > 0) {
        s.min = set->min;
        s.max = set->max;
    }
    if (threshold > 0.0) {
        s.below = threshold == set->threshold ? set->below : samples_below(set, threshold);
    }
    return s;
}

void samples_release(SampleSet* set) {
    plat_mem_free(set->values);
    plat_mem_free(set->order);
    double threshold = set->threshold;
    memset(set, 0, sizeof *set);
    set->threshold = threshold;
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
