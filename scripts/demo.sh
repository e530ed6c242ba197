#!/usr/bin/env bash
# The whole alarm path in under two minutes: simulated units send alarms over
# UDP, the receiver answers them and hands Sur-Gard lines to a simulated
# monitoring software on a pseudo-terminal; a unit that has fallen silent is
# reported as a communication trouble, and its next message restores it.
#
#   usage: bash scripts/demo.sh [--build DIR]
#     --build DIR   use the programs already built in DIR (RAZUDovuve, Wav/,
#                   unit-sim, monitor-sim) instead of installing what is
#                   missing and building into build/
#
# Everything runs in a fresh folder under /tmp, which is kept afterwards for a
# closer look; every process started here is stopped on exit.
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")/.."
ROOT=$PWD

BIN=
while (($#)); do
    case $1 in
        --build) BIN=$(realpath "${2:?--build needs a folder}"); shift ;;
        -h | --help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "demo.sh: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done

if [[ -t 1 ]]; then BOLD=$'\033[1m' PLAIN=$'\033[0m'; else BOLD= PLAIN=; fi
heading() {
    printf '\n%s== %s%s\n' "$BOLD" "$*" "$PLAIN"
}
say() { printf '%s\n' "$*"; }

if [[ -z $BIN ]]; then
    heading "Preparing: installing what is missing and building (build/)"
    bash scripts/deps.sh
    bash scripts/build.sh
    BIN=$ROOT/build
fi
for f in RAZUDovuve Wav unit-sim monitor-sim; do
    [[ -e $BIN/$f ]] || { echo "demo.sh: $BIN/$f is missing; build first" >&2; exit 1; }
done

WORK=$(mktemp -d /tmp/korvan-demo.XXXXXX)
RECEIVER_PID=
MONITOR_PID=
cleanup() {
    local p
    for p in $RECEIVER_PID $MONITOR_PID; do
        if kill -0 "$p" 2>/dev/null; then
            kill "$p" 2>/dev/null || true
            wait "$p" 2>/dev/null || true
        fi
    done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A UDP port nobody listens on.
PORT=
while [[ -z $PORT ]]; do
    PORT=$((20000 + RANDOM % 30000))
    if awk -v h="$(printf ':%04X' "$PORT")" 'FNR > 1 && substr($2, length($2) - 4) == h { f = 1 } END { exit !f }' \
        /proc/net/udp /proc/net/udp6 2>/dev/null; then
        PORT=
    fi
done

# --------------------------------------------------------------------------
heading "The setting"
cp "$BIN/RAZUDovuve" "$WORK/"
cp -r "$BIN/Wav" "$WORK/"
# Seven settings, one per line: UDP port, serial port, Comm Trouble 1, 2 and 3
# (minutes; 0 = off), start-up delay (minutes), heartbeat interval (seconds).
printf '%s\r\nCOM7\r\n1\r\n0\r\n0\r\n0\r\n30\r\n' "$PORT" >"$WORK/RAZUDovuve.ini"

# The unit database already knows unit 0105, last heard two minutes ago, so
# the receiver's first supervision tick (60 s after start) finds it silent
# for longer than Comm Trouble 1 = 1 minute. A record is 40 bytes: byte 0 = 1
# (in use), 13..16 the IP address backwards, 17..18 the port, 19..22 and
# 23..26 the first and the last message time as seconds since 2000-01-01
# 00:00:00 local time, 30..33 the account; all little-endian.
SILENT=105
le32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }
WALL_NOW=$(($(date -u -d "$(date '+%Y-%m-%d %H:%M:%S') UTC" +%s) - 946684800))
RECORD='\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x7f\x39\x30'
RECORD+=$(le32 $((WALL_NOW - 3600)))$(le32 $((WALL_NOW - 120)))'\x01\x00\x00'"0105"
head -c 400000 /dev/zero >"$WORK/RAZUDovuve.db"
printf "$RECORD" | dd of="$WORK/RAZUDovuve.db" bs=1 seek=$((SILENT * 40)) conv=notrunc status=none

say "Folder:          $WORK (kept afterwards)"
say "Receiver:        RAZUDovuve, UDP port $PORT, serial port COM7"
say "Thresholds:      Comm Trouble 1 = 1 minute (2 and 3 off), no start-up delay, heartbeat every 30 s"
say "Database:        unit 0105 known, last heard 2 minutes ago"

# The monitoring software: a pseudo-terminal linked as ports/COM7 beside the
# receiver, where the receiver looks first for a port of that name.
"$BIN/monitor-sim" --pty-dir "$WORK" --name COM7 --log "$WORK/monitoring.log" >"$WORK/monitor-sim.txt" 2>&1 &
MONITOR_PID=$!
for _ in $(seq 100); do [[ -L $WORK/ports/COM7 ]] && break; sleep 0.05; done
[[ -L $WORK/ports/COM7 ]] || { cat "$WORK/monitor-sim.txt"; exit 1; }
say "Monitoring:      monitor-sim on $(readlink "$WORK/ports/COM7") (as ports/COM7), answers every line with 0x06"

if [[ -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} ]]; then
    export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
    say "Display:         none, the receiver runs on Qt's offscreen platform"
