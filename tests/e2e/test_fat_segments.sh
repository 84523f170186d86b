# A FAT32 volume that enforces the 4 GiB - 1 file-size limit (the FUSE file
# system shown as fuse.fusefat, as the user-space FAT driver is): a test of a
# little more than 4 GiB is written as NAME and NAME.001, verified to the last
# byte as one run, verified again by drive-test verify, and deleted with every
# segment. Then the same limit on a volume not known as FAT: the write cut at
# 4 GiB - 1 starts NAME.001 and the run goes on.
source "$(dirname "$0")/lib.sh" "$1"
G=1073741824
SEG=$((4 * G - 8388608))  # 4 GiB less one 8 MiB block
SIZE=4.01
TARGET=$(( (401 * G / 100) / 4096 * 4096 ))

mount_faultfs "subtype=fusefat,max_file=4294967295,capacity=$((9 * G))"
check "fstype" "$(findmnt -no FSTYPE "$MNT")" fuse.fusefat
# The premise: no file there reaches 4 GiB.
dd if=/dev/zero of="$MNT/probe" bs=4096 seek=$((4 * G / 4096)) count=1 oflag=direct status=none 2>"$WORK/dd.err" &&
  fail "the volume let a file reach 4 GiB"
grep -q "File too large" "$WORK/dd.err" || fail "probe: dd said $(cat "$WORK/dd.err")"
rm -f "$MNT/probe"

# Kept: two segment files holding the pattern, the log counting one run.
run_answers 600 "$MNT/" "" "$SIZE" 0 0 y "$LOG" n y
expect_run "kept" 0 "" COMPLETED PASS "" \
  bytes_written=$TARGET bytes_verified=$TARGET write_errors=0 verification_errors=0 \
  verification_mismatch_blocks=0
check "segment header" "$(sed -n 15p "$LOG")" "# segment_bytes=$SEG"
check "target" "$(sed -n 's/^# target_bytes=//p' "$LOG")" $TARGET
check "last write row" "$(grep '^write,' "$LOG" | tail -n 1 | cut -d, -f4)" $TARGET
check "last verify row" "$(grep '^verify,' "$LOG" | tail -n 1 | cut -d, -f4)" $TARGET
check "files" "$(cd "$BACKING" && stat -c '%n %s' "$TEST_FILE"* | paste -sd ' ')" \
  "$TEST_FILE $SEG $TEST_FILE.001 $((TARGET - SEG))"
grep -aq "^Segments    : 2 files of at most 3.99 GiB" "$OUT" || fail "kept: no segment line in the settings"

# The second segment starts where the first ends: its first block is the one
# the pattern has at offset SEG, not at 0 (a copy of the first block).
cmp -s <(head -c 4096 "$BACKING/$TEST_FILE") <(head -c 4096 "$BACKING/$TEST_FILE.001") &&
  fail "the second segment starts the pattern over"

# drive-test verify of the named file follows its segments.
rm -f "$LOG"
(cd "$WORK" && timeout -k 5 300 "$DT" verify --yes --quiet --log "$LOG" "$MNT/$TEST_FILE" \
  </dev/null >"$OUT" 2>"$ERR")
RC=$?
expect_run "re-verified" 0 "" "" PASS "" bytes_written=$TARGET bytes_verified=$TARGET \
  verification_mismatch_blocks=0 verification_errors=0
check "re-verified: lines after the columns" "$(sed -n '15,16p' "$LOG" | paste -sd ' ')" \
  "# run_kind=reverify # segment_bytes=$SEG"
grep -aq "^Segments    : 2 files of 3.99 GiB each but the last" "$OUT" || fail "re-verified: no segment line"

# Again, deleting at the end: the overwrite question names both segments.
run_answers 600 "$MNT/" "" y "$SIZE" 0 0 y "$LOG" y y
expect_run "deleted" 0 "" COMPLETED PASS "" bytes_written=$TARGET bytes_verified=$TARGET
grep -aq "^  $MNT/$TEST_FILE.001 (1 segment file)" "$OUT" || fail "overwrite question without the segment"
grep -aq "^Test file deleted successfully." "$OUT" || fail "no deletion message"
check "left on the volume" "$(ls -A "$BACKING")" ""

# Not known as FAT: the limit met on the way splits the test where the refused write began.
mount_faultfs "max_file=4294967295,capacity=$((9 * G))"
run_answers 600 "$MNT/" "" "$SIZE" 0 0 y "$LOG" y y
expect_run "limit met" 0 "file_size_limit_reached,223,$SEG" COMPLETED PASS "" \
  bytes_written=$TARGET bytes_verified=$TARGET write_errors=0 verification_mismatch_blocks=0
check "limit met: last verify row" "$(grep '^verify,' "$LOG" | tail -n 1 | cut -d, -f4)" $TARGET
check "limit met: segment line" "$(report 'Segment files')" "2, of $SEG bytes each but the last"
check "limit met: left on the volume" "$(ls -A "$BACKING")" ""
finish
