// Speed of the pattern fill and compare against memcpy, one core, 8 MiB blocks,
// the cost of handing a block's work to the helper thread, and the statistics of
// one sample over sets of run-length sizes.
#include <benchmark/benchmark.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "engine/damage_map.h"
#include "engine/pattern.h"
#include "engine/block_helper.h"
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

// The pipeline's cost per block beside the I/O call: one piece of work handed
// to the helper thread and collected (the work itself empty), in wall time.
void nothing(void*, uint32_t) {}

void bm_helper_handoff(benchmark::State& state)
{
    BlockHelper helper;
    if (!block_helper_start(&helper)) return state.SkipWithError("no helper: one CPU");
    for (auto _ : state) {
        block_helper_hand(&helper, nothing, nullptr, 8);
        block_helper_collect(&helper);
    }
}

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

// One sample as the program closes it: added to the set (heaps and below count
// kept as it arrives) and summarised once for the row, the dashboard and the report.
void bm_sample_stats(benchmark::State& state)
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
    benchmark::RegisterBenchmark("helper_handoff", bm_helper_handoff)->UseRealTime();
    benchmark::RegisterBenchmark("sample_stats", bm_sample_stats)
        ->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond);
    benchmark::AddCustomContext("pattern_path", active->name);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
