#!/usr/bin/env bash
# The real-time figures, under Wine against the simulated-DAC DLL (64-bit) in real-time mode.
# Prints, last, one line per figure:
#   RATIO turnaround_p99_vs_wakeup_p99=V <=2.0
#   SOAK NAME-dacDms-MARGIN seconds=S underruns=U told=T late=L max_gap_ms=G
# turnaround: from the simulated DAC completing a write it held to the driver's next write
# arriving, p99 over the writes of 25 s of a 768 kHz stream of 1024-frame halves at the minimal
# margin (18,750 writes, of which those the device held count); wakeup: p99 of an event ping-pong between two threads of
# one process (ferox_wakeup), before and after, the lower kept.
# SOAK: feroxhost plays a tone while a busy loop runs on every core but the first, with the
# simulated DAC holding D ms, at the default safety margin and at "minimal" (one write), side by
# side: what the margin buys. told: the dropouts the driver told the host of.
#   --soak-seconds N   length of each soak (default 60)
#   --quick            a short version of everything (3 s soaks), for checks that it works
#   --buffer-ms LIST   the simulated DAC's buffer depths to soak with (default "10 40")
#   --margins LIST     the driver's margins to soak at (default "default minimal")
#   --table            also the rate x buffer size table of BENCHMARKS.md (soaks of N s each)
# Needs the win64-sim build (./ferox bench makes it).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=60
quick=0
table=0
depths="10 40"
margins="default minimal"
while [ $# -gt 0 ]; do
  case "$1" in
    --soak-seconds) seconds=${2:-}; shift ;;
    --quick) quick=1 ;;
    --table) table=1 ;;
    --buffer-ms) depths=${2:-}; shift ;;
    --margins) margins=${2:-}; shift ;;
    *) echo "bench_rt: unknown argument '$1'" >&2; exit 2 ;;
  esac
  shift
done
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "bench_rt: --soak-seconds takes a whole number of seconds above 0" >&2
  exit 2
fi
[ $quick -eq 1 ] && seconds=3

build=$root/build/win64-sim
host=$build/tools/feroxhost/feroxhost.exe
dll=$build/src/com/feroxasio.dll
wakeup=$build/bench/wine/ferox_wakeup.exe
for f in "$host" "$dll" "$wakeup"; do
  [ -f "$f" ] || { echo "bench_rt: $f is missing; build the win64-sim preset" >&2; exit 1; }
done
export WINEPREFIX=$root/build/bench-prefix
work=$root/build/bench
mkdir -p "$work"
run() { "$root/cmake/wine-run.sh" "$@"; }
winpath() { printf 'Z:%s' "${1//\//\\}"; }
say() { printf '== %s\n' "$*" >&2; }

run regsvr32 /s "$(winpath "$dll")" || { echo "bench_rt: regsvr32 failed" >&2; exit 1; }

# A busy loop on every core but the first, each held to its core; always ended, also on an
# interrupt. The player may run anywhere.
busy=()
start_load() {
  local n i
  n=$(nproc)
  for ((i = 1; i < n; i++)); do
    taskset -c "$i" bash -c 'while :; do :; done' &
    busy+=($!)
  done
}
stop_load() {
  local p
  for p in "${busy[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${busy[@]}"; do wait "$p" 2>/dev/null; done
  busy=()
}
trap 'stop_load; run "$host" config reset >/dev/null 2>&1' EXIT
trap 'exit 130' INT TERM

# play SIZE BUFFER_MS SECONDS [tone arguments]: plays through the driver with that buffer size;
# leaves the figures in r_underruns, r_gap, r_p99, r_writes, r_late.
play() {
  local size=$1 depth=$2 secs=$3
  shift 3
  local report=$work/report.txt out
  r_underruns=? r_gap=? r_p99=? r_writes=? r_late=? r_told=?
  run "$host" config buffer "$size" >/dev/null || return 1
  rm -f "$report"
  out=$(FEROX_SIM_REPORT=$(winpath "$report") FEROX_SIM_BUFFER_MS=$depth \
    run "$host" tone "$@" "$secs" 2>&1 | tr '\r' '\n')
  [ -f "$report" ] || { printf '%s\n' "$out" >&2; return 1; }
  r_late=$(sed -nE 's/^summary:.* ([0-9]+) late;.*/\1/p' <<<"$out")
  r_told=$(sed -nE 's/^summary:.* ([0-9]+) dropouts told.*/\1/p' <<<"$out")
  r_underruns=$(sed -nE 's/^underruns=([0-9]+).*/\1/p' "$report")
  r_gap=$(sed -nE 's/^max_gap_ms=([0-9.]+).*/\1/p' "$report")
  r_p99=$(sed -nE 's/^turnaround_p99_us=([0-9.]+).*/\1/p' "$report")
  r_writes=$(sed -nE 's/^turnarounds=([0-9]+).*/\1/p' "$report")
}

