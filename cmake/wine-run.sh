#!/usr/bin/env bash
# Runs a Windows program under Wine in the build tree's own prefix, creating it on first use.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export DISPLAY=
if [ ! -f "$WINEPREFIX/.ferox-ready" ]; then
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.ferox-ready" ]; then
      wineboot -i >/dev/null 2>&1 || true
      # A crashing program would otherwise start winedbg, which waits forever.
      wine reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
        /v Debugger /f >/dev/null 2>&1 || true
      wineserver -w || true
      touch "$WINEPREFIX/.ferox-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi
exec wine "$@"
