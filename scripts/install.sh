#!/usr/bin/env bash
# Installs the receiver for the user who runs it, like a desktop program,
# or as a system service that runs it without a window.
#
#   usage: bash scripts/install.sh [--no-autostart] [FOLDER]
#          bash scripts/install.sh --service [FOLDER]
#          bash scripts/install.sh --uninstall [FOLDER]
#
#   FOLDER          the installation's folder; ~/RAZUDovuve when left out
#   --no-autostart  no autostart entry (an autostart entry of this
#                   installation that is already there is removed)
#   --service       no desktop entries (this installation's autostart entry
#                   is removed); instead the systemd unit razudovuve.service
#                   (docs/systemd/razudovuve.service) for FOLDER and this user
#                   goes into /etc/systemd/system/ (through sudo), and is
#                   enabled and started. Run again, it stops the unit, updates
#                   the program and the unit and starts it again. Where
#                   systemd is not running the unit is written all the same.
#   --uninstall     removes the menu entry, the autostart entry and the icon,
#                   and the unit when it runs this installation; FOLDER and
#                   everything in it stay as they are
#
# Installing builds the receiver in Release into build-release/ (after
# scripts/deps.sh has installed what is missing) and then
#   - copies RAZUDovuve and Wav/ into FOLDER (created with mode 0750). The
#     executable goes in under a temporary name and is renamed over the old
#     one, and not at all while that installation is running. A database,
#     settings file, Log/ folder and ports/ links already there are left
#     alone;
#   - writes the menu entry razudovuve.desktop into
#     ${XDG_DATA_HOME:-~/.local/share}/applications/ and the same entry into
#     ${XDG_CONFIG_HOME:-~/.config}/autostart/, so the receiver starts after
#     login; the entries carry the executable's version (X-RAZUDovuve-Version);
#   - puts the icon into ${XDG_DATA_HOME:-~/.local/share}/icons/hicolor/;
#   - checks that the user may open the serial devices and, if not, prints
#     the command that fixes it.
#
# Environment:
#   RAZUDOVUVE_BUILD_DIR  a build folder to take RAZUDovuve, Wav/ and icons/
#                         from instead of building Release (the tests use
#                         their own build this way)
#   RAZUDOVUVE_SYSTEMD_DIR      the units' folder instead of /etc/systemd/system
#   RAZUDOVUVE_SYSTEMD_RUNTIME  the folder whose presence says systemd runs,
#                               instead of /run/systemd/system (the tests use
#                               these two with a stub systemctl)
#
# Runs as the receiver's own user, never needs root itself (only
# scripts/deps.sh asks sudo for packages that are missing, and --service for
# the unit and systemctl), changes nothing outside build-release/, FOLDER,
# the user's own desktop folders and the unit, says what it did, and can be
# run again: a second run replaces the program and the entries and keeps the
# data.
set -euo pipefail
export LC_ALL=C
ROOT=$(cd "$(dirname "$0")/.." && pwd)
NAME=RAZUDovuve
ENTRY=razudovuve.desktop
ICON=razudovuve

say() { printf '%s\n' "$*"; }
# report WHAT PATH: one line of what was done to PATH.
report() { printf '  %-10s %s\n' "$1" "$2"; }
fail() {
    printf 'install.sh: %s\n' "$*" >&2
    exit 1
}

MODE=install
AUTOSTART=1
SERVICE=0
FOLDER=
while (($#)); do
    case $1 in
        --uninstall) MODE=uninstall ;;
        --no-autostart) AUTOSTART=0 ;;
        --service) SERVICE=1 AUTOSTART=0 ;;
        -h | --help) sed -n '2,52p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        -*) echo "install.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
        *)
            [[ -z $FOLDER ]] || { echo "install.sh: only one FOLDER, please" >&2; exit 2; }
            FOLDER=$1
            ;;
    esac
    shift
done

: "${HOME:?install.sh: HOME is not set}"
FOLDER=${FOLDER:-$HOME/$NAME}
# The folder's path goes into the desktop entries, one line each.
[[ $FOLDER != *[[:cntrl:]]* ]] || fail "the folder's name holds a control character"

