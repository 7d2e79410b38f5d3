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
$sudo_ apt-get update -qq
$sudo_ apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
