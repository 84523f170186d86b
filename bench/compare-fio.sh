#!/usr/bin/env bash
# Holds drive-test's speed readings against fio on the same directory, in the
# same run: fio writes and reads a fresh file the way drive-test does (8 MiB
# blocks, direct, write-through, no pre-allocation), then drive-test runs the
# same size through its own dialogue. Prints, per run and over all runs:
#   write ratio  = drive-test average write sample speed / fio write bandwidth
#   the same against a second fio write with fresh data in every block (as
#   drive-test writes), as bytes over the time inside fio's write calls
#   read ratio   = drive-test average verification speed / fio read bandwidth
#   peak memory of drive-test, and its CPU time per GiB written.
# Usage: [FIO_BUFFER=huge|plain] bench/compare-fio.sh DIRECTORY [SIZE_GIB] [RUNS] [DRIVE_TEST_BINARY] [SETTLE_S]
# The CSV log goes to /dev/shm (or /tmp), which must be another volume than
# DIRECTORY so the log's writes stay out of the measurement.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dir="${1:?usage: compare-fio.sh DIRECTORY [SIZE_GIB] [RUNS] [DRIVE_TEST_BINARY] [SETTLE_S]}"
size_gib="${2:-2}"
runs="${3:-3}"
binary="${4:-}"
settle="${5:-5}"

dir="$(cd "$dir" && pwd)"
case "$dir" in */) ;; *) dir="$dir/" ;; esac
bytes="$(awk -v g="$size_gib" 'BEGIN { printf "%.0f", g * 1073741824 }')"
if [ $((bytes % 8388608)) -ne 0 ] || [ "$bytes" -le 0 ]; then
    echo "SIZE_GIB must be a positive multiple of 8 MiB" >&2
    exit 2
fi

for tool in fio /usr/bin/time; do
    command -v "$tool" >/dev/null 2>&1 || { echo "missing: $tool" >&2; exit 2; }
done

if [ -z "$binary" ]; then
    build="$root/build-bench"
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" --target drive-test -j2 >/dev/null
    binary="$build/drive-test"
fi

logdir=/dev/shm
[ -d "$logdir" ] && [ -w "$logdir" ] || logdir=/tmp
mount_of() { df -P "$1" | awk 'NR == 2 { print $6 }'; }
same_volume=0
[ "$(mount_of "$dir")" = "$(mount_of "$logdir")" ] && same_volume=1
if [ "$same_volume" = 1 ]; then
    echo "note: the log directory $logdir is on the same volume as $dir" >&2
fi

# The block device's counters show the request sizes each side got from the kernel.
devno="$(stat -c %d "$dir")"
stat_file="/sys/dev/block/$(( (devno >> 8) & 0xfff )):$(( (devno & 0xff) | ((devno >> 12) & 0xfff00) ))/stat"
[ -r "$stat_file" ] || stat_file=""
snapshot() { if [ -n "$stat_file" ]; then awk '{ print $1, $3, $5, $7 }' "$stat_file"; else echo 0 0 0 0; fi; }
# Average KiB per completed read and write request between two snapshots.
request_kib() {
    awk -v a="$1" -v b="$2" 'BEGIN {
        split(a, x, " "); split(b, y, " ")
        r = y[1] - x[1]; w = y[3] - x[3]
        printf "%.0f %.0f\n", r ? (y[2] - x[2]) / 2 / r : 0, w ? (y[4] - x[4]) / 2 / w : 0
    }'
}

work="$(mktemp -d)"
fio_file="${dir}drive-test-fio.bin"
dt_file="${dir}tesselmark-drive-test.bin"
cleanup() { rm -rf "$work"; rm -f "$fio_file" "$dt_file"; }
trap cleanup EXIT

# fio's JSON carries one bw_bytes per direction; the job's own is the non-zero one.
fio_bw() {
    grep -o '"bw_bytes" : [0-9]*' "$1" | awk '{ if ($3 > bw) bw = $3 } END { printf "%.6f", bw / 1e6 }'
}

# Seconds fio's job spent inside its I/O calls: mean latency times the count.
fio_busy() {
    awk '/"lat_ns"/ { in_lat = 1 } in_lat && /"mean"/ { gsub(/[^0-9.]/, "", $3); if ($3 + 0 > lat) lat = $3 + 0; in_lat = 0 }
         /"total_ios"/ { gsub(/[^0-9]/, "", $3); if ($3 + 0 > ios) ios = $3 + 0 }
         END { printf "%.6f", lat * ios / 1e9 }' "$1"
}

