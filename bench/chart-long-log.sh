#!/usr/bin/env bash
# Times "drive-test chart" on a synthetic log of a very long run: 10^6 write
# samples (a cache step at one third, 0.1 % deep dips, +-10 % noise) and
# 5 * 10^5 read-back samples. Prints each run's wall time, peak memory and the
# SVG's size. Usage: bench/chart-long-log.sh [drive-test] [runs]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dt="${1:-$root/build/drive-test}"
runs="${2:-3}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
log="$work/long.csv"

awk 'BEGIN {
  n = 1000000; chunk = 100000000; srand(5)
  print "# Tesselmark Drive Sustained Write Test v0.1.0\n# encoding=UTF-8"
  print "# started_local=2026-12-09T05:00:00\n# target_path=/mnt/ssd/tesselmark-drive-test.bin"
  print "# volume_root=/mnt/ssd/\n# filesystem=ext4\n# logical_sector_bytes=512"
  printf "# physical_sector_bytes=4096\n# target_bytes=%.0f\n", n * chunk
  print "# minimum_required_mbps=100.000\n# block_size_bytes=8388608\n# alignment_bytes=4096"
  print "# io_mode=O_DIRECT|O_DSYNC"
  print "phase,sample,elapsed_s,total_bytes,sample_bytes,sample_duration_s,speed_mbps,average_mbps,min_mbps,median_mbps,max_mbps,threshold_mbps,threshold_pass,error_count"
  for (i = 1; i <= n; i++) {
    s = (i <= n / 3 ? 900 : 450) * (0.9 + 0.2 * rand())
    if (rand() < 0.001) s = 40
    printf "write,%d,%d.000000,%.0f,%d,%.6f,%.6f,%.6f,%.6f,%.6f,%.6f,100.000000,%d,0\n",
      i, i, i * chunk, chunk, chunk / 1e6 / s, s, s, s, s, s, (s >= 100)
  }
  for (i = 1; i <= n / 2; i++) {
    s = 1000 * (0.95 + 0.1 * rand())
    printf "verify,%d,%d.000000,%.0f,%d,%.6f,%.6f,%.6f,%.6f,%.6f,%.6f,0.000000,1,0\n",
      i, i, i * 2 * chunk, 2 * chunk, 2 * chunk / 1e6 / s, s, s, s, s, s
  }
}' >"$log"
echo "log: $(grep -c '^write,' "$log") write and $(grep -c '^verify,' "$log") read-back samples, $(stat -c %s "$log") bytes"

for ((r = 1; r <= runs; r++)); do
  /usr/bin/time -f "run $r: %e s wall, %U s user, %S s system, %M KiB peak" \
    "$dt" chart -o "$work/long.svg" "$log" >"$work/out" 2>"$work/time"
  cat "$work/time"
done
cat "$work/out"
echo "svg: $(stat -c %s "$work/long.svg") bytes"
