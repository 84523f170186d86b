# Which drive is this: the JSON "device" of a run on the machine's own disk and
# on a loop volume, checked against what sysfs and losetup say; the chart's
# title names the device; "drive-test list" names the loop device and its mount
# point; a drive with no hint sees exactly the dialogue it always did.
source "$(dirname "$0")/lib.sh" "$1"
command -v python3 >/dev/null || skip "python3 missing"

# json_device FILE: path, bus, vendor, model, revision, serial, size, removable,
# usb, card and hints of the summary's "device", one per line.
json_device() {
  python3 - "$1" <<'PY' || echo "unreadable JSON"
import json, sys
d = json.load(open(sys.argv[1]))["device"]
assert list(d) == ["path", "bus", "vendor", "model", "revision", "serial", "size_bytes",
                   "removable", "usb", "card", "hints"], list(d)
for k in d:
    print("%s=%s" % (k, json.dumps(d[k])))
PY
}
# run_batch DIR NAME: a small run on DIR, JSON and chart named NAME in $WORK.
run_batch() {
  (cd "$WORK" && timeout -k 5 300 "$DT" --dir "$1" --size 0.0078125 --min-speed 0 --delete --yes \
    --quiet --log "$WORK/$2.csv" --json "$WORK/$2.json" --chart "$WORK/$2.svg" >"$OUT" 2>"$ERR")
  RC=$?
}
sys_attr() { tr -d '\n' <"$1" 2>/dev/null | sed 's/^ *//; s/ *$//'; }

# The machine's own disk, in a directory of this test's own under /var/tmp.
VAR_DIR=$(mktemp -d /var/tmp/drive-identity.XXXXXX)
at_exit "rm -rf '$VAR_DIR'"
SOURCE=$(findmnt -no SOURCE -T "$VAR_DIR" | head -n 1)
DISK=$(lsblk -no PKNAME "$SOURCE" 2>/dev/null | head -n 1)
DISK=${DISK:-$(basename "$SOURCE")}
if [[ -e /sys/block/$DISK ]]; then
  run_batch "$VAR_DIR" own
  check "own disk: exit code" "$RC" 0
  case $DISK in
    vd*) bus=virtio ;;
    nvme*) bus=nvme ;;
    mmcblk*) bus=mmc ;;
    loop*) bus=loop ;;
    *) bus= ;;
  esac
  json_device "$WORK/own.json" >"$WORK/own.device"
  check "own disk: path" "$(grep '^path=' "$WORK/own.device")" "path=\"/dev/$DISK\""
  [[ -n $bus ]] && check "own disk: bus" "$(grep '^bus=' "$WORK/own.device")" "bus=\"$bus\""
  check "own disk: size" "$(grep '^size_bytes=' "$WORK/own.device")" \
    "size_bytes=$(($(cat "/sys/block/$DISK/size") * 512))"
  removable=$([[ $(cat "/sys/block/$DISK/removable") == 1 ]] && echo true || echo false)
  check "own disk: removable" "$(grep '^removable=' "$WORK/own.device")" "removable=$removable"
  serial=$(sys_attr "/sys/block/$DISK/serial")
  [[ $bus == virtio && -n $serial ]] &&
    check "own disk: serial" "$(grep '^serial=' "$WORK/own.device")" "serial=\"$serial\""
  [[ $bus == virtio ]] && check "own disk: usb, card, hints" \
    "$(grep -E '^(usb|card|hints)=' "$WORK/own.device" | paste -sd' ')" "usb=null card=null hints=[]"
  grep -q "<tspan[^>]*> · .*$bus</tspan>" "$WORK/own.svg" || fail "the chart's title does not name the $bus disk"
  [[ -n $serial ]] && { grep -q "serial $serial" "$WORK/own.svg" || fail "the chart's title has no serial"; }
  # Identity changes no byte of the log: no header line names the device.
  grep -q "$DISK" "$WORK/own.csv" && fail "the log names the device"
  # A chart drawn later from the log alone cannot know the device and shows none.
  (cd "$WORK" && "$DT" chart -o "$WORK/later.svg" "$WORK/own.csv" >/dev/null 2>&1) ||
    fail "chart of the log"
  grep -q "<tspan font-size=\"13\" font-weight=\"normal\"" "$WORK/later.svg" &&
    fail "a chart of the log alone names a device"