# Each side starts on a quiet device: the previous file's deletion (and any
# write-back below the device) gets the same time to finish before either one.
# fio gets the same kind of I/O buffer as drive-test: 2 MiB aligned and on huge
# pages where the kernel offers them (glibc advises its malloc'd buffers so when
# asked to). With FIO_BUFFER=plain fio keeps its default buffer of 4 KiB pages,
# and the request sizes on both sides follow the luck of the page allocator.
# fio runs its job as a thread and without its disk-statistics sampling, so that,
# like drive-test, it is one process doing I/O and nothing else on a small machine.
fio_cmd=(env GLIBC_TUNABLES=glibc.malloc.hugetlb=1 fio --thread --disk_util=0 --iomem_align=2m)
[ "${FIO_BUFFER:-huge}" = plain ] && fio_cmd=(fio --thread --disk_util=0)

settle_device() { sync; sleep "$settle"; }

run_fio() {
    local n="$1"
    rm -f "$fio_file"
    settle_device
    local s0 s1 s2
    s0="$(snapshot)"
    "${fio_cmd[@]}" --name=write --filename="$fio_file" --rw=write --bs=8M --direct=1 --sync=dsync \
        --fallocate=none --ioengine=psync --size="$bytes" --output-format=json \
        >"$work/fio-write-$n.json"
    s1="$(snapshot)"
    "${fio_cmd[@]}" --name=read --filename="$fio_file" --rw=read --bs=8M --direct=1 \
        --ioengine=psync --size="$bytes" --output-format=json >"$work/fio-read-$n.json"
    s2="$(snapshot)"
    set -- $(request_kib "$s0" "$s1") $(request_kib "$s1" "$s2")
    echo "$3 $2" >"$work/fio-kib-$n"   # read KiB, write KiB
    rm -f "$fio_file"
    # The same write with fresh data in every block, as drive-test writes: fio
    # refills its buffer before each write (outside its write calls).
    settle_device
    "${fio_cmd[@]}" --name=write --filename="$fio_file" --rw=write --bs=8M --direct=1 --sync=dsync \
        --fallocate=none --ioengine=psync --refill_buffers --size="$bytes" --output-format=json \
        >"$work/fio-fresh-$n.json"
    rm -f "$fio_file"
}

run_drive_test() {
    local n="$1"
    local log="$logdir/drive-test-fio-$$-$n.csv"
    rm -f "$dt_file" "$log"
    settle_device
    {
        printf '%s\n' "$dir"              # directory
        printf '\n'                       # default file name
        printf '%s\n' "$size_gib"         # size in GiB
        printf '0\n0\ny\n'                # no duration limit, no threshold, verify
        printf '%s\n' "$log"              # log path
        [ "$same_volume" = 1 ] && printf 'y\n'
        printf 'n\ny\n'                   # keep the file (removed below), start
    } >"$work/answers-$n"
    local rc=0 s0 s1
    s0="$(snapshot)"
    /usr/bin/time -v -o "$work/time-$n" "$binary" <"$work/answers-$n" \
        >"$work/out-$n" 2>"$work/err-$n" || rc=$?
    s1="$(snapshot)"
    request_kib "$s0" "$s1" >"$work/dt-kib-$n"
    rm -f "$dt_file"
    if [ "$rc" -ne 0 ] || [ ! -s "$log" ]; then
        echo "drive-test run $n failed (exit $rc):" >&2
        tail -n 5 "$work/err-$n" "$work/out-$n" >&2
        exit 1
    fi
    mv "$log" "$work/log-$n.csv"
}

printf '%-4s %10s %10s %7s | %10s %10s %7s | %8s %9s | %9s %7s | %s\n' run "dt_write" "fio_write" ratio \
    "dt_verify" "fio_read" ratio "peakMiB" "cpu_s/GiB" "fio_fresh" ratio \
    "request KiB w dt/fio, r dt/fio; write s in calls dt/fio"
