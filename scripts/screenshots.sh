#!/usr/bin/env bash
# Takes the README's pictures of the real receiver window on a virtual X
# display: the Test Time Monitor tab with units in every trouble colour, its
# popup menu, the Settings tab and the All Msg tab after some traffic.
#
#   usage: scripts/screenshots.sh [OUTPUT_DIR]      (default docs/screenshots)
#
# The receiver runs from a copy in a temporary folder, so its database,
# settings and logs never touch the build folder. The database is written
# beforehand, record by record, with units at every trouble stage; a
# monitoring-software simulator answers on a pseudo-terminal linked as the
# serial port and another takes the lines over TCP, connecting to the
# receiver's listening port, and the unit simulator sends a few frames. The window is
# driven like an operator would, with key presses and clicks (xdotool).
# Builds first when the executable is missing (BUILD_DIR, default build).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
OUT=${1:-docs/screenshots}
BUILD_DIR=${BUILD_DIR:-build}

need_tools() {
    local missing=()
    command -v xvfb-run >/dev/null || missing+=(xvfb xauth)
    command -v xdotool >/dev/null || missing+=(xdotool)
    command -v import >/dev/null || missing+=(imagemagick)
    command -v python3 >/dev/null || missing+=(python3)
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -ne 0 ] && sudo="sudo"
        export DEBIAN_FRONTEND=noninteractive
        $sudo apt-get update -qq
        $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

# The inner part runs on the virtual display (called by xvfb-run below).
if [ "${1:-}" = "--on-display" ]; then
    WORK=$2
    OUT=$3
    PIDS=()
    cleanup() {
        for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do
            kill "${PIDS[$i]}" 2>/dev/null || true
            wait "${PIDS[$i]}" 2>/dev/null || true
        done
    }
    trap cleanup EXIT

    # A runtime folder of this run's own, for Qt.
    export XDG_RUNTIME_DIR=$WORK/run
    mkdir -p -m 700 "$XDG_RUNTIME_DIR"

    "$WORK/monitor-sim" --pty-dir "$WORK/app" --name COM7 --quiet >"$WORK/monitor-sim.out" 2>&1 &
    PIDS+=($!)
    for _ in $(seq 50); do [ -L "$WORK/app/ports/COM7" ] && break; sleep 0.1; done

    "$WORK/app/RAZUDovuve" >"$WORK/receiver.out" 2>&1 &
    PIDS+=($!)
    WID=$(timeout 30 xdotool search --sync --onlyvisible --name '^Korvan GPRS Module$' | head -n 1)
    [ -n "$WID" ] || { echo "the window did not show"; cat "$WORK/receiver.out"; exit 1; }
    sleep 1
    PORT=$(head -n 1 "$WORK/app/RAZUDovuve.ini" | tr -d '\r')
    TCP_PORT=$(sed -n '8s/^listen \([0-9]*\).*/\1/p' "$WORK/app/RAZUDovuve.ini")
    "$WORK/monitor-sim" --tcp-connect "127.0.0.1:$TCP_PORT" --quiet >"$WORK/monitor-sim-tcp.out" 2>&1 &
    PIDS+=($!)

    # A little traffic: two known units report, a new one makes itself known.
    sim() { "$WORK/unit-sim" one --port "$PORT" "$@" >>"$WORK/unit-sim.out" 2>&1 || true; }
    sim --type pingimei --unit 1 --imei 356938035643809 --fw 2.4.17 --frame-id 11
    sim --type event --unit 1 --account 1001 --event 1401 --partition 01 --zone 003 --frame-id 12
    sim --type event --unit 2 --account 1002 --event 3130 --partition 01 --zone 012 --frame-id 40
    sim --type pingimei --unit 42 --imei 356938035611111 --fw 2.4.18 --frame-id 1
    sim --type gsm --unit 2 --level 23 --frame-id 41
    sleep 1

    eval "$(xdotool getwindowgeometry --shell "$WID")"
    # Tabs of the page control, counted from the left: 0 All Msg .. 4 Test Time
    # Monitor. The window starts on All Msg; a click into its memo gives the
    # page control the keyboard, and Ctrl+Tab moves one tab to the right.
    xdotool mousemove --sync $((X + 300)) $((Y + 200)) click 1
    CUR=0
    show_tab() {
        while [ "$CUR" -ne "$1" ]; do
            xdotool key ctrl+Tab
            CUR=$(((CUR + 1) % 5))
        done
        sleep 0.5
    }
    shot() {  # shot NAME: the window's area of the screen, popups included
        # 256 colours without dithering keep the files small and the text sharp.
        import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage \
            -depth 8 +dither -colors 256 -strip -define png:compression-level=9 "PNG8:$OUT/$1.png"
        echo "wrote $OUT/$1.png"
    }

    show_tab 0
    shot all-messages

    # Grid rows from the window's top: the 100-pixel top panel, the grid's
    # frame and title row, then 18-pixel rows.
    row_y() { echo $((Y + 128 + 18 * $1)); }

    show_tab 3
    # The pointer over the key of the Monitoring TCP row shows that setting's hint.
    xdotool mousemove --sync $((X + 100)) "$(row_y 7)"
    xdotool mousemove --sync $((X + 116)) "$(row_y 7)"
    sleep 1
    shot settings

    show_tab 4
    # Select unit 0012's number (fifth row, stages 1 and 2): white text.
    xdotool mousemove --sync $((X + 40)) "$(row_y 4)" click 1
    xdotool mousemove --sync $((X + 840)) $((Y + 300))
    sleep 0.5
    shot units

    # The popup menu on unit 0007, with the Open/Close submenu opened.
    xdotool mousemove --sync $((X + 90)) "$(row_y 3)" click 3
    sleep 0.5
    xdotool key Down Down Down Down Down Down Right
    sleep 0.5
    shot popup-menu
    xdotool key Escape Escape
    exit 0
