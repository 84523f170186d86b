#!/usr/bin/env bash
# End-to-end check of the arm64 build under qemu-aarch64 against the x86-64
# build: the same cancellation on empty input, and a 64 MiB run on a real
# directory that leaves the same test file, byte for byte, and the same log
# apart from times and speeds. Emulation says nothing about speed.
# Usage: tests/arm64/run.sh [arm64 drive-test] [x86-64 drive-test]
set -uo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
ARM=$(realpath -m "${1:-$ROOT/build-arm64/drive-test}")
X86=$(realpath -m "${2:-$ROOT/build/drive-test}")
[[ -f $ARM ]] || { echo "FAIL: $ARM is missing (build it with scripts/build-arm64.sh)"; exit 1; }
[[ -x $X86 ]] || { echo "FAIL: $X86 is missing (cmake --build --preset default)"; exit 1; }
QEMU=$(command -v qemu-aarch64 || command -v qemu-aarch64-static) ||
  { echo "FAIL: no qemu-aarch64 (Debian package qemu-user)"; exit 1; }

source "$ROOT/tests/e2e/lib.sh" "$ARM"
machine() { readelf -h "$1" 2>/dev/null | sed -n 's/^ *Machine: *//p'; }
check "arm64 binary" "$(machine "$ARM")" AArch64
check "x86-64 binary" "$(machine "$X86")" "Advanced Micro Devices X86-64"

# The target's loader and libraries are those of the cross toolchain.
printf '#!/bin/sh\nexec "%s" -L /usr/aarch64-linux-gnu "%s" "$@"\n' "$QEMU" "$ARM" >"$WORK/drive-test-arm64"
chmod +x "$WORK/drive-test-arm64"

# run_as NAME PROGRAM TIMEOUT ANSWER...: run_answers with PROGRAM, its output kept as NAME.*
run_as() {
  local name=$1
  DT=$2
  shift 2
  run_answers "$@"
  cp "$OUT" "$WORK/$name.out"
  cp "$ERR" "$WORK/$name.err"
}

# 1. Empty input: the banner, the first prompt, the cancellation, exit 1.
for build in x86:"$X86" arm64:"$WORK/drive-test-arm64"; do
  name=${build%%:*}
  printf '' >"$WORK/answers"
  (cd "$WORK" && timeout -k 5 120 "${build#*:}" <"$WORK/answers" >"$WORK/$name.cancel" 2>"$WORK/$name.cancel-err")
  check "$name cancel: exit" "$?" 1
  check "$name cancel: stderr" "$(cat "$WORK/$name.cancel-err")" ""
done
check "cancel: banner" "$(head -n 1 "$WORK/arm64.cancel")" \
  "$(sed -n 's/^#define DRIVE_TEST_TITLE "\(.*\)"$/\1/p' "$ROOT/src/report/program.h") v$(
    sed -n 's/^#define DRIVE_TEST_VERSION "\(.*\)"$/\1/p' "$ROOT/src/report/program.h")"
check "cancel: cancelled" "$(tail -n 1 "$WORK/arm64.cancel")" "Test cancelled or configuration failed."
check "cancel: same output as x86-64" "$(cmp "$WORK/x86.cancel" "$WORK/arm64.cancel" 2>&1)" ""

# 2. A 64 MiB run with verification, the file kept, each build in turn in the
# same directory with the log in /dev/shm (another volume: no confirmation).
D=$WORK/data
mkdir -p "$D"
F=$D/$TEST_FILE
LOG=/dev/shm/drive-arm64-$$.csv
at_exit "rm -f $LOG"
for build in x86:"$X86" arm64:"$WORK/drive-test-arm64"; do
  name=${build%%:*}
  rm -f "$F"
  run_as "$name" "${build#*:}" 600 "$D" "" 0.0625 0 0 y "$LOG" n y
  expect_run "$name run" 0 "" COMPLETED PASS "" bytes_written=67108864 bytes_verified=67108864
  mv "$F" "$WORK/$name.bin" 2>/dev/null
  cp "$LOG" "$WORK/$name.csv" 2>/dev/null
done
check "run: test file size" "$(stat -c %s "$WORK/arm64.bin" 2>&1)" 67108864
check "run: same test file as x86-64" "$(cmp "$WORK/x86.bin" "$WORK/arm64.bin" 2>&1)" ""

# The log's header (but its start time), its column line and its summary keys
# are the same; so are the summary's counts, and the last row of each phase
# reached the whole size. Times and speeds differ by nature.
header() { sed -n '1,14p' "$1" | sed 's/^# started_local=.*/# started_local=/'; }
check "log: header" "$(header "$WORK/arm64.csv")" "$(header "$WORK/x86.csv")"
counts() { sed -n '/^# summary_begin$/,/^# summary_end$/p' "$1" | sed -E 's/^(# [a-z_]+(sec|mbps))=.*/\1/'; }
check "log: summary" "$(counts "$WORK/arm64.csv")" "$(counts "$WORK/x86.csv")"
for phase in write verify; do
  check "log: last $phase total" "$(grep "^$phase," "$WORK/arm64.csv" | tail -n 1 | cut -d, -f4)" 67108864
done

finish
