#!/usr/bin/env bash
# The one entry point: ./run.sh build | test | demo | dist | bench | soak [minutes] | rig
# Installs what is missing (as root on Debian 12), builds with mingw-w64 and
# runs everything under wine with a private Xvfb.
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$(pwd)
BUILD=${COMRELAY_BUILD:-$ROOT/build}

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

XVFB_PID=
cleanup() {
    # Waited for, so that nothing of the run outlives it: wine's processes,
    # the display and its lock file.
    if [ -n "${WINEPREFIX:-}" ]; then
        wineserver -k 2>/dev/null || true
        wineserver -w 2>/dev/null || true
    fi
    if [ -n "$XVFB_PID" ]; then
        kill "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
    fi
    for f in "$ROOT"/tools/setup.d/*.stop; do [ -e "$f" ] && . "$f"; done
    return 0
}

# A private X display, a wine prefix per build directory and a persistent
# wineserver, so that each wine start costs a fraction of a second.
start_environment() {
    export WINEPREFIX="$BUILD/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    local n=90
    while [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ]; do n=$((n + 1)); done
    export DISPLAY=:$n
    Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    XVFB_PID=$!
    trap cleanup EXIT
    for _ in $(seq 100); do [ -e /tmp/.X11-unix/X$n ] && break; sleep 0.1; done
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "== creating wine prefix $WINEPREFIX"
        wineboot -i >/dev/null 2>&1 || true
        wineserver -w
    fi
    # Further pieces of the test environment (the serial line rig) hook in here.
    for f in "$ROOT"/tools/setup.d/*.sh; do [ -e "$f" ] && . "$f"; done
    wineserver -p
    # The first program of a session starts wine's own services (and they keep
    # its output open); start them here, not under ctest.
    wine cmd /c exit >/dev/null 2>&1 </dev/null || true
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
    echo "   Ctrl-C here stops the rig and every program on it."
    # Until a signal, or until the display or the peer ends on its own.
    local peer
    peer=$(cat "$COMRELAY_RIG_DIR/peer.pid")
    wait -n "$XVFB_PID" "$peer" 2>/dev/null || true
    # Ctrl-C reaches the display and the peer too, and their end may wake
    # the wait before the signal's own trap has run.
    sleep 1
    echo "rig: the X display or the peer stopped; stopping the rest" >&2
    exit 1
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

case "${1:-}" in
build)
    build
    ;;
test)
    build
    start_environment
    ctest --test-dir "$BUILD" --output-on-failure -j1 ${CTEST_ARGS:-}
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