fi

need_tools
if [ ! -x "$BUILD_DIR/RAZUDovuve" ] || [ ! -x "$BUILD_DIR/monitor-sim" ] || [ ! -x "$BUILD_DIR/unit-sim" ]; then
    if [ "$BUILD_DIR" = build ]; then bash scripts/build.sh; else cmake --build "$BUILD_DIR" -j2; fi
fi

WORK=$(mktemp -d /tmp/korvan-shots.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/app" "$OUT"
cp "$BUILD_DIR/RAZUDovuve" "$WORK/app/"
cp -r "$BUILD_DIR/Wav" "$WORK/app/"
cp "$BUILD_DIR/monitor-sim" "$BUILD_DIR/unit-sim" "$WORK/"

# Settings: a free UDP port, the simulator's port COM7, and a free TCP port
# the receiver listens on for the monitoring software.
python3 - "$WORK/app" <<'EOF'
import datetime, socket, struct, sys

app = sys.argv[1]
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0))
port = s.getsockname()[1]
s.close()
t = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
t.bind(("127.0.0.1", 0))
tcp = t.getsockname()[1]
t.close()
with open(app + "/RAZUDovuve.ini", "wb") as f:
    f.write(("\r\n".join([str(port), "COM7", "15", "60", "240", "7", "30", "listen %d" % tcp])
             + "\r\n").encode())

# The database: 10000 records of 40 bytes, see registry/UnitDb.h for the layout.
base = datetime.datetime(2000, 1, 1)
now = datetime.datetime.now()
def secs(dt):
    return int((dt - base).total_seconds())

db = bytearray(400000)
def unit(nr, flags, imei, ip, port, first_days_ago, last_minutes_ago, fw, account):
    rec = bytearray(40)
    rec[0] = 1
    rec[2] = flags
    struct.pack_into("<q", rec, 5, imei)
    a, b, c, d = (int(x) for x in ip.split("."))
    struct.pack_into("<I", rec, 13, (a << 24) | (b << 16) | (c << 8) | d)
    struct.pack_into("<H", rec, 17, port)
    first = now - datetime.timedelta(days=first_days_ago, minutes=last_minutes_ago + 7)
    struct.pack_into("<i", rec, 19, secs(first))
    struct.pack_into("<i", rec, 23, secs(now - datetime.timedelta(minutes=last_minutes_ago)))
    rec[27:30] = bytes(fw)
    rec[30:34] = account.encode()
    db[nr * 40:nr * 40 + 40] = rec

unit(1, 0, 356938035643809, "127.0.0.1", 40101, 41, 0.4, (2, 4, 17), "1001")
unit(2, 0, 356938035643817, "127.0.0.1", 40102, 38, 3.2, (2, 4, 17), "1002")
unit(5, 1, 356938035643825, "10.12.0.23", 52011, 35, 19.5, (2, 4, 16), "1005")
unit(7, 0, 356938035643833, "10.12.0.41", 49830, 30, 1.1, (2, 4, 17), "1007")
unit(12, 3, 356938035643841, "10.12.1.7", 61002, 29, 71, (2, 3, 9), "1012")
unit(14, 0, 356938035643858, "10.12.1.19", 50311, 21, 0.8, (2, 4, 17), "1014")
unit(23, 4, 356938035643866, "10.12.2.3", 41776, 17, 262, (2, 3, 9), "1023")
unit(31, 7, 356938035643874, "10.12.2.88", 55120, 12, 1703, (2, 2, 1), "1031")
unit(36, 1, 356938035643882, "10.12.3.5", 47002, 9, 16.2, (2, 4, 16), "1036")
unit(57, 0, 356938035643890, "10.12.3.77", 60410, 4, 2.5, (2, 4, 17), "1057")
unit(64, 0, 356938035643908, "10.12.4.12", 58009, 2, 0.2, (2, 4, 17), "1064")
with open(app + "/RAZUDovuve.db", "wb") as f:
    f.write(db)
EOF

xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" bash "$ROOT/scripts/screenshots.sh" --on-display "$WORK" "$(realpath "$OUT")"
