# Shared helpers for the end-to-end scripts: source it with the program's path
# as $1. Each script gets a private work directory that is removed at exit,
# together with whatever the script mounted or attached (at_exit).
set -u
DT=$(realpath -m "$1")
BIN_DIR=$(dirname "$DT")
WORK=$(mktemp -d /tmp/drive-e2e.XXXXXX)
LOG=$WORK/log.csv
OUT=$WORK/out
ERR=$WORK/err
RC=
FAILED=0
CLEANUP=()

on_exit() {
  local i
  for ((i = ${#CLEANUP[@]} - 1; i >= 0; i--)); do eval "${CLEANUP[i]}" >/dev/null 2>&1; done
  rm -rf "$WORK"
}
trap on_exit EXIT
at_exit() { CLEANUP+=("$1"); }

skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAIL: $*"; FAILED=1; }
# check LABEL GOT WANT
check() { [[ "$2" == "$3" ]] || fail "$1: got '$2', want '$3'"; }
finish() {
  if ((FAILED)); then
    echo "--- stdout"; tail -n 40 "$OUT" 2>/dev/null
    echo "--- stderr"; cat "$ERR" 2>/dev/null
    echo "--- log"; cat "$LOG" 2>/dev/null
    exit 1
  fi
  echo "PASS"
  exit 0
}

need_root() { [[ $EUID -eq 0 ]] || skip "needs root: $*"; }

# run_answers TIMEOUT ANSWER... : runs the program in $WORK with the answers
# piped in, one per line; sets RC (124 = hung past its timeout).
run_answers() {
  local t=$1
  shift
  printf '%s\n' "$@" >"$WORK/answers"
  rm -f "$LOG"
  (cd "$WORK" && timeout -k 5 "$t" "$DT" <"$WORK/answers" >"$OUT" 2>"$ERR")
  RC=$?
}

# run_test DIR SIZE_GIB VERIFY [MINUTES]: a full run with no speed threshold,
# the log at $LOG, the test file kept, started at once.
run_test() { run_answers 300 "$1" "" "$2" "${4:-0}" 0 "$3" "$LOG" n y; }
TEST_FILE=tesselmark-drive-test.bin

# Event lines of the log as "name,code,offset".
events() { sed -n 's/^# event=\([^,]*\),error_code=\([0-9]*\),offset=\([0-9]*\)\r\{0,1\}$/\1,\2,\3/p' "$LOG"; }
# summary KEY: the value of "# KEY=" in the log's summary block.
summary() { sed -n '/^# summary_begin/,/^# summary_end/s/^# '"$1"'=//p' "$LOG"; }
# report LABEL: the value of a final report line such as "Write status".
report() { grep -a "^$1 *: " "$OUT" | tail -n 1 | sed 's/^[^:]*: //'; }

# expect_run LABEL EXIT EVENTS WRITE_STATUS INTEGRITY LAST_ERROR [KEY=VALUE...]:
# the exit code, the event lines, the final report's verdicts (INTEGRITY and
# LAST_ERROR empty when the report must not have the line) and summary values.
expect_run() {
  local label=$1 kv
  check "$label: exit code" "$RC" "$2"
  check "$label: events" "$(events | paste -sd ' ')" "$3"
  check "$label: write status" "$(report 'Write status')" "$4"
  check "$label: data integrity" "$(report 'Data integrity')" "$5"
  check "$label: last error" "$(report 'Last Windows error')" "$6"
  shift 6
  for kv in "$@"; do check "$label: ${kv%%=*}" "$(summary "${kv%%=*}")" "${kv#*=}"; done
  check_log_complete
}

# A log is complete when its header, column line and summary block are all there.
check_log_complete() {
  check "header lines" "$(grep -c '^# ' <(sed -n '1,13p' "$LOG"))" 13
  check "column line" "$(sed -n 14p "$LOG" | cut -d, -f1)" phase
  check "summary lines" "$(sed -n '/^# summary_begin$/,/^# summary_end$/p' "$LOG" | wc -l)" 17
  # Only the damage lines of a run that found differences follow the summary.
  check "summary last" "$(grep -v '^# damage_' "$LOG" | tail -n 1)" "# summary_end"
}

# mount_faultfs OPTIONS: mounts a fresh fault-injecting file system at $MNT.
mount_faultfs() {
  local ffs=$BIN_DIR/faultfs
  [[ -x $ffs ]] || skip "faultfs was not built (libfuse3 development files missing)"
  need_root "mounting FUSE"
  [[ -c /dev/fuse ]] || skip "no /dev/fuse"
  grep -qw fuse /proc/filesystems || modprobe fuse 2>/dev/null
  grep -qw fuse /proc/filesystems || skip "kernel has no FUSE support"
  MOUNTS=$((${MOUNTS:-0} + 1))
  MNT=$WORK/mnt$MOUNTS
  BACKING=$WORK/backing$MOUNTS
  mkdir -p "$MNT" "$BACKING"
  if ! "$ffs" "$MNT" -o "backing=$BACKING${1:+,$1}"; then
    fail "faultfs did not mount with '$1'"
    finish
  fi
  at_exit "umount '$MNT' || umount -l '$MNT'"
}

# have_fs TYPE: the kernel can mount it (loading its module when needed).
have_fs() { grep -qw "$1" /proc/filesystems || { modprobe "$1" && grep -qw "$1" /proc/filesystems; } 2>/dev/null; }

# mount_loop SECTOR_SIZE FSTYPE SIZE: a fresh file system on a loop device with
# the given logical sector size, mounted at $MNT; its image in $IMG_DIR (default $WORK).
mount_loop() {
  need_root "attaching loop devices"
  command -v losetup >/dev/null || skip "losetup missing"
  command -v "mkfs.$2" >/dev/null || skip "mkfs.$2 missing"
  have_fs "$2" || skip "kernel cannot mount $2"
  losetup --help 2>&1 | grep -q -- --sector-size || skip "losetup has no --sector-size"
  MOUNTS=$((${MOUNTS:-0} + 1))
  MNT=$WORK/mnt$MOUNTS
  mkdir -p "$MNT"
  truncate -s "$3" "${IMG_DIR:-$WORK}/img$MOUNTS"
  LOOP=$(losetup -f --show --sector-size "$1" "${IMG_DIR:-$WORK}/img$MOUNTS" 2>"$WORK/losetup.err") ||
    skip "no loop device with $1-byte sectors: $(cat "$WORK/losetup.err")"
  at_exit "losetup -d $LOOP"
  case $2 in
    ext4) mkfs.ext4 -q -m 0 "$LOOP" ;;
    vfat) mkfs.vfat "$LOOP" >/dev/null ;;
    btrfs) mkfs.btrfs -q "$LOOP" >/dev/null ;;
  esac || { fail "mkfs.$2 on $LOOP"; finish; }
  mount "$LOOP" "$MNT" || { fail "mounting $LOOP"; finish; }
  at_exit "umount '$MNT' || umount -l '$MNT'"
}

# wait_until SECONDS COMMAND...: polls the command every 0.1 s; 1 on timeout.
wait_until() {
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < end)) || return 1
    sleep 0.1
  done
}
# rows PHASE: the number of sample rows of that phase in the log so far.
rows() { local n; n=$(grep -c "^$1," "$LOG" 2>/dev/null); echo "${n:-0}"; }
rows_at_least() { (($(rows "$1") >= $2)); }
