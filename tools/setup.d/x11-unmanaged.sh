# Windows of the test programs are not handed to a window manager (sourced by
# run.sh before the persistent wineserver starts; needs WINEPREFIX).
# Xvfb runs without one, and wine waits up to 2 s for the window manager each
# time a managed window is hidden or destroyed: a window test would take
# seconds per window instead of milliseconds.
x11_unmanaged() {
    grep -qF '"Managed"="N"' "$WINEPREFIX/user.reg" 2>/dev/null && return 0
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null
    # Read by the next wineserver's programs; the registry reaches the file
    # when this one exits.
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
}
x11_unmanaged
