# The fault-injecting file system itself, driven with dd and O_DIRECT: each
# fault must appear exactly where it was placed, or the fault tests prove nothing.
source "$(dirname "$0")/lib.sh" "$1"

M=1048576
SRC=$WORK/src
head -c $((4 * M)) /dev/urandom >"$SRC"
ddw() { dd if="$SRC" of="$MNT/f" bs=1M oflag=direct status=none "$@" 2>"$WORK/dd.err"; }
ddr() { dd if="$MNT/f" of="$WORK/back" bs=1M iflag=direct status=none "$@" 2>"$WORK/dd.err"; }
size() { stat -c %s "$MNT/f"; }
same() { cmp -s <(dd if="$1" bs=4096 skip=$(($2 / 4096)) count=$(($4 / 4096)) status=none) \
                <(dd if="$SRC" bs=4096 skip=$(($3 / 4096)) count=$(($4 / 4096)) status=none); }

# Clean: O_DIRECT both ways, bytes intact, statfs reports the capacity.
mount_faultfs capacity=$((3 << 30))
ddw && ddr && cmp -s "$SRC" "$WORK/back" || fail "clean direct round trip: $(cat "$WORK/dd.err")"
check "capacity" "$(df -B1 --output=size "$MNT" | tail -n 1 | tr -d ' ')" $((3 << 30))
check "fstype" "$(findmnt -no FSTYPE "$MNT")" fuse.faultfs

# Failing writes: the request touching X fails, everything before it stays.
for kind in eio:"Input/output error" enospc:"No space left on device"; do
  mount_faultfs "write_fault_at=$((2 * M + 100)),write_fault=${kind%%:*}"
  ddw && fail "$kind: write went through"
  grep -q "${kind#*:}" "$WORK/dd.err" || fail "$kind: dd said $(cat "$WORK/dd.err")"
  check "$kind: size" "$(size)" $((2 * M))
done

# Short write: the request touching X keeps only the bytes before X.
mount_faultfs "write_fault_at=$((M + 4096)),write_fault=short"
ddw count=2
check "short: size" "$(size)" $((M + 4096))
same "$BACKING/f" 0 0 $((M + 4096)) || fail "short: kept bytes differ"

# Flipped byte: stored intact, read back inverted at exactly one offset.
mount_faultfs "flip_at=$((3 * M + 13))"
ddw && ddr || fail "flip: dd failed: $(cat "$WORK/dd.err")"
cmp -s "$SRC" "$BACKING/f" || fail "flip: stored data changed"
check "flip: differing bytes" "$(cmp -l "$SRC" "$WORK/back" | awk '{print $1 - 1}' | tr '\n' ' ')" "$((3 * M + 13)) "

# Failing and short reads: the request touching X fails or stops before X.
mount_faultfs "read_fault_at=$((2 * M + 100))"
ddw && ddr && fail "read eio: read went through"
grep -q "Input/output error" "$WORK/dd.err" || fail "read eio: dd said $(cat "$WORK/dd.err")"
mount_faultfs "read_fault_at=$((M + 4096)),read_fault=short"
ddw && ddr || fail "short read: dd failed: $(cat "$WORK/dd.err")"
check "short read: bytes" "$(stat -c %s "$WORK/back")" $((M + 4096))
check "short read: size kept" "$(size)" $((4 * M))

# Counterfeit drive wrapping at R = 1 MiB: the last MiB written sits at 0.
mount_faultfs "keep=$M"
ddw && ddr || fail "wrap: dd failed: $(cat "$WORK/dd.err")"
check "wrap: size" "$(size)" $((4 * M))
check "wrap: stored" "$(stat -c %s "$BACKING/f")" $M
same "$WORK/back" 0 $((3 * M)) $M || fail "wrap: offset 0 does not hold the last MiB"
same "$WORK/back" $((2 * M)) $((3 * M)) $M || fail "wrap: offset 2M does not read cell 0"

# Counterfeit drive dropping writes past R: reads past R return the first MiB.
mount_faultfs "keep=$M,drop_past_keep"
ddw && ddr || fail "drop: dd failed: $(cat "$WORK/dd.err")"
same "$WORK/back" 0 0 $M || fail "drop: first MiB lost"
same "$WORK/back" $((3 * M)) 0 $M || fail "drop: offset 3M does not read cell 0"

# A drive cache of 1 MiB over a medium that wraps at 1 MiB, in one open as a
# loop device holds it: the newest MiB reads back from the cache at its own
# offset (the wrap hidden), fsync does not store it, a later write pushes it
# out and shows the wrap, and the rest is stored by the time the file system
# is unmounted (a close is released after it returns).
mount_faultfs "keep=$M,cache=$M"
head -c $((3 * M)) /dev/urandom >"$WORK/abc"
check "cache" "$(python3 - "$MNT/f" "$WORK/abc" "$BACKING/f" <<'PY'
import os, sys
M = 1 << 20
a, b, c = (open(sys.argv[2], "rb").read()[i * M:(i + 1) * M] for i in range(3))
cell = lambda: open(sys.argv[3], "rb").read(M)
fd = os.open(sys.argv[1], os.O_RDWR | os.O_CREAT)
os.pwrite(fd, a, 0); os.pwrite(fd, b, M); os.fsync(fd)
seen = [os.pread(fd, M, 0) == a, os.pread(fd, M, M) == b, cell() == a]
os.pwrite(fd, c, 2 * M)
seen += [os.pread(fd, M, 0) == b, os.pread(fd, M, 2 * M) == c]
os.close(fd)
print(" ".join("ok" if s else "no" for s in seen))
PY
)" "ok ok ok ok ok"
umount "$MNT"
wait_until 60 eval '! pgrep -f -- "faultfs $MNT " >/dev/null' || fail "cache: faultfs did not end"
cmp -s <(head -c $M "$BACKING/f") <(tail -c $M "$WORK/abc") || fail "cache: the last MiB was not stored"

# Failing fsync.
mount_faultfs fsync_fault
ddw conv=fsync && fail "fsync: went through"
grep -q "Input/output error" "$WORK/dd.err" || fail "fsync: dd said $(cat "$WORK/dd.err")"

# Unreadable once written and closed.
for kind in eio:"Input/output error" eacces:"Permission denied"; do
  mount_faultfs "deny_read=${kind%%:*}"
  ddw || fail "deny_read: write failed"
  ddr && fail "deny_read ${kind%%:*}: read went through"
  grep -q "${kind#*:}" "$WORK/dd.err" || fail "deny_read: dd said $(cat "$WORK/dd.err")"
done

finish
