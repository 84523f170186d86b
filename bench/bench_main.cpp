// Speed of the pattern fill and compare against memcpy, one core, 8 MiB blocks,
// of the pool's fill and compare against its number of threads, and of the
// statistics of one sample over sets of run-length sizes.
#include <benchmark/benchmark.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>
#include <thread>

#include "engine/damage_map.h"
#include "engine/pattern.h"
#include "engine/pattern_pool.h"
#include "engine/samples.h"
#include "platform/platform.h"

namespace {

const uint32_t block_bytes = 8u << 20;

// Two page-aligned blocks, as the phases allocate them; both are written once
// so that no read is served by the shared zero page.
struct Blocks {
    unsigned char* a = nullptr;
    unsigned char* b = nullptr;
    bool ok = false;
    Blocks() {
        a = (unsigned char*)plat_alloc_pages(block_bytes);
        b = (unsigned char*)plat_alloc_pages(block_bytes);
        ok = a != nullptr && b != nullptr;
        if (ok) {
            pattern_kernels(PATTERN_PATH_SCALAR)->fill(a, 0, block_bytes);
            memset(b, 0x5A, block_bytes);
        }
    }
    ~Blocks() {
        if (a != nullptr) plat_free_pages(a, block_bytes);
        if (b != nullptr) plat_free_pages(b, block_bytes);
    }
};

Blocks& blocks()
{
    static Blocks shared;
    return shared;
}

void bm_memcpy(benchmark::State& state)
{
    Blocks& m = blocks();
    if (!m.ok) return state.SkipWithError("page allocation failed");
    for (auto _ : state) {
        memcpy(m.b, m.a, block_bytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * block_bytes);
}

void bm_fill(benchmark::State& state, const PatternKernels* k)
{
    Blocks& m = blocks();
    if (!m.ok) return state.SkipWithError("page allocation failed");
    uint64_t offset = 0;
    for (auto _ : state) {
        k->fill(m.b, offset, block_bytes);
        benchmark::ClobberMemory();
        offset += block_bytes;
    }
    state.SetBytesProcessed((int64_t)state.iterations() * block_bytes);
}

void bm_compare(benchmark::State& state, const PatternKernels* k)
{
    Blocks& m = blocks();
    if (!m.ok) return state.SkipWithError("page allocation failed");
    for (auto _ : state) {
        int64_t at = k->first_mismatch(m.a, 0, block_bytes);
        benchmark::DoNotOptimize(at);
        if (at != -1) return state.SkipWithError("compare found a difference in the pattern");
    }
    state.SetBytesProcessed((int64_t)state.iterations() * block_bytes);
}

// Reads every cache line of a buffer twice the largest last-level cache here,
// so that the block compared next comes from memory, as after a device read.
// Plain loads: a large memset would use stores that bypass the caches.
struct Evictor {
    static const size_t bytes = 64u << 20;
    unsigned char* scratch = (unsigned char*)plat_alloc_pages(bytes);
    Evictor() { if (scratch != nullptr) memset(scratch, 1, bytes); }
    ~Evictor() { if (scratch != nullptr) plat_free_pages(scratch, bytes); }
    void run() {
        uint64_t sum = 0;
        for (size_t i = 0; i < bytes; i += 64) sum += scratch[i];
        benchmark::DoNotOptimize(sum);
    }
};

// The verify phase compares a block that the device has just put into memory,
// not one in the cache: push the block out of every cache level before each pass.
void bm_compare_uncached(benchmark::State& state, const PatternKernels* k)
{
    Blocks& m = blocks();
    if (!m.ok) return state.SkipWithError("page allocation failed");
    Evictor evict;
    if (evict.scratch == nullptr) return state.SkipWithError("page allocation failed");
    for (auto _ : state) {
        state.PauseTiming();
        evict.run();
        state.ResumeTiming();
        int64_t at = k->first_mismatch(m.a, 0, block_bytes);
        benchmark::DoNotOptimize(at);
        if (at != -1) return state.SkipWithError("compare found a difference in the pattern");
    }
    state.SetBytesProcessed((int64_t)state.iterations() * block_bytes);
}

// The damage map's classification of one 8 MiB block on this thread: every
// sector misplaced (data written for 1 GiB further on, as on a drive that wraps),
// or garbage (every test runs to its end, the costliest case).
void bm_damage(benchmark::State& state, bool misplaced)
{
    Blocks& m = blocks();
    if (!m.ok) return state.SkipWithError("page allocation failed");
    if (misplaced) {
        pattern_fill(m.b, 1ull << 30, block_bytes);
    } else {
        uint64_t x = 88172645463325252ULL;
        for (uint32_t k = 0; k < block_bytes; k += 8) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            memcpy(m.b + k, &x, 8);
        }
    }
    const int kind = misplaced ? SECTOR_MISPLACED : SECTOR_CORRUPTED;
    for (auto _ : state) {
        DamageMap map = {};
        damage_add_chunk(&map, m.b, 0, block_bytes);
        bool right = map.kind_bytes[kind] == block_bytes;
        damage_release(&map);
        if (!right) return state.SkipWithError("the block was not classified as built");
    }
    state.SetBytesProcessed((int64_t)state.iterations() * block_bytes);
}

// The pool's fill of one block of range(1) bytes shared by range(0) threads.
void bm_pool_fill(benchmark::State& state)
{
    Blocks& m = blocks();
    if (!m.ok) return state.SkipWithError("page allocation failed");
    const uint32_t bytes = (uint32_t)state.range(1);
    PatternPoolOwner pool((uint32_t)state.range(0));
    if (!pool.started) return state.SkipWithError("pool did not start");
    uint64_t offset = 0;
    for (auto _ : state) {
        pattern_fill_parallel(m.b, offset, bytes);
        benchmark::ClobberMemory();
        offset += bytes;
    }
    state.SetBytesProcessed((int64_t)state.iterations() * bytes);
}

// The pool's compare of a block that is not in the caches.
void bm_pool_compare_uncached(benchmark::State& state)
{
    Blocks& m = blocks();
    if (!m.ok) return state.SkipWithError("page allocation failed");
    const uint32_t bytes = (uint32_t)state.range(1);
    Evictor evict;
    if (evict.scratch == nullptr) return state.SkipWithError("page allocation failed");
    PatternPoolOwner pool((uint32_t)state.range(0));
    if (!pool.started) return state.SkipWithError("pool did not start");
    for (auto _ : state) {
        state.PauseTiming();
        evict.run();
        state.ResumeTiming();
        int64_t at = pattern_first_mismatch_parallel(m.a, 0, bytes);
        benchmark::DoNotOptimize(at);
        if (at != -1) return state.SkipWithError("compare found a difference in the pattern");
    }
    state.SetBytesProcessed((int64_t)state.iterations() * bytes);
}

// One block of a phase as the program runs it: the I/O call, then the pool's
// fill (write) or compare (verify); only the pool's part is timed. The I/O is
// range(1): 0 for a copy of the block by this thread, as a memory-backed volume
// makes it, or the microseconds of a drive that moves it by DMA while this
// thread sleeps. range(0) threads share the block.
void pool_cycle(benchmark::State& state, bool verify)
{
    Blocks& m = blocks();
    if (!m.ok) return state.SkipWithError("page allocation failed");
    PatternPoolOwner pool((uint32_t)state.range(0));
    if (!pool.started) return state.SkipWithError("pool did not start");
    const int64_t device_us = state.range(1);
    // The verification reads the block the write phase filled.
    pattern_fill(m.a, 0, block_bytes);
    for (auto _ : state) {
        if (verify) {
            if (device_us == 0) memcpy(m.b, m.a, block_bytes);
            else std::this_thread::sleep_for(std::chrono::microseconds(device_us));
        }
        int64_t begun = plat_wait_clock_us();
        if (verify) {
            int64_t at = pattern_first_mismatch_parallel(m.b, 0, block_bytes);
            benchmark::DoNotOptimize(at);
        } else {
            pattern_fill_parallel(m.b, 0, block_bytes);
        }
        state.SetIterationTime((double)(plat_wait_clock_us() - begun) * 1e-6);
        if (!verify) {
            if (device_us == 0) memcpy(m.a, m.b, block_bytes);
            else std::this_thread::sleep_for(std::chrono::microseconds(device_us));
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)state.iterations() * block_bytes);
}

void bm_pool_write_cycle(benchmark::State& state) { pool_cycle(state, false); }
void bm_pool_verify_cycle(benchmark::State& state) { pool_cycle(state, true); }

// A set of n run-like samples (two speed levels with noise), threshold 60 MB/s.
int fill_samples(SampleSet* set, int64_t n) {
    set->threshold = 60.0;
    uint64_t x = 1;
    for (int64_t i = 0; i < n; i++) {
        x = x * 6364136223846793005ULL + 1442695040888963407ULL;
        if (!samples_add(set, 50.0 + (double)(x >> 40) / 65536.0)) return 0;
    }
    return 1;
}

// The statistics of one sample as the first version computed them: the median
// by copy and sort for the CSV row and again for the dashboard, and a walk of
// the set for the below-threshold count; kept here as the reference.
double old_median(const SampleSet* set) {
    double* work = (double*)plat_mem_alloc((size_t)set->count * sizeof(double));
    if (work == nullptr) return 0.0;
    memcpy(work, set->values, (size_t)set->count * sizeof(double));
    qsort(work, (size_t)set->count, sizeof(double), compare_double);
    uint64_t mid = set->count / 2;
    double m = set->count % 2 ? work[mid] : (work[mid] + work[mid - 1]) * 0.5;
    plat_mem_free(work);
    return m;
}

void bm_sample_stats_before(benchmark::State& state)
{
    SampleSet set = {};
    if (!fill_samples(&set, state.range(0))) return state.SkipWithError("samples_add failed");
    for (auto _ : state) {
        double row = old_median(&set);
        double frame = old_median(&set);
        uint64_t below = samples_below(&set, 60.0);
        benchmark::DoNotOptimize(row + frame + (double)below);
    }
    samples_release(&set);
}

// One sample now: added to the set (heaps and below count kept as it arrives)
// and summarised once for the row, the dashboard and the report alike.
void bm_sample_stats_after(benchmark::State& state)
{
    SampleSet set = {};
    if (!fill_samples(&set, state.range(0))) return state.SkipWithError("samples_add failed");
    uint64_t x = 7;
    for (auto _ : state) {
        x = x * 6364136223846793005ULL + 1442695040888963407ULL;
        if (!samples_add(&set, 50.0 + (double)(x >> 40) / 65536.0)) {
            samples_release(&set);
            return state.SkipWithError("samples_add failed");
        }
        SampleSummary s = samples_summary(&set, 60.0);
        benchmark::DoNotOptimize(s);
    }
    samples_release(&set);
}

}  // namespace

