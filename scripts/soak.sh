#!/usr/bin/env bash
# Soak run: the receiver under a steady simulated fleet for a long time, with
# its memory, CPU, log growth and the lines the monitoring software got
# reported at the end. Not part of the test suite; run it by hand:
#
#   bash scripts/soak.sh                 # 10000 units for an hour
#   bash scripts/soak.sh --minutes 5     # a short look
#
# The receiver runs offscreen in a fresh folder of its own, with a simulated
# monitoring software on a pseudo-terminal (build/monitor-sim) and the fleet
# played by build/unit-sim: every unit pings in turn (--rate datagrams/s for
# the whole fleet, 333/s = each of 10000 units every 30 s) and alarms come at
# --event-rate per second from random units of the fleet.
set -euo pipefail

MINUTES=60
UNITS=10000
RATE=333
EVENT_RATE=1
SAMPLE=10
BUILD=build
KEEP=0

usage() {
    cat <<EOF
usage: bash scripts/soak.sh [options]
  --minutes N      how long the fleet reports ($MINUTES)
  --units N        units in the fleet, numbered from 0000 ($UNITS, all there are)
  --rate R         Pings per second, the whole fleet together ($RATE)
  --event-rate R   Events (alarms) per second, the whole fleet together ($EVENT_RATE)
  --sample S       seconds between two samples of memory, CPU and logs ($SAMPLE)
  --build DIR      build folder holding RAZUDovuve, unit-sim and monitor-sim ($BUILD)
  --keep           keep the run's folder (logs, database, samples.csv)
Exit status 0 when the receiver lasted and every datagram was answered.
EOF
}

while [ $# -gt 0 ]; do
    case "$1" in
        --minutes) MINUTES=$2; shift 2 ;;
        --units) UNITS=$2; shift 2 ;;
        --rate) RATE=$2; shift 2 ;;
        --event-rate) EVENT_RATE=$2; shift 2 ;;
        --sample) SAMPLE=$2; shift 2 ;;
        --build) BUILD=$2; shift 2 ;;
        --keep) KEEP=1; shift ;;
        -h|--help) usage; exit 0 ;;
        *) echo "unknown option: $1" >&2; usage >&2; exit 2 ;;
    esac
done
case "$MINUTES" in ''|*[!0-9]*|0) echo "--minutes takes a whole number >= 1" >&2; exit 2 ;; esac

