#!/usr/bin/env bash
# Runs a command on an ext4 volume of a loop device whose image lives in memory
# (/dev/shm), optionally throttled by a cgroup v1 blkio group (known speed).
# The command runs inside the group; an argument {} stands for the mount point.
# Usage: bench/memory-loop.sh SIZE_GIB WRITE_MIBPS READ_MIBPS COMMAND [ARGS...]
#   (0 0: no throttle). Needs root; everything is removed at the end.
set -euo pipefail

size_gib="${1:?volume size in GiB}"; write_mibps="${2:?}"; read_mibps="${3:?}"; shift 3
name="dt-bench-loop-$$"
image="/dev/shm/$name.img"
mnt="/mnt/$name"
group="/sys/fs/cgroup/blkio/$name"
dev=""
cleanup() {
    if [ -d "$group" ]; then
        while read -r pid; do echo "$pid" > /sys/fs/cgroup/blkio/tasks 2>/dev/null || true; done < "$group/tasks"
        rmdir "$group" 2>/dev/null || true
    fi
    mountpoint -q "$mnt" && umount "$mnt"
    rmdir "$mnt" 2>/dev/null || true
    [ -n "$dev" ] && losetup -d "$dev"
    rm -f "$image"
}
trap cleanup EXIT

truncate -s "${size_gib}G" "$image"
dev="$(losetup --find --show "$image")"
mkfs.ext4 -q -F "$dev"
mkdir -p "$mnt"
mount "$dev" "$mnt"
args=()
for a in "$@"; do [ "$a" = "{}" ] && args+=("$mnt") || args+=("$a"); done
set -- "${args[@]}"
if [ "$write_mibps" != 0 ] || [ "$read_mibps" != 0 ]; then
    majmin="$(lsblk -ndo MAJ:MIN "$dev" | tr -d ' ')"
    mkdir "$group"
    [ "$write_mibps" != 0 ] && echo "$majmin $((write_mibps * 1048576))" > "$group/blkio.throttle.write_bps_device"
    [ "$read_mibps" != 0 ] && echo "$majmin $((read_mibps * 1048576))" > "$group/blkio.throttle.read_bps_device"
    # The command and all it starts run in the group.
    sh -c 'echo $$ > "$1/tasks"; shift; exec "$@"' sh "$group" "$@"
else
    "$@"
fi
