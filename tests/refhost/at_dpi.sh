#!/usr/bin/env bash
# at_dpi.sh DPI PROGRAM [ARGS...]: runs a test program under wine as if the
# display were set to DPI (96 = 100%, 144 = 150%), then turns the bitmaps it
# saved under screens/ into PNGs.
# Wine reads the DPI once per wineserver, from LogPixels under
# HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts; the
# programs of a test slot share its world's prefix, so the program runs in a
# private copy of its registry (the Windows folder is shared, read only) with
# its own wineserver, and nothing of the shared prefix changes.
set -euo pipefail
dpi=$1
shift
. "$(dirname "$0")/../../tools/world-env.sh"
shared=${WINEPREFIX:?run through run.sh test}
private=$(mktemp -d "${TMPDIR:-/tmp}/comrelay-dpi$dpi.XXXXXX")
cleanup() {
    WINEPREFIX=$private wineserver -k 2>/dev/null || true
    WINEPREFIX=$private wineserver -w 2>/dev/null || true
    rm -rf "$private"
}
trap cleanup EXIT
trap 'exit 143' INT TERM

cp "$shared/system.reg" "$shared/user.reg" "$shared/userdef.reg" "$shared/.update-timestamp" \
    "$private/"
ln -s "$shared/drive_c" "$private/drive_c"
mkdir "$private/dosdevices"
ln -s ../drive_c "$private/dosdevices/c:"
ln -s / "$private/dosdevices/z:"
python3 - "$private/system.reg" "$dpi" <<'PY'
import sys
path, dpi = sys.argv[1], int(sys.argv[2])
text = open(path, encoding="latin-1").read()
key = "[System\\\\CurrentControlSet\\\\Hardware Profiles\\\\Current\\\\Software\\\\Fonts]"
at = text.index(key)
end = text.find("\n[", at + 1)
end = len(text) if end < 0 else end
section = text[at:end]
lines = [l for l in section.split("\n") if not l.startswith('"LogPixels"=')]
lines.insert(2, '"LogPixels"=dword:%08x' % dpi)  # after the key and its #time line
open(path, "w", encoding="latin-1").write(text[:at] + "\n".join(lines) + text[end:])
PY

# Only bitmaps left over: each program at this DPI replaces its own PNGs and
# keeps the others' (two programs run at 144).
rm -f screens/*-"${dpi}"dpi.bmp
status=0
COMRELAY_DPI=$dpi WINEPREFIX=$private wine "$@" || status=$?
for bmp in screens/*-"${dpi}"dpi.bmp; do
    [ -e "$bmp" ] || continue
    convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
    echo "screenshot: $(pwd)/${bmp%.bmp}.png"
done
exit "$status"
