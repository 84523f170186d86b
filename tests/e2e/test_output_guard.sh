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
# FAT and exFAT as their user-space drivers serve them: names found whatever
# their case, yet each spelling given its own inode number.
FUSEFAT=
EXFAT=
if [[ $EUID -eq 0 && -c /dev/fuse ]] && command -v fusefat >/dev/null && command -v mkfs.vfat >/dev/null; then
  truncate -s 64M "$WORK/fat.img" && mkfs.vfat "$WORK/fat.img" >/dev/null && mkdir "$WORK/mnt-fusefat" &&
    fusefat -o rw+ "$WORK/fat.img" "$WORK/mnt-fusefat" >/dev/null 2>&1 &&
    at_exit "umount '$WORK/mnt-fusefat' || umount -l '$WORK/mnt-fusefat'" && FUSEFAT=$WORK/mnt-fusefat
fi
if [[ $EUID -eq 0 && -c /dev/fuse ]] && command -v mount.exfat-fuse >/dev/null && command -v mkfs.exfat >/dev/null; then
  truncate -s 64M "$WORK/exfat.img" && mkfs.exfat "$WORK/exfat.img" >/dev/null &&
    EXLOOP=$(losetup -f --show "$WORK/exfat.img") && at_exit "losetup -d $EXLOOP" && mkdir "$WORK/mnt-exfat" &&
    mount.exfat-fuse "$EXLOOP" "$WORK/mnt-exfat" >/dev/null 2>&1 &&
    at_exit "umount '$WORK/mnt-exfat' || umount -l '$WORK/mnt-exfat'" && EXFAT=$WORK/mnt-exfat
fi
[[ -n $FUSEFAT ]] || echo "SKIPPED (part): FUSE FAT rows need root, /dev/fuse, fusefat and mkfs.vfat"
[[ -n $EXFAT ]] || echo "SKIPPED (part): exFAT rows need root, /dev/fuse, exfat-fuse and mkfs.exfat"
for v in "$FUSEFAT" "$EXFAT"; do
  [[ -n $v ]] && cp "$T" "$v/keep.bin" && cp "$L" "$v/run.csv"
done
# A read-only directory for a JSON summary that fails only at its open.
RO=
if [[ $EUID -eq 0 ]] && mkdir "$WORK/ro" && mount --bind "$WORK/ro" "$WORK/ro" && at_exit "umount '$WORK/ro'" &&
  mount -o remount,bind,ro "$WORK/ro"; then
  RO=$WORK/ro
  printf 'the log of yesterday\n' >"$WORK/usb.csv"
fi
# Two volumes for a run of several drives.
MULTI=
if [[ $EUID -eq 0 ]] && mkdir "$WORK/v1" "$WORK/v2" && mount -t tmpfs -o size=300m drive-guard "$WORK/v1" &&
  at_exit "umount '$WORK/v1'" && mount -t tmpfs -o size=300m drive-guard "$WORK/v2" && at_exit "umount '$WORK/v2'"; then
  MULTI=1
fi

