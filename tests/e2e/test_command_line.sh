#!/usr/bin/env bash
# The command line of the real program: batch runs with --yes (plain, quiet,
# with a JSON summary), a size the dialogue refuses, a bad option, a planted
# link at the JSON path, and --help and --version against the manual page.
source "$(dirname "$0")/lib.sh" "$1"
D=$WORK/data
mkdir -p "$D"
F=$D/$TEST_FILE
L=/dev/shm/drive-e2e-cli-$$.csv
at_exit "rm -f $L"
LOG=$L

# run_args ARG...: runs the program in $WORK with these arguments and no input.
run_args() {
  rm -f "$LOG"
  (cd "$WORK" && timeout -k 5 300 "$DT" "$@" </dev/null >"$OUT" 2>"$ERR")
  RC=$?
}
# The screen without the dashboard frames (between START and the result) and digits.
# Every number becomes one 0: speeds and times differ between runs, in width too.
unframed() { sed -E '/^START TEST\? \[y\/N\]: y$/,/ FINAL RESULT$/{//!d}; s/[0-9]+/0/g' "$OUT"; }

# 1. A batch run: the same volume lines and settings block as the dialogue.
run_args --dir "$D" --size 0.0625 --min-speed 0 --verify --log "$L" --delete --yes
check "batch: exit" "$RC" 0
check_log_complete
check "batch: verified" "$(summary bytes_verified)" 67108864
check "batch: stderr" "$(cat "$ERR")" ""
for line in "Write block        : 8388608 bytes" "Target file : $F" "Test size   : 64.00 MiB" \
            "Threshold   : 0.00 MB/s" "Verification: yes" "Log         : $L" \
            "START TEST? [y/N]: y" "Test file deleted successfully."; do
  check "batch: line '$line'" "$(grep -cxF -- "$line" "$OUT")" 1
done
[[ ! -e $F ]] || fail "batch: test file not deleted"
grep -q "Phase  *: WRITE TEST" "$OUT" || fail "batch: no dashboard frame"
unframed >"$WORK/plain"

# 2. --quiet: no frame, and otherwise the same screen and log.
run_args --dir "$D" --size 0.0625 --min-speed 0 --verify --log "$L" --delete --yes --quiet
check "quiet: exit" "$RC" 0
check_log_complete
check "quiet: frames" "$(grep -c 'Phase  *: ' "$OUT")" 0
check "quiet: screen" "$(unframed)" "$(cat "$WORK/plain")"

# 3. A speed class, a JSON summary, and a directory whose name needs escaping.
Q=$WORK/'q"uo\te Prüfung'
mkdir -p "$Q"
J=$WORK/summary.json
run_args --dir "$Q" --size=0.0625 --min-speed V30 --no-verify --keep --log "$L" -y -q --json "$J"
check "json: exit" "$RC" 0
check "json: threshold" "$(sed -n 10p "$LOG")" "# minimum_required_mbps=30.000"
python3 - "$J" "$Q/$TEST_FILE" "$L" "$(grep -c '^write,' "$LOG")" <<'PY' || fail "json: document"
import json, sys
path, target, log, rows = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
d = json.load(open(path, encoding="utf-8"))
want = {
    ("configuration", "target_path"): target, ("configuration", "log_path"): log,
    ("configuration", "minimum_required_mbps"): 30.0, ("configuration", "target_bytes"): 67108864,
    ("configuration", "verification_requested"): False, ("write", "bytes"): 67108864,
    ("write", "samples", "count"): rows, ("verify", "ran"): False, ("verify", "bytes"): 0,
    ("verdicts", "write_status"): "COMPLETED", ("verdicts", "data_integrity"): None,
    ("events",): [], ("exit_code",): 0,
}
for keys, value in want.items():
    got = d
    for k in keys: got = got[k]
    if got != value: sys.exit("%s: got %r, want %r" % ("/".join(keys), got, value))
s = d["write"]["samples"]
if not (0 < s["min"] <= s["median"] <= s["max"] and s["min"] <= s["mean"] <= s["max"]):
    sys.exit("write samples out of order: %r" % s)
PY
check "json: file kept" "$(stat -c %s "$Q/$TEST_FILE")" 67108864

# 4. A size the dialogue refuses: its message, the cancellation, exit 1.
rm -rf "$D"/*
run_args --dir "$D" --size 1e30 --yes
check "size: exit" "$RC" 1
check "size: message" "$(cat "$ERR")" "Requested size is too large."
check "size: cancelled" "$(tail -n 1 "$OUT")" "Test cancelled or configuration failed."
check "size: nothing created" "$(ls -A "$D")" ""

# 5. An unknown option: one line and the hint, exit 1, nothing written anywhere.
before=$(ls -A "$WORK")
run_args --dir "$D" --bogus --size 0.0625 --log "$L" --yes
check "bad: exit" "$RC" 1
check "bad: stderr" "$(cat "$ERR")" "drive-test: unknown option '--bogus'
Try 'drive-test --help'."
check "bad: stdout" "$(cat "$OUT")" ""
check "bad: nothing created" "$(ls -A "$D"; ls -A "$WORK")" "$before"
[[ ! -e $L ]] || fail "bad: log created"
run_args --dir $'\xff'
check "not UTF-8: exit" "$RC" 1
check "not UTF-8: stderr" "$(head -n 1 "$ERR")" "drive-test: argument 2 is not valid UTF-8 text"

# 6. A link planted at the JSON path is not followed.
echo keep >"$WORK/victim"
ln -s "$WORK/victim" "$WORK/planted.json"
run_args --dir "$D" --size 0.0625 --log "$L" --yes --json "$WORK/planted.json"
check "link: exit" "$RC" 2
check "link: message" "$(cat "$ERR")" "Could not create JSON summary: $WORK/planted.json"
check "link: victim" "$(cat "$WORK/victim")" keep
check "link: no test file" "$(ls -A "$D")" ""

# 7. --help of the run, verify, chart and probe together and the manual page name the
#    same long options; --version its version.
MAN=$BIN_DIR/drive-test.1
[[ -f $MAN ]] || fail "no manual page at $MAN"
: >"$WORK/helps"
for command in "" verify chart probe; do
  run_args $command --help
  check "$command --help: exit" "$RC" 0
  check "$command --help: usage" "$(head -n 1 "$OUT" | cut -d' ' -f1-3)" \
    "Usage: drive-test ${command:-[OPTION]...}"
  cat "$OUT" >>"$WORK/helps"
done
long_options() { grep -o -- '--[a-z][a-z-]*' | sort -u; }
check "help vs manual page" "$(long_options <"$WORK/helps")" \
  "$(sed 's/\\-/-/g; s/\\f[BIRP]//g' "$MAN" | long_options)"
run_args --version
check "version: exit" "$RC" 0
version=$(sed -n 's/^\.TH .*"drive\\-test \([0-9.]*\)".*/\1/p' "$MAN")
check "version: line" "$(head -n 1 "$OUT" | cut -d' ' -f1,2)" "drive-test $version"
finish
