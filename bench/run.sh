#!/usr/bin/env bash
# Measures the receiver on this machine and prints a table of results, every
# figure taken in this run:
#   - accepted Ping datagrams per second, closed loop (a fixed number of frames
#     always in flight), for the receiver with all its logging and for a bare
#     responder that only checks the CRC, writes the same three log entries
#     (open, append, close each) and answers; and their ratio;
#   - ACK latency p50 and p99 at a steady 1000 datagrams per second;
#   - accepted and journaled Events per second, closed loop with 32 Events in
#     flight, the send journal synced before every ACK; and the plain
#     fdatasync rate of the disk under the receivers' folders, measured just
#     before and after them (bench/fdatasync-rate.cpp);
#   - a storm of 10000 new units reporting one Event each within one second;
#   - time from process start to "UDP Server Listen Port" with a full database;
#   - one CheckCommSt pass, one ApplyUnitFilter pass and one database load over
#     10000 units (bench/passes.cpp);
#   - resident memory under 1000 datagrams per second, sampled every 10 s;
#   - a flood of Pings from one address at the client's full rate for 20 s,
#     with a unit beside it sending an Event every 2 s: its Events answered
#     and delivered, the longest gap between heartbeats on the monitoring
#     line (heartbeat every 5 s), and the RSS afterwards;
#   - 10 s of random 8000-byte datagrams: the RSS afterwards and the log
#     written per datagram;
#   - lines delivered per second over the serial line, stop-and-wait, to a
#     monitoring software (monitor-sim) that answers every line at once;
#   - the monitoring software over TCP: a backlog of 2000 lines drained to a
#     peer that answers at once (lines per second), and the time the lines
#     take to fall back to the serial line when the TCP peer is killed (its
#     connection closes) or frozen (it stops answering).
#
#   usage: bash bench/run.sh [--long] [--rounds N] [--receiver FILE] [--journal]
#                            [--only LIST]
#     --long           run the memory test for 10 minutes instead of 1
#     --journal        only the rows of the send journal: the fdatasync rate,
#                      the Events and the storm (--only journal,storm)
#     --rounds N       throughput rounds per program, the median counts (3)
#     --receiver FILE  measure this receiver executable instead of the one
#                      just built (to compare a change with what came before;
#                      passes.cpp always links the core just built)
#     --only LIST      run only these parts, comma-separated, from: throughput,
#                      latency, journal, storm, startup, passes, memory,
#                      flood, junk, serial, tcp
#
# Builds in Release into build-release/ (tests off) and the bench programs
# into build-release/bench/. The table is also written to
# build-release/bench/results.md. Needs nothing but what scripts/deps.sh
# installs.
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")/.."
ROOT=$PWD

LONG=0
ROUNDS=3
RECEIVER=
ONLY=
while (($#)); do
    case $1 in
        --long) LONG=1 ;;
        --rounds) ROUNDS=${2:?--rounds needs a number}; shift ;;
        --receiver) RECEIVER=$(realpath "${2:?--receiver needs a file}"); shift ;;
        --only) ONLY=",${2:?--only needs a list},"; shift ;;
        --journal) ONLY=",journal,storm," ;;
        -h | --help) sed -n '2,40p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "bench/run.sh: unknown option $1" >&2; exit 2 ;;
    esac
    shift
done

for part in ${ONLY//,/ }; do
    case $part in
        throughput | latency | journal | storm | startup | passes | memory | flood | junk | serial | tcp) ;;
        *) echo "bench/run.sh: unknown part $part" >&2; exit 2 ;;
    esac
done
# want PART: whether this run measures PART.
want() { [[ -z $ONLY || $ONLY == *",$1,"* ]]; }

B=$ROOT/build-release
T=$B/bench
FLOOD_UNITS=32      # frames in flight in the closed-loop runs
FLOOD_SECONDS=10
MEM_SECONDS=$((LONG ? 600 : 60))