# Every file under $WORK (the FAT volume through its backing directory) with its
# kind and bytes; the images of FUSE volumes change whenever their drivers write
# back, so their files are compared through the drivers after the table.
snapshot() {
  (cd "$WORK" && find . \( -name out -o -name err -o -name 'mnt*' -o -name '*.img' \) -prune -o -printf '%p %y\n' |
    sort && find . \( -name out -o -name err -o -name 'mnt*' -o -name '*.img' \) -prune -o -type f -exec sha1sum {} + | sort)
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
run: a JSON on a read-only volume leaves the log of yesterday|RO|2|$RUN --log $WORK/usb.csv --json $RO/usb.json||
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
verify: log is the test file in capitals on FUSE FAT|FUSEFAT|1|verify --yes --log $FUSEFAT/KEEP.BIN $FUSEFAT/keep.bin|$FUSEFAT/KEEP.BIN|$FUSEFAT/keep.bin
chart: onto the log in capitals on FUSE FAT|FUSEFAT|1|chart -o $FUSEFAT/RUN.CSV $FUSEFAT/run.csv|$FUSEFAT/RUN.CSV|$FUSEFAT/run.csv
verify: log is the test file in capitals on exFAT|EXFAT|1|verify --yes --log $EXFAT/KEEP.BIN $EXFAT/keep.bin|$EXFAT/KEEP.BIN|$EXFAT/keep.bin
chart: onto the log in capitals on exFAT|EXFAT|1|chart -o $EXFAT/RUN.CSV $EXFAT/run.csv|$EXFAT/RUN.CSV|$EXFAT/run.csv
run: log and JSON differ in case only||0|$RUN --log $WORK/Sum.csv --json $WORK/sum.csv||
run: test file and log differ in case only||0|--dir $WORK --file Run.bin --size 0.01 --min-speed 0 --yes --quiet --log run.bin||
EOF
check "case variants: two files each" "$(cd "$WORK" && ls -d Sum.csv sum.csv Run.bin run.bin | wc -l)" 4
# What the case-folding volumes hold, read back through their drivers.
for v in "$FUSEFAT" "$EXFAT"; do
  [[ -z $v ]] && continue
  cmp -s "$T" "$v/keep.bin" || fail "$v: the kept test file changed"
  cmp -s "$L" "$v/run.csv" || fail "$v: the log changed"
  check "$v: files" "$(ls "$v" | xargs)" "keep.bin run.csv"
done

# A directory where the test file goes takes the overwrite question like a
# file and fails its write open: exit 3, the log with its event.
mkdir -p "$WORK/dirt/$TEST_FILE"
(cd "$WORK" && timeout -k 2 60 "$DT" --dir dirt --size 0.01 --min-speed 0 --yes --log "$LOG" </dev/null >"$OUT" 2>"$ERR")
RC=$?
check "directory as the test file: exit" "$RC" 3
grep -aq "^The test file already exists and will be overwritten:" "$OUT" || fail "directory as the test file: no overwrite question"
check "directory as the test file: events" "$(events | paste -sd ' ')" "open_write_failed,5,0"
check_log_complete

# A default log name is never an existing file: with every name of the next
# ten minutes taken, two runs at once make two new logs with suffixes and
# leave the others alone.
mkdir "$WORK/same"
now=$EPOCHSECONDS
for ((i = 0; i < 600; i++)); do echo "@$((now + i))"; done | date -f - +%Y%m%d-%H%M%S |
  while read -r t; do echo "kept $t" >"$WORK/same/drive-test-$t.csv"; done
taken=$(cd "$WORK/same" && sha1sum ./* | sort)
(cd "$WORK/same" && timeout -k 2 60 "$DT" verify --yes --quiet "$T" </dev/null >"$WORK/out1" 2>&1) &
first=$!
(cd "$WORK/same" && timeout -k 2 60 "$DT" verify --yes --quiet "$T" </dev/null >"$WORK/out2" 2>&1)
check "two runs in one second: second exit" "$?" 0
wait "$first"
check "two runs in one second: first exit" "$?" 0
check "two runs in one second: taken names" "$(cd "$WORK/same" && sha1sum $(echo "$taken" | awk '{print $2}') | sort)" "$taken"
made=$(cd "$WORK/same" && ls | grep -E -- '-[0-9]+-[23]\.csv$' | xargs)
check "two runs in one second: new logs" "$(wc -w <<<"$made")" 2
check "two runs in one second: files" "$(ls "$WORK/same" | wc -l)" 602
for m in $made; do
  grep -c '^# summary_end' "$WORK/same/$m" | grep -qx 1 || fail "two runs in one second: $m is not one whole run"
done

# On FAT the clean-up of leftover segments passes over the run's own log:
# NAME.001, or NAME.002 behind a stray NAME.001.
if [[ -n $FAT ]]; then
  mount_faultfs "subtype=vfat,capacity=$((1 << 30))"
  for case in 001 002; do
    rm -f "$MNT/$TEST_FILE"*
    [[ $case == 002 ]] && echo stray >"$MNT/$TEST_FILE.001"
    (cd "$WORK" && timeout -k 2 60 "$DT" --dir "$MNT" --size 0.01 --min-speed 0 --yes --quiet \
      --log "$MNT/$TEST_FILE.$case" </dev/null >"$OUT" 2>"$ERR")
    check "FAT log $TEST_FILE.$case: exit" "$?" 0
    check "FAT log $TEST_FILE.$case: files" "$(ls "$BACKING" | xargs)" "$TEST_FILE $TEST_FILE.$case"
    grep -q '^# summary_end' "$MNT/$TEST_FILE.$case" 2>/dev/null || fail "FAT log $TEST_FILE.$case: no whole log"
  done
fi

# The chart's directory swapped for a link to the log's while the test runs:
# the chart written at the end would be the log. It is refused by the file its
# open reached, the log stays whole.
mount_faultfs delay_us=20000 # a slow device: the write phase lasts until stopped
mkdir "$WORK/logs" "$WORK/charts"
(cd "$WORK" && exec "$DT" --dir "$MNT" --size 0.25 --min-speed 0 --no-verify --yes --quiet \
  --log "$WORK/logs/run.csv" --chart "$WORK/charts/run.csv" </dev/null >"$OUT" 2>"$ERR") &
pid=$!
LOG=$WORK/logs/run.csv
wait_until 60 rows_at_least write 1 || fail "swapped chart directory: no write samples"
mv "$WORK/charts" "$WORK/charts.old" && ln -s "$WORK/logs" "$WORK/charts"
kill -TERM "$pid"
timeout 120 tail --pid="$pid" -f /dev/null || kill -KILL "$pid"
wait "$pid"
check "swapped chart directory: exit" "$?" 0
check_log_complete
check "swapped chart directory: files" "$(ls "$WORK/logs" "$WORK/charts.old" | xargs)" "$WORK/charts.old: $WORK/logs: run.csv"
check "swapped chart directory: message" "$(cat "$ERR")" \
  "Refused: the chart path '$WORK/charts/run.csv' names the same file as the log path '$WORK/logs/run.csv'."
LOG=$WORK/log.csv

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
