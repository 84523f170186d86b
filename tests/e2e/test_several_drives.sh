# Several drives in one command: three loop volumes throttled at different
# write speeds each read their own speed, side by side in about the time of the
# slowest; a faulty volume among them fails its drive alone (exit 3); a stop
# ends every drive with a complete log.
source "$(dirname "$0")/lib.sh" "$1"
need_root "loop devices and the block-layer throttle"
CG=/sys/fs/cgroup/blkio
[[ -w $CG/cgroup.procs && -e $CG/blkio.throttle.write_bps_device ]] || skip "no cgroup v1 blkio throttle"
command -v python3 >/dev/null || skip "python3 missing"
M=1048576
SPEEDS=(20 40 80) # MiB/s
SIZE=0.25         # GiB: 12.8 s at the slowest speed
DIRS=()
LOOPS=()
# Images in memory: loop devices backed by one disk would wait for each other's flushes.
IMG_DIR=/dev/shm/drive-test-several-$$
mkdir "$IMG_DIR" && at_exit "rm -rf '$IMG_DIR'"
GROUP=$CG/drive-test-several-$$
mkdir "$GROUP" || skip "cannot create a blkio cgroup"
at_exit "rmdir '$GROUP'"
for i in 0 1 2; do
  mount_loop 512 ext4 704M
  DIRS+=("$MNT")
  LOOPS+=("$LOOP")
  echo "$(lsblk -dno MAJ:MIN "$LOOP" | tr -d ' ') $((SPEEDS[i] * M))" >"$GROUP/blkio.throttle.write_bps_device"
done

# several DIR... : one command for the directories, inside the throttled group,
# logs log-N.csv and summaries s-N.json / s-all.json in $WORK; sets RC.
several() {
  rm -f "$WORK"/log-*.csv "$WORK"/s-*.json
  local args=() d
  for d in "$@"; do args+=(--dir "$d"); done
  (echo "$BASHPID" >"$GROUP/cgroup.procs" && cd "$WORK" &&
    exec timeout -k 60 120 "$DT" "${args[@]}" --size "$SIZE" --min-speed 0 --log 'log-{n}.csv' \
      --json 's-{n}.json' --delete --yes --quiet) >"$OUT" 2>"$ERR" &
  PID=$!
}
# digest: one line per drive, from s-all.json and the drive's own summary:
# number, verdict, write median, bytes written, bytes verified, stopped, first event.
digest() {
  python3 - "$WORK" >"$WORK/digest" <<'PY' || fail "summaries unreadable"
import json, sys
w = sys.argv[1]
for d in json.load(open(w + "/s-all.json"))["drives"]:
    j = json.load(open("%s/s-%d.json" % (w, d["number"])))
    e = (j["events"] or [{"name": "-", "code": 0}])[0]
    print(d["number"], d["verdict"], j["write"]["samples"]["median"], j["write"]["bytes"],
          j["verify"]["bytes"], j["user_stopped"], "%s:%d" % (e["name"], e["code"]))
PY
}
col() { awk -v n="$1" -v c="$2" '$1 == n { print $c }' "$WORK/digest"; }
verdicts() { cut -d' ' -f2 "$WORK/digest" | paste -sd' '; }
complete_logs() {
  local n
  for n in 1 2 3; do LOG=$WORK/log-$n.csv check_log_complete; done
}

# Side by side: each drive measures its own device, and the whole takes about
# as long as the slowest drive (the sum would be 22.4 s).
T0=${EPOCHREALTIME/./}
several "${DIRS[@]}"
wait "$PID"
RC=$?
WALL_MS=$(((${EPOCHREALTIME/./} - T0) / 1000))
check "throttled: exit code" "$RC" 0
digest
check "throttled: verdicts" "$(verdicts)" "PASSED PASSED PASSED"
# Within 10 %: drives that measured each other would be off by half or double; a
# sanitizer build's slow fill leaves gaps in which the throttle's budget refills,
# and with three samples at 80 MiB/s that reads up to 8 % high.
for n in 1 2 3; do
  want=$((SPEEDS[n - 1] * M))
  awk -v got="$(col $n 3)" -v want="$want" 'BEGIN { d = got * 1e6 - want; exit d * d > (0.10 * want) ^ 2 }' ||
    fail "drive $n: median $(col $n 3) MB/s, its device is throttled to $((want / 1000))e3 B/s"
  check "drive $n: bytes" "$(col $n 4)" $((256 * M))
done
complete_logs
((WALL_MS < 17000)) || fail "wall time $WALL_MS ms: the drives did not run side by side"
grep -q "^  3 .*PASSED (exit 0)" "$OUT" || fail "no summary row for drive 3"
# Each drive is named by its device: the loop device in the JSON, its image in the table.
check "throttled: devices" "$(python3 -c '
import json, sys
print(" ".join(d["device"]["path"] + ":" + d["device"]["bus"] for d in json.load(open(sys.argv[1]))["drives"]))
' "$WORK/s-all.json")" "${LOOPS[0]}:loop ${LOOPS[1]}:loop ${LOOPS[2]}:loop"
for n in 1 2 3; do
  grep -q "^  $n .*-$$/img$n .*PASSED (exit 0)" "$OUT" || fail "summary row $n does not name img$n"
done
check "throttled: reports" "$(grep -c 'FINAL RESULT' "$OUT")" 3

# A write fault on one volume among throttled ones: only its drive fails.
mount_faultfs "write_fault_at=$((16 * M)),write_fault=eio"
several "${DIRS[0]}" "$MNT" "${DIRS[2]}"
wait "$PID"
RC=$?
check "fault: exit code" "$RC" 3
digest
check "fault: verdicts" "$(verdicts)" "PASSED FAILED PASSED"
check "fault: drive 2 event" "$(col 2 7)" "write_failed_or_short_write:1117"
check "fault: drive 3 verified" "$(col 3 5)" $((256 * M))
grep -q "Drive 2: Write test error.*1117" "$ERR" || fail "no write error of drive 2 on stderr"
complete_logs

# A stop (SIGINT) while all three write: every drive stops, verifies what it
# wrote and closes its log.
SIZE=0.3125 # 4 s at the fastest speed
several "${DIRS[@]}"
for n in 1 2 3; do LOG=$WORK/log-$n.csv wait_until 20 rows_at_least write 1 || fail "drive $n wrote no rows"; done
kill -INT "$PID"
wait "$PID"
RC=$?
check "stop: exit code" "$RC" 0
digest
for n in 1 2 3; do
  check "stop: drive $n stopped" "$(col $n 6)" True
  (($(col $n 4) > 0 && $(col $n 4) < 320 * M)) || fail "drive $n: the stop did not end its write phase"
  check "stop: drive $n verified" "$(col $n 5)" "$(col $n 4)"
done
complete_logs
finish
