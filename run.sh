#!/usr/bin/env bash
# The one entry point: ./run.sh build | test | demo | dist | bench | soak [minutes] | rig
# Installs what is missing (as root on Debian 12), builds with mingw-w64 and
# runs everything under wine with a private Xvfb.
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)
BUILD=${COMRELAY_BUILD:-$ROOT/build}
OUTER_LD_PRELOAD=${LD_PRELOAD:-}

PACKAGES=(cmake make python3 g++-mingw-w64-i686 wine wine32 wine64 xvfb gcc-multilib
          doctest-dev imagemagick x11-utils cppcheck gnuplot-nox fonts-wine)

install_missing() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        local q=$p
        [ "$p" = wine32 ] && q=wine32:i386
        dpkg-query -W -f='${Status}' "$q" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "== installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

build() {
    install_missing
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" >/dev/null
    cmake --build "$BUILD" -j"$(nproc)"
}

# A world: a wine prefix with its own wineserver, an Xvfb display and a serial
# line rig (peer, ptys, COM map, interposer), all under one directory. The
# first world lives in $BUILD itself ($BUILD/wineprefix, $BUILD/rig) and is
# the one that demo, bench, soak and rig use; the test suite adds one world
# per parallel slot in $BUILD/worlds/K, each prefix a copy of the first.
WORLDS=()
XVFB_PIDS=()
cleanup() {
    # Waited for, so that nothing of the run outlives it: wine's processes,
    # the displays and their lock files, the rigs' peers.
    local w pid f
    for w in "${WORLDS[@]}"; do
        WINEPREFIX="$w/wineprefix" wineserver -k 2>/dev/null || true
        WINEPREFIX="$w/wineprefix" wineserver -w 2>/dev/null || true
    done
    for pid in "${XVFB_PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    for w in "${WORLDS[@]}"; do
        WORLD=$w
        for f in "$ROOT"/tools/setup.d/*.stop; do [ -e "$f" ] && . "$f"; done
    done
    return 0
}

# A private X display on the first free number from 90; sets DISPLAY.
start_display() {
    local n=90
    while [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ]; do n=$((n + 1)); done
    export DISPLAY=:$n
    Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    XVFB_PIDS+=($!)
    for _ in $(seq 100); do [ -e /tmp/.X11-unix/X$n ] && break; sleep 0.1; done
}

# The world in directory $1 on the display already in DISPLAY: its prefix
# (made by wineboot, or copied from the first world's), the further pieces in
# tools/setup.d and a persistent wineserver, so that each wine start costs a
# fraction of a second. Exports the world's variables.
start_world() {
    export WORLD=$1
    export WINEPREFIX="$WORLD/wineprefix"
    # Not another world's rig: each world's setup starts its own.
    unset COMRELAY_PEER_PORT COMRELAY_RIG_DIR
    if [ -n "$OUTER_LD_PRELOAD" ]; then export LD_PRELOAD=$OUTER_LD_PRELOAD; else unset LD_PRELOAD; fi
    if [ ! -f "$WINEPREFIX/system.reg" ] && [ "$WORLD" != "$BUILD" ]; then
        # A copy takes seconds where wineboot takes a minute; its COM map
        # moves to this world's rig, and the mount manager makes the links
        # anew when the world's services start. The DLL stores (1.2 GB) are
        # hard links: nothing but wineboot writes there.
        local from="$BUILD/wineprefix" to="$WINEPREFIX.partial" d
        rm -rf "$to"
        mkdir -p "$to"
        tar -C "$from" --exclude=./drive_c/windows/system32 --exclude=./drive_c/windows/syswow64 \
            --exclude=./drive_c/windows/winsxs -cf - . | tar -C "$to" -xf -
        for d in system32 syswow64 winsxs; do
            cp -al "$from/drive_c/windows/$d" "$to/drive_c/windows/"
        done
        rm -f "$to"/dosdevices/com*
        sed -i "s|\"$BUILD/rig/links/|\"$WORLD/rig/links/|" "$to/system.reg"
        mv "$to" "$WINEPREFIX"
    fi
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "== creating wine prefix $WINEPREFIX"
        wineboot -i >/dev/null 2>&1 || true
        wineserver -w
    fi
    # Further pieces of the test environment (the serial line rig) hook in here.
    local f
    for f in "$ROOT"/tools/setup.d/*.sh; do [ -e "$f" ] && . "$f"; done
    wineserver -p
    # The first program of a session starts wine's own services (and they keep
    # its output open); start them here, not under ctest.
    wine cmd /c exit >/dev/null 2>&1 </dev/null || true
}

# The first world, in $BUILD.
start_environment() {
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    trap cleanup EXIT
    WORLDS+=("$BUILD")
    start_display
    start_world "$BUILD"
}

# $1 worlds for the test suite's slots: world 0 is the first world; worlds 1
# on start side by side once it stands. Each world's variables go to
# $BUILD/worlds/K.env, which tools/world-env.sh reads for the test that ctest
# runs in slot K; $BUILD/worlds/resources.json lists the slots for ctest.
start_worlds() {
    local count=$1 k dir
    mkdir -p "$BUILD/worlds"
    rm -f "$BUILD"/worlds/*.env
    start_environment
    write_world_env "$BUILD/worlds/0.env"
    local displays=() pids=()
    for ((k = 1; k < count; k++)); do
        start_display
        displays+=("$DISPLAY")
        WORLDS+=("$BUILD/worlds/$k")
    done
    for ((k = 1; k < count; k++)); do
        dir="$BUILD/worlds/$k"
        mkdir -p "$dir"
        (
            export DISPLAY=${displays[k - 1]}
            start_world "$dir"
            write_world_env "$BUILD/worlds/$k.env"
        ) >"$dir/setup.log" 2>&1 &
        pids+=($!)
    done
    for ((k = 1; k < count; k++)); do
        if ! wait "${pids[k - 1]}"; then
            echo "run.sh: world $k did not start:" >&2
            cat "$BUILD/worlds/$k/setup.log" >&2
            return 1
        fi
    done
    # The first world's variables stay exported: programs outside any slot
    # (ctest without the slots) run in it as before.
    {
        echo '{"version": {"major": 1, "minor": 0}, "local": [{"world": ['
        for ((k = 0; k < count; k++)); do
            printf '  {"id": "%d", "slots": 1}%s\n' "$k" "$([ $k -lt $((count - 1)) ] && echo ,)"
        done
        echo ']}]}'
    } >"$BUILD/worlds/resources.json"
    export COMRELAY_WORLDS="$BUILD/worlds"
}

# The variables of the world in the current shell, as shell assignments.
write_world_env() {
    {
        echo "export WINEPREFIX='$WINEPREFIX' DISPLAY='$DISPLAY'"
        echo "export COMRELAY_RIG_DIR='$COMRELAY_RIG_DIR' COMRELAY_PEER_PORT='$COMRELAY_PEER_PORT'"
        echo "export LD_PRELOAD='$LD_PRELOAD'"
    } >"$1"
}

# ./run.sh rig [--echo N]... [--instant] [--no-build]: the test environment,
# for a host of one's own, until Ctrl-C. The lines to paste go to stdout;
# tools/rig/farend finds the rig through $BUILD/rig/peer.port. Lines run at
# their baud rate unless --instant gives the bare pty (farend --help).
rig() {
    local echo=() no_build= a
    export COMRELAY_RIG_LINE=paced
    while [ $# -gt 0 ]; do
        case $1 in
        --echo)
            a=${2:-}
            a=${a#[Cc][Oo][Mm]}
            case $a in
            [1-4]) echo+=("$a") ;;
            *) echo "rig: --echo takes a port, 1 to 4" >&2; exit 2 ;;
            esac
            shift 2
            ;;
        --no-build) no_build=1; shift ;;
        --instant) COMRELAY_RIG_LINE=instant; shift ;;
        *) echo "usage: $0 rig [--echo N]... [--instant] [--no-build]" >&2; exit 2 ;;
        esac
    done
    # A shell that has sourced an earlier rig's env file must not hand that
    # rig's interposer to this one's wineserver as well.
    unset LD_PRELOAD COMRELAY_PEER_PORT COMRELAY_RIG_DIR
    OUTER_LD_PRELOAD=
    local env_file="$BUILD/rig/env"
    # A second start would take the first rig's peer and wineserver down.
    local running
    running=$(cat "$BUILD/rig/peer.pid" 2>/dev/null || true)
    if [ -e "$env_file" ] && [ -n "$running" ] &&
        grep -qF "tools/rig/peer.py" "/proc/$running/cmdline" 2>/dev/null; then
        echo "rig: a rig is already running on $BUILD (its peer is process $running)" >&2
        exit 1
    fi
    # Signals end the script through its EXIT trap (cleanup), also while it
    # is still starting.
    trap 'exit 130' INT
    trap 'exit 143' TERM
    trap 'exit 129' HUP
    [ -n "$no_build" ] || build
    start_environment
    trap 'rm -f "$env_file"; cleanup; echo "== the rig has stopped"' EXIT

    local n
    for n in 1 2 3 4; do rig_request "attach $n"; done
    for n in "${echo[@]}"; do rig_request "echo $n 1"; done
    {
        echo "export WINEPREFIX='$WINEPREFIX' DISPLAY='$DISPLAY'"
        echo "export WINEDEBUG='$WINEDEBUG' WINEDLLOVERRIDES='$WINEDLLOVERRIDES'"
        echo "export COMRELAY_RIG_DIR='$COMRELAY_RIG_DIR' LD_PRELOAD='$LD_PRELOAD'"
    } >"$env_file"
    local echoing=
    [ ${#echo[@]} -gt 0 ] && echoing=" (echoing: $(printf 'COM%s ' "${echo[@]}" | sed 's/ $//'))"
    local pace="paced at their baud rate"
    [ "$COMRELAY_RIG_LINE" = instant ] && pace="instant ptys"
    echo "== the rig is up: COM1 to COM4 of the virtual null-modem, $pace$echoing"
    echo "   Run your host from another shell:"
    echo "     . $env_file"
    echo "     wine yourhost.exe"
    echo "   Drive the far end: $ROOT/tools/rig/farend send COM1 'hello\\r\\n'  (--help lists the verbs)"
    echo "   or open it as a device from any Linux program (picocom -b 9600 PATH, sz, a Modbus server):"
    for n in 1 2 3 4; do
        echo "     COM$n: $COMRELAY_RIG_DIR/farend/ttyCOM$n -> $(readlink "$COMRELAY_RIG_DIR/farend/ttyCOM$n")"
    done
    echo "   Ctrl-C here stops the rig and every program on it."
    # Until a signal, or until the display or the peer ends on its own.
    local peer
    peer=$(cat "$COMRELAY_RIG_DIR/peer.pid")
    wait -n "${XVFB_PIDS[0]}" "$peer" 2>/dev/null || true
    # Ctrl-C reaches the display and the peer too, and their end may wake
    # the wait before the signal's own trap has run.
    sleep 1
    echo "rig: the X display or the peer stopped; stopping the rest" >&2
    exit 1
}

# The ten slowest programs of a ctest run, from its JUnit file.
slowest() {
    [ -s "$1" ] || return 0
    python3 - "$1" <<'PY' || true
import sys
import xml.etree.ElementTree as ET
cases = [(float(c.get("time") or 0), c.get("name"), c.get("status", ""))
         for c in ET.parse(sys.argv[1]).getroot().iter("testcase")]
print("== the slowest programs (s):")
for t, name, status in sorted(cases, reverse=True)[:10]:
    print("  %7.1f  %s%s" % (t, name, "" if status == "run" else "  (%s)" % status))
PY
}

# COMRELAY_BUSY=N: N CPU-bound loops beside the test run, as other builds on
# a shared machine would be; stopped when the run ends, however it ends.
BUSY_PIDS=()
start_busy() {
    local k
    for ((k = 0; k < $1; k++)); do
        bash -c 'while :; do :; done' </dev/null >/dev/null 2>&1 &
        BUSY_PIDS+=($!)
    done
    [ "$1" -gt 0 ] && echo "== $1 busy loops beside the run"
    return 0
}
stop_busy() {
    local pid
    for pid in "${BUSY_PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    BUSY_PIDS=()
}

# One request to the rig's peer, which answers "ok ..." or "err ...".
rig_request() {
    local reply
    exec 3<>"/dev/tcp/127.0.0.1/$COMRELAY_PEER_PORT"
    echo "$1" >&3
    read -r reply <&3
    exec 3<&-
    case $reply in
    ok*) ;;
    *) echo "rig: the peer said \"$reply\" to \"$1\"" >&2; return 1 ;;
    esac
}

# In braces, so that bash has read the whole script before it runs a
# command: an edit of this file during a long run cannot reach that run.
{
case "${1:-}" in
build)
    build
    ;;
test)
    # ./run.sh test: the suite in COMRELAY_SLOTS parallel slots (default 4),
    # each slot a world of its own; CTEST_ARGS go to ctest after ours (a -j1
    # there runs one program at a time, still each in a slot's world).
    # COMRELAY_BUSY=N keeps N cores' worth of busy loops running meanwhile.
    slots=${COMRELAY_SLOTS:-4}
    busy=${COMRELAY_BUSY:-0}
    case $busy in
    '' | *[!0-9]*) echo "run.sh: COMRELAY_BUSY takes a number of loops" >&2; exit 2 ;;
    esac
    build
    start_worlds "$slots"
    trap 'stop_busy; cleanup' EXIT
    start_busy "$busy"
    rm -f "$BUILD/ctest-junit.xml"
    status=0
    ctest --test-dir "$BUILD" --output-on-failure -j"$((slots + 1))" \
        --resource-spec-file "$BUILD/worlds/resources.json" \
        --output-junit "$BUILD/ctest-junit.xml" ${CTEST_ARGS:-} || status=$?
    stop_busy
    slowest "$BUILD/ctest-junit.xml"
    exit $status
    ;;
demo)
    build
    start_environment
    BUILD="$BUILD" "$ROOT/tools/host/demo.sh"
    ;;
bench)
    # ./run.sh bench [--long] [program...]: all programs by default (about
    # 10 minutes); --long (or COMRELAY_BENCH_LONG=1) counts 100,000
    # notifications for the footprint, which takes about 90 minutes more.
    shift
    long=${COMRELAY_BENCH_LONG:-}
    programs=()
    for a in "$@"; do
        case $a in
        --long) long=1 ;;
        *) programs+=("$a") ;;
        esac
    done
    [ ${#programs[@]} -gt 0 ] || programs=(latency linerate unpaced idle write footprint)
    build
    start_environment
    mkdir -p "$BUILD/bench"
    for p in "${programs[@]}"; do
        args=()
        [ "$p" = footprint ] && [ -n "$long" ] && args=(--notifications 100000)
        rm -f "$BUILD/bench/$p.json"
        echo "== $p"
        (cd "$BUILD" && "$ROOT/tools/wine-run.sh" "$BUILD/bench/bench_$p.exe" "${args[@]}") ||
            echo "   (failed)"
    done
    python3 "$ROOT/bench/report.py" "$BUILD"
    ;;
rig)
    shift
    rig "$@"
    ;;
dist)
    # The release for Windows users: build/dist/comrelay-<version>-win32.zip
    # with the DLL, the reference host, the header, the minimal host's source
    # and the README; then its contents and SHA-256.
    build
    rm -rf "$BUILD/dist"
    cmake --build "$BUILD" --target dist
    zip=$(ls "$BUILD"/dist/comrelay-*-win32.zip)
    echo "== $zip"
    python3 -m zipfile -l "$zip"
    echo "== SHA-256"
    sha256sum "$zip"
    ;;
soak)
    # Not in CI: ./run.sh soak [minutes] [hosts|stream]. hosts: the
    # randomised host on fresh seeds, reporting the behaviours and line
    # events it covered; stream: both directions, reporting bytes,
    # notifications, errors and the memory and handle trends. Both by
    # default, each for the given minutes (default 10).
    minutes=${2:-10}
    which=${3:-both}
    build
    start_environment
    status=0
    if [ "$which" != stream ]; then
        (cd "$BUILD" && "$ROOT/tools/wine-run.sh" "$BUILD/tools/host_simulation.exe" --fresh \
            --seconds "$(awk "BEGIN { print $minutes * 60 }")" --dll checked/comrelay.dll) || status=1
    fi
    if [ "$which" != hosts ]; then
        (cd "$BUILD" && "$ROOT/tools/wine-run.sh" "$BUILD/tools/soak.exe" "$minutes") || status=1
    fi
    exit $status
    ;;
*)
    echo "usage: $0 build | test | demo | dist | bench [--long] [program...] | soak [minutes] |" >&2
    echo "       rig [--echo N]... [--instant] [--no-build]" >&2
    exit 2
    ;;
esac
exit
}
