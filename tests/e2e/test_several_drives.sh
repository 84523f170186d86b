# Several drives in one command: three loop volumes throttled at different
# write speeds each read their own speed, side by side; a faulty volume among
# them fails its drive alone (exit 3); a stop ends every drive with a complete
# log; a file-size limit splits one drive's test as in a single run; the summary
# table puts each figure in its column and shows control characters escaped;
# two directories of one disk are refused.
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
# logs $LOGS (log-N.csv) and summaries $JSONS (s-N.json, s-all.json) in $WORK; sets PID.
LOGS='log-{n}.csv' JSONS='s-{n}.json'
several() {
  rm -f "$WORK"/log-*.csv "$WORK"/s-*.json
  local args=() d
  for d in "$@"; do args+=(--dir "$d"); done
  (echo "$BASHPID" >"$GROUP/cgroup.procs" && cd "$WORK" &&
    exec timeout -k 60 120 "$DT" "${args[@]}" --size "$SIZE" --min-speed 0 --log "$LOGS" \
      --json "$JSONS" --delete --yes --quiet) >"$OUT" 2>"$ERR" &
  PID=$!
}
ended() { wait "$PID"; RC=$?; }
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
  for ((n = 1; n <= ${1:-3}; n++)); do LOG=$WORK/log-$n.csv check_log_complete; done
}
# Every drive's log holds a write row while the slowest has not finished
# writing: they run side by side (one after another, the later logs stay empty).
side_by_side() {
  local n
  grep -q '^# summary_begin' "$WORK/log-1.csv" 2>/dev/null && return 1
  for n in 1 2 3; do [[ $(grep -c '^write,' "$WORK/log-$n.csv" 2>/dev/null) -ge 1 ]] || return 1; done
}
figure_rows() { awk '/DRIVES$/ { t = 1 } t && $1 ~ /^[0-9]+$/' "$OUT"; }
# figure N FIELD: a figure of drive N's row in the summary table, counted from
# the row's end ("below mism. errors Result (exit N)"), since the written
# amount holds a blank.
figure() { awk -v n="$1" -v k="$2" '/DRIVES$/ { t = 1 } t && $1 == n { print $(NF - k) }' "$OUT"; }

# Side by side: each drive measures its own device at the same time as the others.
several "${DIRS[@]}"
wait_until 60 side_by_side || fail "the drives did not write side by side"
ended
check "throttled: exit code" "$RC" 0
digest
check "throttled: verdicts" "$(verdicts)" "PASSED PASSED PASSED"
# Drives that measured each other would be off by half or double, or out of
# order; load moves a median less (a slow fill leaves gaps in which the
# throttle's budget refills, which reads high, never twice as high).
for n in 1 2 3; do
  want=$((SPEEDS[n - 1] * M))
  awk -v got="$(col $n 3)" -v want="$want" 'BEGIN { r = got * 1e6 / want; exit !(r > 0.5 && r < 2) }' ||
    fail "drive $n: median $(col $n 3) MB/s, its device is throttled to $((want / 1000))e3 B/s"
  check "drive $n: bytes" "$(col $n 4)" $((256 * M))
done
awk -v a="$(col 1 3)" -v b="$(col 2 3)" -v c="$(col 3 3)" 'BEGIN { exit !(a < b && b < c) }' ||
  fail "medians out of the order of their devices' speeds: $(col 1 3) $(col 2 3) $(col 3 3)"
complete_logs
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

# A volume whose files stop at 64 MiB, beside a sound one: the write is split
# where the limit refused it, both segments are verified to the last byte, and
# --delete removes both, as in a single run.
SIZE=0.125
mount_faultfs "subtype=vfat,max_file=$((64 * M)),capacity=$((512 * M))"
several "${DIRS[0]}" "$MNT"
ended
check "limit: exit code" "$RC" 0
digest
check "limit: verdicts" "$(verdicts)" "PASSED PASSED"
check "limit: drive 2 event" "$(col 2 7)" "file_size_limit_reached:223"
check "limit: drive 2 verified" "$(col 2 5)" $((128 * M))
check "limit: left on the volume" "$(ls -A "$BACKING")" ""
complete_logs 2

# The summary table's figures, each in its column: a drive whose read-back has
# one byte flipped (a mismatch, no error), a sound one, one with a write error.
SIZE=0.03125
mount_faultfs "flip_at=$((5 * M + 3))"
FLIP=$MNT
mount_faultfs "write_fault_at=$((16 * M)),write_fault=eio"
several "$FLIP" "${DIRS[0]}" "$MNT"
ended
check "figures: exit code" "$RC" 3
check "figures: mismatches" "$(figure 1 4) $(figure 2 4) $(figure 3 4)" "1 0 0"
check "figures: errors" "$(figure 1 3) $(figure 2 3) $(figure 3 3)" "0 0 1"
check "figures: results" "$(figure 1 2) $(figure 2 2) $(figure 3 2)" "FAILED PASSED FAILED"

