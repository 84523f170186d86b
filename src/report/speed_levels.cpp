// Speed levels: a running median removes dips shorter than a level, binary
// segmentation of that smooth series (least squares on log speed, a split
// only where it gains more than the noise could) finds the steps, neighbours
// closer than 15 % are merged, and each boundary is moved to the sample where
// the raw speeds change sides. Speeds are logarithms: a step is a ratio.
#include "report/speed_levels.h"

#include <math.h>

#include <algorithm>

#include "platform/platform.h"

namespace {

// Long series are first cut into at most this many blocks of equal size, each
// standing for the median of its samples; boundaries are then refined per sample.
const uint64_t MAX_BLOCKS = 2048;
const uint64_t MIN_LEVEL = 5;
const double SLOWEST_MBPS = 1e-3; // a sample of 0 MB/s counts as this slow
// A split must gain this many noise variances per log of the length.
const double PENALTY = 4.0;
// Noise below 1 % is taken as 1 %, so a flawless synthetic series is not cut at rounding.
const double MIN_NOISE = 0.01;

double log_speed(double mbps) {
    return log(mbps > SLOWEST_MBPS ? mbps : SLOWEST_MBPS);
}

// The median of v[0..n), reordering v.
double median_in_place(double* v, uint64_t n) {
    if (n == 0) return 0.0;
    std::nth_element(v, v + n / 2, v + n);
    double upper = v[n / 2];
    if (n % 2 == 1) return upper;
    // Halves first: the sum of two speeds near the largest double would be inf.
    return *std::max_element(v, v + n / 2) * 0.5 + upper * 0.5;
}

double median_of(const double* v, uint64_t first, uint64_t end, double* scratch) {
    std::copy(v + first, v + end, scratch);
    return median_in_place(scratch, end - first);
}

struct Work {
    double* memory;
    explicit Work(uint64_t doubles) : memory((double*)plat_mem_alloc(doubles * sizeof(double))) {}
    Work(const Work&) = delete;
    Work& operator=(const Work&) = delete;
    ~Work() { plat_mem_free(memory); }
};

struct Segment {
    uint64_t first; // blocks while searching, samples at the end
    uint64_t end;
    double level; // median log speed of the smoothed series
};

// Least-squares cost of y[a, b) from the prefix sums.
double cost(const double* s1, const double* s2, uint64_t a, uint64_t b) {
    double sum = s1[b] - s1[a];
    return (s2[b] - s2[a]) - sum * sum / (double)(b - a);
}

// Splits [a, b) recursively; boundaries are collected in *count, unsorted.
void split(const double* s1, const double* s2, uint64_t a, uint64_t b, uint64_t min_len,
           double penalty, uint64_t* bounds, int* count) {
    if (b - a < 2 * min_len || *count >= SPEED_LEVELS_MAX - 1) return;
    double whole = cost(s1, s2, a, b);
    double best_gain = 0.0;
    uint64_t best = 0;
    for (uint64_t k = a + min_len; k <= b - min_len; k++) {
        double gain = whole - cost(s1, s2, a, k) - cost(s1, s2, k, b);
        if (gain > best_gain) {
            best_gain = gain;
            best = k;
        }
    }
    if (best == 0 || best_gain <= penalty) return;
    bounds[(*count)++] = best;
    split(s1, s2, a, best, min_len, penalty, bounds, count);
    split(s1, s2, best, b, min_len, penalty, bounds, count);
}

// The boundary in [lo, hi] that puts each value nearest its own side's level:
// least absolute deviation from left below the boundary and right above it.
uint64_t best_boundary(const double* v, uint64_t lo, uint64_t hi, uint64_t guess, double left,
                       double right) {
    double c = 0.0;
    for (uint64_t i = lo; i < hi; i++) c += fabs(v[i] - right);
    double best_cost = c;
    uint64_t best = lo;
    for (uint64_t k = lo; k < hi; k++) {
        c += fabs(v[k] - left) - fabs(v[k] - right);
        uint64_t at = k + 1;
        double distance = (double)(at > guess ? at - guess : guess - at);
        double best_distance = (double)(best > guess ? best - guess : guess - best);
        if (c < best_cost - 1e-12 || (c <= best_cost + 1e-12 && distance < best_distance)) {
            best_cost = c;
            best = at;
        }
    }
    return best;
}

} // namespace

int speed_median(const double* speeds, uint64_t first, uint64_t end, double* median) {
    *median = 0.0;
    if (end <= first) return 1;
    Work work(end - first);
    if (!work.memory) return 0;
    *median = median_of(speeds, first, end, work.memory);
    return 1;
}

