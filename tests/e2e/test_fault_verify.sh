# Read-back faults on the fault-injecting file system: each is logged with its
# mapped code and exact offset, and the run ends with exit code 3.
source "$(dirname "$0")/lib.sh" "$1"
M=1048576
ALL=$((64 * M))
AT=$((32 * M + 4096)) # inside the first request of the fifth 8 MiB block

# One flipped byte: one mismatch at its 8-byte word, the rest still verified.
mount_faultfs "flip_at=$((24 * M + 803))"
run_test "$MNT" 0.0625 y
expect_run "flip" 3 "data_mismatch,23,$((24 * M + 800))" COMPLETED "FAIL / INCOMPLETE" "" \
  bytes_written=$ALL bytes_verified=$ALL verification_mismatch_blocks=1 verification_errors=0
grep -q "Verification error" "$ERR" && fail "flip: a mismatch alone printed a verification error"

# options, label, events, bytes verified, code
while read -r opts label ev verified code; do
  mount_faultfs "$opts"
  run_test "$MNT" 0.0625 y
  expect_run "$label" 3 "$ev" COMPLETED "FAIL / INCOMPLETE" "$code" \
    bytes_written=$ALL bytes_verified="$verified" verification_mismatch_blocks=0 verification_errors=1
  grep -q "Verification error.*$code" "$ERR" || fail "$label: no 'Verification error' with $code on stderr"
done <<EOF
deny_read=eio unreadable-eio open_verify_failed,1117,0 0 1117
deny_read=eacces unreadable-eacces open_verify_failed,5,0 0 5
read_fault_at=$AT read-eio read_failed_or_short_read,1117,$((32 * M)) $((32 * M)) 1117
read_fault_at=$AT,read_fault=short short-read read_failed_or_short_read,30,$((32 * M)) $((32 * M)) 30
EOF
finish
