# Hostile input to the dialogue: a few hundred random and adversarial byte
# streams. The program must never crash or hang, never create a file before
# START, and end either cancelled (exit 1) or after a confirmed dialogue.
# Targets are confined to a small fault-free volume (a confirmed run writes at
# most 32 MiB there) and the file size is capped as a second guard.
source "$(dirname "$0")/lib.sh" "$1"
M=1048576
RUNS=${HOSTILE_RUNS:-300}
SEED=${HOSTILE_SEED:-$RANDOM}
RANDOM=$SEED
echo "seed $SEED, $RUNS runs"
mount_faultfs capacity=$((288 * M))
LOGS=$WORK/logs
mkdir "$LOGS"
# Device paths are answers too: nodes of our own, so that no run can replace
# or remove the machine's /dev/null.
DEV=$WORK/dev
mkdir "$DEV" && mknod "$DEV/null" c 1 3 && mknod "$DEV/zero" c 1 5 && mknod "$DEV/full" c 1 7 &&
  mknod "$DEV/tty" c 5 0 || { fail "cannot make device nodes in $DEV"; finish; }
KEEP=${TMPDIR:-/tmp}/drive-hostile-failures

long() { printf "%$1s" "" | tr ' ' "$2"; }
L300=$(long 300 a) L40K=$(long 40000 b) D10K=$(long 10000 9)
# Pools of answers, printed with %b (so \0, \xff and \r become raw bytes).
DIRS=("$MNT" "$MNT/" . ./ "$MNT/." "\\0" "\\0$MNT" "$MNT\\0" "\\x1b[2J$MNT" "$MNT\\r"
  "\\xff\\xfe" "\\xc3\\x28" "\\xed\\xa0\\x80" "\\xf4\\x90\\x80\\x80" "$DEV/null" "$DEV/zero"
  "$DEV/tty" /etc/passwd /proc/self/status "\"$MNT\"" " $MNT" "$MNT " "$L40K" "$MNT/$L300"
  "%s%n%x" "$MNT/%n" "\\t" "" /nonexistent/dir)
NAMES=("" x . .. a/b "a:b" "a\\tb" "%n%s%x" con "nul." "\\0" "\\xff" "$L300" "$L40K" "\\x01"
  "é" "名前" tesselmark-drive-test.bin "\\x7f" "a\\rb" "a\\\\b" "*" "a|b")
YESNO=(y n "" yes NO " y" "y " "Y\\r" "\\0" maybe "$L40K" "\\xff" "y\\0" "ｙ")
NUMBERS=(0 0.01 -1 -0 1e309 inf nan NaN 0x10 1e-400 99999999999999999999999999 17179869184
  1.5.5 "" "$D10K" " 1" "1 " +1 "١" 0.0000001 "\\0" "1\\0" "1,5" "\\xff" "1e" . "$L40K")
LOGPATHS=("" "$LOGS/l.csv" "$DEV/null" "$DEV/full" "$LOGS/missing/x.csv" "$LOGS" "\\0" "$L40K"
  "$LOGS/\\xff\\xfe.csv" "$LOGS/%s%n.csv" "$MNT/l.csv" "$LOGS/\\x1b[31m.csv")

pick() { local -n pool=$1; printf '%s' "${pool[RANDOM % ${#pool[@]}]}"; }
# One adversarial stream: the dialogue's valid answers (the default log lands
# on the test volume, hence the same-volume "y"), each replaced by a hostile
# one with a chance of 10, 30 or 100 %, sometimes an extra answer for an
# overwrite question, line ends LF or CRLF, sometimes cut short.
VALID=("$MNT" "" 0.01 0 0 y "" y n y)
POOLS=(DIRS NAMES NUMBERS NUMBERS NUMBERS YESNO LOGPATHS YESNO YESNO YESNO)
adversarial() {
  local chance=$((RANDOM % 3)) fields=() k eol='\n' n
  chance=$((chance == 0 ? 10 : chance == 1 ? 30 : 100))
  for k in "${!VALID[@]}"; do
    if ((RANDOM % 100 < chance)); then fields+=("$(pick "${POOLS[k]}")"); else fields+=("${VALID[k]}"); fi
    ((k == 1 && RANDOM % 4 == 0)) && fields+=("$(pick YESNO)")
  done
  ((RANDOM % 4)) || eol='\r\n'
  n=${#fields[@]}
  ((RANDOM % 3)) || n=$((RANDOM % n))
  for k in "${fields[@]:0:n}"; do printf '%b'"$eol" "$k"; done
}
stream() {
  case $((RANDOM % 4)) in
    0) head -c $((RANDOM % 4096)) /dev/urandom ;;
    1) printf '%s\n%s\n' "$MNT" ""; head -c $((RANDOM % 2048)) /dev/urandom ;;
    *) adversarial ;;
  esac
}
# Files the program may create before START: none in these two directories.
created() { find "$MNT" "$LOGS" -mindepth 1 | head -n 3; }
keep_failure() {
  mkdir -p "$KEEP"
  cp "$WORK/stream" "$KEEP/stream.$SEED.$1"
  fail "run $1 (seed $SEED, input kept in $KEEP/stream.$SEED.$1): $2"
}

declare -A EXITS=()
STARTS=0
for ((i = 1; i <= RUNS; i++)); do
  stream >"$WORK/stream"
  (cd "$MNT" && ulimit -f $((64 * 1024)) && exec timeout -k 2 20 "$DT" <"$WORK/stream" >"$OUT" 2>"$ERR")
  RC=$?
  EXITS[$RC]=$((${EXITS[$RC]:-0} + 1))
  grep -aq "START TEST" "$OUT" && STARTS=$((STARTS + 1))
  if grep -aq "AddressSanitizer\|LeakSanitizer\|runtime error:" "$ERR"; then keep_failure $i "sanitizer report"
  elif ((RC == 124 || RC == 137)); then keep_failure $i "hung"
  elif ((RC > 128)); then keep_failure $i "killed by signal $((RC - 128))"
  elif ((RC == 1)); then
    [[ -z $(created) ]] || keep_failure $i "cancelled, but created $(created | tr '\n' ' ')"
    [[ $(tail -n 1 "$OUT") == "Test cancelled or configuration failed." ]] ||
      keep_failure $i "exit 1 without the cancellation line"
  elif ((RC == 0 || RC == 2 || RC == 3)); then
    grep -aq "START TEST" "$OUT" || keep_failure $i "exit $RC without a START prompt"
  else
    keep_failure $i "exit code $RC"
  fi
  rm -rf "${MNT:?}"/* "${LOGS:?}"/*
  for n in null zero full tty; do [[ -c $DEV/$n ]] || keep_failure $i "$DEV/$n is no longer a device"; done
  ((FAILED)) && break
done
echo "START prompt reached in $STARTS runs"
for c in "${!EXITS[@]}"; do echo "exit $c: ${EXITS[$c]} runs"; done
finish
