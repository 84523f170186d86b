# Write faults on the fault-injecting file system: the failing write is logged
# with its mapped code at its exact offset, the bytes before it stay counted
# and on disk, verification is skipped, and the run ends with exit code 3.
source "$(dirname "$0")/lib.sh" "$1"
M=1048576
AT=$((16 * M + 4096)) # inside the first request of the third 8 MiB block

# kind, code, offset: a failed write moves nothing, a short one keeps [.., AT).
while read -r kind code off; do
  mount_faultfs "write_fault_at=$AT,write_fault=$kind"
  run_test "$MNT" 0.0625 y
  expect_run "$kind" 3 "write_failed_or_short_write,$code,$off" FAILED "FAIL / INCOMPLETE" "$code" \
    bytes_written="$off" write_errors=1 bytes_verified=0 verification_errors=0 user_stopped=0
  check "$kind: verify rows" "$(grep -c '^verify,' "$LOG")" 0
  check "$kind: bytes kept" "$(stat -c %s "$BACKING/$TEST_FILE")" "$off"
  grep -q "Write test error.*$code" "$ERR" || fail "$kind: no 'Write test error' with $code on stderr"
done <<EOF
eio 1117 $((16 * M))
enospc 112 $((16 * M))
short 29 $AT
EOF

# A write-protected volume: the test file cannot be created.
mount_faultfs ro
run_test "$MNT" 0.0625 y
expect_run "read-only" 3 "open_write_failed,19,0" FAILED PASS 19 bytes_written=0 write_errors=1 bytes_verified=0
grep -q "Write test error.*19" "$ERR" || fail "read-only: no 'Write test error' with 19 on stderr"

# A failing flush after a complete write phase.
mount_faultfs fsync_fault
run_test "$MNT" 0.0625 y
expect_run "flush" 3 "flush_failed,1117,$((64 * M))" FAILED "FAIL / INCOMPLETE" 1117 \
  bytes_written=$((64 * M)) write_errors=1 bytes_verified=0
finish
