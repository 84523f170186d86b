# Real allocation failures: the address space is capped just above what the
# program uses at the START prompt, so first its 8 MiB write buffer cannot be
# mapped, and then, a few pages higher, its first write sample cannot be stored.
source "$(dirname "$0")/lib.sh" "$1"
# glibc's heap grows only as far as each allocation needs, so the caps below are
# measured in pages, not in its usual 128 KiB steps.
export GLIBC_TUNABLES=glibc.malloc.top_pad=0
mkdir "$WORK/target"
# The log lies on the test file's volume: the same-volume warning is answered.
answers() { printf '%s\n' "$WORK/target" "" 0.0625 0 0 y "$LOG" y n "$@"; }

mkfifo "$WORK/stdin"
(cd "$WORK" && exec "$DT" <"$WORK/stdin" >"$OUT" 2>"$ERR") &
pid=$!
exec 3>"$WORK/stdin"
answers >&3
wait_until 20 grep -q "START TEST" "$OUT" || fail "no START prompt"
kb=$(awk '/^VmSize:/ {print $2}' "/proc/$pid/status")
echo n >&3
exec 3>&-
wait "$pid"
((kb < 1 << 30)) || skip "the address space cannot be capped under the sanitizer build"

answers y >"$WORK/answers"
(cd "$WORK" && ulimit -v $((kb + 4096)) && exec timeout 60 "$DT" <"$WORK/answers" >"$OUT" 2>"$ERR")
RC=$?
expect_run "buffer" 3 "buffer_allocation_failed,8,0" FAILED PASS 8 \
  bytes_written=0 write_errors=1 wall_elapsed_sec=0.000000 bytes_verified=0
check "empty test file" "$(stat -c %s "$WORK/target/$TEST_FILE")" 0
grep -q "Write test error.*8" "$ERR" || fail "no 'Write test error' with 8 on stderr"

# The smallest cap that lets the buffer through leaves no room for the array of
# write samples.
found=
for slack in $(seq 4 4 64); do
  rm -f "$WORK/target/$TEST_FILE"
  (cd "$WORK" && ulimit -v $((kb + 8192 + slack)) && exec timeout 60 "$DT" <"$WORK/answers" >"$OUT" 2>"$ERR")
  RC=$?
  events | grep -q '^buffer_allocation_failed' && continue
  found=$slack
  break
done
[[ -n $found ]] || fail "no cap let the write buffer through"
expect_run "samples" 3 "statistics_allocation_failed,8,67108864" FAILED "FAIL / INCOMPLETE" 8 \
  bytes_written=67108864 write_errors=1 write_avg_sample_mbps=0.000000 bytes_verified=0
check "no sample rows" "$(rows write)" 0
check "file kept whole" "$(stat -c %s "$WORK/target/$TEST_FILE")" 67108864
finish
