#!/usr/bin/env bash
# The cost of a quick probe on an emulated counterfeit: a 1 TiB device whose
# medium wraps at 32 GiB, writing 20 MB/s plus 5 ms per write request and
# reading 30 MB/s (faultfs under a loop device). Prints the probe's JSON summary
# and the whole wall time, restore included. Goal: <= 3 minutes, <= 512 MiB written.
# Usage: bench/probe-cost.sh [BUILD_DIR]   (needs root and FUSE; removes everything after)
set -euo pipefail

build="$(realpath "${1:-build}")"
work="$(mktemp -d /tmp/dt-probe-cost.XXXXXX)"
journals="$(mktemp -d /dev/shm/dt-probe-cost.XXXXXX)"
dev=""
cleanup() {
    [ -n "$dev" ] && losetup -d "$dev"
    mountpoint -q "$work/mnt" && umount "$work/mnt"
    rm -rf "$work" "$journals"
}
trap cleanup EXIT

mkdir "$work/mnt" "$work/backing"
"$build/faultfs" "$work/mnt" -o "backing=$work/backing,keep=$((32 << 30)),write_bps=20000000,write_req_us=5000,read_bps=30000000"
truncate -s 1T "$work/mnt/disk"
dev="$(losetup -f --show "$work/mnt/disk")"
start=$(date +%s.%N)
set +e
XDG_STATE_HOME="$work/state" "$build/drive-test" probe --yes --quiet --json "$work/probe.json" \
    --journal "$journals/probe.journal" "$dev" </dev/null >"$work/out"
code=$?
set -e
end=$(date +%s.%N)
cat "$work/out"
cat "$work/probe.json"
echo "exit status $code, wall time $(echo "$end - $start" | bc) s"
