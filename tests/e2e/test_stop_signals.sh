# SIGTERM and SIGHUP end the run: the running phase stops, no verification
# starts, and the summary and report are written at once. SIGQUIT (the break
# key) only stops the running phase, and the duration limit ends the write
# phase; each run still ends with a complete log. At a question, SIGTERM and
# SIGHUP cancel the dialogue at once.
source "$(dirname "$0")/lib.sh" "$1"
mount_faultfs delay_us=20000 # a slow device: phases last long enough to signal
M=1048576

# start VERIFY [MINUTES [GIB [OPTION...]]]: a run (256 MiB unless GIB) in the
# background with piped answers.
start() {
  rm -f "$MNT/$TEST_FILE" "$LOG"
  printf '%s\n' "$MNT" "" "${3:-0.25}" "${2:-0}" 0 "$1" "$LOG" n y >"$WORK/answers"
  (cd "$WORK" && exec "$DT" "${@:4}" <"$WORK/answers" >"$OUT" 2>"$ERR") &
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

# SIGINT in the verification of a complete write: the write status stays
# COMPLETED on the screen, in the JSON and in the chart; the result is incomplete.
start y 0 0.125 --json "$WORK/run.json" --chart "$WORK/run.svg"
wait_until 60 rows_at_least verify 1 || fail "SIGINT: no verification samples"
kill -INT "$pid"
ended
expect_run "SIGINT in verification" 3 "" COMPLETED "FAIL / INCOMPLETE" "" user_stopped=1 \
  bytes_written=$((128 * M))
grep -q '"write_status": "COMPLETED"' "$WORK/run.json" || fail "JSON write status: $(grep write_status "$WORK/run.json")"
grep -q '>COMPLETED<' "$WORK/run.svg" || fail "the chart does not show the write COMPLETED"

# A question waiting on its input (a FIFO held open): SIGTERM and SIGHUP cancel
# the dialogue within 2 s, exit 1, nothing created. SIGINT stays pending: the
# test started all the same stops before its first block.
mkfifo "$WORK/stdin"
answer() { (trap '' PIPE; echo y >&3) 2>/dev/null; } # START, if still asked
for sig in TERM HUP INT; do
  rm -f "$LOG" "$MNT/$TEST_FILE"
  (cd "$WORK" && exec "$DT" <"$WORK/stdin" >"$OUT" 2>"$ERR") &
  pid=$!
  exec 3>"$WORK/stdin"
  printf '%s\n' "$MNT" "" 0.25 0 0 y "$LOG" n >&3
  wait_until 20 grep -q "START TEST" "$OUT" || fail "SIG$sig: no START question"
  kill -$sig "$pid"
  if [[ $sig == INT ]]; then
    sleep 0.5
    kill -0 "$pid" || fail "SIGINT ended the dialogue"
    answer
  fi
  # A dialogue that kept waiting would wait for ever: a bound load never reaches.
  if ! timeout 30 tail --pid="$pid" -f /dev/null; then
    fail "SIG$sig: still waiting after 30 s"
    answer # started all the same, the run must still not pass
  fi
  exec 3>&-
  ended
  if [[ $sig == INT ]]; then
    expect_run "SIGINT at START" 0 "" "STOPPED BY USER / LIMIT" PASS "" bytes_written=0
    continue
  fi
  check "SIG$sig at START: exit code" "$RC" 1
  check "SIG$sig at START: last line" "$(tail -n 1 "$OUT")" "Test cancelled or configuration failed."
  [[ -e $LOG || -e $MNT/$TEST_FILE ]] && fail "SIG$sig at START: a file was created"
done

# verify on a FIFO (with the size given, so nothing else stops it) is refused
# at once instead of waiting for a writer.
rm -f "$LOG"
(cd "$WORK" && exec timeout -k 1 30 "$DT" verify --yes --expect-bytes 4096 --log "$LOG" stdin >"$OUT" 2>"$ERR")
check "verify FIFO: exit code" "$?" 3
grep -q "^Cannot read the test file: \[87\]" "$ERR" || fail "verify FIFO: $(cat "$ERR")"

# The duration limit (0.05 min = 3 s) with verification of what was written.
start y 0.05
ended
written=$(summary bytes_written)
expect_run "duration limit" 0 "duration_limit_reached,0,$written" "STOPPED BY USER / LIMIT" PASS "" \
  user_stopped=1 bytes_verified="$written" write_errors=0
((written > 0 && written < 256 * M)) || fail "duration limit: $written bytes written"
finish