// Figures are per CPU second of this thread, so that other work on a shared
// machine slows the run down without skewing the ratios.
int main(int argc, char** argv)
{
    benchmark::RegisterBenchmark("memcpy", bm_memcpy);
    // "dispatched" is the path the program takes on this CPU.
    const PatternKernels* active = pattern_kernels(pattern_active_path());
    benchmark::RegisterBenchmark("fill/dispatched", bm_fill, active);
    benchmark::RegisterBenchmark("compare/dispatched", bm_compare, active);
    benchmark::RegisterBenchmark("compare_uncached/dispatched", bm_compare_uncached, active);
    for (int path = 0; path < PATTERN_PATH_COUNT; path++) {
        const PatternKernels* k = pattern_kernels(path);
        if (k == nullptr) continue;
        benchmark::RegisterBenchmark((std::string("fill/") + k->name).c_str(), bm_fill, k);
        benchmark::RegisterBenchmark((std::string("compare/") + k->name).c_str(), bm_compare, k);
    }
    benchmark::RegisterBenchmark("damage/misplaced", bm_damage, true);
    benchmark::RegisterBenchmark("damage/corrupted", bm_damage, false);
    // The pool: wall time, since the work spans threads; run without pinning.
    const uint32_t most = PATTERN_POOL_MAX_THREADS;
    const uint32_t cpus = plat_cpu_count() < most ? plat_cpu_count() : most;
    for (uint32_t threads = 1; threads <= cpus; threads++) {
        for (int64_t bytes : {1 << 20, 2 << 20, 8 << 20}) {
            benchmark::RegisterBenchmark("pool_fill", bm_pool_fill)
                ->Args({(int64_t)threads, bytes})->UseRealTime();
            benchmark::RegisterBenchmark("pool_compare_uncached", bm_pool_compare_uncached)
                ->Args({(int64_t)threads, bytes})->UseRealTime();
        }
    }
    // A fixed count: only the pool's part is timed, so a time target would run
    // thousands of 20 ms I/O waits.
    for (uint32_t threads = 1; threads <= cpus; threads++) {
        for (int64_t device_us : {0, 2000, 20000}) {
            benchmark::RegisterBenchmark("pool_write_cycle", bm_pool_write_cycle)
                ->Args({(int64_t)threads, device_us})->UseManualTime()->Iterations(200);
            benchmark::RegisterBenchmark("pool_verify_cycle", bm_pool_verify_cycle)
                ->Args({(int64_t)threads, device_us})->UseManualTime()->Iterations(200);
        }
    }
    for (auto* stats : {benchmark::RegisterBenchmark("sample_stats/before", bm_sample_stats_before),
                        benchmark::RegisterBenchmark("sample_stats/after", bm_sample_stats_after)})
        stats->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond);
    benchmark::AddCustomContext("pattern_path", active->name);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