# A drive whose JSON summary cannot be created (a read-only directory) runs
# not at all: the "all" summary lists it with no log, JSON or status.
mkdir "$WORK/j1" "$WORK/j2" "$WORK/jall"
mount --bind "$WORK/j1" "$WORK/j1" && at_exit "umount '$WORK/j1'" &&
  mount -o remount,bind,ro "$WORK/j1" || fail "no read-only directory"
JSONS='j{n}/s.json' several "${DIRS[0]}" "${DIRS[1]}"
ended
check "no JSON: exit code" "$RC" 2
python3 - "$WORK/jall/s.json" >"$WORK/all" <<'PY' || fail "no JSON: the summary is unreadable"
import json, sys
for d in json.load(open(sys.argv[1]))["drives"]:
    print(d["number"], d["verdict"], d["log_path"] is None, d["json_path"] is None,
          d["write_status"], d["data_integrity"])
PY
check "no JSON: all summary" "$(cat "$WORK/all")" "1 NO LOG True True None None
2 PASSED False False COMPLETED PASS"

# Directory names with a newline and an escape sequence: each table row stays
# one line and shows them escaped. Drive 1's log on drive 2's volume is warned
# of as a log on its own test volume is.
A=${DIRS[0]}/$'a\nb' B=${DIRS[1]}/$'c\e[2Jd'
mkdir "$A" "$B"
LOGS="${DIRS[1]}/log-{n}.csv" several "$A" "$B"
ended
check "names: exit code" "$RC" 0
grep -qF 'a\nb ' <(figure_rows) || fail "drive 1's row does not show its newline escaped"
grep -qF 'c\x1b[2Jd ' <(figure_rows) || fail "drive 2's row does not show its escape escaped"
check "names: summary rows" "$(figure_rows | wc -l)" 2
grep -q $'\e' <(figure_rows) && fail "an escape character in the summary table"
grep -q "^WARNING: The CSV log of drive 1 is on the SAME VOLUME as the test file of drive 2.$" "$OUT" ||
  fail "no warning of drive 1's log on drive 2's volume"
grep -q "drive 2 is on the SAME VOLUME as the test file of drive 1" "$OUT" &&
  fail "a warning of drive 2's log on drive 1's volume"
python3 - "$WORK/s-all.json" "$A" "$B" <<'PY' || fail "names: the all summary does not hold them"
import json, sys
dirs = [d["directory"] for d in json.load(open(sys.argv[1]))["drives"]]
sys.exit(dirs != sys.argv[2:])
PY
rm -rf "$A" "$B" "${DIRS[1]}"/log-*.csv

# Two directories of one disk, each a volume of its own, are refused as two of
# one volume are: two btrfs subvolumes, then two partitions of one stick.
refused() {
  several "$@"
  ended
  check "$LABEL: exit code" "$RC" 1
  grep -q "are on the same disk; test each disk once." "$ERR" || fail "$LABEL: no refusal"
}
if command -v mkfs.btrfs >/dev/null && have_fs btrfs; then
  mount_loop 512 btrfs 256M
  btrfs -q subvolume create "$MNT/one" >/dev/null && btrfs -q subvolume create "$MNT/two" >/dev/null ||
    fail "no btrfs subvolumes"
  LABEL="btrfs subvolumes" refused "$MNT/one" "$MNT/two"
else
  echo "SKIPPED (part): btrfs rows need mkfs.btrfs and the kernel's btrfs"
fi
if command -v sfdisk >/dev/null && command -v partx >/dev/null; then
  truncate -s 96M "$IMG_DIR/stick"
  STICK=$(losetup -f --show "$IMG_DIR/stick") || { fail "no loop device for the stick"; finish; }
  at_exit "losetup -d $STICK"
  printf 'label: dos\n,40M\n,40M\n' | sfdisk -q "$STICK" >/dev/null 2>&1 || fail "sfdisk on $STICK"
  partx -a "$STICK" 2>/dev/null # the kernel may have read the table already
  at_exit "partx -d $STICK"
  PARTS=()
  for p in 1 2; do
    mkdir "$WORK/part$p"
    [[ -b ${STICK}p$p ]] && mkfs.ext4 -q "${STICK}p$p" && mount "${STICK}p$p" "$WORK/part$p" ||
      { fail "partition $p"; finish; }
    at_exit "umount '$WORK/part$p'"
    PARTS+=("$WORK/part$p")
  done
  LABEL="partitions" refused "${PARTS[@]}"
else
  echo "SKIPPED (part): partition rows need sfdisk and partx"
fi
finish
