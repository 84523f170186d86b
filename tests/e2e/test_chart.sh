#!/usr/bin/env bash
# "drive-test chart": the chart of a real run's log is well-formed XML and
# renders without warnings; its levels are printed; a long log gives a small
# SVG that still shows a one-sample dip; --chart in a run writes it; bad input
# leaves no chart behind, and no chart is written through a symbolic link.
source "$(dirname "$0")/lib.sh" "$1"
command -v rsvg-convert >/dev/null || skip "rsvg-convert missing (package librsvg2-bin)"
D=$WORK/data
mkdir -p "$D"
# The log on another volume than the test file, so no same-volume question.
LOG=/dev/shm/drive-e2e-chart-$$.csv
at_exit "rm -f /dev/shm/drive-e2e-chart-$$.*"

well_formed() {
  if command -v xmllint >/dev/null; then
    xmllint --noout "$1"
  else
    python3 -c 'import sys, xml.dom.minidom as m; m.parse(sys.argv[1])' "$1"
  fi
}
# renders SVG: to a PNG, with nothing said on stderr.
renders() {
  rsvg-convert "$1" -o "$WORK/chart.png" 2>"$WORK/rsvg.err" && [[ ! -s $WORK/rsvg.err ]] &&
    [[ $(head -c 4 "$WORK/chart.png" | od -An -c | tr -d ' ') == 211PNG ]]
}
chart() { timeout -k 5 60 "$DT" chart "$@" >"$OUT" 2>"$ERR"; RC=$?; }

# 1. A real run with verification, charted under the default name.
run_test "$D" 0.25 y
check "run: exit" "$RC" 0
SVG=${LOG%.csv}.svg
chart "$LOG"
check "chart: exit" "$RC" 0
check "chart: stderr" "$(cat "$ERR")" ""
grep -Eq '^segment 1: 0\.00-0\.25 GiB, median [0-9]+\.[0-9] MB/s$' "$OUT" || fail "no segment line"
check "chart: last line" "$(tail -n 1 "$OUT" | sed 's/[0-9.]* MB/N MB/')" \
  "sustained write speed: N MB/s (median of the last segment)"
well_formed "$SVG" || fail "chart is not well-formed XML"
renders "$SVG" || fail "chart does not render cleanly: $(cat "$WORK/rsvg.err")"
grep -q '<script\|href=\|@import\|url(' "$SVG" && fail "chart refers to something outside it"
grep -q "$D/tesselmark-drive-test.bin" "$SVG" || fail "chart does not name the target"

# 2. -o with a non-ASCII name; a log cut off before its summary still charts,
#    and markup in its target path stays text.
head -n "$(($(grep -n '^# summary_begin' "$LOG" | cut -d: -f1) - 1))" "$LOG" |
  sed '/^# target_path=/s|$|.a\&b<c>|' >"$WORK/cut.csv"
chart -o "$WORK/Prüfung.svg" "$WORK/cut.csv"
check "cut log: exit" "$RC" 0
well_formed "$WORK/Prüfung.svg" && renders "$WORK/Prüfung.svg" || fail "cut log's chart"
grep -q 'NO SUMMARY' "$WORK/Prüfung.svg" || fail "cut log's chart does not say the summary is missing"

