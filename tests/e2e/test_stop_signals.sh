# SIGTERM and SIGHUP end the run: the running phase stops, no verification
# starts, and the summary and report are written at once. SIGQUIT (the break
# key) only stops the running phase, and the duration limit ends the write
# phase; each run still ends with a complete log.
source "$(dirname "$0")/lib.sh" "$1"
mount_faultfs delay_us=20000 # a slow device: phases last long enough to signal
M=1048576

# start VERIFY [MINUTES]: a 256 MiB run in the background with piped answers.
start() {
  rm -f "$MNT/$TEST_FILE" "$LOG"
  printf '%s\n' "$MNT" "" 0.25 "${2:-0}" 0 "$1" "$LOG" n y >"$WORK/answers"
  (cd "$WORK" && exec "$DT" <"$WORK/answers" >"$OUT" 2>"$ERR") &
  pid=$!
}
ended() {
  timeout 120 tail --pid="$pid" -f /dev/null || kill -KILL "$pid"
  wait "$pid"
  RC=$?
}

# SIGTERM in the write phase, no verification: a clean stop, exit 0.
start n
wait_until 60 rows_at_least write 2 || fail "SIGTERM: no write samples"
kill -TERM "$pid"
ended
expect_run "SIGTERM" 0 "" "STOPPED BY USER / LIMIT" "" "" user_stopped=1 write_errors=0 bytes_verified=0
(($(summary bytes_written) < 256 * M)) || fail "SIGTERM did not stop the write phase"

# SIGTERM or SIGHUP in the write phase with verification requested: the
# verification never starts and the result is incomplete, exit 3.
for sig in TERM HUP; do
  start y
  wait_until 60 rows_at_least write 2 || fail "SIG$sig: no write samples"
  kill -$sig "$pid"
  ended
  expect_run "SIG$sig before verification" 3 "" "STOPPED BY USER / LIMIT" "FAIL / INCOMPLETE" "" \
    user_stopped=1 write_errors=0 bytes_verified=0 verification_errors=0
  check "SIG$sig: verification rows" "$(rows verify)" 0
done

# SIGQUIT in the write phase, then SIGTERM in the verification: the first stop
# does not carry over, the second ends the verification early, exit 3.
start y
wait_until 60 rows_at_least write 3 || fail "SIGQUIT: no write samples"
kill -QUIT "$pid"
wait_until 60 rows_at_least verify 1 || fail "SIGQUIT: the verification did not run on"
kill -TERM "$pid"
ended
expect_run "SIGQUIT+SIGTERM" 3 "" "STOPPED BY USER / LIMIT" "FAIL / INCOMPLETE" "" user_stopped=1 verification_errors=0
(($(summary bytes_verified) < $(summary bytes_written))) || fail "SIGTERM did not stop the verification"

# The duration limit (0.05 min = 3 s) with verification of what was written.
start y 0.05
ended
written=$(summary bytes_written)
expect_run "duration limit" 0 "duration_limit_reached,0,$written" "STOPPED BY USER / LIMIT" PASS "" \
  user_stopped=1 bytes_verified="$written" write_errors=0
((written > 0 && written < 256 * M)) || fail "duration limit: $written bytes written"
finish
