#!/bin/sh
# Runs a Windows program under wine with the project's prefix and display:
# those of the test slot's world under ./run.sh test (tools/world-env.sh),
# else those that run.sh exports; these defaults serve a manual run.
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/tools/world-env.sh"
export WINEPREFIX="${WINEPREFIX:-$here/build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export DISPLAY="${DISPLAY:-:99}"
exec wine "$@"
