#!/usr/bin/env bash
# Runs a Windows program under Wine: wine-run.sh win32|win64 PREFIX PROGRAM [ARGS...]
# wine-run.sh win32|win64 PREFIX --prepare makes the prefix and boots Wine's
# services, so the tests' time limits never count them; --stop ends the
# prefix's Wine server and what runs under it.
#
# Wine is the WoW64 one of tools/wow64-root.sh for both widths: a 32-bit
# program runs through the 64-bit side, as on 64-bit Windows. Each width keeps
# its own prefix. The checkout and the prefix are seen inside the root at their
# own paths, so paths that CTest hands over hold there.
set -euo pipefail
arch=$1 prefix=$2
shift 2
case "$arch" in
  win32 | win64) ;;
  *) echo "wine-run: unknown width $arch" >&2; exit 2 ;;
esac
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$here")
mkdir -p "$prefix"
prefix=$(realpath "$prefix")
loader=/usr/lib/x86_64-linux-gnu/wine/wine

inside() {
  WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml=" \
    "$here/wow64-root.sh" run --bind "$source_dir" --bind "$prefix" -- "$@"
}

if [ "${1:-}" = --prepare ]; then
  if [ ! -f "$prefix/system.reg" ]; then
    inside "$loader" wineboot -i >/dev/null 2>&1 || true
  fi
  # Boot it once through, then let the server write the registry out.
  inside "$loader" wineboot >/dev/null 2>&1 || true
  inside /usr/lib/x86_64-linux-gnu/wine/wineserver -w || true
  [ -f "$prefix/system.reg" ] || { echo "wine-run: could not make $prefix" >&2; exit 1; }
  exit 0
fi
if [ "${1:-}" = --stop ]; then
  inside /usr/lib/x86_64-linux-gnu/wine/wineserver -k || true
  exit 0
fi
if [ ! -f "$prefix/system.reg" ]; then
  inside "$loader" wineboot -i >/dev/null 2>&1 || true
fi
# The program may start Wine's services, which outlive it and would hold our
# output open (a test runner then waits for them): they get a file instead,
# shown once the program has ended.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
inside "$loader" "$@" >"$log" 2>&1 </dev/null || status=$?
cat "$log"
exit $status