fi
# The receiver's instance lock lies in its own folder, so a receiver already
# running elsewhere on this desktop does not count as "the other instance".
(cd "$WORK" && exec ./RAZUDovuve) >"$WORK/receiver-output.txt" 2>&1 &
RECEIVER_PID=$!
START=$SECONDS
ALL_LOG=$WORK/Log/All\ msg/$(date +%Y-%m-%d).log

wait_for() { # FILE TEXT SECONDS
    local i
    for ((i = 0; i < $3 * 20; i++)); do
        grep -qsF -- "$2" "$1" && return 0
        kill -0 "$RECEIVER_PID" 2>/dev/null || { echo "the receiver has stopped:"; cat "$WORK/receiver-output.txt"; exit 1; }
        sleep 0.05
    done
    return 1
}
wait_for "$ALL_LOG" "UDP Server Listen Port" 20 || { echo "the receiver did not start"; cat "$WORK/receiver-output.txt"; exit 1; }
say "Receiver is up:  $(grep -F 'UDP Server Listen Port' "$ALL_LOG" | tail -1)"

SHOWN=0
# The monitoring software's view of the lines that arrived since the last call.
show_monitoring() {
    local lines
    lines=$(grep -E '^[0-9]{4}-' "$WORK/monitor-sim.txt" || true)
    if [[ -n $lines ]]; then
        tail -n +$((SHOWN + 1)) <<<"$lines" | sed 's/^/    /'
        SHOWN=$(wc -l <<<"$lines")
    fi
}

# --------------------------------------------------------------------------
heading "1. Alarms: units send Events, the receiver answers and forwards them"
say "Unit 0101 reports a burglary (Contact ID E130, partition 01, zone 005):"
"$BIN/unit-sim" one --port "$PORT" --type event --unit 101 --event 1130 --partition 01 --zone 005 |
    grep -E '^(send|answer|summary)' | sed 's/^/    /'
say "Units 0102, 0103 and 0104 report a fire (E110, zone 003), one after the other:"
"$BIN/unit-sim" load --port "$PORT" --units 3 --first-unit 102 --rate 6 --duration 0.5 \
    --events-percent 100 --event 1110 --zone 003 | grep -E '^summary' | sed 's/^/    /'
wait_for "$WORK/monitoring.log" "5077 180104E11000003" 10 || true
sleep 0.3
say "The monitoring software received (one line at a time, each answered with 0x06):"
show_monitoring

# --------------------------------------------------------------------------
heading "2. Silence: unit 0105 has not been heard for 2 minutes"
say "Supervision runs every 60 s; the first tick comes about $((60 - (SECONDS - START))) s from now."
say "Meanwhile the receiver sends its heartbeat ('1077 ... @') every 30 s."
printf '    waiting'
for ((i = 0; i < 90; i++)); do
    grep -qsF "5077 180105E35000001" "$WORK/monitoring.log" && break
    kill -0 "$RECEIVER_PID" 2>/dev/null || { echo; cat "$WORK/receiver-output.txt"; exit 1; }
    sleep 1
    ((i % 5 == 4)) && printf ' %ds' $((SECONDS - START))
done
echo
if ! grep -qsF "5077 180105E35000001" "$WORK/monitoring.log"; then
    echo "no trouble line arrived; the receiver's log:"
    cat "$ALL_LOG"
    exit 1
fi
sleep 0.3
say "Comm Trouble 1 for unit 0105 (E350, zone 001) after $((SECONDS - START)) s:"
show_monitoring

# --------------------------------------------------------------------------
heading "3. Restore: unit 0105 is heard again"
"$BIN/unit-sim" one --port "$PORT" --type ping --unit 105 | grep -E '^(send|answer)' | sed 's/^/    /'
wait_for "$WORK/monitoring.log" "5077 180105R35000000" 10 || { echo "no restore line arrived"; exit 1; }
sleep 0.3
say "The restore (R350, zone 000) reached the monitoring software:"
show_monitoring

# --------------------------------------------------------------------------
heading "What the monitoring software received, in order ($WORK/monitoring.log)"
nl -ba "$WORK/monitoring.log" | sed 's/^/  /'

heading "The receiver's All-messages log ($ALL_LOG), an excerpt"
say "  the start, the first alarm, and the trouble and restore of unit 0105:"
{
    sed -n '1,/UDP Server Listen Port/p' "$ALL_LOG"
    echo "  ..."
    awk '/Receive from/ { n++ } n == 1' "$ALL_LOG"
    echo "  ..."
    grep -F -e 'CommTrouble' -e 'CommRestore' -e '[Unit 0105]' "$ALL_LOG" || true
} | tr -d '\r' | sed -e '/^$/d' -e 's/^/  /'

heading "Done in $((SECONDS - START)) s"
say "Receiver files, logs and the monitoring software's log stay in $WORK"
