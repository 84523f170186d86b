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

# run_test DIR SIZE_GIB VERIFY: a full run with no duration limit, no speed
# threshold, the log at $LOG, the test file kept, started at once.
run_test() { run_answers 120 "$1" "" "$2" 0 0 "$3" "$LOG" n y; }

# Event lines of the log as "name,code,offset".
events() { sed -n 's/^# event=\([^,]*\),error_code=\([0-9]*\),offset=\([0-9]*\)\r\{0,1\}$/\1,\2,\3/p' "$LOG"; }
# summary KEY: the value of "# KEY=" in the log's summary block.
summary() { sed -n '/^# summary_begin/,/^# summary_end/s/^# '"$1"'=//p' "$LOG"; }
# report LABEL: the value of a final report line such as "Write status".
report() { grep -a "^$1 *: " "$OUT" | tail -n 1 | sed 's/^[^:]*: //'; }

# A log is complete when its header, column line and summary block are all there.
check_log_complete() {
  check "header lines" "$(grep -c '^# ' <(sed -n '1,13p' "$LOG"))" 13
  check "column line" "$(sed -n 14p "$LOG" | cut -d, -f1)" phase
  check "summary lines" "$(sed -n '/^# summary_begin$/,/^# summary_end$/p' "$LOG" | wc -l)" 17
  check "summary last" "$(tail -n 1 "$LOG")" "# summary_end"
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
