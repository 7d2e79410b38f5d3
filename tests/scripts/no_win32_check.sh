#!/usr/bin/env bash
# The road for machines that cannot execute 32-bit programs, taken on purpose (FEROX_NO_WIN32=1):
# the loader decision both ways, a 32-bit preset's Wine runs skipped and counted by ./ferox test,
# and the demo played through the 64-bit host alone.
set -uo pipefail
cd "$(dirname "$0")/../.."
fail() { printf 'no_win32_check: %b\n' "$*" >&2; exit 1; }
# What the caller decided must not decide for us.
unset FEROX_WIN32 FEROX_NO_WIN32

if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  own=yes
else
  own="no (this machine cannot execute 32-bit Linux programs)"
fi
answer=$(cmake/wine-run.sh --win32)
[ "$answer" = "$own" ] || fail "the machine's answer is '$answer', the 32-bit loader says '$own'"
answer=$(FEROX_NO_WIN32=1 cmake/wine-run.sh --win32) && fail "forced off, yet: $answer"
[ "$answer" = "no (FEROX_NO_WIN32 is set)" ] || fail "forced off: '$answer'"

out=$(FEROX_NO_WIN32=1 ./ferox test win32 2>&1)
rc=$?
last=$(tail -n 2 <<<"$out")
[ $rc -eq 0 ] || fail "./ferox test win32 exited $rc:\n$out"
grep -qE '^skipped: 32-bit Windows programs \(FEROX_NO_WIN32 is set\)$' <<<"$last" &&
  grep -qE '^[1-9][0-9]* passed, 0 failed, [1-9][0-9]* skipped$' <<<"$last" &&
  grep -q '^time (s)' <<<"$out" || fail "./ferox test win32 ended:\n$out"

out=$(FEROX_NO_WIN32=1 scripts/demo.sh 2>&1)
rc=$?
[ $rc -eq 0 ] && [ "$(tail -n 1 <<<"$out")" = "all PASS" ] &&
  grep -q '^== 32-bit Windows programs cannot run here (FEROX_NO_WIN32 is set)' <<<"$out" &&
  [ "$(grep -cE '^64-bit .* PASS ' <<<"$out")" -eq 2 ] && ! grep -q '^32-bit ' <<<"$out" ||
  fail "the demo (exit $rc) did not play through the 64-bit host alone:\n$out"
echo "no_win32_check: $own here; forced off: the win32 preset skipped and counted, the demo 64-bit only, all PASS"
