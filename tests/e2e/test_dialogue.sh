#!/usr/bin/env bash
# The real program's dialogue: refusals, exit codes, and the geometry it finds
# on this machine's disk and on loop volumes with other sector sizes.
source "$(dirname "$0")/lib.sh" "$1"
D=$WORK/data
mkdir -p "$D"
: >"$WORK/plain-file"
CANCEL="Test cancelled or configuration failed."

# expect_cancel LABEL STDERR_TEXT ANSWER...
expect_cancel() {
  local label=$1 text=$2
  shift 2
  run_answers 30 "$@"
  check "$label: exit" "$RC" 1
  grep -q "$CANCEL" "$OUT" || fail "$label: no cancellation line"
  [[ -z $text ]] || grep -qF -- "$text" "$ERR" "$OUT" || fail "$label: missing '$text'"
  [[ ! -e $D/tesselmark-drive-test.bin ]] || fail "$label: test file created"
}

printf '' | "$DT" >"$OUT" 2>"$ERR"
check "no input: exit" "$?" 1
check "banner" "$(head -n 2 "$OUT")" $'Tesselmark Drive Sustained Write Test v0.1.0\nNative Linux sustained storage write test'

expect_cancel "missing dir" "Target directory is not accessible: [3] No such file or directory" "$WORK/none/deeper"
expect_cancel "file as dir" "Target directory is not accessible: [267] Not a directory" "$WORK/plain-file"
expect_cancel "bad name" "Invalid filename. Use a filename only, without path separators." "$D" "a/b"
expect_cancel "bad utf-8" "Input is not valid UTF-8 text." "$D" $'caf\xe9'
expect_cancel "too large" "Requested size is too large." "$D" "" 1e300
expect_cancel "over free" "Requested size exceeds safe free space. Maximum is" "$D" "" 100000
expect_cancel "start declined" "" "$D" "" 0.01 0 0 y "/dev/shm/dt-$$.csv" n n
[[ ! -e /dev/shm/dt-$$.csv ]] || fail "log created before START"

run_answers 30 "$D" "" 0.01 0 0 y "$WORK/none/log.csv" y n y
check "no log: exit" "$RC" 2
check "no log: message" "$(cat "$ERR")" "Could not create log file: $WORK/none/log.csv"
[[ ! -e $D/tesselmark-drive-test.bin ]] || fail "test file created without a log"

# The test file under another name is refused as the log before anything is
# opened: through a linked directory, a hard link and a bind mount.
LOG_IS_TEST="The log path must not be the test file."
ln -s "$D" "$WORK/alias"
expect_cancel "log via linked dir" "$LOG_IS_TEST" "$D" "" 0.01 0 0 y "$WORK/alias/$TEST_FILE" y n y
printf 'earlier run' >"$D/$TEST_FILE"
ln "$D/$TEST_FILE" "$WORK/hard.csv"
run_answers 30 "$D" "" y 0.01 0 0 y "$WORK/hard.csv" y n y
check "log hard link: exit" "$RC" 1
grep -qF "$LOG_IS_TEST" "$ERR" || fail "log hard link: missing '$LOG_IS_TEST'"
check "log hard link: test file untouched" "$(cat "$D/$TEST_FILE")" "earlier run"
rm -f "$D/$TEST_FILE" "$WORK/hard.csv"
if [[ $EUID -eq 0 ]]; then
  mkdir "$WORK/bound" && mount --bind "$D" "$WORK/bound" && at_exit "umount '$WORK/bound'"
  expect_cancel "log via bind mount" "$LOG_IS_TEST" "$D" "" 0.01 0 0 y "$WORK/bound/$TEST_FILE" n y
fi

# So is a JSON summary that is the log under another name.
"$DT" --dir "$D" --size 0.01 --min-speed 0 --log "$D/run.csv" --json "$WORK/alias/run.csv" --yes \
  >"$OUT" 2>"$ERR" </dev/null
check "json is the log: exit" "$?" 1
check "json is the log: message" "$(cat "$ERR")" \
  "Refused: the JSON summary path '$WORK/alias/run.csv' names the same file as the log path '$D/run.csv'."

# A symbolic link planted under the log's name is refused; its target stays as it was.
echo precious >"$WORK/victim"
ln -s "$WORK/victim" "$WORK/planted.csv"
run_answers 30 "$D" "" 0.01 0 0 y "$WORK/planted.csv" y n y
check "planted log: exit" "$RC" 2
check "planted log: message" "$(cat "$ERR")" "Could not create log file: $WORK/planted.csv"
check "planted log: its target" "$(cat "$WORK/victim")" precious
[[ ! -e $D/tesselmark-drive-test.bin ]] || fail "planted log: test file created"

# Geometry on this machine's disk.
run_answers 30 "$D" "" 0.01 0 0 y "/dev/shm/dt-$$.csv" n n
check "root disk: fs" "$(report Filesystem)" "$(findmnt -no FSTYPE -T "$D")"
check "root disk: root" "$(report 'Volume root')" "$(findmnt -no TARGET -T "$D" | sed 's,/*$,/,')"

# geometry_on FSTYPE SECTOR SIZE_MB: a loop volume of that kind, probed through the dialogue.
geometry_on() {
  local img=$WORK/$1.img dev mnt=$WORK/mnt-$1
  truncate -s "${3}M" "$img"
  dev=$(losetup --find --show --sector-size "$2" "$img") || { fail "losetup $1"; return; }
  at_exit "losetup -d $dev"
  case $1 in
    vfat) mkfs.vfat -S "$2" "$dev" >/dev/null ;;
    *) mkfs.ext4 -q -b 4096 "$dev" ;;
  esac
  mkdir -p "$mnt" && mount "$dev" "$mnt" || { fail "mount $1"; return; }
  at_exit "umount $mnt"
  run_answers 30 "$mnt" "" "$4" 0 0 y "/dev/shm/dt-$$.csv" n n
}

if [[ $EUID -eq 0 ]] && losetup --help 2>&1 | grep -q sector-size; then
  geometry_on ext4 4096 600 0
  check "4096 loop: logical" "$(report 'Logical sector')" "4096 bytes"
  check "4096 loop: alignment" "$(report 'I/O alignment')" "4096 bytes"
  check "4096 loop: cancelled at START" "$RC" 1
  if grep -qw vfat /proc/filesystems; then
    geometry_on vfat 512 5200 4.5
    check "vfat: fs" "$(report Filesystem)" "vfat"
    check "vfat: logical" "$(report 'Logical sector')" "512 bytes"
    # Above one file's limit the test is split, not refused.
    grep -qF "Segments    : 2 files of at most 3.99 GiB (the volume's file-size limit)" "$OUT" ||
      fail "vfat: no segment line in the settings"
    check "vfat: cancelled at START" "$RC" 1
  else
    echo "SKIPPED (part): this kernel has no vfat driver"
  fi
else
  echo "SKIPPED (part): loop volumes need root and losetup --sector-size"
fi
rm -f "/dev/shm/dt-$$.csv"
finish