WORK=$(mktemp -d /tmp/korvan-bench.XXXXXX)
PIDS=()
cleanup() {
    local p
    for p in "${PIDS[@]}"; do
        if kill -0 "$p" 2>/dev/null; then
            kill "$p" 2>/dev/null || true
            wait "$p" 2>/dev/null || true
        fi
    done
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

say() { printf '\n== %s\n' "$*"; }

# ---------------------------------------------------------------- build
say "Building (Release) in build-release/"
bash scripts/deps.sh
mkdir -p "$T"
# GCC 12's optimiser reports two warnings that are false alarms (-Wrestrict
# inside std::string's operator+, -Wmaybe-uninitialized on a std::optional);
# they stay warnings here so -Werror does not stop an optimised build.
cmake -S . -B "$B" -DCMAKE_BUILD_TYPE=Release -DKORVAN_BUILD_TESTS=OFF \
    "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -g -DNDEBUG" \
    "-DCMAKE_CXX_FLAGS=-Wno-error=maybe-uninitialized -Wno-error=restrict" >"$T/cmake.log" 2>&1 ||
    { cat "$T/cmake.log"; exit 1; }
cmake --build "$B" -j"$(nproc)" --target RAZUDovuve unit-sim monitor-sim korvan_core >"$T/build.log" 2>&1 ||
    { tail -50 "$T/build.log"; exit 1; }
CXX=${CXX:-g++}
FLAGS=(-std=c++20 -O2 -g -DNDEBUG -Wall -Wextra -Wpedantic -Wshadow -Werror)
"$CXX" "${FLAGS[@]}" -o "$T/bare-responder" bench/bare-responder.cpp
"$CXX" "${FLAGS[@]}" -o "$T/startup" bench/startup.cpp
"$CXX" "${FLAGS[@]}" -o "$T/fdatasync-rate" bench/fdatasync-rate.cpp
"$CXX" "${FLAGS[@]}" -I. -Itests -o "$T/passes" bench/passes.cpp "$B"/libkorvan_{core,device,monitoring,settings,registry,base,platform}.a -lsystemd
echo "built: $B/RAZUDovuve, $B/unit-sim, $T/{bare-responder,startup,passes,fdatasync-rate}"
RECEIVER=${RECEIVER:-$B/RAZUDovuve}
echo "receiver measured: $RECEIVER"

# ---------------------------------------------------------------- helpers
USED_PORTS=" "
# Sets P to a UDP port nobody listens on (checked in /proc/net/udp and
# udp6) and this run has not used yet.
free_port() {
    local hex
    while :; do
        P=$((20000 + RANDOM % 30000))
        [[ $USED_PORTS == *" $P "* ]] && continue
        hex=$(printf ':%04X' "$P")
        if ! awk -v h="$hex" 'FNR > 1 && substr($2, length($2) - 4) == h { f = 1 } END { exit !f }' \
            /proc/net/udp /proc/net/udp6 2>/dev/null; then
            USED_PORTS+="$P "
            return
        fi
    done
}

# Sets TP to a TCP port nobody listens on (checked in /proc/net/tcp and tcp6).
free_tcp_port() {
    local hex
    while :; do
        TP=$((20000 + RANDOM % 30000))
        [[ $USED_PORTS == *" $TP "* ]] && continue
        hex=$(printf ':%04X' "$TP")
        if ! awk -v h="$hex" 'FNR > 1 && substr($2, length($2) - 4) == h { f = 1 } END { exit !f }' \
            /proc/net/tcp /proc/net/tcp6 2>/dev/null; then
            USED_PORTS+="$TP "
            return
        fi
    done
}

# install DIR PORT [SERIAL [PING]]: a fresh installation with its settings
# file: the given UDP port, serial port COM7 (a monitor-sim pseudo-terminal)
# unless told otherwise, default thresholds and start-up delay, heartbeat
# every 30 s unless told otherwise.
install_receiver() {
    mkdir -p "$1/run"
    chmod 700 "$1/run"
    cp "$RECEIVER" "$1/RAZUDovuve"
    cp -r "$B/Wav" "$1/"
    printf '%s\r\n%s\r\n15\r\n60\r\n240\r\n7\r\n%s\r\n' "$2" "${3:-COM7}" "${4:-30}" >"$1/RAZUDovuve.ini"
}

wait_log() { # DIR TEXT SECONDS
    local i
    for ((i = 0; i < $3 * 50; i++)); do
        grep -qs -- "$2" "$1"/Log/All\ msg/*.log && return 0
        sleep 0.02
    done
    return 1
}

# start_receiver DIR [verbose]: monitor-sim on ports/COM7, then the
# receiver; sets RPID, MPID. With "verbose" monitor-sim prints every line it
# receives with the time it arrived.
start_receiver() {
    local quiet=--quiet
    [[ ${2:-} == verbose ]] && quiet=
    "$B/monitor-sim" --pty-dir "$1" --name COM7 $quiet >"$1/monitor-sim.txt" 2>&1 &
    MPID=$!
    PIDS+=("$MPID")
    local i
    for ((i = 0; i < 100; i++)); do [[ -L $1/ports/COM7 ]] && break; sleep 0.02; done
    start_receiver_only "$1"
}

# start_receiver_only DIR: the receiver alone; sets RPID.
start_receiver_only() {
    (cd "$1" && QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$1/run" exec ./RAZUDovuve) \
        >"$1/output.txt" 2>&1 &
    RPID=$!
    PIDS+=("$RPID")
    wait_log "$1" "UDP Server Listen Port" 60 || { echo "the receiver did not start:"; cat "$1/output.txt"; exit 1; }
}

stop() { # PID...
    local p
    for p in "$@"; do
        kill "$p" 2>/dev/null || true
        wait "$p" 2>/dev/null || true
    done
}

# Resident memory of a process in kB.
rss_of() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }

# Bytes in every file under a folder.
bytes_under() { find "$1" -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%d", s }'; }

# kv KEY LINE: the value of key=value in a summary line.
kv() { sed -n "s/.*[ ]$1=\([^ ]*\).*/\1/p" <<<"$2"; }

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR ? v[int((NR + 1) / 2)] : 0) }'; }

# CPU time (user + system) a process has used so far, in clock ticks.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
# µs of CPU per answered frame: cpu_per TICKS_BEFORE TICKS_AFTER SUMMARY
cpu_per() {
    awk -v t=$(($2 - $1)) -v n="$(kv answered "$3")" -v hz="$(getconf CLK_TCK)" \
        'BEGIN { printf "%.1f", (n > 0 ? t / hz * 1e6 / n : 0) }'
}

