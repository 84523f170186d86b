# drive-test probe on real kernel block devices: loop devices over files of the
# fault-injecting file system, whose medium wraps, drops or caches as a fake
# drive's does, and over a genuine one; a stop, a kill and --restore; and the
# guards. Every row checks that the medium's bytes afterwards are the bytes
# before, and the refusals that nothing was written.
source "$(dirname "$0")/lib.sh" "$1"
need_root "attaching loop devices"
command -v losetup >/dev/null || skip "losetup missing"
command -v python3 >/dev/null || skip "python3 missing"
export XDG_STATE_HOME=$WORK/state
# The journals on tmpfs: a journal is flushed before every write, and on the
# shared disk that alone would make the rows crawl.
JDIR=$(mktemp -d /dev/shm/drive-probe.XXXXXX)
at_exit "rm -rf '$JDIR'"
M=$((1 << 20))
G=$((1 << 30))
T=$((1 << 40))

# content FILE: a digest of what the file holds, its holes and written zeros alike.
content() {
  python3 - "$1" <<'PY'
import hashlib, os, sys
block = 1 << 20
digest = hashlib.sha256()
fd = os.open(sys.argv[1], os.O_RDONLY)
end = os.fstat(fd).st_size
digest.update(str(end).encode())
at = 0
while at < end:
    try:
        at = os.lseek(fd, at, os.SEEK_DATA)
    except OSError:
        break
    start = at - at % block
    data = os.pread(fd, block, start)
    if data.count(0) != len(data):
        digest.update(start.to_bytes(8, "little") + data)
    at = start + block
print(digest.hexdigest())
PY
}

# device OPTIONS ANNOUNCED [SEED]: a fresh faultfs with OPTIONS, a file of
# ANNOUNCED bytes on it and a loop device $DEV over it. The medium ($MEDIUM,
# the backing file) holds random bytes in its first 2 MiB and at every 97 MiB,
# or everywhere with SEED=full.
device() {
  mount_faultfs "$1"
  MEDIUM=$BACKING/disk
  local stored=$2 keep
  keep=$(sed -n 's/.*keep=\([0-9]*\).*/\1/p' <<<"$1")
  [[ -n $keep ]] && stored=$keep
  if [[ ${3:-} == full ]]; then
    head -c "$stored" /dev/urandom >"$MEDIUM"
  else
    truncate -s "$stored" "$MEDIUM"
    local at
    for ((at = 0; at < stored; at += 97 * M)); do
      head -c $((at ? M : 2 * M)) /dev/urandom | dd of="$MEDIUM" bs=1M seek=$((at / M)) conv=notrunc status=none
    done
  fi
  truncate -s "$2" "$MNT/disk"
  DEV=$(losetup -f --show "$MNT/disk") || { fail "losetup on $MNT/disk"; finish; }
  at_exit "losetup -d $DEV"
  BEFORE=$(content "$MEDIUM")
}

# medium_after LABEL: detaches the device and unmounts the file system (a
# drive cache then reaches the medium), and compares the medium with before.
medium_after() {
  losetup -d "$DEV"
  umount "$MNT"
  wait_until 60 faultfs_gone || fail "$1: faultfs did not end"
  check "$1: medium restored" "$(content "$MEDIUM")" "$BEFORE"
}

faultfs_gone() { ! pgrep -f -- "faultfs $MNT " >/dev/null; }

# probe ARG...: the probe, no input, in $WORK; sets RC.
probe() {
  (cd "$WORK" && timeout -k 5 600 "$DT" probe "$@" </dev/null >"$OUT" 2>"$ERR")
  RC=$?
}
json() { python3 -c 'import json,sys; v=json.load(open(sys.argv[1]))[sys.argv[2]]; print("null" if v is None else str(v).lower())' "$WORK/p.json" "$1"; }

