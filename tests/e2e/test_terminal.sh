# The program in a real terminal (tmux): the dashboard is redrawn in place,
# "q" stops the write phase, Ctrl+C stops the verification, and afterwards the
# terminal is back in canonical echo mode with the cursor visible; a row that
# got shorter leaves nothing of the previous frame.
source "$(dirname "$0")/lib.sh" "$1"
command -v tmux >/dev/null || skip "tmux missing"
mount_faultfs delay_us=20000 # a slow device: both phases outlast the keys

T="tmux -L drive-e2e-$$ -f /dev/null"
# bash keeps running after Ctrl+C (trap) to record the terminal's state.
$T new-session -d -x 100 -y 50 "bash --norc --noprofile -c 'trap : INT; cd $WORK; \"$DT\"; echo \$? >$WORK/rc; stty -a >$WORK/stty; sleep 600'"
at_exit "$T kill-server"
screen() { $T capture-pane -p -t 0 "$@"; }
shows() { screen | grep -q "$1"; }
# The dialogue's questions in order; the pane drops trailing blanks, so their starts.
QUESTIONS=("Target directory" "Test filename [" "Test size in GiB" "Optional duration limit"
  "Required minimum sustained" "Verify the written file" "Log path [" "Delete the test file"
  "START TEST?")
pane_shows() { $T capture-pane -p -t "$1" | grep -qF -- "$2"; }
# answer PANE ANSWER...: types each answer once the pane shows its question
# (a slow start under load takes its time; nothing is typed ahead).
answer() {
  local pane=$1 k=0 a
  shift
  for a in "$@"; do
    wait_until 60 pane_shows "$pane" "${QUESTIONS[k]}" || { fail "no question '${QUESTIONS[k]}'"; finish; }
    $T send-keys -t "$pane" -l "$a"
    $T send-keys -t "$pane" Enter
    k=$((k + 1))
  done
}

answer 0 "$MNT" "" 0.25 0 0 y "$LOG" n y

wait_until 60 rows_at_least write 3 || { fail "fewer than 3 write samples"; finish; }
check "write frames in history" "$(screen -S - -E - | grep -c 'Phase              : WRITE TEST')" 1
check "frame at the top" "$(screen | head -n 2 | tail -n 1)" " Tesselmark Drive Sustained Write Test v0.1.0"
$T send-keys -t 0 q
wait_until 60 rows_at_least verify 1 || { fail "verification did not start after q"; finish; }
check "verify frames on screen" "$(screen | grep -c 'Phase              : READ-BACK VERIFICATION')" 1
$T send-keys -t 0 C-c
wait_until 60 test -s "$WORK/rc" || { fail "program did not end after Ctrl+C"; finish; }
screen -S - -E - >"$OUT"

RC=$(cat "$WORK/rc")
expect_run "q then Ctrl+C" 3 "" "STOPPED BY USER / LIMIT" "FAIL / INCOMPLETE" "" user_stopped=1 write_errors=0
written=$(summary bytes_written) verified=$(summary bytes_verified)
((written > 0 && written < 256 * 1048576)) || fail "q did not stop the write phase: $written bytes written"
((verified < written)) || fail "Ctrl+C did not stop the verification: $verified of $written"
grep -qw -- -icanon "$WORK/stty" && fail "terminal left non-canonical"
grep -qw -- -echo "$WORK/stty" && fail "terminal left without echo"
check "cursor visible" "$($T display -p -t 0 '#{cursor_flag}')" 1

# A row that got shorter keeps nothing of the previous frame: passing 1 GiB
# turns "Progress ... 1016.00 MiB / 2.00 GiB" into "... 1.02 GiB / 2.00 GiB".
# (A device that stores 8 MiB and drops the rest: 2 GiB cost no disk space.)
# 5 ms a request of at most 1 MiB: about 200 MB/s, so frames fall before and
# after 1 GiB whatever the machine (without a delay the 2 GiB take a second).
mount_faultfs capacity=$((8 << 30)),keep=8388608,drop_past_keep,delay_us=5000
$T new-session -d -s stale -x 100 -y 50 "cd $WORK; \"$DT\"; echo \$? >$WORK/rc2; sleep 600"
progress() { $T capture-pane -p -t stale | grep '^ Progress  '; }
answer stale "$MNT" "" 2 0 0 n "$WORK/log2.csv" n y
wait_until 120 eval 'progress | grep -q "  1\.[0-9][0-9] GiB / "' || fail "write never passed 1 GiB: $(progress)"
check "shorter row redrawn" "$(progress | grep -o '/ .*')" "/ 2.00 GiB"
$T send-keys -t stale q
wait_until 60 test -s "$WORK/rc2" || fail "program did not end after q"
check "stale run exit" "$(cat "$WORK/rc2" 2>/dev/null)" 0
finish