# 3. 20000 samples at 500 MB/s, one at 5 MB/s, and a step to 250 MB/s at 3/4:
#    the SVG stays small, the dip is drawn near the axis, two levels are found.
{
  sed -n '1,14p' "$LOG"
  awk 'BEGIN { for (i = 1; i <= 20000; i++) { s = (i == 7777) ? 5 : (i > 15000 ? 250 : 500) + (i % 7) * 5;
    printf "write,%d,%d.0,%.0f,1000000,%.6f,%.6f,1,1,1,1,0.000000,1,0\n", i, i, i * 1000000, 1 / s, s } }'
} >"$WORK/long.csv"
chart "$WORK/long.csv"
check "long: exit" "$RC" 0
check "long: levels" "$(grep -c '^segment' "$OUT")" 2
grep -q '^segment 2: 13\.97-18\.63 GiB, median 26[0-9]\.[0-9] MB/s$' "$OUT" || fail "long: step not at sample 15000: $(cat "$OUT")"
SIZE=$(stat -c %s "$WORK/long.svg")
((SIZE < 200000)) || fail "long: SVG of $SIZE bytes"
well_formed "$WORK/long.svg" && renders "$WORK/long.svg" || fail "long log's chart"
python3 - "$WORK/long.svg" <<'PY' || fail "long: the dip is not drawn"
import re, sys, xml.dom.minidom as m
doc = m.parse(sys.argv[1])
paths = [p.getAttribute("d") for p in doc.getElementsByTagName("path")]
axis = next(d for d in paths if re.fullmatch(r"M[\d.]+ [\d.]+V[\d.]+H[\d.]+", d))
top, bottom = (float(v) for v in re.findall(r"[\d.]+", axis)[1:3])
# The write samples: the longest path in the write colour (the other is the legend's).
write = max((p.getAttribute("d") for p in doc.getElementsByTagName("path")
             if p.getAttribute("stroke") == "#1f5fa8"), key=len)
ys = [float(b or a) for c, a, b in re.findall(r"([MLV])([\d.]+)(?: ([\d.]+))?", write)]
sys.exit(0 if max(ys) > bottom - 0.02 * (bottom - top) else 1)
PY

