#!/usr/bin/env bash
# Installs what the builds need from Debian's packages; quick when everything is there.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

arch_i386=0
dpkg --print-foreign-architectures | grep -qx i386 && arch_i386=1

for p in cmake ninja-build ccache g++ clang libclang-rt-14-dev googletest libgtest-dev libbenchmark-dev \
         nlohmann-json3-dev \
         mingw-w64 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix \
         wine wine64 wine32:i386 nsis binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 \
         xvfb imagemagick; do
  have "$p" || need+=("$p")
done

[ ${#need[@]} -eq 0 ] && exit 0

sudo_=""
[ "$(id -u)" -ne 0 ] && sudo_="sudo"
export DEBIAN_FRONTEND=noninteractive
if [ "$arch_i386" -eq 0 ]; then
  $sudo_ dpkg --add-architecture i386
fi
echo "setup: installing ${need[*]}" >&2
# A mirror in the middle of a sync answers with index files of the wrong size for a while; the
# indexes that did arrive may still hold every package needed, which the install then tells.
for try in 1 2; do
  $sudo_ apt-get update -qq && break
  [ "$try" -eq 2 ] && { echo "setup: some package indexes could not be had; trying with the rest" >&2; break; }
  echo "setup: package index not ready, trying again in $((try * 10)) s" >&2
  sleep $((try * 10))
done
if ! $sudo_ apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null; then
  # 32-bit Wine needs i386 packages of the very versions the amd64 ones have; a mirror short of
  # them still lets everything else build and run (the 32-bit Wine runs are then skipped, and
  # ./ferox test says so).
  rest=()
  for p in "${need[@]}"; do [ "$p" = wine32:i386 ] || rest+=("$p"); done
  [ ${#rest[@]} -lt ${#need[@]} ] || exit 1
  echo "setup: wine32:i386 could not be installed; installing the rest" >&2
  $sudo_ apt-get install -y -qq --no-install-recommends "${rest[@]}" >/dev/null
fi
