# Real allocation failures: the address space is capped just above what the
# program uses at the START prompt, so its 8 MiB write buffer cannot be mapped;
# then a preloaded realloc fails the first growth of the write samples' array,
# so the first write sample cannot be stored.
source "$(dirname "$0")/lib.sh" "$1"
SHIM=$BIN_DIR/libfail_realloc.so
[[ -f $SHIM ]] || { fail "$SHIM was not built"; finish; }
# glibc's heap grows only as far as each allocation needs, so the cap below is
# measured in pages, not in its usual 128 KiB steps.
export GLIBC_TUNABLES=glibc.malloc.top_pad=0
mkdir "$WORK/target"
# The log lies on the test file's volume: the same-volume warning is answered.
# answers SIZE_GIB [START]
answers() { printf '%s\n' "$WORK/target" "" "$1" 0 0 y "$LOG" y n "${@:2}"; }

mkfifo "$WORK/stdin"
(cd "$WORK" && exec "$DT" <"$WORK/stdin" >"$OUT" 2>"$ERR") &
pid=$!
exec 3>"$WORK/stdin"
answers 0.0625 >&3
wait_until 20 grep -q "START TEST" "$OUT" || fail "no START prompt"
kb=$(awk '/^VmSize:/ {print $2}' "/proc/$pid/status")
echo n >&3
exec 3>&-
wait "$pid"
((kb < 1 << 30)) || skip "the address space cannot be capped under the sanitizer build"

answers 0.0625 y >"$WORK/answers"
(cd "$WORK" && ulimit -v $((kb + 4096)) && exec timeout 60 "$DT" <"$WORK/answers" >"$OUT" 2>"$ERR")
RC=$?
expect_run "buffer" 3 "buffer_allocation_failed,8,0" FAILED PASS 8 \
  bytes_written=0 write_errors=1 wall_elapsed_sec=0.000000 bytes_verified=0
check "empty test file" "$(stat -c %s "$WORK/target/$TEST_FILE")" 0
grep -q "Write test error.*8" "$ERR" || fail "no 'Write test error' with 8 on stderr"

# The array of write samples first grows to 1024 samples of 8 bytes; that
# realloc fails. One block is the whole test, so the first sample closes after
# it, however fast or slow the machine is at that moment.
answers 0.0078125 y >"$WORK/answers"
rm -f "$WORK/target/$TEST_FILE"
(cd "$WORK" && exec timeout 60 env FAIL_REALLOC_BYTES=8192 LD_PRELOAD="$SHIM" "$DT" <"$WORK/answers" >"$OUT" 2>"$ERR")
RC=$?
expect_run "samples" 3 "statistics_allocation_failed,8,8388608" FAILED "FAIL / INCOMPLETE" 8 \
  bytes_written=8388608 write_errors=1 write_avg_sample_mbps=0.000000 bytes_verified=0
check "no sample rows" "$(rows write)" 0
check "file kept whole" "$(stat -c %s "$WORK/target/$TEST_FILE")" 8388608
finish