# Relative XDG folders are to be ignored, as if they were not set.
DATA_HOME=${XDG_DATA_HOME:-}
[[ $DATA_HOME == /* ]] || DATA_HOME=$HOME/.local/share
CONFIG_HOME=${XDG_CONFIG_HOME:-}
[[ $CONFIG_HOME == /* ]] || CONFIG_HOME=$HOME/.config
MENU_ENTRY=$DATA_HOME/applications/$ENTRY
AUTOSTART_ENTRY=$CONFIG_HOME/autostart/$ENTRY
ICONS=$DATA_HOME/icons/hicolor

# exec_value PATH: PATH as the Exec key of a desktop entry holds it. A path of
# plain characters stays as it is; any other is quoted, with ", `, $ and \
# escaped inside the quotes, then every \ doubled for the key's value, and %
# (the start of a field code) doubled.
exec_value() {
    local s=$1
    if [[ ! $s =~ ^[A-Za-z0-9/._+,:@-]+$ ]]; then
        s=${s//\\/\\\\}
        s=${s//\"/\\\"}
        s=${s//\`/\\\`}
        s=${s//\$/\\\$}
        s="\"$s\""
        s=${s//\\/\\\\}
    fi
    printf '%s' "${s//%/%%}"
}

# entry_exec FILE: the Exec value of a desktop entry.
entry_exec() {
    sed -n 's/^Exec=//p' "$1" | head -n 1
}

# running_pids EXE: processes whose program is EXE, also when EXE has been
# replaced since they started.
running_pids() {
    local dir link
    # Other users' processes are not readable and do not count.
    while IFS=$'\t' read -r dir link; do
        if [[ $link == "$1" || $link == "$1 (deleted)" ]]; then
            printf '%s\n' "${dir#/proc/}"
        fi
    done < <(find /proc -mindepth 2 -maxdepth 2 -name exe -printf '%h\t%l\n' 2>/dev/null)
}

refuse_if_running() {
    local pids
    pids=$(running_pids "$1" | tr '\n' ' ')
    if [[ -n $pids ]]; then
        fail "$1 is running (process ${pids% }); close it first, then install again"
    fi
}

# put_file SRC DEST MODE: copies SRC to DEST through a temporary file in
# DEST's folder, so DEST is always either the old or the new file.
put_file() {
    local src=$1 dest=$2 mode=$3 tmp
    if [[ -f $dest ]] && cmp -s "$src" "$dest"; then
        chmod "$mode" "$dest"
        report unchanged "$dest"
        return
    fi
    local verb=installed
    if [[ -e $dest ]]; then verb=replaced; fi
    tmp=$(mktemp "$(dirname "$dest")/.$(basename "$dest").XXXXXX")
    TMP_FILES+=("$tmp")
    cp "$src" "$tmp"
    chmod "$mode" "$tmp"
    mv -f "$tmp" "$dest"
    report "$verb" "$dest"
}

# put_text DEST TEXT: put_file for generated text.
put_text() {
    local tmp
    tmp=$(mktemp)
    TMP_FILES+=("$tmp")
    printf '%s' "$2" >"$tmp"
    put_file "$tmp" "$1" 0644
    rm -f "$tmp"
}

TMP_FILES=()
cleanup() {
    local f
    for f in "${TMP_FILES[@]}"; do rm -f "$f"; done
}
trap cleanup EXIT

# remove_entry FILE EXEC: removes a desktop entry that starts EXEC; an entry
# of another installation stays (returns 1 then).
remove_entry() {
    local file=$1 exec=$2 other
    if [[ ! -e $file ]]; then
        report "not there" "$file"
        return 0
    fi
    other=$(entry_exec "$file")
    if [[ $other != "$exec" ]]; then
        report left "$file (it starts $other, another installation)"
        return 1
    fi
    rm -f "$file"
    report removed "$file"
}

# The systemd unit.
UNIT=razudovuve.service
UNIT_FILE=${RAZUDOVUVE_SYSTEMD_DIR:-/etc/systemd/system}/$UNIT
SUDO=
if [[ $(id -u) -ne 0 ]]; then SUDO=sudo; fi
systemd_running() { [[ -d ${RAZUDOVUVE_SYSTEMD_RUNTIME:-/run/systemd/system} ]]; }
# systemctl ARGS...: as root, saying what it runs.
run_systemctl() {
    report systemctl "$*"
    $SUDO systemctl "$@"
}
# unit_quote TEXT: TEXT as one quoted word of a unit file, with % (the start
# of a specifier) doubled and, when $2 is "exec", $ doubled as well.
unit_quote() {
    local s=$1
    s=${s//\\/\\\\}
    s=${s//\"/\\\"}
    s=${s//%/%%}
    if [[ ${2:-} == exec ]]; then s=${s//\$/\$\$}; fi
    printf '"%s"' "$s"
}
# unit_exec FILE: the ExecStart line of an installed unit.
unit_exec() {
    sed -n 's/^ExecStart=//p' "$1" | head -n 1
}

# --------------------------------------------------------------------------
if [[ $MODE == uninstall ]]; then
    FOLDER=$(realpath -m "$FOLDER")
    EXEC=$(exec_value "$FOLDER/$NAME")
    say "Removing the desktop entries of $FOLDER/$NAME"
    others=0
    remove_entry "$MENU_ENTRY" "$EXEC" || others=1
    remove_entry "$AUTOSTART_ENTRY" "$EXEC" || others=1
    if ((others)); then
        report left "the icon (another installation's entry uses it)"
    else
        found=0
        for f in "$ICONS"/*/apps/"$ICON".png; do
            [[ -e $f ]] || continue
            rm -f "$f"
            report removed "$f"
            found=1
        done
        ((found)) || report "not there" "$ICONS/*/apps/$ICON.png"
    fi
    UNIT_EXEC="$(unit_quote "$FOLDER/$NAME" exec) --service"
    if [[ ! -e $UNIT_FILE ]]; then
        report "not there" "$UNIT_FILE"
    elif [[ $(unit_exec "$UNIT_FILE") != "$UNIT_EXEC" ]]; then
        report left "$UNIT_FILE (it runs $(unit_exec "$UNIT_FILE"), another installation)"
    else
        if systemd_running; then run_systemctl disable --now "$UNIT"; fi
        $SUDO rm -f "$UNIT_FILE"
        report removed "$UNIT_FILE"
        if systemd_running; then run_systemctl daemon-reload; fi
    fi
    say "Kept $FOLDER and everything in it (program, database, settings, logs,"
    say "ports/); delete it by hand once its data is no longer needed."
    exit 0
fi

# --------------------------------------------------------------------------
[[ ! -e $FOLDER || -d $FOLDER ]] || fail "$FOLDER is there but not a folder"
FOLDER=$(realpath -m "$FOLDER")
UNIT_EXEC="$(unit_quote "$FOLDER/$NAME" exec) --service"
# The service of this installation is stopped for the update (it starts
# again at the end); a window of it is not.
stop_own_service() {
    if ((SERVICE)) && [[ -e $UNIT_FILE ]] && systemd_running &&
        [[ $(unit_exec "$UNIT_FILE") == "$UNIT_EXEC" ]]; then
        # Anything else running this program (a window) is refused first,
        # so the service is not left stopped by a failed update.
        local main others
        main=$(systemctl show -p MainPID --value "$UNIT" 2>/dev/null || true)
        others=$(running_pids "$FOLDER/$NAME" | grep -vx "${main:-0}" | tr '\n' ' ' || true)
        [[ -z $others ]] || fail "$FOLDER/$NAME is running (process ${others% }) besides the service; close it first, then install again"
        say "Stopping the service for the update"
        run_systemctl stop "$UNIT"
    fi
}
if [[ -z ${RAZUDOVUVE_BUILD_DIR:-} ]]; then refuse_if_running "$FOLDER/$NAME"; fi

if [[ -n ${RAZUDOVUVE_BUILD_DIR:-} ]]; then
    BUILD=$(realpath "$RAZUDOVUVE_BUILD_DIR")
    say "Using the build in $BUILD"
else
    BUILD=$ROOT/build-release
    say "Building (Release) in $BUILD"
    bash "$ROOT/scripts/deps.sh"
    mkdir -p "$BUILD"
    # The same configuration as bench/run.sh's, which shares this folder;
    # GCC's optimiser gives two false alarms there that stay warnings.
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DKORVAN_BUILD_TESTS=OFF \
        "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -g -DNDEBUG" \
        "-DCMAKE_CXX_FLAGS=-Wno-error=maybe-uninitialized -Wno-error=restrict" \
        >"$BUILD/install-cmake.log" 2>&1 || { cat "$BUILD/install-cmake.log"; fail "configuring failed"; }
    cmake --build "$BUILD" -j"$(nproc)" --target $NAME >"$BUILD/install-build.log" 2>&1 ||
        { tail -50 "$BUILD/install-build.log"; fail "building failed (log: $BUILD/install-build.log)"; }
fi
for f in "$NAME" Wav/impmsg.wav Wav/error.wav icons/hicolor; do
    [[ -e $BUILD/$f ]] || fail "$BUILD/$f is missing; build the $NAME target there first"
done
VERSION_LINE=$("$BUILD/$NAME" --version) || fail "$BUILD/$NAME --version failed"
[[ $VERSION_LINE =~ ^$NAME\ ([0-9][0-9A-Za-z.+~-]*)$ ]] ||
    fail "$BUILD/$NAME --version said \"$VERSION_LINE\", not \"$NAME <version>\""
VERSION=${BASH_REMATCH[1]}

say "Installing $NAME $VERSION into $FOLDER"
if [[ ! -d $FOLDER ]]; then
    mkdir -p "$(dirname "$FOLDER")"
    mkdir -m 0750 "$FOLDER"
    report created "$FOLDER"
fi
mkdir -p "$FOLDER/Wav"
for f in "$BUILD"/Wav/*.wav; do
    put_file "$f" "$FOLDER/Wav/$(basename "$f")" 0640
done
# Checked again right before the executable changes: the build may have
# taken a while.
stop_own_service
refuse_if_running "$FOLDER/$NAME"
put_file "$BUILD/$NAME" "$FOLDER/$NAME" 0750
for f in "$NAME.db" "$NAME.ini" Log ports; do
    if [[ -e $FOLDER/$f || -L $FOLDER/$f ]]; then report kept "$FOLDER/$f"; fi
done

EXEC=$(exec_value "$FOLDER/$NAME")
# desktop_entry EXTRA: the entry's text; EXTRA is added at its end. Its
# Version is that of the entry format (1.4 is what every current validator
# knows); the receiver's own is X-RAZUDovuve-Version.
desktop_entry() {
    cat <<EOF
# $NAME $VERSION, installed by scripts/install.sh.
[Desktop Entry]
Type=Application
Version=1.4
Name=Korvan GPRS Module
GenericName=Alarm Receiver
Comment=Receives alarms from GPRS units and hands them to the monitoring software
Icon=$ICON
Exec=$EXEC
Path=${FOLDER//\\/\\\\}
Terminal=false
Categories=Network;Monitor;
X-RAZUDovuve-Version=$VERSION
$1
EOF
}
# put_entry FILE EXTRA: writes an entry; one there that started another
# installation gives way (a user has one menu entry for the receiver).
put_entry() {
    local old=
    if [[ -e $1 ]]; then old=$(entry_exec "$1"); fi
    mkdir -p "$(dirname "$1")"
    put_text "$1" "$(desktop_entry "$2")"$'\n'
    if [[ -n $old && $old != "$EXEC" ]]; then report "" "(it started $old until now)"; fi
}
if ((SERVICE)); then
    say "No desktop entries: the service runs the receiver, also without a login"
    remove_entry "$AUTOSTART_ENTRY" "$EXEC" || true
else
    say "Desktop entries and icon"
    put_entry "$MENU_ENTRY" ""
    if ((AUTOSTART)); then
        put_entry "$AUTOSTART_ENTRY" "X-GNOME-Autostart-enabled=true"
    else
        remove_entry "$AUTOSTART_ENTRY" "$EXEC" || true
    fi
    for f in "$BUILD"/icons/hicolor/*/apps/"$ICON".png; do
        size=$(basename "$(dirname "$(dirname "$f")")")
        mkdir -p "$ICONS/$size/apps"
        put_file "$f" "$ICONS/$size/apps/$ICON.png" 0644
    done
    # A user icon cache that is there would hide a new icon until refreshed.
    if [[ -f $ICONS/icon-theme.cache ]] && command -v gtk-update-icon-cache >/dev/null; then
        gtk-update-icon-cache -q -t -f "$ICONS" || true
    fi
fi

# --------------------------------------------------------------------------
say "Serial ports"
USER_NAME=$(id -un)
if [[ $(id -u) -eq 0 ]]; then
    say "  running as root, which may open every device; the receiver itself should"
    say "  run as the ordinary user of the control-room desktop"
else
    devices=()
    for d in /dev/ttyS0 /dev/ttyUSB* /dev/ttyACM* "$FOLDER"/ports/*; do
        if [[ -e $d ]]; then devices+=("$d"); fi
    done
    session_groups=" $(id -nG) "
    user_groups=" $(id -nG "$USER_NAME") "
    groups=()
    for d in "${devices[@]}"; do
        if [[ -r $d && -w $d ]]; then
            say "  $USER_NAME may open $d"
            continue
        fi
        g=$(stat -L -c %G "$d")
        say "  $USER_NAME may not open $d (group $g)"
        if [[ " ${groups[*]} " != *" $g "* ]]; then groups+=("$g"); fi
    done
    if ((${#devices[@]} == 0)); then
        say "  no serial device found (/dev/ttyS0, /dev/ttyUSB*, /dev/ttyACM*)"
        # A USB adapter plugged in later usually belongs to dialout.
        if getent group dialout >/dev/null && [[ $session_groups != *" dialout "* ]]; then
            groups+=(dialout)
        fi
    fi
    for g in "${groups[@]}"; do
        if [[ $g == root ]]; then
            say "  a device of group root (above): ask the administrator for access to it"
        elif [[ $session_groups == *" $g "* ]]; then
            say "  $USER_NAME is in group $g; the device's own permissions keep it out"
        elif [[ $user_groups == *" $g "* ]]; then
            say "  $USER_NAME was added to group $g after this login: log out and back in"
        else
            say "  to fix it, run this once, then log out and back in:"
            say "    sudo usermod -aG $g $USER_NAME"
        fi
    done
fi

# --------------------------------------------------------------------------
if ((SERVICE)); then
    say "Service"
    # The unit of docs/systemd/ with this installation's folder and user.
    unit_text() {
        local line
        printf '# %s %s in %s, written by scripts/install.sh --service.\n' "$NAME" "$VERSION" "$FOLDER"
        while IFS= read -r line; do
            case $line in
                ExecStart=*) line="ExecStart=$UNIT_EXEC" ;;
                User=*) line="User=$USER_NAME" ;;
                ReadWritePaths=*) line="ReadWritePaths=$(unit_quote "$FOLDER") -/run/lock" ;;
            esac
            printf '%s\n' "$line"
        done <"$ROOT/docs/systemd/$UNIT"
    }
    tmp=$(mktemp)
    TMP_FILES+=("$tmp")
    unit_text >"$tmp"
    if [[ -f $UNIT_FILE ]] && cmp -s "$tmp" "$UNIT_FILE"; then
        report unchanged "$UNIT_FILE"
    else
        verb=installed
        if [[ -e $UNIT_FILE ]]; then verb=replaced; fi
        $SUDO mkdir -p "$(dirname "$UNIT_FILE")"
        $SUDO install -m 0644 "$tmp" "$UNIT_FILE"
        report "$verb" "$UNIT_FILE"
    fi
    if systemd_running; then
        run_systemctl daemon-reload
        run_systemctl enable "$UNIT"
        run_systemctl start "$UNIT"
        say "  state: systemctl status razudovuve; messages: journalctl -u razudovuve"
    else
        say "  systemd is not running here: the unit is written, not enabled or started;"
        say "  where systemd runs: sudo systemctl daemon-reload && sudo systemctl enable --now $UNIT"
    fi
fi

PORT=33665
if [[ -f $FOLDER/$NAME.ini ]]; then
    p=$(head -n 1 "$FOLDER/$NAME.ini" | tr -d '\r ')
    if [[ $p =~ ^[0-9]{1,5}$ ]] && ((p >= 1 && p <= 65535)); then PORT=$p; fi
fi
say "Firewall"
say "  units reach the receiver on UDP port $PORT: admit it from the units' network"
say "  only (the README's section \"Security\" has an example)"
if ((SERVICE)); then
    say "Done: the service $UNIT runs $FOLDER/$NAME --service."
else
    say "Done: \"Korvan GPRS Module\" is in the desktop's menu$( ((AUTOSTART)) && printf ' and starts after login')."
fi
