#!/usr/bin/env bash
# Makes the Wine prefix the Windows tests run in (WINEPREFIX), once: headless through Wine's
# null graphics driver, so that windows can be created without a display, and without the
# Mono and Gecko installers.
set -euo pipefail
: "${WINEPREFIX:?}"
[ -f "$WINEPREFIX/system.reg" ] && exit 0
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
wineboot --init >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
wineserver -w
