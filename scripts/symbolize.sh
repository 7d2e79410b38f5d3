#!/usr/bin/env bash
# Turns crash addresses in feroxasio.dll or feroxhost.exe into function, file and line.
#   scripts/symbolize.sh [--loaded-at BASE] DLL-OR-DEBUG-FILE ADDRESS...
# The binaries are built for ASLR: Windows loads them away from the image base in their headers,
# so a crash report gives either an offset into the module ("Fault offset" in the Event Viewer,
# feroxasio.dll+0x1234) or an address where the module happened to be loaded. An ADDRESS below
# the image base is an offset; one at or above it is an address in the file's own layout, unless
# --loaded-at gives the base the module had in the crashed process (winedbg's module list, a
# dump's module table), which it is then measured from.
# Give the shipped DLL with its .debug file beside it (build/package/feroxasio-VERSION-debug/),
# or the .debug file itself: the debug information of every release must be kept for this.
set -euo pipefail

usage() {
  echo "usage: scripts/symbolize.sh [--loaded-at BASE] DLL-OR-DEBUG-FILE ADDRESS..." >&2
  exit 2
}

loaded=""
if [ "${1:-}" = "--loaded-at" ]; then
  [ $# -ge 2 ] || usage
  loaded=$2
  shift 2
fi
[ $# -ge 2 ] || usage
file=$1
shift
if [ ! -f "$file" ]; then
  echo "symbolize: no file '$file'" >&2
  exit 1
fi
# The stripped binary only links to its debug information; read the debug file when it is there.
[ -f "$file.debug" ] && file=$file.debug

headers=$(x86_64-w64-mingw32-objdump -p "$file" 2>/dev/null) || {
  echo "symbolize: '$file' is not a Windows binary objdump can read" >&2
  exit 1
}
case "$headers" in
  *"file format pei-i386"*) triple=i686-w64-mingw32 ;;
  *) triple=x86_64-w64-mingw32 ;;
esac
base=$(printf '%s\n' "$headers" | awk '$1 == "ImageBase" && !b { b = $2 } END { print b }')
if [ -z "$base" ]; then
  echo "symbolize: no ImageBase in the headers of '$file'" >&2
  exit 1
fi
base=$((16#$base))

addresses=()
for a in "$@"; do
  a=${a##*+}  # feroxasio.dll+0x1234 -> 0x1234
  if ! [[ $a =~ ^(0[xX])?[0-9a-fA-F]+$ ]]; then
    echo "symbolize: '$a' is not a hexadecimal address" >&2
    exit 2
  fi
  v=$((16#${a#0[xX]}))
  if [ -n "$loaded" ]; then
    v=$((v - 16#${loaded#0[xX]} + base))
  elif [ "$v" -lt "$base" ]; then
    v=$((v + base))
  fi
  addresses+=("$(printf '0x%x' "$v")")
done
"$triple-addr2line" -f -C -i -p -e "$file" "${addresses[@]}"
