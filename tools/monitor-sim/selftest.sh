#!/usr/bin/env bash
# Hand check of monitor-sim on a pseudo-terminal: starts it for each answer
# behaviour, plays the receiver on the linked port, and checks the answer
# bytes, the log file and the summary line. Takes a few seconds.
#   usage: tools/monitor-sim/selftest.sh [path/to/monitor-sim]
set -euo pipefail
export LC_ALL=C

SIM=${1:-build/monitor-sim}
[[ -x $SIM ]] || { echo "no monitor-sim at $SIM (pass its path)"; exit 2; }
WORK=$(mktemp -d /tmp/monsim-selftest.XXXXXX)
SIM_PID=
cleanup() {
    [[ -n $SIM_PID ]] && kill "$SIM_PID" 2>/dev/null || true
    exec 3>&- 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT

FAILS=0
fail() { echo "FAIL: $*"; FAILS=$((FAILS + 1)); }

EVENT='5077 181234E13001005'
TROUBLE='5077 181234E35000002'
RESTORE='5077 181234R35000000'
HEARTBEAT='1077           @    '
SHORT='5077 181234E1300100'

# start BEHAVIOUR EXPECT: runs the simulator in the background and opens the port as fd 3.
start() {
    rm -f "$WORK/out" "$WORK/log"
    "$SIM" --pty-dir "$WORK" --name COM7 --behaviour "$1" --expect "$2" --duration 10 \
        --log "$WORK/log" >"$WORK/out" 2>&1 &
    SIM_PID=$!
    for _ in $(seq 50); do [[ -L $WORK/ports/COM7 ]] && break; sleep 0.1; done
    [[ -L $WORK/ports/COM7 ]] || { fail "no link $WORK/ports/COM7"; cat "$WORK/out"; exit 1; }
    exec 3<>"$WORK/ports/COM7"
    stty -F "$WORK/ports/COM7" raw -echo
}

send() { printf '%s\x14' "$1" >&3; }

# answer SECONDS: the next answer byte in hex, or "none".
answer() {
    local ch
    if IFS= read -r -s -t "$1" -N 1 -u 3 ch; then printf '%02X' "'$ch"; else printf none; fi
}

expect_answer() {  # expect_answer WANT SECONDS WHAT
    local got
    got=$(answer "$2")
    [[ $got == "$1" ]] || fail "$3: answer $got, expected $1"
}

finish() {  # finish "summary line": waits for the simulator and checks its last line
    exec 3>&-
    wait "$SIM_PID" || true
    SIM_PID=
    [[ ! -e $WORK/ports/COM7 ]] || fail "link left behind"
    local got
    got=$(tail -n 1 "$WORK/out" | sed 's/ rate=.*//')
    [[ $got == "$1" ]] || { fail "summary: $got"; cat "$WORK/out"; }
}

echo "== ack: every form, a line in two pieces, a short line"
start ack 5
send "$EVENT";     expect_answer 06 2 event
send "$TROUBLE";   expect_answer 06 2 trouble
printf '%s' "${RESTORE:0:9}" >&3; sleep 0.2; send "${RESTORE:9}"
expect_answer 06 2 "restore in two pieces"
send "$HEARTBEAT"; expect_answer 06 2 heartbeat
send "$SHORT";     expect_answer 06 2 "short line"
finish "summary lines=5 events=1 troubles=1 restores=1 heartbeats=1 malformed=1 retransmissions=0"
printf '%s\n' "$EVENT" "$TROUBLE" "$RESTORE" "$HEARTBEAT" "$SHORT" | cmp -s - "$WORK/log" ||
    fail "log file differs"

echo "== nak:2: NAK, NAK, then ACK for the same line"
start nak:2 3
send "$EVENT"; expect_answer 15 2 "first NAK"
send "$EVENT"; expect_answer 15 2 "second NAK"
send "$EVENT"; expect_answer 06 2 "ACK after two NAKs"
finish "summary lines=3 events=3 troubles=0 restores=0 heartbeats=0 malformed=0 retransmissions=2"

echo "== garbage: one meaningless byte"
start garbage 1
send "$EVENT"; expect_answer 3F 2 garbage
finish "summary lines=1 events=1 troubles=0 restores=0 heartbeats=0 malformed=0 retransmissions=0"

echo "== silent: no answer, the repeat counts as a retransmission"
start silent 2
send "$EVENT"; expect_answer none 0.5 silent
send "$EVENT"; expect_answer none 0.5 "silent again"
finish "summary lines=2 events=2 troubles=0 restores=0 heartbeats=0 malformed=0 retransmissions=1"

echo "== late:800: the answer comes after the delay"
start late:800 1
send "$HEARTBEAT"; expect_answer none 0.4 "too early"
expect_answer 06 2 "late ACK"
finish "summary lines=1 events=0 troubles=0 restores=0 heartbeats=1 malformed=0 retransmissions=0"

if ((FAILS)); then echo "$FAILS check(s) failed"; exit 1; fi
echo "all checks passed"
