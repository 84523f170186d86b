#!/usr/bin/env bash
# Nothing kept is overwritten: a test run, verify and chart each refuse an
# output that names a file they also read or write (the same path, through a
# linked directory, a hard link, a FAT segment) or that is not a regular file,
# with one line naming both paths, exit 1, every file as it was. Names that
# differ in case only are two files on a case-sensitive volume.
source "$(dirname "$0")/lib.sh" "$1"
D=$WORK/d
mkdir -p "$D"
T=$D/$TEST_FILE
L=$D/run.csv
"$DT" --dir "$D" --size 0.01 --min-speed 0 --log "$L" --yes </dev/null >"$OUT" 2>"$ERR" ||
  { fail "kept run: exit $?"; finish; }
ln -s "$D" "$WORK/alias"
ln "$L" "$WORK/hard.csv"
ln "$T" "$WORK/hard.bin"
ln -s "$T" "$WORK/link.bin"
mkfifo "$WORK/fifo"
RUN="--dir $D --size 0.01 --min-speed 0 --yes --quiet"

# A FAT volume as a user-space driver serves it, with a kept test of three
# segments; a run there finds them as leftovers, or splits a test above 4 GiB.
FAT=
if [[ -x $BIN_DIR/faultfs && $EUID -eq 0 && -c /dev/fuse ]]; then
  mount_faultfs "subtype=vfat,capacity=$((9 << 30))"
  FAT=$MNT
  head -c 1048576 "$T" >"$FAT/$TEST_FILE"
  head -c 1048576 "$T" >"$FAT/$TEST_FILE.001"
  head -c 1048576 "$T" >"$FAT/$TEST_FILE.002"
else
  echo "SKIPPED (part): FAT rows need root, /dev/fuse and faultfs"
fi
S=$FAT/$TEST_FILE
# Two volumes for a run of several drives.
MULTI=
if [[ $EUID -eq 0 ]] && mkdir "$WORK/v1" "$WORK/v2" && mount -t tmpfs -o size=300m drive-guard "$WORK/v1" &&
  at_exit "umount '$WORK/v1'" && mount -t tmpfs -o size=300m drive-guard "$WORK/v2" && at_exit "umount '$WORK/v2'"; then
  MULTI=1
fi

# Every file under $WORK (the FAT volume through its backing directory) with its kind and bytes.
snapshot() {
  (cd "$WORK" && find . \( -name out -o -name err -o -name 'mnt*' \) -prune -o -printf '%p %y\n' |
    sort && find . \( -name out -o -name err -o -name 'mnt*' \) -prune -o -type f -exec sha1sum {} + | sort)
}

# label | needs | exit | arguments | first path named | second path named
while IFS='|' read -r label needs rc args first second; do
  [[ -n $needs && -z ${!needs} ]] && continue
  before=$(snapshot)
  # shellcheck disable=SC2086 # the arguments are a word list
  (cd "$WORK" && timeout -k 2 20 "$DT" $args </dev/null >"$OUT" 2>"$ERR")
  check "$label: exit" "$?" "$rc"
  ((rc == 0)) && continue
  check "$label: files" "$(snapshot)" "$before"
  check "$label: lines on stderr" "$(wc -l <"$ERR")" 1
  for p in "$first" "$second"; do
    [[ -z $p ]] || grep -qF "'$p'" "$ERR" || fail "$label: '$p' not named: $(cat "$ERR")"
  done
