# A real ext4 volume that runs out of space during the write phase: once the
# test file holds its first block, the program is held (SIGSTOP), another
# process takes all the free space, and the program goes on. Its next write
# must fail with 112, with the bytes written before it counted, logged and kept.
source "$(dirname "$0")/lib.sh" "$1"
M=1048576

mount_loop 512 ext4 768M
printf '%s\n' "$MNT" "" 0.25 0 0 y "$LOG" n y >"$WORK/answers"
(cd "$WORK" && exec "$DT" <"$WORK/answers" >"$OUT" 2>"$ERR") &
pid=$!
size() { stat -c %s "$MNT/$TEST_FILE" 2>/dev/null || echo 0; }
for ((i = 0; i < 20000; i++)); do (($(size) >= 8 * M)) && break; done
kill -STOP "$pid"
until [[ $(awk '{print $3}' "/proc/$pid/stat" 2>/dev/null) == [TZ] ]]; do sleep 0.01; done
fallocate -l "$(df -B1 --output=avail "$MNT" | tail -n 1)" "$MNT/filler" 2>/dev/null
dd if=/dev/zero of="$MNT/filler2" bs=4096 oflag=direct status=none 2>/dev/null
kill -CONT "$pid"
timeout 120 tail --pid="$pid" -f /dev/null || kill "$pid"
wait "$pid"
RC=$?

written=$(summary bytes_written)
expect_run "full volume" 3 "write_failed_or_short_write,112,$written" FAILED "FAIL / INCOMPLETE" 112 \
  write_errors=1 bytes_verified=0
check "kept on disk" "$(stat -c %s "$MNT/$TEST_FILE")" "$written"
((written > 0 && written % (8 * M) == 0 && written < 256 * M)) || fail "bytes written before the failure: $written"
grep -q "Write test error.*112" "$ERR" || fail "no 'Write test error' with 112 on stderr"

# A volume that fills in the middle of a block. Here ext4 fails such a direct
# write as a whole; tmpfs, like FAT, moves what fits and returns a short count.
# The program answers at START once the volume has two blocks and 3 MiB left:
# the third write is short, and the rest of it, written again, meets the full
# volume, so the code is 112 and not 29.
T=$WORK/tmpfs
mkdir "$T"
mount -t tmpfs -o size=384M tmpfs "$T" || { fail "mounting tmpfs"; finish; }
at_exit "umount '$T'"
rm -f "$LOG"
mkfifo "$WORK/stdin"
(cd "$WORK" && exec "$DT" <"$WORK/stdin" >"$OUT" 2>"$ERR") &
pid=$!
exec 3>"$WORK/stdin"
printf '%s\n' "$T" "" 0.0625 0 0 y "$LOG" n >&3
wait_until 20 grep -q "START TEST" "$OUT" || fail "mid-block: no START prompt"
fallocate -l $(($(df -B1 --output=avail "$T" | tail -n 1) - 19 * M)) "$T/filler"
echo y >&3
exec 3>&-
timeout 120 tail --pid="$pid" -f /dev/null || kill "$pid"
wait "$pid"
RC=$?
expect_run "mid-block" 3 "write_failed_or_short_write,112,$((19 * M))" FAILED "FAIL / INCOMPLETE" 112 \
  bytes_written=$((19 * M)) write_errors=1 bytes_verified=0
check "mid-block: kept on disk" "$(stat -c %s "$T/$TEST_FILE")" $((19 * M))
finish
