#!/usr/bin/env bash
# The demo: the whole road from the registry to the device, on a machine without the DAC.
# Builds the simulated-DAC DLLs and feroxhost (32- and 64-bit) and their setup program, installs
# it silently in a Wine prefix of the build tree (and leaves it installed there), lists and probes
# the driver as hosts find it, plays a PCM and a DSD64 file through it and checks what the
# simulated DAC received, bit for bit.
#   FEROX_DEMO_BITS="32 64"   which hosts to run (default both)
# Where 32-bit Windows programs cannot run (cmake/wine-run.sh decides), neither can the setup
# program, a 32-bit one: the 64-bit DLL and feroxhost are copied where it would put them and
# registered with the prefix's 64-bit regsvr32, and only the 64-bit host plays.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bits=${FEROX_DEMO_BITS:-32 64}
export WINEPREFIX=$root/build/demo-prefix
work=$root/build/demo
mkdir -p "$work"
run() { "$root/cmake/wine-run.sh" "$@"; }
winpath() { printf 'Z:%s' "${1//\//\\}"; }
say() { printf '== %s\n' "$*"; }
win32=$("$root/cmake/wine-run.sh" --win32)
builds="32 64"
if [ "$win32" != yes ]; then
  bits=64
  builds=64
fi

# The setup program carries both bitnesses.
for b in $builds; do
  preset=win$b-sim
  if [ ! -f "build/$preset/build.ninja" ]; then
    cmake --preset "$preset" >"build/$preset.configure.log" 2>&1 ||
      { cat "build/$preset.configure.log" >&2; exit 1; }
  fi
  cmake --build --preset "$preset" -j2 --target feroxasio feroxhost feroxsig >"build/$preset.demo-build.log" 2>&1 ||
    { cat "build/$preset.demo-build.log" >&2; exit 1; }
done

say "Wine prefix $WINEPREFIX"
installed='C:\Program Files\feroxasio'
if [ "$win32" = yes ]; then
  ./scripts/package.sh sim >/dev/null || exit 1
  setup=$root/build/package-sim/feroxasio-sim-$(cat build/package-sim/version.txt)-setup.exe
  say "installing $(basename "$setup") silently"
  run "$(winpath "$setup")" /S
  rc=$?
  if [ $rc -eq 194 ]; then  # 3010, as Wine passes it on
    echo "a program in $WINEPREFIX still holds the driver: end it and run the demo again" >&2
    exit 1
  elif [ $rc -ne 0 ]; then
    echo "the setup program failed (exit code $rc)" >&2
    exit 1
  fi
else
  say "32-bit Windows programs cannot run here ${win32#no }: instead of the setup program, the 64-bit DLL registered with regsvr32; the 64-bit host only"
  dir="$WINEPREFIX/drive_c/Program Files/feroxasio/x64"
  run cmd /c exit  # makes the prefix on first use
  mkdir -p "$dir"
  cp build/win64-sim/src/com/feroxasio.dll build/win64-sim/tools/feroxhost/feroxhost.exe "$dir/" || exit 1
  run regsvr32 /s "$installed\\x64\\feroxasio.dll" || { echo "regsvr32 failed" >&2; exit 1; }
fi
first=${bits%% *}
sig="$root/build/win$first-sim/tools/feroxhost/feroxsig.exe"
pcm=$work/tone-44k1-32bit.wav
dsd=$work/tone-dsd64.dsf
run "$sig" wav "$(winpath "$pcm")" 3 44100 32 || exit 1
run "$sig" dsf "$(winpath "$dsd")" 2 2822400 || exit 1
say "inputs: $(run "$sig" info "$(winpath "$pcm")")"
say "        $(run "$sig" info "$(winpath "$dsd")")"

report=()
failed=0
for b in $bits; do
  [ "$b" = 64 ] && arch=x64 || arch=x86
  host="$installed\\$arch\\feroxhost.exe"
  say "$b-bit: feroxhost list"
  run "$host" list
  say "$b-bit: feroxhost probe"
  run "$host" probe
  for input in "$pcm" "$dsd"; do
    ext=${input##*.}
    [ "$ext" = wav ] && capture=$work/capture-$b.wav || capture=$work/capture-$b.dsf
    rm -f "$capture"
    say "$b-bit: feroxhost play $(basename "$input")  (capture: $(basename "$capture"))"
    out=$(FEROX_SIM_CAPTURE=$(winpath "$capture") run "$host" play "$(winpath "$input")" | tr '\r' '\n')
    rc=$?
    summary=$(grep '^summary:' <<<"$out")
    printf '%s\n' "$summary"
    verdict=FAIL
    detail=""
    if [ $rc -eq 0 ] && [ -f "$capture" ]; then
      detail=$(run "$sig" compare "$(winpath "$input")" "$(winpath "$capture")") && verdict=PASS
      printf '%s\n' "$detail"
    fi
    [ "$verdict" = PASS ] || failed=1
    # summary: played 3.00 s of 3.00 s in 6.89 s; 132 buffer switches, 0 dropouts told, 3 late;
    #   largest interval 52.6 ms (a half holds 23.2 ms of audio); device: 0 underruns, largest gap
    #   between writes 52.7 ms
    seconds=$(sed -nE 's/.*played ([0-9.]+) s of.*/\1/p' <<<"$summary")
    wall=$(sed -nE 's/.* in ([0-9.]+) s;.*/\1/p' <<<"$summary")
    switches=$(sed -nE 's/.*; ([0-9]+) buffer switches.*/\1/p' <<<"$summary")
    interval=$(sed -nE 's/.*largest interval ([0-9.]+) ms.*/\1/p' <<<"$summary")
    # The simulated DAC's own count, from the report it leaves beside the capture.
    underruns=$(sed -nE 's/.*device: ([0-9]+) underruns.*/\1/p' <<<"$summary")
    report+=("$(printf '%-6s %-22s %-4s %6s s %7s s %9s %10s ms %9s' "$b-bit" "$(basename "$input")" \
      "$verdict" "${seconds:-?}" "${wall:-?}" "${switches:-?}" "${interval:-?}" "${underruns:-?}")")
  done
done

echo
echo "feroxasio demo: files played through the simulated DAC, compared bit for bit"
printf '%-6s %-22s %-4s %8s %9s %9s %13s %9s\n' host file "" audio wall switches "max interval" \
  underruns
printf '%s\n' "${report[@]}"
echo "feroxasio (simulated DAC) stays installed in $WINEPREFIX; see the README to go on trying it."
[ $failed -eq 0 ] && echo "all PASS" || echo "some FAILED"
exit $failed
