# Real volumes on loop devices with 512- and 4096-byte logical sectors: the
# probe reports the device's geometry and a full run passes on each.
source "$(dirname "$0")/lib.sh" "$1"
M=1048576

for fs in ext4 vfat; do
  command -v "mkfs.$fs" >/dev/null || { echo "SKIPPED $fs: mkfs.$fs missing"; continue; }
  have_fs "$fs" || { echo "SKIPPED $fs: the kernel cannot mount it"; continue; }
  for ss in 512 4096; do
    mount_loop "$ss" "$fs" 640M
    phys=$(cat "/sys/block/${LOOP#/dev/}/queue/physical_block_size")
    align=$((phys > 4096 ? phys : 4096))
    run_test "$MNT" 0.0625 y
    l="$fs/$ss"
    expect_run "$l" 0 "" COMPLETED PASS "" \
      bytes_written=$((64 * M)) bytes_verified=$((64 * M)) write_errors=0 verification_errors=0
    check "$l: logical" "$(grep -a '^Logical sector' "$OUT")" "Logical sector     : $ss bytes"
    check "$l: physical" "$(grep -a '^Physical sector' "$OUT")" "Physical sector    : $phys bytes"
    check "$l: alignment" "$(grep -a '^I/O alignment' "$OUT")" "I/O alignment      : $align bytes"
    check "$l: filesystem" "$(grep -a '^Filesystem' "$OUT")" "Filesystem         : $fs"
    check "$l: log sector" "$(sed -n 's/^# logical_sector_bytes=//p' "$LOG")" "$ss"
    check "$l: log filesystem" "$(sed -n 's/^# filesystem=//p' "$LOG")" "$fs"
    check "$l: file size" "$(stat -c %s "$MNT/$TEST_FILE")" $((64 * M))
  done
done
finish
