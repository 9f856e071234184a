#!/usr/bin/env bash
# Runs a Windows program under Wine: wine-run.sh win32|win64 PREFIX PROGRAM [ARGS...]
# Each build keeps its own prefix; the first run creates it.
set -euo pipefail
arch=$1 prefix=$2
shift 2
export WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$(dirname "$prefix")"
if [ "$arch" = win32 ]; then
  export WINEARCH=win32
  loader=wine
else
  export WINEARCH=win64
  loader=/usr/lib/wine/wine64   # the wine script would take the 32-bit loader
fi
if [ ! -f "$prefix/system.reg" ]; then
  # Creating a prefix is slow (minutes for 32-bit under qemu): once per build tree.
  "$loader" wineboot -i >/dev/null 2>&1 || true
fi
# Keep the server and Wine's own services up between programs: under qemu each
# new server boots them again, which takes minutes. tools/test-all.sh ends it.
if [ "$arch" = win32 ]; then
  wineserver -p600 >/dev/null 2>&1 || true
fi
exec "$loader" "$@"