for n in $(seq 1 "$runs"); do
    # Alternate the order so that a drift of the device favours neither side.
    if [ $((n % 2)) -eq 1 ]; then
        run_fio "$n"; run_drive_test "$n"
    else
        run_drive_test "$n"; run_fio "$n"
    fi
    fio_w="$(fio_bw "$work/fio-write-$n.json")"
    # Fresh-data fio, as bytes over the time inside its write calls (like drive-test).
    fio_f="$(awk -v b="$bytes" -v t="$(fio_busy "$work/fio-fresh-$n.json")" 'BEGIN { printf "%.6f", (t > 0 ? b / t / 1e6 : 0) }')"
    fio_r="$(fio_bw "$work/fio-read-$n.json")"
    csv="$work/log-$n.csv"
    dt_w="$(awk -F= '/^# write_avg_sample_mbps=/ { print $2 }' "$csv")"
    # The last verify row's average_mbps is the mean of all verification samples.
    dt_r="$(awk -F, '$1 == "verify" { avg = $8 } END { print avg + 0 }' "$csv")"
    written="$(awk -F= '/^# bytes_written=/ { print $2 }' "$csv")"
    dt_busy="$(awk -F= '/^# write_active_sec=/ { printf "%.3f", $2 }' "$csv")"
    busy="$dt_busy/$(fio_busy "$work/fio-write-$n.json" | awk '{ printf "%.3f", $1 }')"
    peak_kib="$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time-$n")"
    cpu_s="$(awk -F': ' '/User time/ { u = $2 } /System time/ { s = $2 } END { print u + s }' "$work/time-$n")"
    read -r dt_rk dt_wk <"$work/dt-kib-$n"
    read -r fio_rk fio_wk <"$work/fio-kib-$n"
    awk -v n="$n" -v dw="$dt_w" -v fw="$fio_w" -v dr="$dt_r" -v fr="$fio_r" -v kib="$peak_kib" \
        -v cpu="$cpu_s" -v b="$written" -v ff="$fio_f" -v req="$dt_wk/$fio_wk, $dt_rk/$fio_rk; $busy" 'BEGIN {
        printf "%-4s %10.2f %10.2f %7.3f | %10.2f %10.2f %7.3f | %8.2f %9.3f | %9.2f %7.3f | %s\n",
               n, dw, fw, dw / fw, dr, fr, dr / fr, kib / 1024, cpu / (b / 1073741824), ff, dw / ff, req
    }' | tee -a "$work/table"
done

echo
echo "size ${size_gib} GiB in $dir, log in $logdir, $runs runs, ${settle} s settle; MB/s = 10^6 bytes/s"
awk '
    { dw[NR] = $2; fw[NR] = $3; w[NR] = $4; dr[NR] = $6; fr[NR] = $7; r[NR] = $8; m[NR] = $10; c[NR] = $11
      ff[NR] = $13; f[NR] = $14 }
    function sort(a,    i, j, t) {
        for (i = 1; i <= NR; i++) s[i] = a[i]
        for (i = 1; i <= NR; i++) for (j = i + 1; j <= NR; j++) if (s[j] < s[i]) { t = s[i]; s[i] = s[j]; s[j] = t }
    }
    function median(a) { sort(a); return NR % 2 ? s[(NR + 1) / 2] : (s[NR / 2] + s[NR / 2 + 1]) / 2 }
    function stats(a, label, fmt,    med) {
        med = median(a)
        printf "%-34s median " fmt "  min " fmt "  max " fmt "\n", label, med, s[1], s[NR]
    }
    END {
        stats(w, "write ratio per run", "%.3f")
        stats(f, "write ratio, fresh-data fio", "%.3f")
        stats(r, "read ratio per run", "%.3f")
        stats(fw, "fio write MB/s (device spread)", "%.1f")
        stats(fr, "fio read MB/s (device spread)", "%.1f")
        printf "%-34s %.3f  (goal 0.97-1.05)\n", "write: median dt / median fio", median(dw) / median(fw)
        printf "%-34s %.3f\n", "  same, fresh-data fio in calls", median(dw) / median(ff)
        printf "%-34s %.3f  (goal >= 0.90)\n", "read: median dt / median fio", median(dr) / median(fr)
        stats(m, "peak memory MiB (goal < 24)", "%.2f")
        stats(c, "CPU seconds per GiB written", "%.3f")
    }' "$work/table"