# ---------------------------------------------------------------- machine
say "Machine"
CPU=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)
MEM=$(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
MACHINE="$(nproc) CPUs, $CPU, $MEM RAM, $(uname -sr), $(. /etc/os-release 2>/dev/null; echo "${PRETTY_NAME:-?}")"
LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
echo "$MACHINE"
echo "load average before: $LOAD_BEFORE"

# ---------------------------------------------------------------- throughput
if want throughput; then
    say "Throughput: closed loop, $FLOOD_UNITS Pings in flight, ${FLOOD_SECONDS} s per round, $ROUNDS rounds each"
    # Besides the rate, the CPU time each responder spent per answered Ping: on a
    # machine shared with other work it varies far less than the rate does.
    RECV_RATES=()
    BARE_RATES=()
    RECV_CPUS=()
    BARE_CPUS=()
    for ((r = 1; r <= ROUNDS; r++)); do
        D=$WORK/flood-receiver-$r
        free_port
        install_receiver "$D" "$P"
        start_receiver "$D"
        C0=$(cpu_ticks "$RPID")
        S=$("$B/unit-sim" flood --port "$P" --units "$FLOOD_UNITS" --duration "$FLOOD_SECONDS" --show 0 | grep '^summary')
        C1=$(cpu_ticks "$RPID")
        stop "$RPID" "$MPID"
        RECV_RATES+=("$(kv rate "$S")")
        RECV_CPUS+=("$(cpu_per "$C0" "$C1" "$S")")
        echo "receiver round $r: $S cpu_us=${RECV_CPUS[-1]}"

        D=$WORK/flood-bare-$r
        free_port
        mkdir -p "$D"
        "$T/bare-responder" "$P" "$D" >"$D/output.txt" 2>&1 &
        BPID=$!
        PIDS+=("$BPID")
        sleep 0.2
        C0=$(cpu_ticks "$BPID")
        S=$("$B/unit-sim" flood --port "$P" --units "$FLOOD_UNITS" --duration "$FLOOD_SECONDS" --show 0 | grep '^summary')
        C1=$(cpu_ticks "$BPID")
        stop "$BPID"
        BARE_RATES+=("$(kv rate "$S")")
        BARE_CPUS+=("$(cpu_per "$C0" "$C1" "$S")")
        echo "bare responder round $r: $S cpu_us=${BARE_CPUS[-1]}"
    done
    RECV_RATE=$(printf '%s\n' "${RECV_RATES[@]}" | median)
    BARE_RATE=$(printf '%s\n' "${BARE_RATES[@]}" | median)
    RATIO=$(awk -v a="$RECV_RATE" -v b="$BARE_RATE" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
    RECV_CPU=$(printf '%s\n' "${RECV_CPUS[@]}" | median)
    BARE_CPU=$(printf '%s\n' "${BARE_CPUS[@]}" | median)
    CPU_RATIO=$(awk -v a="$RECV_CPU" -v b="$BARE_CPU" 'BEGIN { printf "%.2f", (a > 0 ? b / a : 0) }')

    D=$WORK/ceiling
    free_port
    mkdir -p "$D"
    "$T/bare-responder" "$P" "$D" --answer-only >"$D/output.txt" 2>&1 &
    BPID=$!
    PIDS+=("$BPID")
    sleep 0.2
    S=$("$B/unit-sim" flood --port "$P" --units "$FLOOD_UNITS" --duration 5 --show 0 | grep '^summary')
    stop "$BPID"
    CEILING=$(kv rate "$S")
    echo "answer-only (no logging) ceiling of network and client: $S"
fi

# ---------------------------------------------------------------- latency
if want latency; then
    say "ACK latency at a steady 1000 datagrams/s, 10 s, 100 units"
    D=$WORK/latency
    free_port
    install_receiver "$D" "$P"
    start_receiver "$D"
    S=$("$B/unit-sim" load --port "$P" --units 100 --rate 1000 --duration 10 --events-percent 0 --show 0 | grep '^summary')
    stop "$RPID" "$MPID"
    echo "receiver: $S"
    LAT_P50=$(kv p50_ms "$S")
    LAT_P99=$(kv p99_ms "$S")
    LAT_ANSWERED=$(kv first_try "$S")/$(kv sent "$S")
    D=$WORK/latency-bare
    free_port
    mkdir -p "$D"
    "$T/bare-responder" "$P" "$D" >"$D/output.txt" 2>&1 &
    BPID=$!
    PIDS+=("$BPID")
    sleep 0.2
    S=$("$B/unit-sim" load --port "$P" --units 100 --rate 1000 --duration 10 --events-percent 0 --show 0 | grep '^summary')
    stop "$BPID"
    echo "bare responder: $S"
    BARE_P50=$(kv p50_ms "$S")
    BARE_P99=$(kv p99_ms "$S")
fi

# ---------------------------------------------------------------- events
if want journal; then
say "Events: closed loop, $FLOOD_UNITS Events in flight, ${FLOOD_SECONDS} s per round, $ROUNDS rounds"
# Every Event's line is appended to the send journal and synced before its
# ACK leaves; the Events read together share one sync. The plain rate of
# append-and-fdatasync of the disk under these folders is taken just before
# and just after. After each round the receiver is killed (SIGKILL) and
# started again without its monitoring software: the lines it restores and
# the lines delivered during the round must cover every Event answered.
S=$("$T/fdatasync-rate" "$WORK" 3)
echo "fdatasync before: $S"
FSYNC_BEFORE=$(kv rate "$S")
FSYNC_BEFORE_US=$(kv mean_us "$S")
EV_RATES=()
EV_CPUS=()
EV_KEPT_OK=yes
EV_KEPT=
for ((r = 1; r <= ROUNDS; r++)); do
    D=$WORK/events-$r
    free_port
    install_receiver "$D" "$P"
    start_receiver "$D"
    C0=$(cpu_ticks "$RPID")
    S=$("$B/unit-sim" flood --port "$P" --units "$FLOOD_UNITS" --duration "$FLOOD_SECONDS" \
        --events-percent 100 --show 0 | grep '^summary')
    C1=$(cpu_ticks "$RPID")
    kill -KILL "$RPID" 2>/dev/null || true
    wait "$RPID" 2>/dev/null || true
    stop "$MPID"
    M=$(grep '^summary' "$D/monitor-sim.txt" || true)
    DELIVERED=$(($(kv events "$M") - $(kv retransmissions "$M")))
    rm -rf "$D/Log"
    printf '%s\r\n%s\r\n15\r\n60\r\n240\r\n7\r\n30\r\n' "$P" NOPORT >"$D/RAZUDovuve.ini"
    start_receiver_only "$D"
    RESTORED=$(sed -n 's/.* - Send buffer restored: \([0-9]*\) line(s).*/\1/p' "$D/Log/Imp_msg.log")
    RESTORED=${RESTORED:-0}
    stop "$RPID"
    ANSWERED=$(kv answered "$S")
    EV_RATES+=("$(kv rate "$S")")
    EV_CPUS+=("$(cpu_per "$C0" "$C1" "$S")")
    ((RESTORED + DELIVERED >= ANSWERED)) || EV_KEPT_OK="**no**"
    EV_KEPT="$ANSWERED / $DELIVERED + $RESTORED"
    echo "round $r: $S cpu_us=${EV_CPUS[-1]} delivered=$DELIVERED restored_after_kill=$RESTORED"
done
S=$("$T/fdatasync-rate" "$WORK" 3)
echo "fdatasync after: $S"
FSYNC_AFTER=$(kv rate "$S")
FSYNC_AFTER_US=$(kv mean_us "$S")
EV_RATE=$(printf '%s\n' "${EV_RATES[@]}" | median)
EV_CPU=$(printf '%s\n' "${EV_CPUS[@]}" | median)

fi

# ---------------------------------------------------------------- storm
if want storm; then
    say "Storm: 10000 new units, one Event each, all within 1 s (timeout 1 s, 3 retries)"
    D=$WORK/storm
    free_port
    install_receiver "$D" "$P"
    start_receiver "$D"
    S=$("$B/unit-sim" storm --port "$P" --units 10000 --first-unit 0 --window 1000 --show 0 | grep '^summary') || true
    stop "$RPID" "$MPID"
    echo "receiver: $S"
    STORM_FIRST=$(kv first_try "$S")
    STORM_RETRY=$(kv after_retry "$S")
    STORM_LOST=$(kv lost "$S")
    STORM_WRONG=$(($(kv wrong "$S") + $(kv refused "$S")))
    STORM_MAX=$(kv max_ms "$S")
fi

# ---------------------------------------------------------------- start-up
if want startup; then
    say "Start-up: process start to \"UDP Server Listen Port\", 5 runs each"
    # No serial line here ("NOPORT" opens nothing): only the start itself counts.
    D=$WORK/startup-full
    free_port
    install_receiver "$D" "$P" NOPORT
    "$T/passes" --write-db "$D/RAZUDovuve.db"
    S=$("$T/startup" "$D" 5)
    echo "full database: $S"
    S=$(tail -1 <<<"$S")
    START_FULL=$(kv median_ms "$S")
    START_FULL_RSS=$(kv rss_kb "$S")
    S=$("$T/startup" "$D" 5 --service)
    echo "full database, --service: $S"
    S=$(tail -1 <<<"$S")
    START_SERVICE=$(kv median_ms "$S")
    START_SERVICE_RSS=$(kv rss_kb "$S")
    D=$WORK/startup-empty
    free_port
    install_receiver "$D" "$P" NOPORT
    S=$("$T/startup" "$D" 5)
    echo "empty database: $S"
    S=$(tail -1 <<<"$S")
    START_EMPTY=$(kv median_ms "$S")
    # A backlog left by the last run: 1 000 000 lines waiting in the send journal.
    D=$WORK/startup-backlog
    free_port
    install_receiver "$D" "$P" NOPORT
    "$T/passes" --write-journal "$D/RAZUDovuve.journal" 1000000
    S=$("$T/startup" "$D" 3)
    echo "1000000 lines waiting: $S"
    S=$(tail -1 <<<"$S")
    START_BACKLOG=$(kv median_ms "$S")
    START_BACKLOG_RSS=$(kv rss_kb "$S")
fi

# ---------------------------------------------------------------- passes
if want passes; then
    say "Passes over 10000 units (bench/passes.cpp)"
    PASSES=$("$T/passes" --runs 200)
    echo "$PASSES"
    pass_ms() { awk -v n="$1" '$1 == "pass" && $2 == n { sub("median_us=", "", $4); printf "%.3f", $4 / 1000 }' <<<"$PASSES"; }
    pass_best_ms() { awk -v n="$1" '$1 == "pass" && $2 == n { sub("min_us=", "", $5); printf "%.3f", $5 / 1000 }' <<<"$PASSES"; }
    CHECK_MS=$(pass_ms check_comm_st)
    FILTER_MS=$(pass_ms filter_empty)
    FILTER1_MS=$(pass_ms filter_one_unit)
    LOAD_MS=$(pass_ms db_load)
    CHECK_BEST=$(pass_best_ms check_comm_st)
    FILTER_BEST=$(pass_best_ms filter_empty)
    FILTER1_BEST=$(pass_best_ms filter_one_unit)
    LOAD_BEST=$(pass_best_ms db_load)
    FILTER_NOTE=$(sed -n 's/^note filter passes time //p' <<<"$PASSES")
fi

# ---------------------------------------------------------------- memory
# Pings only: Events at this rate would be queued faster than the serial line
# to the monitoring software carries them away, and the send buffer, which
# never drops a line, would grow by design. The All Msg memo holds every log
# line until the housekeeping clears it every five minutes, so it grows as
# the All-messages log file does; the log's growth is sampled alongside.
if want memory; then
    say "Memory: 1000 Pings/s (1000 units) for $MEM_SECONDS s, RSS and All-messages log size every 10 s"
    D=$WORK/memory
    free_port
    install_receiver "$D" "$P"
    start_receiver "$D"
    rss() { awk '/^VmRSS/ { print $2 }' "/proc/$RPID/status"; }
    "$B/unit-sim" load --port "$P" --units 1000 --rate 1000 --duration "$MEM_SECONDS" --events-percent 0 \
        --show 0 >"$D/load.txt" 2>&1 &
    LPID=$!
    PIDS+=("$LPID")
    SAMPLES=()
    T0=$SECONDS
    for ((t = 0; t <= MEM_SECONDS; t += 10)); do
        while ((SECONDS - T0 < t)); do sleep 0.2; done
        KB=$(rss)
        LOGKB=$(stat -c %s "$D"/Log/All\ msg/*.log 2>/dev/null | awk '{ s += $1 } END { printf "%d", s / 1024 }')
        SAMPLES+=("$t $KB $LOGKB")
        echo "t=${t}s rss=${KB} kB all_log=${LOGKB} kB"
    done
    wait "$LPID" || true
    S=$(grep '^summary' "$D/load.txt" || true)
    echo "load: $S"
    stop "$RPID" "$MPID"
    SAMPLE_TEXT=$(printf '%s\n' "${SAMPLES[@]}")
    MEM_START=$(awk 'NR == 1 { print $2 }' <<<"$SAMPLE_TEXT")
    MEM_END=$(awk 'END { print $2 }' <<<"$SAMPLE_TEXT")
    MEM_MAX=$(awk '$2 > m { m = $2 } END { print m }' <<<"$SAMPLE_TEXT")
    # Least-squares slopes in kB per minute over the samples after the first:
    # column 2 is the RSS, column 3 the All-messages log.
    slope() {
        awk -v c="$1" 'NR > 1 { n++; sx += $1; sy += $c; sxx += $1 * $1; sxy += $1 * $c }
            END { d = n * sxx - sx * sx; printf "%.0f", (d > 0 ? (n * sxy - sx * sy) / d * 60 : 0) }' <<<"$SAMPLE_TEXT"
    }
    MEM_SLOPE=$(slope 2)
    LOG_SLOPE=$(slope 3)
    # With --long: the RSS just before the first housekeeping (290 s after the
    # window came up, give or take a second), right after it (310 s) and just
    # before the second one (590 s). The memo fills up again in the second five
    # minutes, partly into memory the first clear freed; anything else that grew
    # shows as a higher peak the second time.
    at() { awk -v t="$1" '$1 == t { print $2 }' <<<"$SAMPLE_TEXT"; }
    BEFORE_CLEAR=$(at 290)
    AFTER_CLEAR=$(at 310)
    BEFORE_SECOND=$(at 590)
    MEM_LOST=$(kv lost "$S")
fi

# peak_rss_while PID RPID: the highest RSS (kB) of RPID while PID runs.
peak_rss_while() {
    local peak=0 kb
    while kill -0 "$1" 2>/dev/null; do
        kb=$(rss_of "$2")
        ((kb > peak)) && peak=$kb
        sleep 0.5
    done
    echo "$peak"
}

# ---------------------------------------------------------------- flood
# One address sends Pings back to back, as fast as the client goes, for 20 s:
# far more than the receiver takes, so its socket stays full and the kernel
# drops the rest. A unit beside it sends an Event every 2 s and sends it
# again after 1 s without an answer, up to 3 times, as real units do. The
# heartbeat runs every 5 s; monitor-sim stamps each line as it arrives, so
# the gaps between heartbeats show whether timers and the serial line kept
# their pace.
BLAST_SECONDS=20
JUNK_SECONDS=10
if want flood; then
    say "Flood: Pings from one address at full rate for $BLAST_SECONDS s, an Event every 2 s beside it, heartbeat every 5 s"
    D=$WORK/flood-one-address
    free_port
    install_receiver "$D" "$P" COM7 5
    start_receiver "$D" verbose
    sleep 1
    "$B/unit-sim" load --port "$P" --units 1 --first-unit 77 --rate 0.5 --duration "$BLAST_SECONDS" \
        --events-percent 100 --numbered-zones --show 20 >"$D/unit.txt" 2>&1 &
    UPID=$!
    PIDS+=("$UPID")
    "$B/unit-sim" blast --port "$P" --unit 4000 --duration "$BLAST_SECONDS" >"$D/blast.txt" 2>&1 &
    FPID=$!
    PIDS+=("$FPID")
    FLOOD_PEAK=$(peak_rss_while "$FPID" "$RPID")
    wait "$FPID" || true
    wait "$UPID" || true
    FLOOD_RSS=$(rss_of "$RPID")
    # Until one heartbeat after the flood has arrived, so a gap that spans
    # its end is counted too.
    sleep 6
    stop "$RPID" "$MPID"
    cat "$D/blast.txt" "$D/unit.txt" | grep -v '^t='
    S=$(grep '^summary' "$D/blast.txt")
    FLOOD_RATE=$(kv rate "$S")
    FLOOD_SENT=$(kv sent "$S")
    FLOOD_ANSWERS=$(kv answers "$S")
    S=$(grep '^summary' "$D/unit.txt")
    FLOOD_EVENTS=$(kv sent "$S")
    FLOOD_ANSWERED=$(kv answered "$S")
    FLOOD_RETRIED=$(kv after_retry "$S")
    FLOOD_SLOWEST=$(kv max_ms "$S")
    # Distinct Event lines at the monitoring software (a retried Event that
    # reached the receiver twice is forwarded twice).
    FLOOD_DELIVERED=$(awk '$4 == "event" { match($0, /"[^"]*"/); print substr($0, RSTART, RLENGTH) }' \
        "$D/monitor-sim.txt" | sort -u | wc -l)
    # Seconds between heartbeats, from their arrival stamps (hh:mm:ss.mmm).
    GAPS=$(awk '$4 == "heartbeat" { split($2, t, ":"); s = t[1] * 3600 + t[2] * 60 + t[3]
            if (n++) { g = s - p; if (g < 0) g += 86400; print g } p = s }' "$D/monitor-sim.txt")
    FLOOD_HEARTBEATS=$(grep -c '  heartbeat ' "$D/monitor-sim.txt" || true)
    FLOOD_GAP=$(awk 'BEGIN { m = 0 } $1 > m { m = $1 } END { printf "%.1f", m }' <<<"$GAPS")
    echo "heartbeats: $FLOOD_HEARTBEATS, largest gap ${FLOOD_GAP} s; Events delivered: $FLOOD_DELIVERED; RSS ${FLOOD_RSS} kB (highest ${FLOOD_PEAK} kB)"
fi

# ---------------------------------------------------------------- tcp
# The monitoring software over TCP. Drain: the receiver listens, no serial
# port opens, a storm of Events builds a backlog, then monitor-sim connects
# and answers every line at once; its rate is lines over its run time.
# Fallback: monitor-sim on the serial line prints when each line arrives; the
# TCP peer is killed (the kernel closes its connection) or frozen (SIGSTOP:
# the connection stays up and nothing answers), an Event follows at once, and
# the time until it arrives on the serial line is taken.
TCP_LINES=2000
# arrival DIR ZONE: the arrival time (epoch seconds) of the Event line with
# this zone at the serial monitor-sim, or nothing.
arrival() {
    local l
    l=$(grep -m1 "E60200$2\"" "$1/monitor-sim.txt") || return 0
    date -d "$(awk '{ print $1, $2 }' <<<"$l")" +%s.%N
}
if want tcp; then
    say "TCP: a backlog of $TCP_LINES lines drained to a peer that answers at once; falling back to the serial line"
    D=$WORK/tcp-drain
    free_port
    free_tcp_port
    install_receiver "$D" "$P" COM7 0
    printf 'listen %s\r\n' "$TP" >>"$D/RAZUDovuve.ini"
    start_receiver_only "$D"
    "$B/unit-sim" storm --port "$P" --units "$TCP_LINES" --first-unit 1 --window 2000 --show 0 | grep '^summary' || true
    S=$("$B/monitor-sim" --tcp-connect "127.0.0.1:$TP" --expect "$TCP_LINES" --duration 120 --quiet |
        tee "$D/monitor-sim.txt" | grep '^summary') || true
    stop "$RPID"
    echo "$S"
    TCP_RATE=$(kv rate "$S")
    TCP_GOT=$(kv lines "$S")

    D=$WORK/tcp-fallback
    free_port
    free_tcp_port
    install_receiver "$D" "$P" COM7 0
    printf 'listen %s\r\n' "$TP" >>"$D/RAZUDovuve.ini"
    start_receiver "$D" verbose
    FALLBACK=()
    for how in KILL STOP; do
        "$B/monitor-sim" --tcp-connect "127.0.0.1:$TP" --quiet >"$D/tcp-$how.txt" 2>&1 &
        TPID=$!
        PIDS+=("$TPID")
        for ((i = 0; i < 500; i++)); do
            (($(cat "$D"/Log/Imp_msg.log 2>/dev/null | grep -c 'Monitoring TCP connected') >= ${#FALLBACK[@]} + 1)) && break
            sleep 0.02
        done
        zone=$(printf '%03d' $((${#FALLBACK[@]} + 1)))
        kill -"$how" "$TPID"
        T0=$(date +%s.%N)
        "$B/unit-sim" one --port "$P" --type event --unit 11 --zone "$zone" >/dev/null || true
        T1=
        for ((i = 0; i < 2000 && ${#T1} == 0; i++)); do T1=$(arrival "$D" "$zone"); sleep 0.02; done
        FALLBACK+=("$(awk -v a="$T0" -v b="$T1" 'BEGIN { if (b == "") print "none"; else printf "%.2f", b - a }')")
        kill -CONT "$TPID" 2>/dev/null || true
        stop "$TPID"
    done
    stop "$RPID" "$MPID"
    TCP_FB_KILL=${FALLBACK[0]}
    TCP_FB_STOP=${FALLBACK[1]}
    echo "fallback to the serial line: peer killed $TCP_FB_KILL s, peer frozen $TCP_FB_STOP s"
fi

# ---------------------------------------------------------------- junk
# Random 8000-byte datagrams from one address as fast as they go: each is
# refused and answered with a NACK; what it costs in log and memory is
# measured once the receiver has worked off what its socket held.
if want junk; then
    say "Junk: random 8000-byte datagrams from one address at full rate for $JUNK_SECONDS s"
    D=$WORK/junk
    free_port
    install_receiver "$D" "$P"
    start_receiver "$D"
    LOG0=$(bytes_under "$D/Log")
    "$B/unit-sim" blast --port "$P" --junk 8000 --duration "$JUNK_SECONDS" >"$D/blast.txt" 2>&1 &
    FPID=$!
    PIDS+=("$FPID")
    JUNK_PEAK=$(peak_rss_while "$FPID" "$RPID")
    wait "$FPID" || true
    # Done when the log has stopped growing for a second.
    LAST=-1
    for ((i = 0; i < 120; i++)); do
        NOW=$(bytes_under "$D/Log")
        ((NOW == LAST)) && break
        LAST=$NOW
        sleep 1
    done
    JUNK_RSS=$(rss_of "$RPID")
    stop "$RPID" "$MPID"
    grep -v '^t=' "$D/blast.txt"
    S=$(grep '^summary' "$D/blast.txt")
    JUNK_RATE=$(kv rate "$S")
    JUNK_SENT=$(kv sent "$S")
    JUNK_HANDLED=$(cat "$D"/Log/All\ msg/*.log | grep -c -- ' - Receive from [0-9.]*:[0-9]* (8000 b\.)' || true)
    JUNK_LOG=$(($(bytes_under "$D/Log") - LOG0))
    JUNK_PER=$(awk -v b="$JUNK_LOG" -v n="$JUNK_HANDLED" 'BEGIN { printf "%.0f", (n > 0 ? b / n : 0) }')
    echo "handled $JUNK_HANDLED of $JUNK_SENT, log $JUNK_LOG bytes ($JUNK_PER per datagram); RSS ${JUNK_RSS} kB (highest ${JUNK_PEAK} kB)"
fi

# ---------------------------------------------------------------- serial
# SERIAL_LINES Events are answered while the receiver has no serial port
# and it is killed, so they wait in its send journal; it is started again
# with monitor-sim on COM7, answering every line at once, and the lines go
# out one by one. The rate runs from the first line's arrival to the last.
if want serial; then
    SERIAL_LINES=60
    say "Serial line: $SERIAL_LINES lines, stop-and-wait, each answered at once"
    D=$WORK/serial
    free_port
    install_receiver "$D" "$P" NOPORT 0
    start_receiver_only "$D"
    S=$("$B/unit-sim" storm --port "$P" --units "$SERIAL_LINES" --window 200 --show 0 | grep '^summary') || true
    echo "queued: $S"
    kill -KILL "$RPID" 2>/dev/null || true
    wait "$RPID" 2>/dev/null || true
    printf '%s\r\n%s\r\n15\r\n60\r\n240\r\n7\r\n0\r\n' "$P" COM7 >"$D/RAZUDovuve.ini"
    start_receiver "$D" verbose
    for ((i = 0; i < 1200; i++)); do
        (($(grep -c '  #[0-9]*  event' "$D/monitor-sim.txt" || true) >= SERIAL_LINES)) && break
        sleep 0.1
    done
    stop "$RPID" "$MPID"
    cp "$D/monitor-sim.txt" "$T/serial-monitor-sim.txt"
    # "YYYY-MM-DD hh:mm:ss.mmm  #n  event ...": seconds of the day of the
    # first and the last line.
    read -r SERIAL_N SERIAL_SPAN < <(awk '$4 == "event" {
            split($2, t, ":"); s = t[1] * 3600 + t[2] * 60 + t[3]
            if (!n++) first = s; last = s }
        END { printf "%d %.3f\n", n, last - first }' "$D/monitor-sim.txt")
    SERIAL_RATE=$(awk -v n="$SERIAL_N" -v d="$SERIAL_SPAN" 'BEGIN { printf "%.2f", (d > 0 ? (n - 1) / d : 0) }')
    SERIAL_REPEATS=$(grep -cE '  #[0-9]+  .*(retransmission #|same text later)' "$D/monitor-sim.txt" || true)
    echo "lines $SERIAL_N in ${SERIAL_SPAN} s: $SERIAL_RATE lines/s; written again: $SERIAL_REPEATS"
fi

LOAD_AFTER=$(cut -d' ' -f1-3 /proc/loadavg)

# ---------------------------------------------------------------- table
ok() { awk -v v="$1" -v t="$3" "BEGIN { exit !(v $2 t) }" && echo "yes" || echo "**no**"; }
ROWS=("| figure | measured | target | met |" "|---|---|---|---|")
want throughput && ROWS+=(
    "| accepted Pings/s, receiver, full logging (median of $ROUNDS) | $RECV_RATE | >= 10000 | $(ok "$RECV_RATE" '>=' 10000) |"
    "| accepted Pings/s, bare responder (median of $ROUNDS) | $BARE_RATE | | |"
    "| receiver / bare responder | $RATIO | >= 0.80 | $(ok "$RATIO" '>=' 0.8) |"
    "| CPU per accepted Ping (µs), receiver / bare responder (median of $ROUNDS) | $RECV_CPU / $BARE_CPU | | |"
    "| bare / receiver CPU per Ping (the ratio without the noise of other work) | $CPU_RATIO | >= 0.80 | $(ok "$CPU_RATIO" '>=' 0.8) |"
    "| answer-only ceiling of network and client (no logging) | $CEILING | | |")
want latency && ROWS+=(
    "| ACK latency at 1000/s, p50 / p99 (ms) | $LAT_P50 / $LAT_P99 | p99 < 1 | $(ok "$LAT_P99" '<' 1) |"
    "| ACK latency at 1000/s, bare responder, p50 / p99 (ms) | $BARE_P50 / $BARE_P99 | | |")
want journal && ROWS+=(
    "| plain fdatasync of the disk under the receivers' folders, 35-byte appends, before / after the Events (syncs/s; mean µs) | $FSYNC_BEFORE / $FSYNC_AFTER; $FSYNC_BEFORE_US / $FSYNC_AFTER_US | | |"
    "| accepted and journaled Events/s, $FLOOD_UNITS in flight, full logging (median of $ROUNDS) | $EV_RATE | >= 5000 | $(ok "$EV_RATE" '>=' 5000) |"
    "| CPU per accepted Event (µs, median of $ROUNDS) | $EV_CPU | | |"
    "| Events answered / delivered + restored after SIGKILL (last round; every round checked) | $EV_KEPT | none lost | $EV_KEPT_OK |")
want storm && ROWS+=(
    "| storm of 10000 units, one journaled Event each, in 1 s: first try / after retries / never | $STORM_FIRST / $STORM_RETRY / $STORM_LOST (wrong or refused: $STORM_WRONG; slowest $STORM_MAX ms) | all answered, none lost | $( [[ $STORM_LOST == 0 && $STORM_WRONG == 0 && -n $STORM_FIRST ]] && echo yes || echo "**no**") |")
want startup && ROWS+=(
    "| start-up to \"UDP Server Listen Port\", 10000 units in the database (ms, median of 5) | $START_FULL | < 500 | $(ok "$START_FULL" '<' 500) |"
    "| start-up, empty database (ms, median of 5) | $START_EMPTY | | |"
    "| start-up to \"UDP Server Listen Port\" with 1000000 lines waiting in the send journal (ms, median of 3) | $START_BACKLOG | < 1000 | $(ok "$START_BACKLOG" '<' 1000) |"
    "| RSS when up with 1000000 lines waiting (kB, median of 3) | $START_BACKLOG_RSS | < 153600 | $(ok "$START_BACKLOG_RSS" '<' 153600) |"
    "| start-up and RSS when up, 10000 units: window (offscreen) / --service without display (ms; kB, medians of 5) | $START_FULL / $START_SERVICE; $START_FULL_RSS / $START_SERVICE_RSS | | |")
want passes && ROWS+=(
    "| one CheckCommSt pass, 10000 units, none due (ms, median; best) | $CHECK_MS; $CHECK_BEST | < 2 | $(ok "$CHECK_MS" '<' 2) |"
    "| one ApplyUnitFilter pass, empty filter / one match (ms, median; best) | $FILTER_MS / $FILTER1_MS; $FILTER_BEST / $FILTER1_BEST | < 2 | $(ok "$FILTER1_MS" '<' 2) |"
    "| one database load, 10000 units (ms, median; best) | $LOAD_MS; $LOAD_BEST | < 2 | $(ok "$LOAD_MS" '<' 2) |")
want memory && ROWS+=(
    "| RSS at 1000 Pings/s over $MEM_SECONDS s: first / last / highest (kB) | $MEM_START / $MEM_END / $MEM_MAX | flat | |"
    "| RSS slope / All-messages log growth, after the first sample (kB per minute; the memo holds what the log holds) | $MEM_SLOPE / $LOG_SLOPE (lost: ${MEM_LOST:-?}) | ~0 beyond memo growth | |")
want memory && ((LONG)) && ROWS+=(
    "| RSS at the start / before the first housekeeping (290 s) / after it (310 s) (kB) | $MEM_START / $BEFORE_CLEAR / $AFTER_CLEAR | | |"
    "| RSS before the second housekeeping (590 s) against before the first (290 s) (kB) | $BEFORE_SECOND / $BEFORE_CLEAR | no higher (+5 %) | $(ok "${BEFORE_SECOND:-0}" '<=' "$((${BEFORE_CLEAR:-0} * 105 / 100))") |")
want flood && ROWS+=(
    "| flood of Pings from one address, $BLAST_SECONDS s: sent at / sent / answered | $FLOOD_RATE/s / $FLOOD_SENT / $FLOOD_ANSWERS | | |"
    "| during it, a unit's Events (one every 2 s, 3 retries): answered / delivered of sent | $FLOOD_ANSWERED / $FLOOD_DELIVERED of $FLOOD_EVENTS (after a retry: $FLOOD_RETRIED; slowest $FLOOD_SLOWEST ms) | all | $( [[ -n $FLOOD_EVENTS && $FLOOD_ANSWERED == "$FLOOD_EVENTS" && $FLOOD_DELIVERED == "$FLOOD_EVENTS" ]] && echo yes || echo "**no**") |"
    "| during it, largest gap between heartbeats (5 s interval) (s) | $FLOOD_GAP ($FLOOD_HEARTBEATS heartbeats) | <= 7 | $(ok "$FLOOD_GAP" '<=' 7) |"
    "| RSS after the flood (highest during it) (kB) | $FLOOD_RSS ($FLOOD_PEAK) | < 300 MB | $(ok "$FLOOD_RSS" '<' 307200) |")
want junk && ROWS+=(
    "| junk: random 8000-byte datagrams, $JUNK_SECONDS s: sent at / sent / handled | $JUNK_RATE/s / $JUNK_SENT / $JUNK_HANDLED | | |"
    "| log written per junk datagram (bytes) | $JUNK_PER | <= 1024 | $(ok "$JUNK_PER" '<=' 1024) |"
    "| RSS after the junk (highest during it) (kB) | $JUNK_RSS ($JUNK_PEAK) | < 300 MB | $(ok "$JUNK_RSS" '<' 307200) |")
want serial && ROWS+=(
    "| lines delivered per second over the serial line, each answered at once ($SERIAL_N lines, written again: $SERIAL_REPEATS) | $SERIAL_RATE | >= 3.4 | $(ok "$SERIAL_RATE" '>=' 3.4) |")
want tcp && ROWS+=(
    "| lines per second over TCP to a peer that answers at once, backlog of $TCP_LINES (lines received) | $TCP_RATE ($TCP_GOT) | >= 1000 | $(ok "${TCP_RATE:-0}" '>=' 1000) |"
    "| fallback to the serial line: TCP peer killed / frozen (s from the Event to its line on the serial line) | $TCP_FB_KILL / $TCP_FB_STOP | | |")
TABLE=$(printf '%s\n' "${ROWS[@]}")
COMMAND_ARGS=
((LONG)) && COMMAND_ARGS+=" --long"
((ROUNDS != 3)) && COMMAND_ARGS+=" --rounds $ROUNDS"
[[ $RECEIVER != "$B/RAZUDovuve" ]] && COMMAND_ARGS+=" --receiver $RECEIVER"
[[ -n $ONLY ]] && COMMAND_ARGS+=" --only ${ONLY:1:-1}"
NOTES="Machine: $MACHINE. Load average before: $LOAD_BEFORE; after: $LOAD_AFTER.
$(want passes && echo "Filter passes timed with: $FILTER_NOTE." || true)
Receiver: $RECEIVER.
Command: bash bench/run.sh$COMMAND_ARGS"

say "Results"
echo
echo "$TABLE"
echo
echo "$NOTES"
{
    echo "$TABLE"
    echo
    echo "$NOTES"
} >"$T/results.md"
echo
echo "(also written to build-release/bench/results.md)"
