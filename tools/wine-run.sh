#!/usr/bin/env bash
# Runs a Windows program under Wine: wine-run.sh win32|win64 PREFIX PROGRAM [ARGS...]
# wine-run.sh win32|win64 PREFIX --prepare makes the prefix and boots Wine's
# services, leaving the server up so later programs start at once.
set -euo pipefail
arch=$1 prefix=$2
shift 2
export WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$prefix"
if [ "$arch" = win32 ]; then
  export WINEARCH=win32
  loader=wine
else
  export WINEARCH=win64
  loader=/usr/lib/wine/wine64   # the wine script would take the 32-bit loader
fi
if [ "${1:-}" = --prepare ]; then
  # Under qemu each new server boots Wine's services again, which takes
  # minutes: keep one up (tools/test-all.sh ends it).
  wineserver -p600 >/dev/null 2>&1 || true
  if [ -f "$prefix/system.reg" ]; then
    "$loader" wineboot >/dev/null 2>&1 || true
  else
    "$loader" wineboot -i >/dev/null 2>&1 || true
  fi
  exit 0
fi
if [ ! -f "$prefix/system.reg" ]; then
  "$loader" wineboot -i >/dev/null 2>&1 || true
fi
# The program may start Wine's services, which outlive it and would hold our
# output open (a test runner then waits for them): they get a file instead,
# shown once the program has ended.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
"$loader" "$@" >"$log" 2>&1 </dev/null || status=$?
cat "$log"
exit $status
