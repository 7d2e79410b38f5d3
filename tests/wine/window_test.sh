#!/usr/bin/env bash
# Runs the settings-window check on a virtual X display of its own (Xvfb, ended by its own process
# id), in a Wine prefix of its own with a virtual desktop, so Wine draws the window frames itself
# and no other test shares the user's settings. Turns the check's screenshot into a PNG.
#   window_test.sh WINE_RUN PREFIX CHECK DLL FEROXHOST PNG
set -euo pipefail
run=$1 prefix=$2 check=$3 dll=$4 feroxhost=$5 png=$6

xvfb_pid=
finish() {
  # The prefix's Wine processes (the desktop among them) end before their display does.
  WINEPREFIX=$prefix timeout 30 wineserver -w 2>/dev/null || true
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
}
trap finish EXIT

# A free display number: no lock file, and a server that stays up on it.
display=
for n in $(seq 90 150); do
  [ -e "/tmp/.X$n-lock" ] && continue
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 50); do
    [ -S "/tmp/.X11-unix/X$n" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ -S "/tmp/.X11-unix/X$n" ] && kill -0 "$xvfb_pid" 2>/dev/null; then
    display=:$n
    break
  fi
  wait "$xvfb_pid" 2>/dev/null || true
  xvfb_pid=
done
[ -n "$display" ] || { echo "window_test: no free X display" >&2; exit 1; }

export WINEPREFIX=$prefix FEROX_DISPLAY=$display
"$run" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null
"$run" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 800x600 /f >/dev/null
# The desktop is chosen when a session's first program starts: the session that set it ends
# first. Without it the windows are the display's own, and with no window manager on it Wine
# waits 2 s for each one it hides.
wineserver -k 2>/dev/null || true
timeout 30 wineserver -w 2>/dev/null || true
# feroxhost panel finds the driver as hosts do.
"$run" regsvr32 /s "$dll"
bmp=${png%.png}.bmp
rm -f "$bmp" "$png"
"$run" "$check" "$dll" "$bmp" "$feroxhost"
convert "bmp:$bmp" "png:$png"
echo "screenshot: $png"