else
  echo "SKIPPED own disk: no sysfs entry for $SOURCE"
fi

# A loop volume: the loop device, its backing file as the model, its size.
need_root "loop devices"
mount_loop 512 ext4 640M
run_batch "$MNT" loop
check "loop: exit code" "$RC" 0
json_device "$WORK/loop.json" >"$WORK/loop.device"
check "loop: device" "$(grep -E '^(path|bus|model|size_bytes|removable|usb|card|hints)=' \
  "$WORK/loop.device" | paste -sd' ')" \
  "path=\"$LOOP\" bus=\"loop\" model=\"$(losetup -nO BACK-FILE "$LOOP" | sed 's/ *$//')\" size_bytes=$((640 * 1048576)) removable=false usb=null card=null hints=[]"

# The list names the loop device with its mount point, on screen and as JSON.
"$DT" list >"$OUT" 2>"$ERR"
check "list: exit code" "$?" 0
grep -q "^$LOOP .* loop .* $MNT\$" "$OUT" || fail "list: no line for $LOOP at $MNT"
"$DT" list --json "$WORK/list.json" >/dev/null 2>"$ERR"
check "list --json: exit code" "$?" 0
check "list --json: the loop device" "$(python3 -c '
import json, sys
for e in json.load(open(sys.argv[1]))["disks"]:
    if e["device"]["path"] == sys.argv[2]: print(e["device"]["bus"], e["mount_points"])
' "$WORK/list.json" "$LOOP")" "loop ['$MNT']"
# Its JSON goes through the output guard: a directory in its place is refused.
mkdir "$WORK/taken.json"
"$DT" list --json "$WORK/taken.json" >/dev/null 2>"$ERR"
check "list --json onto a directory: exit code" "$?" 1
mknod "$WORK/null" c 1 3
"$DT" list --json "$WORK/null" >/dev/null 2>"$ERR"
check "list --json onto a device: exit code" "$?" 1
check "list --json onto a device: message" "$(cat "$ERR")" \
  "Refused: the JSON summary path '$WORK/null' is not a regular file."

# No hint: the dialogue, byte for byte, as it always was (free space and the
# default log name's time masked).
printf '%s\n' "$MNT" "" "0.01" "0" "0" "n" "$WORK/dialogue.csv" "n" "n" >"$WORK/answers"
(cd "$WORK" && "$DT" <"$WORK/answers" >"$OUT" 2>"$ERR")
check "dialogue: exit code" "$?" 1
sed -e "s|$MNT|MNT|g; s|$WORK|WORK|g" -e 's/^Available free     : .*/Available free     : X/' \
  "$OUT" >"$WORK/dialogue"
cat >"$WORK/want" <<'EOF'
Tesselmark Drive Sustained Write Test v0.1.0
Native Linux sustained storage write test

WARNING: This creates a very large test file and can fill the selected drive.
It does not format the drive and does not intentionally modify other files.

Target directory (example /media/usb/): Test filename [tesselmark-drive-test.bin]: 
Volume root        : MNT/
Available free     : X
Filesystem         : ext4
Logical sector     : 512 bytes
Physical sector    : 512 bytes
I/O alignment      : 4096 bytes
Write block        : 8388608 bytes

Test size in GiB [0 = maximum safe free space]: Optional duration limit in minutes [0 = disabled]: Required minimum sustained write speed in MB/s [0 = none]: Verify the written file byte-for-byte after the write test? [Y/n]: Log path [drive-test-DATE.csv]: Delete the test file automatically after all tests? [y/N]: 
Target file : MNT/tesselmark-drive-test.bin
Test size   : 10.24 MiB
Threshold   : 0.00 MB/s
Verification: no
Log         : WORK/dialogue.csv

START TEST? [y/N]: 
Test cancelled or configuration failed.
EOF
sed -i 's/^\(.*Log path \[drive-test-\)[0-9]\{8\}-[0-9]\{6\}\(\.csv\]: \)/\1DATE\2/' "$WORK/dialogue"
physical=$(cat "/sys/block/${LOOP#/dev/}/queue/physical_block_size")
sed -i "s/^Physical sector    : 512 bytes/Physical sector    : $physical bytes/" "$WORK/want"
cmp -s "$WORK/dialogue" "$WORK/want" || { fail "dialogue differs:"; diff "$WORK/want" "$WORK/dialogue"; }
finish