int speed_levels(const double* speeds, uint64_t count, SpeedLevel out[SPEED_LEVELS_MAX]) {
    if (count == 0) return 0;
    uint64_t block = (count + MAX_BLOCKS - 1) / MAX_BLOCKS;
    uint64_t m = (count + block - 1) / block;
    uint64_t min_len = std::max(MIN_LEVEL, m / 100);
    uint64_t half = min_len - 1; // a running median of 2*half+1 removes runs up to half long

    // v: block medians of log speed; y: their running median; s1, s2: prefix sums of y.
    Work work(count + 4 * m + 2);
    if (!work.memory) return -1;
    double* scratch = work.memory;
    double* v = scratch + count;
    double* y = v + m;
    double* s1 = y + m;
    double* s2 = s1 + m + 1;
    for (uint64_t j = 0; j < m; j++) {
        uint64_t first = j * block;
        uint64_t end = std::min(count, first + block);
        for (uint64_t i = first; i < end; i++) scratch[i - first] = log_speed(speeds[i]);
        v[j] = median_in_place(scratch, end - first);
    }

    // The window keeps its full width at the ends, so a short run there is removed too.
    uint64_t width = std::min(m, 2 * half + 1);
    for (uint64_t j = 0; j < m; j++) {
        uint64_t lo = std::min(j > half ? j - half : 0, m - width);
        y[j] = median_of(v, lo, lo + width, scratch);
    }
    s1[0] = s2[0] = 0.0;
    for (uint64_t j = 0; j < m; j++) {
        s1[j + 1] = s1[j] + y[j];
        s2[j + 1] = s2[j] + y[j] * y[j];
    }
    // Noise from neighbouring differences, robust to the steps themselves.
    for (uint64_t j = 0; j + 1 < m; j++) scratch[j] = fabs(v[j + 1] - v[j]);
    double noise = m > 1 ? 1.4826 * median_in_place(scratch, m - 1) / sqrt(2.0) : 0.0;
    noise = std::max(noise, MIN_NOISE);
    uint64_t bounds[SPEED_LEVELS_MAX];
    int b = 0;
    split(s1, s2, 0, m, min_len, PENALTY * noise * noise * log((double)m), bounds, &b);
    std::sort(bounds, bounds + b);
    Segment seg[SPEED_LEVELS_MAX];
    int n = 1;
    seg[0] = {0, m, 0.0};
    for (int i = 0; i < b; i++) {
        seg[n - 1].end = bounds[i];
        seg[n++] = {bounds[i], m, 0.0};
    }
    for (int i = 0; i < n; i++) seg[i].level = median_of(y, seg[i].first, seg[i].end, scratch);

    // Merge the closest neighbours until every step is at least SPEED_LEVEL_STEP.
    const double min_step = log(SPEED_LEVEL_STEP);
    while (n > 1) {
        int closest = 0;
        for (int i = 1; i + 1 < n; i++) {
            if (fabs(seg[i + 1].level - seg[i].level) <
                fabs(seg[closest + 1].level - seg[closest].level)) {
                closest = i;
            }
        }
        if (fabs(seg[closest + 1].level - seg[closest].level) >= min_step) break;
        seg[closest].end = seg[closest + 1].end;
        seg[closest].level = median_of(y, seg[closest].first, seg[closest].end, scratch);
        std::copy(seg + closest + 2, seg + n, seg + closest + 1);
        n--;
    }

    // Each boundary to the sample where the raw speeds change sides, within
    // the blocks next to it: least squares on blocks places it only to a block.
    for (int i = 0; i < n; i++) {
        seg[i].first *= block;
        seg[i].end = std::min(count, seg[i].end * block);
    }
    for (int i = 1; i < n; i++) {
        uint64_t reach = 2 * block;
        uint64_t lo = std::max(seg[i - 1].first + 1, seg[i].first - std::min(seg[i].first, reach));
        uint64_t hi = std::min(seg[i].end - 1, seg[i].first + reach);
        for (uint64_t k = lo; k < hi; k++) scratch[k - lo] = log_speed(speeds[k]);
        uint64_t at = best_boundary(scratch, 0, hi - lo, seg[i].first - lo, seg[i - 1].level,
                                    seg[i].level);
        seg[i].first = lo + at;
        seg[i - 1].end = seg[i].first;
    }
    for (int i = 0; i < n; i++) {
        out[i].first = seg[i].first;
        out[i].end = seg[i].end;
        out[i].median_mbps = median_of(speeds, seg[i].first, seg[i].end, scratch);
    }
    return n;
}
