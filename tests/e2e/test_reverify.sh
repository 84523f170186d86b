# drive-test verify on a kept test file: one table of files (intact, damaged,
# shorter, unreadable, lost in a volatile drive cache at the replug), then the
# stops, the command-line failures and a declined START.
source "$(dirname "$0")/lib.sh" "$1"
M=1048576
D=$WORK/data
mkdir -p "$D"
LOG=/dev/shm/drive-e2e-$$.csv # off the test file's volume: no question about it
at_exit "rm -f $LOG"
run_test "$D" 0.0625 y
check "kept file: test run" "$RC" 0
KEPT=$WORK/kept
mv "$D/$TEST_FILE" "$KEPT"
X=$((40 * M + 12345))

# Preparations: each leaves the file to verify at $T.
intact() { T=$D/$TEST_FILE; cp "$KEPT" "$T"; }
flip() { # FILE OFFSET
  local b
  b=$(od -An -tu1 -j "$2" -N 1 "$1" | tr -d ' ')
  printf "\\$(printf %03o $((255 - b)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
flipped() { intact; flip "$T" "$X"; }
# In memory the reads are copies and the verification's two threads take turns
# at reading: one byte flipped in a chunk that each of them reads.
in_memory() {
  need_root "mounting tmpfs"
  mkdir -p "$WORK/mem" && mount -t tmpfs -o size=80m drive-e2e-mem "$WORK/mem" || fail "tmpfs"
  at_exit "umount '$WORK/mem'"
  T=$WORK/mem/$TEST_FILE
  cp "$KEPT" "$T"
  flip "$T" $((20 * M + 5))
  flip "$T" "$X"
}
other_bytes() { T=$D/other.bin; head -c $((8 * M)) /dev/urandom >"$T"; }
shorter() { intact; truncate -s $((60 * M)) "$T"; }
unreadable() { mount_faultfs deny_read=eacces; T=$MNT/$TEST_FILE; cp "$KEPT" "$T"; }
# A drive whose cache loses its last 16 MiB at the replug: the test run's own
# verification still reads them from the cache and passes.
replugged() {
  mount_faultfs volatile_cache=$((16 * M))
  T=$MNT/$TEST_FILE
  run_test "$MNT" 0.0625 y
  check "volatile cache: test run" "$RC $(report 'Data integrity')" "0 PASS"
  replug
}
replug() { umount "$MNT" && "$BIN_DIR/faultfs" "$MNT" -o "backing=$BACKING" || fail "replug"; }

# verify ARG...: drive-test verify in $WORK; sets RC.
verify() {
  rm -f "$LOG"
  (cd "$WORK" && timeout -k 5 120 "$DT" verify "$@" </dev/null >"$OUT" 2>"$ERR")
  RC=$?
}

# A short read is reported at the start of its 8 MiB request, as in a test run.
# label | preparation | options | exit | events | integrity | last error | summary values
while IFS='|' read -r label prepare options rc events integrity last sums; do
  $prepare
  # shellcheck disable=SC2086 # options and sums are word lists
  verify --yes --log "$LOG" $options "$T"
  expect_run "$label" "$rc" "$events" "" "$integrity" "$last" $sums
  check "$label: run kind" "$(sed -n 15p "$LOG")" "# run_kind=reverify"
  check "$label: report" "$(report 'Run kind')" "RE-VERIFICATION of an existing file (no write)"
  [[ -f $T ]] || fail "$label: the file is gone"
  [[ $options == --quiet ]] && check "$label: frames" "$(grep -c 'READ-BACK VERIFICATION' "$OUT")" 0
  if [[ $options == --json* ]]; then
    check "$label: json" "$(python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print(d["run_kind"], d["exit_code"], d["verify"]["bytes"], d["events_complete"], *["%s,%d,%d" % (e["name"], e["code"], e["offset"]) for e in d["events"]])' "$WORK/v.json")" \
      "reverify $rc $((64 * M)) True${events:+ $events}"
  fi
done <<EOF
intact|intact|--json $WORK/v.json|0||PASS||bytes_written=$((64 * M)) bytes_verified=$((64 * M)) write_active_sec=0.000000 write_errors=0 verification_requested=1
flipped byte|flipped|--json $WORK/v.json|3|data_mismatch,23,$((X / 8 * 8))|FAIL / INCOMPLETE||bytes_verified=$((64 * M)) verification_mismatch_blocks=1 verification_errors=0
flipped bytes in memory|in_memory||3|data_mismatch,23,$((20 * M)) data_mismatch,23,$((X / 8 * 8))|FAIL / INCOMPLETE||bytes_verified=$((64 * M)) verification_mismatch_blocks=2 verification_errors=0
other bytes|other_bytes||3|data_mismatch,23,0|FAIL / INCOMPLETE||bytes_written=$((8 * M)) bytes_verified=$((8 * M)) verification_mismatch_blocks=1
shorter, expected size|shorter|--expect-bytes $((64 * M))|3|read_failed_or_short_read,30,$((56 * M))|FAIL / INCOMPLETE|30|bytes_written=$((64 * M)) bytes_verified=$((56 * M)) verification_errors=1
shorter, no expected size|shorter|--quiet|0||PASS||bytes_written=$((60 * M)) bytes_verified=$((60 * M))
unreadable|unreadable||3|open_verify_failed,5,0|FAIL / INCOMPLETE|5|bytes_verified=0 verification_errors=1
replugged|replugged||3|data_mismatch,23,$((48 * M)) data_mismatch,23,$((56 * M))|FAIL / INCOMPLETE||bytes_verified=$((64 * M)) verification_mismatch_blocks=2
EOF

# The damage verdicts of a kept file altered in python: D is the kept file's
# bytes, M a MiB; the result is written to the file to verify. Each gets the
# JSON's verdict, wrap, capacity, displacement and flipped bits, and the
# report's verdict.
alter() { python3 -c 'import sys; M = 1 << 20; D = open(sys.argv[1], "rb").read(); open(sys.argv[2], "wb").write('"$1"')' "$KEPT" "$T"; }
wrap24='b"".join(D[(x + (48 if x < 16 else 24)) * M:][:M] for x in range(0, 40)) + D[40 * M:]'
# label | alteration | options | verdict wrap capacity displacement flipped bits | report's verdict
while IFS='|' read -r label alteration options want verdict; do
  T=$D/$TEST_FILE
  alter "$alteration" || fail "$label: alteration"
  # shellcheck disable=SC2086 # options is a word list
  verify --yes --quiet --log "$LOG" --json "$WORK/v.json" $options "$T"
  check "$label: exit code" "$RC" 3
  check "$label: json" "$(python3 -c 'import json,sys; d=json.load(open(sys.argv[1]))["damage"]; print(*(d[k] for k in ("verdict", "wrap_bytes", "likely_capacity_bytes", "displacement_bytes", "flipped_bits")))' "$WORK/v.json")" "$want"
  check "$label: report" "$(report 'Damage verdict')" "$verdict"
  check "$label: log" "$(sed -n 's/^# damage_verdict=//p' "$LOG")" "${want%% *}"
done <<EOF
1 MiB at 1 MiB holds the data of 20 MiB|D[:M] + D[20 * M:21 * M] + D[2 * M:]||scattered None None None 0|Scattered damage: a failing drive rather than a smaller one
read 512 bytes early|D[512:] + bytes(512)||displaced None None 512 0|Data displaced by 512 bytes: each sector holds the data of the place 512 bytes after it, a shifted read rather than a smaller drive
read 512 bytes late|bytes(512) + D[:-512]||displaced None None -512 0|Data displaced by 512 bytes: each sector holds the data of the place 512 bytes before it, a shifted read rather than a smaller drive
one bit flipped in the last sector|D[:-100] + bytes([D[-100] ^ 4]) + D[-99:]||flipped None None None 1|1 bit flipped and nothing else damaged: a failing drive rather than a smaller one
wrap at 24 MiB and a stray 4 KiB block|(lambda w: w[:50 * M + 8192] + D[10 * M:10 * M + 4096] + w[50 * M + 12288:])($wrap24)||wraps $((24 * M)) $((24 * M)) None 0|Data written past 24.00 MiB landed over the start: the drive holds at most about 24.00 MiB
zeros past 16 MiB|D[:16 * M] + bytes(48 * M)||dropped None $((16 * M)) None 0|Almost nothing written past 16.00 MiB reads back: the drive holds at most about 16.00 MiB
random bytes|open("/dev/urandom", "rb").read(64 * M)||foreign None None None 0|Nearly every sector is corrupted: this file does not hold the test pattern
4 KiB zeroed before a read error at 24 MiB|D[:24 * M - 4096] + bytes(4096)|--expect-bytes $((64 * M))|scattered None None None 0|Scattered damage: a failing drive rather than a smaller one
EOF

# Ctrl+C as a signal, Q in a real terminal: both stop with a complete log, exit 3.
# 0.1 s a request of at most 1 MiB: the 64 MiB take over 6 s, the first sample
# closes after 1 s, so the stop always lands mid-verification.
mount_faultfs delay_us=100000
T=$MNT/$TEST_FILE
cp "$KEPT" "$BACKING/$TEST_FILE" # beside the slow path: the copy itself is not slowed
rm -f "$LOG"
(cd "$WORK" && exec "$DT" verify --yes --log "$LOG" "$T" </dev/null >"$OUT" 2>"$ERR") &
pid=$!
wait_until 60 rows_at_least verify 1 || fail "SIGINT: no verify samples"
kill -INT "$pid"
wait "$pid"
RC=$?
expect_run "SIGINT" 3 "" "" "FAIL / INCOMPLETE" "" user_stopped=1 verification_errors=0
(($(summary bytes_verified) < 64 * M)) || fail "SIGINT did not stop the verification"

if command -v tmux >/dev/null; then
  TM="tmux -L drive-e2e-$$ -f /dev/null"
  rm -f "$LOG"
  $TM new-session -d -x 100 -y 50 "cd $WORK; \"$DT\" verify --log $LOG $T; echo \$? >$WORK/rc; sleep 600"
  at_exit "$TM kill-server"
  shows() { $TM capture-pane -p -t 0 | grep -q "$1"; }
  wait_until 60 shows "START VERIFICATION" || fail "Q: no START question"
  $TM send-keys -t 0 y Enter
  wait_until 60 rows_at_least verify 1 || fail "Q: no verify samples"
  $TM send-keys -t 0 q
  wait_until 60 test -s "$WORK/rc" || fail "Q: the program did not end"
  $TM capture-pane -p -S - -E - -t 0 >"$OUT"
  RC=$(cat "$WORK/rc")
  expect_run "Q" 3 "" "" "FAIL / INCOMPLETE" "" user_stopped=1 verification_errors=0
fi

# No log and a clear message: a missing file, a bad command line, a declined
# START, one segment of a test in segments.
cp "$KEPT" "$D/split.bin" && head -c $((8 * M)) "$KEPT" >"$D/split.bin.001"
verify --yes --log "$LOG" "$D/split.bin.001"
check "one segment" "$RC $(cat "$ERR")" "1 This file is segment 1 of the test file $D/split.bin: verify that one, which reads every segment."
[[ -e $LOG ]] && fail "one segment: a log was created"
verify --yes --log "$LOG" "$D/missing.bin"
check "missing file" "$RC $(cat "$ERR")" "3 Cannot read the test file: [2] No such file or directory"
verify --yes --log "$LOG"
check "no file" "$RC $(cat "$ERR")" "1 drive-test: missing the test file to verify
Try 'drive-test --help'."
verify --yes --frobnicate "$KEPT"
check "unknown option" "$RC $(head -n 1 "$ERR")" "1 drive-test: unknown option '--frobnicate'"
(cd "$WORK" && echo n | "$DT" verify --log "$LOG" "$KEPT" >"$OUT" 2>"$ERR")
check "declined START" "$? $(tail -n 1 "$OUT")" "1 Verification cancelled."
[[ -e $LOG ]] && fail "a log was created without a verification"
finish
