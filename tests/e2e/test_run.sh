#!/usr/bin/env bash
# Whole runs of the real program on a real directory: a clean run, stops by
# SIGINT in either phase, a threshold no sample meets, and deletion.
source "$(dirname "$0")/lib.sh" "$1"
# The stops act mid-phase: on a slow device (20 ms a request of at most 1 MiB,
# under 50 MB/s) each phase lasts, whatever the speed of the machine's disk.
mount_faultfs "capacity=$((16 << 30)),delay_us=20000"
SLOW=$MNT
D=$WORK/data
mkdir -p "$D"
F=$D/tesselmark-drive-test.bin
L=/dev/shm/drive-e2e-$$.csv
at_exit "rm -f $L"
LOG=$L

# start_run ANSWER...: starts the program in the background with the answers; PID is set.
start_run() {
  printf '%s\n' "$@" >"$WORK/answers"
  rm -f "$LOG" "$F"
  (cd "$WORK" && exec "$DT" <"$WORK/answers" >"$OUT" 2>"$ERR") &
  PID=$!
}
wait_run() { wait "$PID"; RC=$?; }
# Waits until the program holds the test file open read-only (verification began).
wait_verify_open() {
  local i fd flags
  for ((i = 0; i < 6000; i++)); do
    for fd in /proc/$PID/fd/*; do
      [[ $(readlink "$fd" 2>/dev/null) == "$F" ]] || continue
      flags=$(awk '/^flags/{print $2}' "/proc/$PID/fdinfo/${fd##*/}" 2>/dev/null)
      [[ -n $flags ]] && (((8#$flags & 3) == 0)) && return 0
    done
    sleep 0.01
  done
  return 1
}
last_row_field() { grep "^$1," "$LOG" | tail -n 1 | cut -d, -f"$2"; }

# Words of the pattern at a few offsets, compared with the file's bytes.
check_pattern_sample() {
  python3 - "$F" <<'PY' || fail "test file does not hold the pattern"
import os, random, struct, sys
M = (1 << 64) - 1
def word(i):
    z = i ^ 0xC45A10B9D31E7A5F
    z ^= z >> 30; z = (z * 0xBF58476D1CE4E5B9) & M
    z ^= z >> 27; z = (z * 0x94D049BB133111EB) & M
    return z ^ (z >> 31)
size = os.path.getsize(sys.argv[1])
with open(sys.argv[1], "rb") as f:
    idx = [0, 1, size // 8 - 1] + random.sample(range(size // 8), 2000)
    for i in idx:
        f.seek(i * 8)
        if struct.unpack("<Q", f.read(8))[0] != word(i):
            sys.exit("mismatch at word %d" % i)
PY
}

# 1. A clean 64 MiB run with verification.
start_run "$D" "" 0.0625 0 0 y "$L" n y
wait_run
check "clean: exit" "$RC" 0
check_log_complete
check "clean: written" "$(summary bytes_written)" 67108864
check "clean: verified" "$(summary bytes_verified)" 67108864
check "clean: last write row total" "$(last_row_field write 4)" 67108864
check "clean: last verify row total" "$(last_row_field verify 4)" 67108864
check "clean: write samples" "$(rows write)" "$(last_row_field write 2)"
check "clean: io_mode" "$(sed -n 13p "$LOG")" "# io_mode=O_DIRECT|O_DSYNC"
check "clean: target line" "$(sed -n 4p "$LOG")" "# target_path=$F"
check "clean: events" "$(events)" ""
check "clean: size" "$(stat -c %s "$F")" 67108864
check "clean: integrity" "$(report 'Data integrity')" "PASS"
check "clean: status" "$(report 'Write status')" "COMPLETED"
check_pattern_sample

# 2. SIGINT during the write phase: what was written is verified in full.
F=$SLOW/$TEST_FILE
start_run "$SLOW" "" 8 0 0 y "$L" n y
wait_until 60 rows_at_least write 1 || fail "stop write: no write sample"
kill -INT "$PID"
wait_run
check "stop write: exit" "$RC" 0
check "stop write: user_stopped" "$(summary user_stopped)" 1
w=$(summary bytes_written)
((w > 0 && w < 8589934592)) || fail "stop write: bytes_written $w"
check "stop write: verified" "$(summary bytes_verified)" "$w"
check "stop write: status" "$(report 'Write status')" "STOPPED BY USER / LIMIT"
check "stop write: events" "$(events)" ""
check_log_complete

# 3. A duration limit ends the writing; a SIGINT during verification ends that too
# (six seconds of writing on the slow device: its read-back lasts as long).
start_run "$SLOW" "" 8 0.1 0 y "$L" n y
wait_verify_open || fail "verification never opened the file"
kill -INT "$PID"
wait_run
check "stop verify: exit" "$RC" 3
check "stop verify: integrity" "$(report 'Data integrity')" "FAIL / INCOMPLETE"
v=$(summary bytes_verified)
((v < $(summary bytes_written))) || fail "stop verify: verified $v of $(summary bytes_written)"
check "stop verify: duration event" "$(events | cut -d, -f1,2)" "duration_limit_reached,0"
check_log_complete
rm -f "$F"
F=$D/$TEST_FILE

# 4. A threshold no sample can meet fails the verdict but not the exit code.
start_run "$D" "" 0.0625 0 1000000000 n "$L" n y
wait_run
check "threshold: exit" "$RC" 0
check "threshold: pass" "$(summary threshold_pass)" 0
report 'Threshold result' | grep -q '^FAIL (' || fail "threshold: verdict $(report 'Threshold result')"

# 5. Deletion on removes the file.
start_run "$D" "" 0.0625 0 0 y "$L" y y
wait_run
check "delete: exit" "$RC" 0
[[ ! -e $F ]] || fail "delete: test file still there"
grep -q "Test file deleted successfully." "$OUT" || fail "delete: no message"
# 6. Started with standard output, then standard error, closed: the log gets a
# descriptor of its own and holds nothing but its lines (the frames and the
# report, then the error line of a test file that cannot be opened, go nowhere).
only_log_lines() { grep -cvE '^(# |phase,|write,|verify,)' "$LOG"; }
printf '%s\n' "$D" "" 0.0625 0 0 y "$L" n y >"$WORK/answers"
rm -f "$LOG" "$F"
(cd "$WORK" && exec "$DT" <"$WORK/answers" >&- 2>"$ERR")
check "stdout closed: exit" "$?" 0
check "stdout closed: other lines in the log" "$(only_log_lines)" 0
check_log_complete
ln -sf "$WORK/answers" "$F"
printf '%s\n' "$D" "" y 0.0625 0 0 y "$L" n y >"$WORK/answers2"
rm -f "$LOG"
(cd "$WORK" && exec "$DT" <"$WORK/answers2" >"$OUT" 2>&-)
check "stderr closed: exit" "$?" 3
check "stderr closed: event" "$(events | cut -d, -f1)" open_write_failed
check "stderr closed: other lines in the log" "$(only_log_lines)" 0
check_log_complete
rm -f "$F"
finish