done <<EOF
run: JSON is the chart||1|$RUN --json $WORK/r.json --chart $WORK/r.json|$WORK/r.json|$WORK/r.json
run: JSON is the test file||1|$RUN --json $T|$T|$T
run: chart is a hard link of the log||1|$RUN --log $L --chart $WORK/hard.csv|$WORK/hard.csv|$L
run: JSON is the log via a linked dir||1|$RUN --log $L --json $WORK/alias/run.csv|$WORK/alias/run.csv|$L
run: log is a FIFO||1|$RUN --log $WORK/fifo|$WORK/fifo|
run: chart is a FIFO||1|$RUN --log $WORK/r.csv --chart fifo|fifo|
run: test file is a FIFO||1|--dir $WORK --file fifo --size 0.01 --min-speed 0 --yes|$WORK/fifo|
run: chart is a directory||1|$RUN --log $WORK/r.csv --chart $D|$D|
run: log and JSON are leftover segments|FAT|1|--dir $FAT --size 0.01 --min-speed 0 --yes --log $S.001 --json $S.002|$S.001|$S.001
run: log is the segment a test above 4 GiB makes|FAT|1|--dir $FAT --file new.bin --size 4.01 --min-speed 0 --yes --log $FAT/new.bin.001|$FAT/new.bin.001|$FAT/new.bin.001
run: uncreatable JSON leaves no log||2|$RUN --log $WORK/r.csv --json $WORK/none/r.json||
several drives: chart is the JSON|MULTI|1|--dir $WORK/v1 --dir $WORK/v2 --size 0.01 --min-speed 0 --yes --log $WORK/m{n}.csv --json $WORK/m{n}.x --chart $WORK/m{n}.x|$WORK/m1.x|$WORK/m1.x
verify: JSON is the test file||1|verify --yes --json $T $T|$T|$T
verify: log is the test file via a linked dir||1|verify --yes --log $WORK/alias/$TEST_FILE $T|$WORK/alias/$TEST_FILE|$T
verify: log is a hard link of the test file||1|verify --yes --log $WORK/hard.bin $T|$WORK/hard.bin|$T
verify: log is the JSON||1|verify --yes --log $WORK/v.csv --json $WORK/v.csv $T|$WORK/v.csv|$WORK/v.csv
verify: log is a FIFO||1|verify --yes --log $WORK/fifo $T|$WORK/fifo|
verify: log is a segment|FAT|1|verify --yes --log $S.001 $S|$S.001|$S.001
chart: onto the log via a linked dir||1|chart -o $WORK/alias/run.csv $L|$WORK/alias/run.csv|$L
chart: onto a hard link of the log||1|chart -o $WORK/hard.csv $L|$WORK/hard.csv|$L
chart: onto a FIFO||1|chart -o $WORK/fifo $L|$WORK/fifo|
run: log and JSON differ in case only||0|$RUN --log $WORK/Sum.csv --json $WORK/sum.csv||
run: test file and log differ in case only||0|--dir $WORK --file Run.bin --size 0.01 --min-speed 0 --yes --quiet --log run.bin||
EOF
check "case variants: two files each" "$(cd "$WORK" && ls -d Sum.csv sum.csv Run.bin run.bin | wc -l)" 4

# A drive's JSON summary that fails only at its open (a read-only volume) takes
# that drive's just-made log with it; the other drive runs.
if [[ -n $MULTI ]] && mkdir "$WORK/j1" "$WORK/j2" "$WORK/jall" && mount --bind "$WORK/j1" "$WORK/j1" &&
  at_exit "umount '$WORK/j1'" && mount -o remount,bind,ro "$WORK/j1"; then
  (cd "$WORK" && timeout -k 2 60 "$DT" --dir v1 --dir v2 --size 0.01 --min-speed 0 --yes --quiet \
    --log "m{n}.csv" --json "j{n}/m.json" </dev/null >"$OUT" 2>"$ERR")
  check "read-only JSON of one drive: exit" "$?" 2
  check "read-only JSON of one drive: logs" "$(cd "$WORK" && ls m1.csv m2.csv j2/m.json 2>/dev/null | xargs)" "j2/m.json m2.csv"
fi

# Reads follow a link: the size and the open agree on the file it names.
(cd "$WORK" && timeout -k 2 60 "$DT" verify --yes --quiet --log "$LOG" link.bin </dev/null >"$OUT" 2>"$ERR")
check "through a symbolic link: exit" "$?" 0
check "through a symbolic link: verified" "$(summary bytes_verified)" "$(stat -c %s "$T")"
finish
