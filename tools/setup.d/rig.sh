# The serial line rig (sourced by run.sh before the persistent wineserver
# starts): builds the interposers, starts the peer, maps COM1..COM4 of the
# prefix to stable links that the peer points at fresh ptys. Each world has
# its own rig in $WORLD/rig (the first world's is $BUILD/rig).
# Needs ROOT, BUILD, WORLD and WINEPREFIX from run.sh.

rig_setup() {
    local dir="${WORLD:-$BUILD}/rig" src="$ROOT/tools/rig"
    mkdir -p "$dir/links" "$dir/lib/i386-linux-gnu" "$dir/lib/x86_64-linux-gnu"

    # One source, both ELF classes: the 32-bit wine programs do the device
    # calls, the 64-bit wineserver opens the device. Found through $LIB, so
    # neither class meets a library of the other ("wrong ELF class").
    local bits arch lib
    for bits in 32 64; do
        arch=i386-linux-gnu
        [ "$bits" = 64 ] && arch=x86_64-linux-gnu
        lib="$dir/lib/$arch/librig.so"
        if [ ! -e "$lib" ] || [ "$src/interposer.c" -nt "$lib" ]; then
            gcc -m$bits -O2 -Wall -Wextra -Werror -shared -fPIC -o "$lib" "$src/interposer.c" -ldl
        fi
    done

    # A peer left over from an interrupted run goes first (its pid is ours).
    rig_stop_peer
    rm -f "$dir/peer.port"
    # COMRELAY_RIG_LINE=instant gives the bare pty on every attach.
    python3 "$src/peer.py" --dir "$dir" --line "${COMRELAY_RIG_LINE:-paced}" </dev/null >"$dir/peer.log" 2>&1 &
    local i
    for i in $(seq 100); do
        [ -s "$dir/peer.port" ] && break
        sleep 0.1
    done
    if [ ! -s "$dir/peer.port" ]; then
        echo "rig: the peer did not start, see $dir/peer.log" >&2
        return 1
    fi
    export COMRELAY_PEER_PORT COMRELAY_RIG_DIR="$dir"
    COMRELAY_PEER_PORT=$(cat "$dir/peer.port")

    # Wineserver must start with the interposer in its environment: stop any
    # that is still running for this prefix.
    export LD_PRELOAD="$dir/\$LIB/librig.so${LD_PRELOAD:+ $LD_PRELOAD}"
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true

    # Wine's mount manager rewrites dosdevices/com1.. for the machine's own
    # /dev/ttyS* at every start; it honours only the registry's port map.
    local n want=0
    for n in 1 2 3 4; do
        grep -qF "\"COM$n\"=\"$dir/links/com$n\"" "$WINEPREFIX/system.reg" 2>/dev/null || want=1
    done
    if [ "$want" = 1 ]; then
        for n in 1 2 3 4; do
            wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$dir/links/com$n" /f \
                >/dev/null 2>&1 </dev/null
        done
        # The links are made when the next wineserver's services start.
        wineserver -k 2>/dev/null || true
        wineserver -w 2>/dev/null || true
    fi
}

rig_stop_peer() {
    local pidfile="${WORLD:-$BUILD}/rig/peer.pid" pid
    [ -s "$pidfile" ] || return 0
    pid=$(cat "$pidfile")
    # Only a process that runs our peer.py is ours to stop.
    if grep -qF "tools/rig/peer.py" "/proc/$pid/cmdline" 2>/dev/null; then
        kill "$pid" 2>/dev/null || true
        local i
        for i in $(seq 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
    fi
    rm -f "$pidfile"
}

rig_setup