ROOT=$(cd "$(dirname "$0")/.." && pwd)
case "$BUILD" in /*) B=$BUILD ;; *) B=$ROOT/$BUILD ;; esac
if [ ! -x "$B/RAZUDovuve" ] || [ ! -x "$B/unit-sim" ] || [ ! -x "$B/monitor-sim" ]; then
    if [ "$B" = "$ROOT/build" ]; then
        echo "Building first ..."
        bash "$ROOT/scripts/build.sh" > /dev/null
    else
        echo "$B lacks RAZUDovuve, unit-sim or monitor-sim; build it first" >&2
        exit 2
    fi
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/korvan-soak-XXXXXX")
RECEIVER=""
MONITOR=""
PINGS=""
EVENTS=""
cleanup() {
    for pid in $PINGS $EVENTS $RECEIVER $MONITOR; do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    if [ "$KEEP" = 1 ]; then echo "Run folder kept: $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A UDP port nobody listens on.
PORT=""
for _ in $(seq 1 50); do
    p=$((20000 + RANDOM % 40000))
    if ! (command -v ss > /dev/null && ss -Huln "sport = :$p" | grep -q .); then PORT=$p; break; fi
done
[ -n "$PORT" ] || { echo "no free UDP port found" >&2; exit 1; }

cp "$B/RAZUDovuve" "$WORK/"
cp -r "$B/Wav" "$WORK/"
mkdir -m 700 "$WORK/run"
printf '%s\r\nCOM7\r\n15\r\n60\r\n240\r\n7\r\n30\r\n' "$PORT" > "$WORK/RAZUDovuve.ini"

DURATION=$((MINUTES * 60))
"$B/monitor-sim" --pty-dir "$WORK" --name COM7 --behaviour ack --quiet \
    --duration $((DURATION + 600)) > "$WORK/monitor.txt" 2>&1 &
MONITOR=$!
for _ in $(seq 1 100); do [ -e "$WORK/ports/COM7" ] && break; sleep 0.1; done
[ -e "$WORK/ports/COM7" ] || { echo "monitor-sim did not start:" >&2; cat "$WORK/monitor.txt" >&2; exit 1; }

(cd "$WORK" && QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$WORK/run" exec ./RAZUDovuve \
    > "$WORK/stderr.txt" 2>&1) &
RECEIVER=$!
for _ in $(seq 1 100); do
    grep -qs "UDP Server Listen Port" "$WORK/Log/All msg/"*.log && break
    sleep 0.1
done
grep -qs "UDP Server Listen Port" "$WORK/Log/All msg/"*.log ||
    { echo "the receiver did not start:" >&2; cat "$WORK/stderr.txt" >&2; exit 1; }

rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$RECEIVER/status" 2> /dev/null || echo 0; }
# utime + stime in clock ticks (the name field holds no blanks).
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$RECEIVER/stat" 2> /dev/null || echo 0; }
log_bytes() { du -sb "$WORK/Log" | cut -f1; }
TICKS=$(getconf CLK_TCK)

echo "Soak: $UNITS units, $RATE Pings/s and $EVENT_RATE Events/s for $MINUTES min on UDP port $PORT"
"$B/unit-sim" load --port "$PORT" --first-unit 0 --units "$UNITS" --rate "$RATE" --events-percent 0 \
    --duration "$DURATION" --timeout 2000 > "$WORK/pings.txt" 2>&1 &
PINGS=$!
"$B/unit-sim" load --port "$PORT" --first-unit 0 --units "$UNITS" --rate "$EVENT_RATE" --events-percent 100 \
    --duration "$DURATION" --timeout 2000 > "$WORK/events.txt" 2>&1 &
EVENTS=$!

START=$(date +%s)
RSS0=$(rss_kb); CPU0=$(cpu_ticks); LOG0=$(log_bytes)
RSSMAX=$RSS0
echo "seconds,rss_kb,cpu_ticks,log_bytes" > "$WORK/samples.csv"
DIED=0
while kill -0 "$PINGS" 2> /dev/null || kill -0 "$EVENTS" 2> /dev/null; do
    sleep "$SAMPLE"
    if ! kill -0 "$RECEIVER" 2> /dev/null; then DIED=1; break; fi
    now=$(($(date +%s) - START)); rss=$(rss_kb); cpu=$(cpu_ticks); logs=$(log_bytes)
    [ "$rss" -gt "$RSSMAX" ] && RSSMAX=$rss
    echo "$now,$rss,$cpu,$logs" >> "$WORK/samples.csv"
    if [ -t 1 ]; then END='\r'; else END='\n'; fi
    printf "%5d s  RSS %6d kB  logs %8d kB$END" "$now" "$rss" $((logs / 1024))
done
[ -t 1 ] && echo
PINGS_RC=0; wait "$PINGS" || PINGS_RC=$?; PINGS=""
EVENTS_RC=0; wait "$EVENTS" || EVENTS_RC=$?; EVENTS=""

ELAPSED=$(($(date +%s) - START))
RSS1=$(rss_kb); CPU1=$(cpu_ticks); LOG1=$(log_bytes)
# The alarms still waiting for the serial line get a minute to go out.
sleep 60
kill -0 "$RECEIVER" 2> /dev/null || DIED=1
kill -INT "$MONITOR" 2> /dev/null || true
wait "$MONITOR" 2> /dev/null || true
MONITOR=""

echo "=== Soak result after $ELAPSED s"
if [ "$DIED" = 1 ]; then
    echo "receiver:  DIED during the run"; tail -5 "$WORK/stderr.txt"
else
    echo "receiver:  running throughout"
fi
echo "memory:    RSS $((RSS0 / 1024)) MB at the start, $((RSS1 / 1024)) MB at the end, $((RSSMAX / 1024)) MB at most"
awk -v t0="$CPU0" -v t1="$CPU1" -v hz="$TICKS" -v s="$ELAPSED" \
    'BEGIN { printf "cpu:       %.1f %% of one core on average\n", (s > 0 ? (t1 - t0) / hz / s * 100 : 0) }'
awk -v b0="$LOG0" -v b1="$LOG1" -v s="$ELAPSED" \
    'BEGIN { printf "logs:      %.1f MB written, %.1f MB per hour\n", (b1 - b0) / 1048576, (s > 0 ? (b1 - b0) / 1048576 * 3600 / s : 0) }'
echo "pings:     $(tail -1 "$WORK/pings.txt")"
echo "events:    $(tail -1 "$WORK/events.txt")"
echo "delivered: $(tail -1 "$WORK/monitor.txt")"
echo "samples:   $WORK/samples.csv (kept with --keep)"

[ "$DIED" = 0 ] && [ "$PINGS_RC" = 0 ] && [ "$EVENTS_RC" = 0 ]
