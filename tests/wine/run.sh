#!/usr/bin/env bash
# End-to-end tests of the Windows executable under Wine, answers piped to
# standard input: the banner, the dialogue's refusals, full runs with
# verification, CR LF answers, non-ASCII paths, a log that cannot be created,
# a chart under the short name of the log,
# Ctrl+C, the command line, the quick probe of an image, and a session at a console (tmux) with typed
# answers, the Q key and the wait for Enter of a console of its own.
# Usage: tests/wine/run.sh [path/to/drive-test.exe]
set -uo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
EXE=$(realpath -m "${1:-$ROOT/build-windows/drive-test.exe}")
[[ -f $EXE ]] || { echo "FAIL: $EXE is missing (build it with scripts/build-windows.sh)"; exit 1; }

missing=()
command -v wine >/dev/null 2>&1 || missing+=(wine)
[[ -x /usr/lib/wine/wine64 ]] || missing+=(wine64)
command -v tmux >/dev/null 2>&1 || missing+=(tmux)
if ((${#missing[@]})); then
  echo "Installing ${missing[*]}..."
  SUDO=""
  [[ $(id -u) -ne 0 ]] && SUDO=sudo
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" </dev/null ||
    { echo "FAIL: could not install ${missing[*]}"; exit 1; }
fi

# A private prefix beside the executable; no Mono or Gecko prompts, no debug chatter.
export WINEPREFIX=$(dirname "$EXE")/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export LANG=C.UTF-8
if [[ ! -f $WINEPREFIX/system.reg ]]; then
  wineboot -i </dev/null >/dev/null 2>&1 || { echo "FAIL: wineboot could not create $WINEPREFIX"; exit 1; }
fi

# The shared end-to-end helpers run this launcher as if it were a native binary.
LAUNCHER=$(dirname "$EXE")/drive-test-wine.sh
printf '#!/bin/sh\nexec wine "%s" "$@"\n' "$EXE" >"$LAUNCHER"
chmod +x "$LAUNCHER"
source "$ROOT/tests/e2e/lib.sh" "$LAUNCHER"

CHECKS=0
CHECK_FAILS=0
check() {
  CHECKS=$((CHECKS + 1))
  [[ "$2" == "$3" ]] && return 0
  CHECK_FAILS=$((CHECK_FAILS + 1))
  fail "$1: got '$2', want '$3'"
}
# check_has LABEL FILE TEXT: FILE holds TEXT as a whole line.
check_has() { check "$1" "$(grep -cxF -- "$3" "$2")" 1; }

# Unix path -> the Windows path Wine gives it (Z: is the root).
wpath() { printf 'Z:%s' "${1//\//\\}"; }

BANNER=$'Tesselmark Drive Sustained Write Test v0.1.0\nNative Windows 10/11 sustained storage write test\n\nWARNING: This creates a very large test file and can fill the selected drive.\nIt does not format the drive and does not intentionally modify other files.\n\n'
DIR_PROMPT='Target directory (example E:\): '
CANCELLED=$'\nTest cancelled or configuration failed.'
D=$WORK/data
mkdir -p "$D"
WD=$(wpath "$D")
F=$D/$TEST_FILE

# 1. No input at all: the banner, the first prompt, the cancellation, exit 1.
(cd "$WORK" && printf '' | timeout -k 5 120 "$DT" >"$OUT" 2>"$ERR")
RC=$?
check "no input: exit" "$RC" 1
check "no input: stdout" "$(cat "$OUT")" "$BANNER$DIR_PROMPT$CANCELLED"
check "no input: stderr" "$(cat "$ERR")" ""

# 2. Refusals: each ends the dialogue with its message, exit 1, no file made.
# refused LABEL STREAM MESSAGE ANSWER...
refused() {
  local label=$1 stream=$2 message=$3
  shift 3
  run_answers 120 "$@"
  check "$label: exit" "$RC" 1
  check "$label: message" "$(grep -cF -- "$message" "$stream")" 1
  check "$label: cancelled" "$(tail -n 1 "$OUT")" "${CANCELLED#$'\n'}"
  check "$label: nothing created" "$(ls -A "$D")" ""
}
touch "$WORK/plain-file"
refused "missing dir" "$ERR" "Target directory is not accessible: [2] " "$WD\\missing"
refused "dir is a file" "$ERR" "Target directory is not accessible: " "$(wpath "$WORK/plain-file")"
for name in 'a:b' 'sub\name' 'sub/name' '..' 'what?'; do
  refused "name $name" "$ERR" "Invalid filename. Use a filename only, without path separators." "$WD" "$name"
done
# An answer file saved as "UTF-8 with BOM": the mark is no part of the first
# answer, so the directory is accepted and the name is what gets refused.
refused "byte-order mark" "$ERR" "Invalid filename. Use a filename only, without path separators." \
  $'\xEF\xBB\xBF'"$WD" 'a:b'
# The test file under another name: the log through a linked directory.
ln -s "$D" "$WORK/alias"
refused "log via linked dir" "$ERR" "The log path must not be the test file." \
  "$WD" "" 0.01 0 0 y "$(wpath "$WORK/alias/$TEST_FILE")" y n y
refused "oversize" "$OUT" "Requested size exceeds safe free space. Maximum is " "$WD" "" 1048576
refused "too large" "$ERR" "Requested size is too large." "$WD" "" 17179869184

# The volume lines Wine gives for a directory under Z:. The storage query is
# not emulated, so the physical sector falls back to the logical one.
run_answers 120 "$WD" "" 1048576
for line in 'Volume root        : Z:\' 'Filesystem         : NTFS' 'Logical sector     : 512 bytes' \
            'Physical sector    : 512 bytes' 'I/O alignment      : 4096 bytes' \
            'Write block        : 8388608 bytes'; do
  check_has "volume line '$line'" "$OUT" "$line"
done

# 3. A full 64 MiB run with verification. The log is on the same volume (Z:),
# typed with a lower-case drive letter: still the same volume, confirmed.
LOG_W=$(wpath "$LOG")
LOG_LOWER="z${LOG_W#Z}"
run_answers 300 "$WD" "" 0.0625 0 0 y "$LOG_LOWER" y n y
expect_run "full" 0 "" COMPLETED PASS "" bytes_written=67108864 bytes_verified=67108864
check_has "full: same-volume warning" "$OUT" "WARNING: The CSV log is on the SAME VOLUME as the test file."
check "full: header" "$(sed -n '4,6p;13p' "$LOG")" "# target_path=$WD\\$TEST_FILE
# volume_root=Z:\\
# filesystem=NTFS
# io_mode=FILE_FLAG_NO_BUFFERING|FILE_FLAG_WRITE_THROUGH"
check "full: no CR in log" "$(grep -c $'\r' "$LOG")" 0
# SHA-256 of the pattern's first 64 MiB, computed once outside this program
# from the SplitMix64 mixing of each word index: the bytes on disk are right.
check "full: content" "$(sha256sum <"$F" | cut -d' ' -f1)" \
  0c5e14dacaa0b4c27e6f7af401c4ffda9eb098a48b799430bab103128394be3e
check "full: report log" "$(report 'CSV log')" "$LOG_LOWER"
check_has "full: kept" "$OUT" "Test file kept on disk as requested."

# drive-test verify of the kept file passes; one inverted byte fails at its 8-byte word.
verify_kept() {
  (cd "$WORK" && timeout -k 5 120 "$DT" verify --yes --log "$LOG_W" "$WD\\$TEST_FILE" </dev/null >"$OUT" 2>"$ERR")
  RC=$?
}
verify_kept
expect_run "verify" 0 "" "" PASS "" bytes_verified=67108864 write_errors=0
at=$((3 * 1048576 + 5))
b=$(od -An -tu1 -j "$at" -N 1 "$F" | tr -d ' ')
printf "\\$(printf %03o $((255 - b)))" | dd of="$F" bs=1 seek="$at" conv=notrunc status=none
verify_kept
expect_run "verify flipped" 3 "data_mismatch,23,$((at / 8 * 8))" "" "FAIL / INCOMPLETE" "" \
  bytes_verified=67108864 verification_mismatch_blocks=1
# All 8 bits of one byte inverted: more than failing cells, so its sector is corrupted.
check "verify flipped: damage" "$(grep -E '^# damage_(corrupted_bytes|first_offset|region)=' "$LOG")" \
  "# damage_corrupted_bytes=512
# damage_first_offset=$((at / 512 * 512))
# damage_region=$((at / 512 * 512)),$((at / 512 * 512 + 512)),corrupted"
# The second half copied over the first: a drive that wraps at 32 MiB.
dd if="$F" of="$F" bs=1M skip=32 count=32 conv=notrunc status=none
verify_kept
check "verify wrapped: damage" "$(grep -E '^# damage_(wrap_bytes|likely_capacity_bytes|region)=' "$LOG")" \
  "# damage_wrap_bytes=33554432
# damage_likely_capacity_bytes=33554432
# damage_region=0,33554432,misplaced,33554432"
check_has "verify wrapped: verdict" "$OUT" \
  "Damage verdict     : Data written past 32.00 MiB landed over the start: the drive holds at most about 32.00 MiB"

# 3b. Answers with CR LF line ends (typed at a console, or a file saved on
# Windows), a 30-character wrong answer first at START: the CR takes no room,
# so the retry reads "y" and the test runs. The input stays open after the
# answers: a program started from a script never waits for Enter at the end.
rm -f "$LOG" "$F"
printf '%s\r\n' "$WD" "" 0.00390625 0 0 y "$LOG_W" y n "$(printf 'x%.0s' {1..30})" y >"$WORK/answers"
(cd "$WORK" && { cat "$WORK/answers"; sleep 60; } | timeout -k 5 40 "$DT" >"$OUT" 2>"$ERR")
RC=$?
expect_run "crlf" 0 "" COMPLETED PASS "" bytes_verified=4194304
check "crlf: one retry" "$(grep -o 'Please enter Y or N.' "$OUT" | wc -l)" 1
check "crlf: no wait for Enter" "$(grep -c 'Press Enter' "$OUT")" 0

# 4. Non-ASCII directory and file names: piped as UTF-8, they name the real
# file and come back unchanged in the dialogue, the CSV header and the report.
U=$WORK/Prüfung-测试
mkdir -p "$U"
UF=$U/Prüfung-测试.bin
UW=$(wpath "$UF")
run_answers 300 "$(wpath "$U")" "Prüfung-测试.bin" 0.00390625 0 0 y "$LOG_W" y n y
expect_run "utf8" 0 "" COMPLETED PASS "" bytes_verified=4194304
check "utf8: file" "$(stat -c %s "$UF" 2>&1)" 4194304
check_has "utf8: summary" "$OUT" "Target file : $UW"
check "utf8: header" "$(sed -n 4p "$LOG")" "# target_path=$UW"
check "utf8: report" "$(report 'Test file')" "$UW"
# The same again: the overwrite question names it, and deletion removes it.
run_answers 300 "$(wpath "$U")" "Prüfung-测试.bin" y 0.00390625 0 0 n "$LOG_W" y y y
check "utf8 delete: exit" "$RC" 0
check_has "utf8 delete: overwrite" "$OUT" "  $UW"
check_has "utf8 delete: deleted" "$OUT" "Test file deleted successfully."
check "utf8 delete: gone" "$(ls -A "$U")" ""

# 5. A log that cannot be created: exit 2 before any test file exists.
rm -f "$F"
MISSING_LOG=$(wpath "$WORK/no-such-dir/run.csv")
run_answers 120 "$WD" "" 0.0625 0 0 y "$MISSING_LOG" y n y
check "log: exit" "$RC" 2
check_has "log: message" "$ERR" "Could not create log file: $MISSING_LOG"
check "log: no test file" "$(ls -A "$D")" ""

# 6. SIGINT reaches the console control handler as Ctrl+C during the write
# phase: the phase stops, and what it wrote is verified in full. (The 15 s
# duration limit only bounds a run whose stop was lost; its event would show.)
printf '%s\n' "$WD" "" 8 0.25 0 y "$LOG_W" y y y >"$WORK/answers"
rm -f "$LOG"
(cd "$WORK" && exec "$DT" <"$WORK/answers" >"$OUT" 2>"$ERR") &
PID=$!
wait_until 60 rows_at_least write 2
kill -INT "$PID"
wait "$PID"
RC=$?
expect_run "ctrl+c" 0 "" "STOPPED BY USER / LIMIT" PASS "" user_stopped=1
check "ctrl+c: verified all" "$(summary bytes_verified)" "$(summary bytes_written)"
check "ctrl+c: deleted" "$(ls -A "$D")" ""

# 7. The command line, read as wide text: --help, and a batch run with --yes
# into the non-ASCII directory, the log on the same volume confirmed by --yes.
(cd "$WORK" && timeout -k 5 120 "$DT" --help </dev/null >"$OUT" 2>"$ERR")
RC=$?
check "help: exit" "$RC" 0
check "help: usage" "$(head -n 1 "$OUT")" "Usage: drive-test [OPTION]..."
check "help: stderr" "$(cat "$ERR")" ""
rm -f "$LOG"
(cd "$WORK" && timeout -k 5 300 "$DT" --dir "$(wpath "$U")" --size 0.00390625 --min-speed V30 \
  --log "$LOG_W" --json "$(wpath "$WORK/batch.json")" --delete --yes --quiet </dev/null >"$OUT" 2>"$ERR")
RC=$?
expect_run "batch" 0 "" COMPLETED PASS "" bytes_verified=4194304
# The disk's identity is what Wine answers, nulls where its queries fail; never an error.
device_keys() {
  python3 -c '
import json, sys
d = json.load(open(sys.argv[1]))["device"] if sys.argv[2] == "run" else json.load(open(sys.argv[1]))["disks"]
print(" ".join(d) if sys.argv[2] == "run" else "list of %d" % len(d))
' "$@" 2>&1
}
check "batch: device" "$(device_keys "$WORK/batch.json" run)" \
  "path bus vendor model revision serial size_bytes removable usb card hints"
check "batch: threshold" "$(sed -n 10p "$LOG")" "# minimum_required_mbps=30.000"
check_has "batch: settings" "$OUT" "Target file : $(wpath "$U")\\$TEST_FILE"
check_has "batch: same volume" "$OUT" "Continue with this log location? [y/N]: y"
check "batch: frames" "$(grep -c 'Phase  *: ' "$OUT")" 0
check "batch: deleted" "$(ls -A "$U")" ""
# The chart under the 8.3 short name Wine gives the log's long name, both
# missing at the start: the chart's open reaches the log and is refused by the
# file it reached; the log stays whole, the verdict stands.
S83=$WORK/short
mkdir -p "$S83"
LONG=longfilename-of-the-log.csv
touch "$S83/$LONG"
SHORT=$(cd "$S83" && wine cmd /c "dir /x" </dev/null 2>/dev/null | tr -d '\r' | awk -v n="$LONG" '$NF == n {print $(NF-1)}')
rm -f "$S83/$LONG"
check "short name: an alias" "$([[ $SHORT == *~*.CSV ]] && echo yes)" yes
(cd "$WORK" && timeout -k 5 300 "$DT" --dir "$(wpath "$S83")" --size 0.00390625 --min-speed 0 \
  --log "$(wpath "$S83/$LONG")" --chart "$(wpath "$S83")\\$SHORT" --delete --yes --quiet </dev/null >"$OUT" 2>"$ERR")
RC=$?
LOG=$S83/$LONG expect_run "short-name chart" 0 "" COMPLETED PASS "" bytes_verified=4194304
check "short-name chart: message" "$(tr -d '\r' <"$ERR" | grep -c '^Refused: ')$(tr -d '\r' <"$ERR" | grep -cxF \
  "Refused: the chart path '$(wpath "$S83")\\$SHORT' names the same file as the log path '$(wpath "$S83/$LONG")'.")" 11
check "short-name chart: files" "$(ls -A "$S83")" "$LONG"
(cd "$WORK" && timeout -k 5 120 "$DT" list --json "$(wpath "$WORK/list.json")" </dev/null >"$OUT" 2>"$ERR")
RC=$?
check "list: exit" "$RC" 0
check "list: stderr" "$(cat "$ERR")" ""
check "list: json" "$(device_keys "$WORK/list.json" list | sed 's/[0-9][0-9]*/N/')" "list of N"
# Two drives in one command, both pass: two drive letters of their own, since
# every directory under Z: is one volume.
mkdir -p "$WORK/drive-m" "$WORK/drive-n"
ln -sfn "$WORK/drive-m" "$WINEPREFIX/dosdevices/m:" && ln -sfn "$WORK/drive-n" "$WINEPREFIX/dosdevices/n:"
at_exit "rm -f '$WINEPREFIX/dosdevices/m:' '$WINEPREFIX/dosdevices/n:'"
(cd "$WORK" && timeout -k 5 300 "$DT" --dir 'M:\' --dir 'N:\' --size 0.00390625 --min-speed 0 \
  --log 'drives-{n}.csv' --delete --yes --quiet </dev/null >"$OUT" 2>"$ERR")
RC=$?
check "two drives: exit" "$RC" 0
check "two drives: passed" "$(grep -c 'PASSED (exit 0)$' "$OUT")" 2
for n in 1 2; do LOG=$WORK/drives-$n.csv check_log_complete; done
# Only the system's own libraries: the wide command line costs no other DLL.
OBJDUMP=$(command -v x86_64-w64-mingw32-objdump)
if [[ -n $OBJDUMP ]]; then
  check "DLLs" "$("$OBJDUMP" -p "$EXE" | sed -n 's/^\tDLL Name: //p' | sort | paste -sd ' ')" \
    "KERNEL32.dll msvcrt.dll"
fi

# 7b. The quick probe of a disk image on a fault-injecting mount whose medium
# wraps at 1 GiB: W found exact, every byte put back (the medium's checksum),
# the journal gone; and a name that is neither a disk nor a file refused.
if [[ -x $ROOT/build/faultfs && $EUID -eq 0 && -c /dev/fuse ]]; then
  BIN_DIR=$ROOT/build mount_faultfs keep=$((1 << 30))
  truncate -s $((1 << 30)) "$BACKING/image"
  for ((at = 0; at < 1 << 30; at += 97 << 20)); do
    head -c $((2 << 20)) /dev/urandom | dd of="$BACKING/image" bs=1M seek=$((at >> 20)) conv=notrunc status=none
  done
  truncate -s $((16 << 30)) "$MNT/image"
  before=$(sha256sum <"$BACKING/image")
  (cd "$WORK" && timeout -k 5 600 "$DT" probe --yes --quiet --json "$(wpath "$WORK/probe.json")" \
    --journal "$(wpath "$WORK/probe.journal")" "$(wpath "$MNT/image")" </dev/null >"$OUT" 2>"$ERR")
  RC=$?
  check "probe: exit" "$RC" 3
  check "probe: W" "$(python3 -c 'import json,sys; j=json.load(open(sys.argv[1])); print(j["verdict"], j["wrap_bytes"], j["restored"])' "$WORK/probe.json")" \
    "wraps $((1 << 30)) True"
  check "probe: journal gone" "$(ls "$WORK/probe.journal" 2>/dev/null)" ""
  check "probe: medium restored" "$(sha256sum <"$BACKING/image")" "$before"
else
  echo "SKIPPED probe of an image: needs root, /dev/fuse and the native build's faultfs"
fi
mkdir -p "$WORK/not-a-disk"
(cd "$WORK" && timeout -k 5 120 "$DT" probe --yes "$(wpath "$WORK/not-a-disk")" </dev/null >"$OUT" 2>"$ERR")
RC=$?
check "probe directory: exit" "$RC" 1
check "probe directory: message" "$(cat "$ERR")" "Refused: $(wpath "$WORK/not-a-disk") is neither a disk nor a file."

# 8. At a console (a tmux pane): answers typed with non-ASCII characters come
# through the console, the dashboard is redrawn in place, and Q stops writing.
SOCK=drive-wine-$$
at_exit "tmux -L $SOCK kill-server"
rm -f "$LOG"
tmux -L "$SOCK" new-session -d -s t -x 120 -y 50 \
  "cd '$WORK' && '$DT'; echo \$? >'$WORK/console-exit'; sleep 300"
screen() { tmux -L "$SOCK" capture-pane -p -t t; }
shows() { screen | grep -qF -- "$1"; }
# answer PROMPT TEXT: once the console shows PROMPT, types TEXT and Enter.
answer() {
  wait_until 60 shows "$1" || { fail "console never showed '$1'"; return 1; }
  tmux -L "$SOCK" send-keys -t t -l "$2"
  tmux -L "$SOCK" send-keys -t t Enter
}
# (The pane drops trailing blanks, so the prompts are matched without them.)
answer "${DIR_PROMPT% }" "$(wpath "$U")" &&
  answer "Test filename [" "Prüfung-测试.bin" &&
  answer "Test size in GiB" 8 &&
  answer "Optional duration limit" 0.25 &&
  answer "Required minimum sustained" 0 &&
  answer "Verify the written file" y &&
  answer "Log path [" "$LOG_W" &&
  answer "Continue with this log location?" y &&
  answer "Delete the test file" y &&
  answer "START TEST?" y
wait_until 60 rows_at_least write 3
# A frame being drawn shows no phase line yet: wait for one, not for a fixed time.
one_dashboard() { [[ $(screen | grep -c 'Phase  *: WRITE TEST') == 1 ]]; }
wait_until 60 one_dashboard
check "console: one dashboard, redrawn in place" "$(screen | grep -c 'Phase  *: WRITE TEST')" 1
check "console: dashboard at the top" "$(screen | sed -n 2p)" " Tesselmark Drive Sustained Write Test v0.1.0"
tmux -L "$SOCK" send-keys -t t q
# Started from a Unix terminal the program is alone on its Wine console, as
# after a double click on Windows: the window waits for Enter after the report.
wait_until 120 shows "Press Enter to close this window." || fail "console: no Enter prompt"
check "console: waits for Enter" "$(cat "$WORK/console-exit" 2>/dev/null)" ""
tmux -L "$SOCK" send-keys -t t Enter
wait_until 120 test -s "$WORK/console-exit"
check "console: exit" "$(cat "$WORK/console-exit" 2>/dev/null)" 0
check "console: user_stopped" "$(summary user_stopped)" 1
check "console: events" "$(events)" ""
check "console: header" "$(sed -n 4p "$LOG")" "# target_path=$UW"
check "console: status" "$(screen | grep -c 'Write status       : STOPPED BY USER / LIMIT')" 1
check "console: report" "$(screen | grep -cF "Test file          : $UW")" 1
check "console: deleted" "$(ls -A "$U")" ""
tmux -L "$SOCK" kill-server

wineserver -w
echo "wine: $((CHECKS - CHECK_FAILS)) passed, $CHECK_FAILS failed"
finish