# The counterfeit table: faultfs options | announced | seed | verdict | W or X | exit.
while IFS='|' read -r -u 3 label opts size seed verdict at code; do
  device "$opts" "$size" "$seed"
  rm -f "$WORK/p.json"
  probe --yes --quiet --json "$WORK/p.json" --journal "$JDIR/$label" "$DEV"
  check "$label: exit code" "$RC" "$code"
  check "$label: verdict" "$(json verdict)" "$verdict"
  check "$label: restored" "$(json restored)" true
  check "$label: JSON keys" "$(python3 -c 'import json,sys; print(" ".join(json.load(open(sys.argv[1]))))' "$WORK/p.json")" \
    "device announced_bytes verdict wrap_bytes usable_bytes positions bad_positions bytes_written seconds restored journal"
  check "$label: device named" "$(python3 -c 'import json,sys; d=json.load(open(sys.argv[1]))["device"]; print(d["path"], d["bus"], d["size_bytes"])' "$WORK/p.json")" \
    "$DEV loop $size"
  case $verdict in
    wraps) check "$label: W" "$(json wrap_bytes)" "$at"; check "$label: usable" "$(json usable_bytes)" "$at" ;;
    drops)
      check "$label: wrap" "$(json wrap_bytes)" null
      x=$(json usable_bytes)
      ((x <= at && x * 100 >= at * 99)) || fail "$label: X $x not within 1 % below $at" ;;
    *) check "$label: wrap" "$(json wrap_bytes)" null; check "$label: usable" "$(json usable_bytes)" "$size" ;;
  esac
  (($(json positions) >= 512)) || fail "$label: only $(json positions) spots"
  check "$label: journal gone" "$(ls "$JDIR")" ""
  rm -f "$JDIR"/*
  medium_after "$label"
done 3<<EOF
genuine|delay_us=0|$((2 * G))||no_fake_found||0
wraps at a power of two|keep=$((512 * M))|$T|full|wraps|$((512 * M))|3
wraps at 7.3 GiB|keep=7838315008|$T||wraps|7838315008|3
drops with zeros|keep=$((4 * G)),past_keep_fill=zero|$T||drops|$((4 * G))|3
drops with stale data|keep=$((4 * G)),drop_past_keep|$T||drops|$((4 * G))|3
256 MiB cache over a wrap|keep=$G,cache=$((256 * M))|$T||wraps|$G|3
EOF

# start ARG...: the probe in the background; journal_grows: it has backed up
# a few spots, so it is writing. The device takes 20 ms a write request, so
# the spots alone last over ten seconds.
start() {
  (cd "$WORK" && exec "$DT" probe "$@" </dev/null >"$OUT" 2>"$ERR") &
  pid=$!
}
journal_grows() { (($(stat -c %s "$JDIR/$1" 2>/dev/null || echo 0) > 64 * 1024)); }
ended() {
  timeout 300 tail --pid="$pid" -f /dev/null || kill -KILL "$pid"
  wait "$pid" 2>/dev/null
  RC=$?
}

# SIGINT (Ctrl+C), SIGHUP (a closed terminal) or SIGTERM in the middle: it stops at
# once, restores, exit 1.
for sig in INT HUP TERM; do
  device write_req_us=20000 $((2 * G))
  start --yes --json "$WORK/p.json" --journal "$JDIR/$sig" "$DEV"
  wait_until 120 journal_grows "$sig" || fail "SIG$sig: the journal did not grow"
  kill -$sig "$pid"
  ended
  check "SIG$sig: exit code" "$RC" 1
  grep -q "^Probe stopped" "$OUT" || fail "SIG$sig: no stop said"
  check "SIG$sig: no status line in a file" "$(grep -c 'spot [0-9]* of' "$OUT")" 0
  check "SIG$sig: verdict" "$(json verdict)" null
  check "SIG$sig: restored" "$(json restored)" true
  check "SIG$sig: journal gone" "$(ls "$JDIR")" ""
  rm -f "$JDIR"/*
  medium_after "SIG$sig"
done

# kill -9 in the middle: the journal stays; a new probe is refused and names
# it; --restore puts every byte back.
device write_req_us=20000 $((2 * G))
start --yes --journal "$JDIR/kill" "$DEV"
wait_until 120 journal_grows kill || fail "kill: the journal did not grow"
kill -KILL "$pid"
ended
[[ $(content "$MEDIUM") != "$BEFORE" ]] || fail "kill: nothing was written before the kill"
probe --yes --journal "$JDIR/again" "$DEV"
check "unfinished: exit code" "$RC" 1
grep -q "unfinished probe: its journal $JDIR/kill " "$ERR" || fail "unfinished: $(cat "$ERR")"
[[ ! -e $JDIR/again ]] || fail "unfinished: a second journal was made"
probe --restore "$JDIR/kill" --yes
check "restore: exit code" "$RC" 0
check "restore: journal gone" "$(ls "$JDIR")" ""
rm -f "$JDIR"/*
medium_after "kill -9 and --restore"

# A journal that fills up on the way: nothing more is written, what was
# journaled is put back, exit 2.
mount_faultfs "write_fault_at=$M,write_fault=enospc"
JMNT=$MNT
device delay_us=0 $((2 * G))
rm -f "$WORK/p.json"
probe --yes --quiet --json "$WORK/p.json" --journal "$JMNT/journal" "$DEV"
check "journal full: exit code" "$RC" 2
grep -q "The journal could not be written" "$ERR" "$OUT" || fail "journal full: not said"
check "journal full: restored" "$(json restored)" true
check "journal full: journal gone" "$(ls "$JMNT")" ""
medium_after "journal full"

# On a terminal the status line is drawn and redrawn in place.
head -c $((64 * M)) /dev/urandom >"$WORK/small"
sum=$(content "$WORK/small")
(cd "$WORK" && timeout -k 5 300 script -qec "$(printf '%q ' "$DT" probe --yes --journal "$JDIR/tty" "$WORK/small")" \
  "$WORK/typescript" </dev/null >"$WORK/script.out" 2>&1)
check "terminal: exit code" "$?" 0
grep -qa $'\rWriting spots: spot [0-9]* of [0-9]*, ' "$WORK/typescript" || fail "terminal: no status line"
check "terminal: image restored" "$(content "$WORK/small")" "$sum"

# refused LABEL MESSAGE ARG...: exit 1, the message on standard error, and no
# journal made. The caller checks the bytes.
refused() {
  local label=$1 message=$2
  shift 2
  probe "$@"
  check "$label: exit code" "$RC" 1
  grep -qF -- "$message" "$ERR" || fail "$label: said '$(cat "$ERR")', want '$message'"
  check "$label: journal" "$(ls "$JDIR")" ""
  rm -f "$JDIR"/*
}

# A disk with a partition table and an ext4 partition, mounted read-only (so
# the mount itself writes nothing): the disk is refused while it is mounted,
# the partition in place of its disk always.
truncate -s $((128 * M)) "$WORK/parted"
LOOP=$(losetup -f --show "$WORK/parted")
at_exit "losetup -d $LOOP"
echo 'start=2048, type=83' | sfdisk -q "$LOOP" >/dev/null 2>&1 || fail "sfdisk on $LOOP"
partx -a "$LOOP" 2>/dev/null || partx -u "$LOOP"
wait_until 30 test -b "${LOOP}p1" || fail "partx: no ${LOOP}p1"
mkfs.ext4 -q "${LOOP}p1" || fail "mkfs.ext4 ${LOOP}p1"
mkdir "$WORK/pmnt"
mount -o ro "${LOOP}p1" "$WORK/pmnt" || fail "mount ${LOOP}p1"
at_exit "umount '$WORK/pmnt'"
sum=$(content "$WORK/parted")
refused "mounted partition" "Refused: $LOOP is in use: ${LOOP}p1 is mounted on $WORK/pmnt." \
  --yes --journal "$JDIR/j" "$LOOP"
umount "$WORK/pmnt"
refused "partition" "Refused: ${LOOP}p1 is a partition of $LOOP: give the whole disk." \
  --yes --journal "$JDIR/j" "${LOOP}p1"
# Held exclusively by another program.
python3 -c 'import os, sys, time
fd = os.open(sys.argv[1], os.O_RDONLY | os.O_EXCL)
open(sys.argv[2], "w").close()
time.sleep(600)' "$LOOP" "$WORK/held" &
holder=$!
at_exit "kill $holder"
wait_until 60 test -e "$WORK/held" || fail "the holder did not open $LOOP"
refused "held exclusively" "Refused: $LOOP is in use: another program has it open for itself alone." \
  --yes --journal "$JDIR/j" "$LOOP"
kill "$holder"
wait "$holder" 2>/dev/null
check "refusals: bytes" "$(content "$WORK/parted")" "$sum"

# A read-only device.
truncate -s $((64 * M)) "$WORK/ro"
head -c $((4 * M)) /dev/urandom | dd of="$WORK/ro" conv=notrunc status=none
RO=$(losetup -r -f --show "$WORK/ro")
at_exit "losetup -d $RO"
sum=$(content "$WORK/ro")
refused "read-only" "Refused: $RO is read-only." --yes --journal "$JDIR/j" "$RO"
check "read-only: bytes" "$(content "$WORK/ro")" "$sum"

# Neither a disk nor a file; a journal that cannot be created (exit 2, nothing
# written: the image's bytes stay).
mknod "$WORK/null" c 1 3
refused "character device" "Refused: $WORK/null is neither a disk nor a file." --yes "$WORK/null"
refused "directory" "Refused: $WORK is neither a disk nor a file." --yes "$WORK"
head -c $((32 * M)) /dev/urandom >"$WORK/image"
sum=$(content "$WORK/image")
probe --yes --journal "$WORK/missing/j" "$WORK/image"
check "journal not creatable: exit code" "$RC" 2
check "journal not creatable: bytes" "$(content "$WORK/image")" "$sum"

# The machine's own root disk: refused. Never with --yes and never with input,
# so that even a guard that failed could not write to it.
root=$(findmnt -no SOURCE / 2>/dev/null)
if [[ -b $root ]]; then
  disk=/dev/$(lsblk -no PKNAME "$root" 2>/dev/null | head -n 1)
  [[ $disk == /dev/ ]] && disk=$root
  (cd "$WORK" && timeout -k 5 60 "$DT" probe "$disk" </dev/null >"$OUT" 2>"$ERR")
  RC=$?
  check "root disk: exit code" "$RC" 1
  grep -qF "Refused: $disk holds the root file system" "$ERR" || fail "root disk: said '$(cat "$ERR")'"
else
  echo "SKIPPED root disk: / is not on a block device"
fi

finish