lines=()

# The baseline is taken before and after the turnaround and the lower p99 kept: the machine's
# load changes from minute to minute, and the lower baseline is the harder one to meet.
rounds=$([ $quick -eq 1 ] && echo 2000 || echo 20000)
wake_p99=
wakeup() {
  local wake p99
  say "wake-up of an event ping-pong"
  wake=$(run "$wakeup" "$rounds") || { echo "bench_rt: ferox_wakeup failed" >&2; exit 1; }
  say "$wake"
  p99=$(sed -nE 's/.*p99_us=([0-9.]+).*/\1/p' <<<"$wake")
  wake_p99=$(awk -v a="$p99" -v b="${wake_p99:-$p99}" 'BEGIN { print (a < b ? a : b) }')
}

wakeup
# One write in flight, so that each write the device held was the only one: the time from its
# completion to the next write is the driver's wake-up and submission, nothing queued between.
run "$host" config margin minimal >/dev/null || { echo "bench_rt: config margin failed" >&2; exit 1; }
say "turnaround: 768 kHz, 1024-frame halves, margin minimal"
play 1024 40 "$([ $quick -eq 1 ] && echo 2 || echo 25)" --rate 768000 ||
  { echo "bench_rt: the turnaround run failed" >&2; exit 1; }
say "turnaround p99 ${r_p99} us over ${r_writes} writes"
wakeup
lines+=("$(awk -v t="$r_p99" -v w="$wake_p99" \
  'BEGIN { printf "RATIO turnaround_p99_vs_wakeup_p99=%.2f <=2.0", (w > 0 ? t / w : 0) }')")

# name, tone arguments, buffer size
soaks=(
  "dsd512|--dsd --rate 22579200|1024"
  "pcm768k|--rate 768000|1024"
  "pcm44k-256|--rate 44100|256"
  "pcm44k-64|--rate 44100|64"
)
for depth in $depths; do
  for s in "${soaks[@]}"; do
    IFS='|' read -r name args size <<<"$s"
    for margin in $margins; do
      label="$name-dac${depth}ms-$margin"
      run "$host" config margin "$margin" >/dev/null || { echo "bench_rt: config margin $margin failed" >&2; exit 1; }
      say "soak $label: ${seconds} s under load"
      start_load
      # shellcheck disable=SC2086
      play "$size" "$depth" "$seconds" $args || say "soak $label failed"
      stop_load
      lines+=("SOAK $label seconds=$seconds underruns=$r_underruns told=$r_told late=$r_late max_gap_ms=$r_gap")
      say "${lines[${#lines[@]} - 1]}"
    done
  done
done
run "$host" config margin default >/dev/null

if [ $table -eq 1 ]; then
  say "table: rate x buffer size under load, ${seconds} s each"
  printf '| rate | %s |\n|---|%s\n' "64 | 128 | 256 | 512 | 1024 | 2048" \
    "---|---|---|---|---|---|" >"$work/table.md"
  for r in "44.1 kHz|--rate 44100" "192 kHz|--rate 192000" "768 kHz|--rate 768000" \
    "DSD64|--dsd --rate 2822400" "DSD256|--dsd --rate 11289600" "DSD512|--dsd --rate 22579200"; do
    IFS='|' read -r label args <<<"$r"
    row="| $label |"
    for size in 64 128 256 512 1024 2048; do
      start_load
      # shellcheck disable=SC2086
      play "$size" 40 "$seconds" $args
      stop_load
      row="$row $r_underruns / ${r_gap} ms |"
      say "table $label $size: underruns $r_underruns, largest gap $r_gap ms"
    done
    printf '%s\n' "$row" >>"$work/table.md"
  done
  cat "$work/table.md"
fi

printf '%s\n' "${lines[@]}"
