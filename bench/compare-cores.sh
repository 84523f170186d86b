#!/usr/bin/env bash
# Holds the program on all of its CPUs against the same program on one CPU, in
# pairs within one run (the order alternates), on one directory:
#   outside ratio = write-phase time outside the write calls (wall_elapsed_sec
#                   minus write_active_sec in the summary), all CPUs / one CPU
#   verify ratio  = verification time (elapsed_s of the last verify row),
#                   all CPUs / one CPU
# and prints the medians over the pairs, and the share of the CPUs' time the
# host took for others meanwhile (steal): on a shared virtual machine a series
# with much of it says more about the neighbours than about the program.
# Usage: bench/compare-cores.sh DIR SIZE_GIB PAIRS [BINARY]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dir="${1:?directory}"; dir="${dir%/}/"
size_gib="${2:?size in GiB}"
pairs="${3:?number of pairs}"
binary="${4:-$root/build/drive-test}"
work="$(mktemp -d)"
trap 'rm -rf "$work"; rm -f "${dir}tesselmark-drive-test.bin"' EXIT

one_cpu="$(taskset -pc $$ | sed 's/.*: //; s/[-,].*//')"

# One run; prints "outside verify" in seconds.
run() {
    local log="$work/log.csv"
    rm -f "$log" "${dir}tesselmark-drive-test.bin"
    sync
    printf '%s\n\n%s\n0\n0\ny\n%s\nn\ny\n' "$dir" "$size_gib" "$log" | "$@" "$binary" >/dev/null
    rm -f "${dir}tesselmark-drive-test.bin"
    awk -F, '/^# wall_elapsed_sec=/ { split($0, a, "="); w = a[2] }
             /^# write_active_sec=/ { split($0, a, "="); b = a[2] }
             $1 == "verify" { v = $3 }
             END { printf "%.4f %.4f\n", w - b, v }' "$log"
}

steal() { awk '/^cpu / { print $9 }' /proc/stat; }
steal_start="$(steal)"; clock_start="$(date +%s.%N)"

printf '%-5s %10s %10s %7s | %10s %10s %7s\n' pair out_one out_all ratio ver_one ver_all ratio
for n in $(seq 1 "$pairs"); do
    if [ $((n % 2)) -eq 1 ]; then
        one="$(run taskset -c "$one_cpu")"; all="$(run env)"
    else
        all="$(run env)"; one="$(run taskset -c "$one_cpu")"
    fi
    set -- $one $all
    awk -v n="$n" -v o1="$1" -v v1="$2" -v o2="$3" -v v2="$4" 'BEGIN {
        printf "%-5s %10.4f %10.4f %7.3f | %10.4f %10.4f %7.3f\n", n, o1, o2, o2 / o1, v1, v2, v2 / v1
    }' | tee -a "$work/table"
done
awk '{ o[NR] = $4; v[NR] = $8 }
     function median(a,    i, j, t, s) {
         for (i = 1; i <= NR; i++) s[i] = a[i]
         for (i = 1; i <= NR; i++) for (j = i + 1; j <= NR; j++) if (s[j] < s[i]) { t = s[i]; s[i] = s[j]; s[j] = t }
         return NR % 2 ? s[(NR + 1) / 2] : (s[NR / 2] + s[NR / 2 + 1]) / 2
     }
     END { printf "median of %d pairs: outside the write calls %.3f (goal <= 0.70), verification %.3f (goal <= 0.82)\n",
                  NR, median(o), median(v) }' "$work/table"
awk -v a="$steal_start" -v b="$(steal)" -v t0="$clock_start" -v t1="$(date +%s.%N)" -v n="$(nproc)" \
    -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "host steal: %.1f %% of %d CPUs\n", 100 * (b - a) / hz / ((t1 - t0) * n), n }'
