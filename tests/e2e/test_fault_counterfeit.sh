# Counterfeit drives: statfs claims 512 MiB, only 64 MiB are kept. A run that
# fills the safe space (256 MiB) must catch every block that does not hold its
# own data, whether the drive wraps writes around or drops them.
source "$(dirname "$0")/lib.sh" "$1"
M=1048576
R=$((64 * M))
ALL=$((256 * M))

mismatches() { local o; for o in $(seq "$1" $((8 * M)) "$2"); do printf 'data_mismatch,23,%s ' "$o"; done; }

# Wrapping: the last 64 MiB overwrite [0, R), so [0, ALL - R) reads foreign data.
# Dropping: [0, R) is intact, everything past R reads the data of [0, R).
while read -r mode opts first last; do
  mount_faultfs "capacity=$((512 * M)),$opts"
  run_test "$MNT" 0 y
  expect_run "$mode" 3 "$(mismatches "$first" "$last" | sed 's/ $//')" COMPLETED "FAIL / INCOMPLETE" "" \
    bytes_written=$ALL bytes_verified=$ALL verification_mismatch_blocks=24 verification_errors=0
done <<EOF
wrap keep=$R 0 $((ALL - R - 8 * M))
drop keep=$R,drop_past_keep $R $((ALL - 8 * M))
EOF
finish
