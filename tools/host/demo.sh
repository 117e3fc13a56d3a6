#!/usr/bin/env bash
# ./run.sh demo: comrelay-host against an echoing far end on COM1 of the
# virtual null-modem, its transcript, and a screenshot of its window.
# Run by run.sh once it has started Xvfb, the wine prefix, the rig's peer and
# wineserver, and exported DISPLAY and COMRELAY_PEER_PORT; BUILD is given.
set -euo pipefail
BUILD=${BUILD:?}
transcript="$BUILD/demo-transcript.txt"
shot="$BUILD/comrelay-host.png"

# One request to the peer (tools/rig/peer.py) over its loopback socket.
peer() {
    local reply
    exec 3<>"/dev/tcp/127.0.0.1/$COMRELAY_PEER_PORT"
    echo "$*" >&3
    read -r reply <&3
    exec 3<&-
    case "$reply" in ok*) ;; *) echo "demo: the peer said \"$reply\" to \"$*\"" >&2; return 1 ;; esac
}

# Waits up to 15 s for a line of the transcript.
await() {
    local i
    for i in $(seq 150); do
        grep -qF -- "$1" "$transcript" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "demo: the host never printed \"$1\"" >&2
    return 1
}

peer attach 1
peer echo 1 1
echo "== COM1: the far end echoes every byte; comrelay-host runs its steps"
rm -f "$shot"
: >"$transcript" # there before tail follows it
# A zero byte cannot be sent through the plug-in (it takes the text to send
# up to its first zero byte), so the far end sends that line itself.
(cd "$BUILD" && exec wine ./comrelay-host.exe --port COM1 --baud 9600 --open \
    --send hello --wait-for 'hello\r\n' \
    --send-hex "63 61 66 E9 0D 0A" --wait-for 'caf\xE9\r\n' \
    --wait-for 'zero \x00 e-acute \xE9\r\n' --wait 300 \
    --close --wait 2500 --exit) >"$transcript" 2>/dev/null &
host=$!
tail -n +1 -f "$transcript" --pid "$host" 2>/dev/null &
follow=$!

status=0
if await 'received "caf\xE9\r\n"'; then
    peer write 1 "$(printf 'zero \0 e-acute \351\r\n' | od -An -tx1 | tr -d ' \n')"
fi
if await '<- sts#Close#'; then
    sleep 0.5
    window=$(xwininfo -root -tree | awk '/"comrelay-host - /{print $1; exit}')
    if [ -n "$window" ] && import -window "$window" "$shot" 2>/dev/null; then
        :
    else
        echo "demo: no screenshot (window ${window:-not found})" >&2
        status=1
    fi
fi
wait "$host" || status=$?
wait "$follow" 2>/dev/null || true
peer echo 1 0 || true
echo
if [ "$status" = 0 ]; then
    echo "== the exchange went through; transcript: $transcript"
else
    echo "== the demo failed (status $status); transcript: $transcript"
fi
[ -e "$shot" ] && echo "== screenshot of the window: $shot"
exit "$status"