# 4. A verify log with damage lines, as a drive that lost all past 64 MiB of
#    256 MiB and has a corrupted sector run at 10 MiB writes it, on a volume
#    whose path is long and wide: the lost part is shaded over 3/4 of the plot
#    from its start, the corrupted run where it lies, and the title's second
#    line stays inside the picture.
timeout -k 5 120 "$DT" verify --yes --quiet --log "$WORK/verify.csv" "$D/$TEST_FILE" </dev/null >"$OUT" 2>"$ERR"
check "verify log: exit" "$?" 0
WIDE=/media/$(printf 'W%.0s' $(seq 60))/MMMM-WWWW
{
  sed "s|^# volume_root=.*|# volume_root=$WIDE|; s|^# filesystem=.*|# filesystem=fuseblk|" "$WORK/verify.csv"
  cat <<EOF
# damage_sector_bytes=512
# damage_intact_bytes=$((64 * 1048576 - 524288))
# damage_zero_bytes=$((192 * 1048576))
# damage_erased_bytes=0
# damage_flipped_bytes=0
# damage_misplaced_bytes=0
# damage_corrupted_bytes=524288
# damage_first_offset=10485760
# damage_wrap_bytes=none
# damage_likely_capacity_bytes=67108864
# damage_verdict=dropped
# damage_displacement_bytes=none
# damage_flipped_bits=0
# damage_region=10485760,11010048,corrupted
# damage_region=67108864,268435456,zero
# damage_regions_truncated=0
EOF
} >"$WORK/lost.csv"
chart "$WORK/lost.csv"
check "lost: exit" "$RC" 0
well_formed "$WORK/lost.svg" && renders "$WORK/lost.svg" || fail "lost: the SVG"
grep -q '>corrupted</text>' "$WORK/lost.svg" || fail "lost: no corrupted shading in the legend"
grep -q 'Almost nothing written past 64.00 MiB reads back' "$WORK/lost.svg" || fail "lost: no verdict"
# Shaded bands as "fill x width"; the plot runs from x=78 over 900 pixels.
check "lost: shading" "$(sed -n 's/^<rect x="\([0-9]*\)" y="[0-9.]*" width="\([0-9]*\)" height="[0-9.]*" fill="\(#[0-9a-f]*\)"\/>$/\3 \1 \2/p' "$WORK/lost.svg" | paste -sd ' ')" \
  "#d62728 113 2 #7f7f7f 303 675"
# The rightmost drawn pixel of the second title line (y 36 to 53) in the PNG.
python3 - "$WORK/chart.png" <<'PY' || fail "lost: the title's second line runs past the picture's edge"
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
pos, chunks, header = 8, [], None
while pos < len(data):
    n, kind = struct.unpack(">I4s", data[pos:pos + 8])
    body = data[pos + 8:pos + 8 + n]
    if kind == b"IHDR": header = struct.unpack(">IIBBBBB", body)
    if kind == b"IDAT": chunks.append(body)
    pos += 12 + n
width, height, depth, color = header[:4]
assert depth == 8 and color in (2, 6), header
bpp = 3 if color == 2 else 4
raw = zlib.decompress(b"".join(chunks))
stride = width * bpp
rows, prev, at = [], bytearray(stride), 0
for y in range(height):
    f, line = raw[at], bytearray(raw[at + 1:at + 1 + stride])
    at += 1 + stride
    for i in range(stride):
        a = line[i - bpp] if i >= bpp else 0
        b, c = prev[i], prev[i - bpp] if i >= bpp else 0
        p = a + b - c
        pred = a if abs(p - a) <= abs(p - b) and abs(p - a) <= abs(p - c) else b if abs(p - b) <= abs(p - c) else c
        line[i] = (line[i] + (0, a, b, (a + b) // 2, pred)[f]) & 255
    rows.append(line)
    prev = line
right = max((x for y in range(36, 54) for x in range(width)
             if min(rows[y][x * bpp:x * bpp + 3]) < 160 and (bpp == 3 or rows[y][x * bpp + 3] > 96)), default=0)
sys.exit(0 if right < width - 10 else 1)
PY

# 5. --chart: a batch run writes its chart at the end and prints its levels.
"$DT" --dir "$D" --size 0.0625 --min-speed 0 --verify --log "$LOG" --delete --yes \
  --chart "$WORK/run.svg" </dev/null >"$OUT" 2>"$ERR"
check "--chart: exit" "$?" 0
grep -q '^segment 1: 0\.00-0\.06 GiB, median' "$OUT" || fail "--chart: no segment line"
well_formed "$WORK/run.svg" && renders "$WORK/run.svg" || fail "--chart: the chart"

# 6. Round trip: a run in a directory whose name holds line ends, control
#    characters, U+FFFF, U+FFFE and markup, with the extreme minimums the parser
#    accepts: its own --chart and "chart" read the log back, and the SVG is
#    well-formed and holds no inf or nan. Only the line ends change in the log.
H=$WORK/$'a\nb\rc\x01\x1b\x7fd\xef\xbf\xbf\xef\xbf\xbe&<>"\x27%s'
mkdir -p "$H"
no_inf_nan() { ! grep -Eqiw 'inf|nan' "$1"; }
for minimum in inf 1e308; do
  timeout -k 5 120 "$DT" --dir "$H" --size 0.03125 --min-speed "$minimum" --no-verify --log "$H/run.csv" --yes -q \
    --chart "$H/run.svg" </dev/null >"$OUT" 2>"$ERR"
  check "$minimum: exit" "$?" 0
  check "$minimum: stderr" "$(cat "$ERR")" ""
  H_LOGGED=${H//$'\n'/$'\xe2\x90\x8a'}
  check "$minimum: path line" "$(sed -n 4p "$H/run.csv")" "# target_path=${H_LOGGED//$'\r'/$'\xe2\x90\x8d'}/$TEST_FILE"
  check "$minimum: header lines" "$(sed -n 14p "$H/run.csv" | cut -d, -f1)" phase
  check "$minimum: minimum line" "$(sed -n 10p "$H/run.csv")" \
    "# minimum_required_mbps=$(python3 -c 'import sys; print("%.3f" % float(sys.argv[1]))' "$minimum")"
  grep -q '^segment 1: 0\.00-0\.03 GiB, median' "$OUT" || fail "$minimum: no segment line"
  well_formed "$H/run.svg" && renders "$H/run.svg" || fail "$minimum: --chart's SVG"
  no_inf_nan "$H/run.svg" || fail "$minimum: inf or nan in the SVG"
  # An infinite minimum is drawn at the top edge and leaves the scale to the samples.
  [[ $minimum != inf ]] || { grep -q 'minimum ∞ MB/s' "$H/run.svg" && ! grep -q '[0-9]e+' "$H/run.svg"; } ||
    fail "inf: the minimum's line or the scale"
  chart -o "$H/again.svg" "$H/run.csv"
  check "$minimum: chart exit" "$RC" 0
  # The run's own chart names its device in the title, which the log alone cannot.
  sed 's|<tspan font-size="13" font-weight="normal" fill="#444"> · [^<]*</tspan>||' "$H/run.svg" >"$H/run-no-device.svg"
  cmp -s "$H/run-no-device.svg" "$H/again.svg" || fail "$minimum: chart differs from --chart's"
done
# Speeds near the largest double and a path that is not UTF-8 (as another
# system could write it): two such samples add up to infinity.
BIG=$(python3 -c 'print("%.6f" % 1.7e308)')
{
  sed -n '1,14p' "$H/run.csv" | sed 's|^# target_path=.*|# target_path=/\xff\xc3(\xed\xa0\x80/x|'
  for i in 1 2 3 4 5 6; do echo "write,$i,$i.0,$((i * 1000000)),1000000,0.000001,$BIG,1,1,1,1,1,0,0"; done
} >"$WORK/huge.csv"
chart "$WORK/huge.csv"
check "1e308: exit" "$RC" 0
grep -q '^segment 1: 0\.00-0\.01 GiB, median 1699999999999999' "$OUT" || fail "1e308: $(cut -c1-80 "$OUT")"
well_formed "$WORK/huge.svg" && renders "$WORK/huge.svg" || fail "1e308: the SVG"
no_inf_nan "$WORK/huge.svg" || fail "1e308: inf or nan in the SVG"

# 7. Bad input: exit 1, a message, and no chart file.
printf 'time,speed\n1,2\n' >"$WORK/other.csv"
chart "$WORK/other.csv"
check "other csv: exit" "$RC" 1
check "other csv: message" "$(cat "$ERR")" "$WORK/other.csv: not a drive-test log: line 1: not a drive-test log (the first line must be \"# Tesselmark Drive Sustained Write Test v...\")"
[[ -e $WORK/other.svg ]] && fail "other csv: a chart was written"
sed 's/^phase,sample/phase,number/' "$LOG" >"$WORK/columns.csv"
chart "$WORK/columns.csv"
check "columns: exit" "$RC" 1
grep -q 'line 14: the column line differs' "$ERR" || fail "columns: $(cat "$ERR")"
[[ -e $WORK/columns.svg ]] && fail "columns: a chart was written"
chart "$WORK/missing.csv"
check "missing: exit" "$RC" 1
grep -q 'missing.csv: cannot open the log: \[2\]' "$ERR" || fail "missing: $(cat "$ERR")"
cp "$LOG" "$WORK/keep.csv"
chart -o "$WORK/keep.csv" "$WORK/keep.csv"
check "onto the log: exit" "$RC" 1
cmp -s "$LOG" "$WORK/keep.csv" || fail "onto the log: the log was changed"
chart --bogus "$LOG"
check "unknown option: exit" "$RC" 1
check "unknown option: message" "$(cat "$ERR")" "drive-test: unknown option '--bogus'
Try 'drive-test --help'."
chart
check "no log: exit" "$RC" 1
ln -s "$WORK/elsewhere.svg" "$WORK/link.svg"
chart -o "$WORK/link.svg" "$LOG"
check "through a symbolic link: exit" "$RC" 1
[[ -e $WORK/elsewhere.svg ]] && fail "through a symbolic link: the chart was written at its target"
chart -o "$WORK/nodir/x.svg" "$LOG"
check "no directory: exit" "$RC" 1
finish
