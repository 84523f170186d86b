# Counterfeit drives: statfs claims 512 MiB, only 64 MiB are kept. A run that
# fills the safe space (256 MiB) must catch every block that does not hold its
# own data, whether the drive wraps writes around, drops them and reads back
# earlier data, or drops them and reads back zeros or 0xFF; the damage map
# names what happened and the real capacity, in the report, the JSON summary,
# the log and the chart, and again in a verify after the drive was remounted.
source "$(dirname "$0")/lib.sh" "$1"
M=1048576
R=$((64 * M))
ALL=$((256 * M))
GONE=$((ALL - R))
JSON=$WORK/run.json
SVG=$WORK/run.svg

mismatches() { local o; for o in $(seq "$1" $((8 * M)) "$2"); do printf 'data_mismatch,23,%s ' "$o"; done; }
# damage KEY: the value of the log's "# damage_KEY=" line(s), joined by spaces.
damage() { sed -n "s/^# damage_$1=//p" "$LOG" | paste -sd ' '; }
# json EXPR: a value of the JSON summary's damage object, e.g. json 'd["zero_bytes"]'.
json() { python3 -c 'import json,sys; d=json.load(open(sys.argv[1]))["damage"]; print('"$1"')' "$JSON"; }
# cli DIR: a test run from the command line, with JSON summary and chart.
cli() {
  rm -f "$LOG" "$JSON" "$SVG"
  timeout -k 5 300 "$DT" --dir "$1" --size 0 --verify --keep --log "$LOG" --json "$JSON" \
    --chart "$SVG" --quiet --yes </dev/null >"$OUT" 2>"$ERR"
  RC=$?
}

# Wrapping: the later laps overwrite [0, R), so [0, ALL - R) holds data written
# for one, two or three laps further on. Dropping: [0, R) is intact, everything
# past R reads the data of [0, R), or zeros, or 0xFF.
# mode | faultfs options | first and last mismatch | damaged kind | its report label | regions | wrap | verdict
while IFS='|' read -r mode opts first last kind label regions wrap verdict; do
  mount_faultfs "capacity=$((512 * M)),$opts"
  cli "$MNT"
  expect_run "$mode" 3 "$(mismatches "$first" "$last" | sed 's/ $//')" COMPLETED "FAIL / INCOMPLETE" "" \
    bytes_written=$ALL bytes_verified=$ALL verification_mismatch_blocks=24 verification_errors=0
  want="$(damage "${kind}_bytes") $(damage likely_capacity_bytes) $(damage wrap_bytes) $(damage intact_bytes)"
  check "$mode: log" "$want" "$GONE $R $wrap $R"
  check "$mode: log regions" "$(damage region | wc -w) $(damage regions_truncated)" "$regions 0"
  check "$mode: report" "$(report "$label") / $(report 'Damage verdict')" "192.00 MiB / $verdict"
  wrap_json=$([[ $wrap == none ]] && echo None || echo "$wrap")
  finding=$([[ $mode == wrap ]] && echo wraps || echo dropped)
  check "$mode: json" "$(json "d['${kind}_bytes'], d['likely_capacity_bytes'], d['wrap_bytes'], d['verdict'], len(d['regions']), sorted(d)")" \
    "$GONE $R $wrap_json $finding $regions ['corrupted_bytes', 'displacement_bytes', 'erased_bytes', 'first_damage_offset', 'flipped_bits', 'flipped_bytes', 'intact_bytes', 'likely_capacity_bytes', 'misplaced_bytes', 'regions', 'regions_truncated', 'sector_bytes', 'verdict', 'wrap_bytes', 'zero_bytes']"
  grep -q "likely capacity 64.00 MiB" "$SVG" || fail "$mode: chart has no capacity line"
  grep -qF "$verdict" "$SVG" || fail "$mode: chart has no verdict"
  grep -q ">$kind</text>" "$SVG" || fail "$mode: chart has no $kind shading"
  # After an unmount and a mount the drive still holds the same: so does verify.
  cp "$LOG" "$WORK/run.csv"
  umount "$MNT" && "$BIN_DIR/faultfs" "$MNT" -o "backing=$BACKING,capacity=$((512 * M)),$opts" || fail "$mode: remount"
  rm -f "$LOG"
  (cd "$WORK" && timeout -k 5 120 "$DT" verify --yes --quiet --log "$LOG" "$MNT/$TEST_FILE" </dev/null >"$OUT" 2>"$ERR")
  check "$mode: verify exit code" "$?" 3
  check "$mode: verify damage lines" "$(grep '^# damage_' "$LOG")" "$(grep '^# damage_' "$WORK/run.csv")"
  check "$mode: verify verdict" "$(report 'Damage verdict')" "$verdict"
done <<EOF
wrap|keep=$R|0|$((ALL - R - 8 * M))|misplaced|Misplaced|3|$R|Data written past 64.00 MiB landed over the start: the drive holds at most about 64.00 MiB
drop|keep=$R,drop_past_keep|$R|$((ALL - 8 * M))|misplaced|Misplaced|3|none|Almost nothing written past 64.00 MiB reads back: the drive holds at most about 64.00 MiB
zeros|keep=$R,past_keep_fill=zero|$R|$((ALL - 8 * M))|zero|Zeroed|1|none|Almost nothing written past 64.00 MiB reads back: the drive holds at most about 64.00 MiB
erased|keep=$R,past_keep_fill=ff|$R|$((ALL - 8 * M))|erased|Erased|1|none|Almost nothing written past 64.00 MiB reads back: the drive holds at most about 64.00 MiB
EOF

# An intact run: no damage block, no damage line, and a JSON damage object
# that finds every byte intact.
mount_faultfs "capacity=$((512 * M))"
cli "$MNT"
check "intact: exit code" "$RC" 0
check "intact: damage lines" "$(grep -c '^# damage_' "$LOG")" 0
check "intact: report" "$(grep -c 'Damage\|DAMAGE' "$OUT")" 0
check "intact: json" "$(json "d['intact_bytes'], d['first_damage_offset'], d['likely_capacity_bytes'], d['verdict'], d['regions']")" "$ALL None None None []"
finish
