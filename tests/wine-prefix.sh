#!/bin/bash
# Prepares the Wine prefix that the tests and the demo share: created once,
# with windows unmanaged so that Wine does not wait for a window manager
# (under Xvfb there is none, and every page would take two seconds), and
# without the crash dialog, so that a crashing test ends with a backtrace.
set -u
export WINEPREFIX="${WINEPREFIX:?}" WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/.tessel-ready-2" ]; then
    wine wineboot -i >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    # A test that crashes must fail at once, not wait under a crash dialog.
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.tessel-ready-2"
fi
mkdir -p "$WINEPREFIX/dosdevices"
# A persistent, quiet server: a pty that hangs up makes it print its objects.
wineserver -p >/dev/null 2>&1 || true
# Its service processes keep the output of whoever starts them: start them here.
wine wineboot >/dev/null 2>&1 || true
