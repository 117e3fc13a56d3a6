#!/bin/sh
# Runs a Windows program under wine with the project's prefix and display.
# run.sh exports WINEPREFIX and DISPLAY; these defaults serve a manual run.
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX="${WINEPREFIX:-$here/build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export DISPLAY="${DISPLAY:-:99}"
exec wine "$@"
