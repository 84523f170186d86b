#!/usr/bin/env bash
# Builds the benchmarks, runs them on one core and prints the pattern fill and
# compare speeds as ratios of memcpy's, all from the same run (goal: >= 0.80);
# then runs the pool's fill and compare on all CPUs against its thread count.
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
    --benchmark_filter=-pool_ \
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

# The pool spans threads: no pinning, wall time; ratios to one thread of the same run.
pool_csv="$(mktemp)"
trap 'rm -f "$csv" "$pool_csv"' EXIT
"$build/bench/drive_bench" \
    --benchmark_filter=^pool_ \
    --benchmark_repetitions="$reps" \
    --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true \
    --benchmark_out="$pool_csv" --benchmark_out_format=csv >/dev/null

echo
echo "Pool, all CPUs, wall time, median of $reps interleaved repetitions (block KiB, threads):"
awk -F, '
    /^name,/ { started = 1; next }
    !started { next }
    {
        name = $1; gsub(/"/, "", name)
        if (name !~ /_median$/) next
        split(name, part, "/")   # pool_fill/THREADS/BYTES/real_time_median
        key = part[1] "/" part[3]
        bps[key, part[2]] = $6
        if (part[2] > most) most = part[2]
        if (!(key in seen)) { seen[key] = 1; order[++n] = key }
    }
    END {
        for (i = 1; i <= n; i++) {
            k = order[i]; split(k, part, "/")
            printf "  %-22s %6d KiB:", part[1], part[2] / 1024
            for (t = 1; t <= most; t++)
                printf "  %d: %6.2f GB/s (%.2f)", t, bps[k, t] / 1e9, bps[k, 1] / bps[k, t]
            printf "\n"
        }
        print "(in brackets: time against one thread)"
    }' "$pool_csv"
