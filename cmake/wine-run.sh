#!/usr/bin/env bash
# Runs a Windows program under Wine in the build tree's own prefix, creating it on first use.
#   cmake/wine-run.sh PROGRAM ARGS...   run it
#   cmake/wine-run.sh --win32           whether 32-bit Windows programs run here: prints "yes", or
#                                       "no (why)" and exits 1
# The answer is worked out once and handed on in FEROX_WIN32 (yes | no | forced); FEROX_NO_WIN32=1
# makes it "no" on any machine, to try the other road.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

# Debian's wine launcher takes the 32-bit loader whenever wine32 is installed, and that loader
# runs both bitnesses. Some kernels (WSL1, some sandboxes) cannot execute 32-bit Linux programs
# at all: there only the 64-bit loader starts, for 64-bit programs. Ask the 32-bit loader itself.
if [ "${FEROX_NO_WIN32:-0}" != 0 ]; then
  FEROX_WIN32=forced
elif [ -z "${FEROX_WIN32:-}" ]; then
  if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    FEROX_WIN32=yes
  else
    FEROX_WIN32=no
  fi
fi
export FEROX_WIN32
if [ "${1:-}" = --win32 ]; then
  case "$FEROX_WIN32" in
    yes) echo yes; exit 0 ;;
    forced) echo "no (FEROX_NO_WIN32 is set)" ;;
    *) echo "no (this machine cannot execute 32-bit Linux programs)" ;;
  esac
  exit 1
fi
if [ "$FEROX_WIN32" = yes ]; then
  wine=(wine)
else
  export WINELOADER=/usr/lib/wine/wine64
  wine=("$WINELOADER")
fi

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
      "${wine[@]}" wineboot -i >/dev/null 2>&1 || true
      wineserver -w || true
      touch "$WINEPREFIX/.ferox-ready"
    fi
    if [ ! -f "$WINEPREFIX/.ferox-nodebugger" ]; then
      # 32- and 64-bit programs each read their own registry view.
      for view in 64 32; do
        "${wine[@]}" reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
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
"${wine[@]}" cmd /c exit </dev/null >/dev/null 2>&1 || true
exec "${wine[@]}" "$@"
