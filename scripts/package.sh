#!/usr/bin/env bash
# The release files, from built DLLs and feroxhost of both bitnesses: stripped binaries with their
# debug information kept beside them (a crash report can still be read), the zip for installing
# by hand, and the setup program.
#   scripts/package.sh       from the win32 and win64 builds, into build/package
#   scripts/package.sh sim   the simulated-DAC setup, from win32-sim and win64-sim, into build/package-sim
# The builds must be there (./ferox package and ./ferox demo make them).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
fail() { echo "package: $*" >&2; exit 1; }

case "${1:-}" in
  "") suffix=""; name=feroxasio ;;
  sim) suffix=-sim; name=feroxasio-sim ;;
  *) fail "usage: scripts/package.sh [sim]" ;;
esac
out=$root/build/package$suffix
declare -A tree=([x86]=$root/build/win32$suffix [x64]=$root/build/win64$suffix)
declare -A triple=([x86]=i686-w64-mingw32 [x64]=x86_64-w64-mingw32)

version=$(cat "${tree[x64]}/feroxasio-version.txt") || fail "no win64$suffix build"
[ "$(cat "${tree[x86]}/feroxasio-version.txt")" = "$version" ] ||
  fail "the win32$suffix and win64$suffix builds have different versions"
stage=$out/stage
debug=$out/$name-$version-debug
rm -rf "$stage" "$debug"
mkdir -p "$stage" "$debug"

for arch in x86 x64; do
  mkdir -p "$stage/$arch" "$debug/$arch"
  for bin in src/com/feroxasio.dll tools/feroxhost/feroxhost.exe; do
    file=$(basename "$bin")
    [ -f "${tree[$arch]}/$bin" ] || fail "${tree[$arch]}/$bin is not built"
    "${triple[$arch]}-objcopy" --only-keep-debug "${tree[$arch]}/$bin" "$debug/$arch/$file.debug"
    "${triple[$arch]}-objcopy" --strip-all --add-gnu-debuglink="$debug/$arch/$file.debug" \
      "${tree[$arch]}/$bin" "$stage/$arch/$file"
  done
done

# Plain text with Windows line ends, for Notepad.
variant=""
[ -n "$suffix" ] && variant=" (simulated DAC: plays into a model of the DAC, not to hardware)"
sed -e "s/@VERSION@/$version/" -e "s/@VARIANT@/$variant/" installer/readme.txt |
  sed 's/$/\r/' >"$stage/readme.txt"
sed 's/$/\r/' LICENSE >"$stage/LICENSE.txt"

zip=$out/$name-$version.zip
setup=$out/$name-$version-setup.exe
rm -f "$zip" "$setup"
(cd "$stage" && cmake -E tar cf "$zip" --format=zip x64 x86 readme.txt LICENSE.txt)
copyright="$(grep -m1 '^Copyright' LICENSE). $(head -n1 LICENSE)."
makensis -V2 -DVERSION="$version" -DSTAGE="$stage" -DOUTFILE="$setup" -DCOPYRIGHT="$copyright" \
  ${suffix:+-DSIM} \
  installer/feroxasio.nsi >"$out/makensis.log" 2>&1 || { cat "$out/makensis.log" >&2; fail "makensis failed"; }

echo "$version" >"$out/version.txt"
for f in "$setup" "$zip" "$stage"/x64/* "$stage"/x86/*; do
  printf '%8d KB  %s\n' $(( ($(stat -c %s "$f") + 1023) / 1024 )) "${f#"$root"/}"
done
