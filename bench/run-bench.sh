#!/usr/bin/env bash
# Builds the benchmarks, runs them on one core and prints the pattern fill and
# compare speeds as ratios of memcpy's, all from the same run (goal: >= 0.80),
# and the per-sample statistics; then, on all CPUs, the pipeline's cost of
# handing one block's work to the helper thread and collecting it.
# Usage: bench/run-bench.sh [build-dir] [repetitions]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build-bench}"
reps="${2:-7}"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRIVE_TEST_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target drive_bench -j2 >/dev/null

csv="$(mktemp)"
trap 'rm -f "$csv"' EXIT

# One core for the whole run, so every figure sees the same caches and clock.
pin=()
if command -v taskset >/dev/null 2>&1; then
    cpu="$(( $(nproc) - 1 ))"
    pin=(taskset -c "$cpu")
fi

# Interleaved repetitions spread slow drifts of the machine over all benchmarks.
"${pin[@]}" "$build/bench/drive_bench" \
    --benchmark_filter=-helper_ \
    --benchmark_repetitions="$reps" \
    --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true \
    --benchmark_out="$csv" --benchmark_out_format=csv

echo
echo "8 MiB blocks, one core, median of $reps interleaved repetitions:"
awk -F, '
    /^name,/ { started = 1; next }
    !started { next }
    {
        name = $1; gsub(/"/, "", name)
        if (name ~ /_median$/) { sub(/_median$/, "", name); bps[name] = $6 }
        if (name ~ /_cv$/) { sub(/_cv$/, "", name); cv[name] = $6 }
    }
    END {
        base = bps["memcpy"]
        if (base <= 0) { print "memcpy figure missing"; exit 1 }
        printf "  %-20s %8.2f GB/s  (cv %.1f%%)\n", "memcpy", base / 1e9, cv["memcpy"] * 100
        n = split("fill/dispatched compare/dispatched fill/avx512 compare/avx512 fill/avx2 compare/avx2 fill/scalar compare/scalar", order, " ")
        for (i = 1; i <= n; i++) {
            k = order[i]
            if (!(k in bps)) continue
            printf "  %-20s %8.2f GB/s  (cv %.1f%%)  ratio to memcpy %.2f\n", k, bps[k] / 1e9, cv[k] * 100, bps[k] / base
        }
        k = "compare_uncached/dispatched"
        if (k in bps) printf "  %-20s %8.2f GB/s  (cv %.1f%%)  block evicted from the caches first, as after a read\n", "compare, uncached", bps[k] / 1e9, cv[k] * 100
        printf "fill/memcpy %.2f  compare/memcpy %.2f  (goal >= 0.80)\n",
               bps["fill/dispatched"] / base, bps["compare/dispatched"] / base
    }' "$csv"

# The handoff spans two threads: no pinning, wall time.
"$build/bench/drive_bench" \
    --benchmark_filter=^helper_handoff \
    --benchmark_repetitions="$reps" \
    --benchmark_report_aggregates_only=true \
    --benchmark_format=csv 2>/dev/null | awk -F, -v reps="$reps" '
    { name = $1; gsub(/"/, "", name) }
    name ~ /_median$/ { printf "\nhelper handoff (hand one block of 8 empty pieces to the helper, collect it), median of %d: %.1f us wall\n", reps, $3 / 1000 }
    $0 ~ /no helper/ { print "\nhelper handoff: skipped, this process may use one CPU only" }'
