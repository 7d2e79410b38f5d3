#!/usr/bin/env bash
# Runs a Windows program under Wine in the build tree's own prefix, creating it on first use.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# No display unless a test brings its own (the settings window's, on Xvfb).
export DISPLAY=${FEROX_DISPLAY:-}
# .ferox-ready: the prefix is made; .ferox-nodebugger: a crashing program does not start winedbg,
# which would wait forever (prefixes made before that step get it on their next use).
if [ ! -f "$WINEPREFIX/.ferox-ready" ] || [ ! -f "$WINEPREFIX/.ferox-nodebugger" ]; then
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.ferox-ready" ]; then
      wineboot -i >/dev/null 2>&1 || true
      wineserver -w || true
      touch "$WINEPREFIX/.ferox-ready"
    fi
    if [ ! -f "$WINEPREFIX/.ferox-nodebugger" ]; then
      # 32- and 64-bit programs each read their own registry view.
      for view in 64 32; do
        wine reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
          /v Debugger /f /reg:$view >/dev/null 2>&1 || true
      done
      wineserver -w || true
      touch "$WINEPREFIX/.ferox-nodebugger"
    fi
  ) 9>"$WINEPREFIX.lock"
fi
# Wine's background processes (server, services) start with the first program and keep its
# output open until they exit, seconds later; a caller reading that output to the end (ctest,
# execute_process) would wait for them. Started here, they hold nothing of the caller's.
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
exec wine "$@"
