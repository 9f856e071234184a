#!/usr/bin/env bash
# Installs whatever is missing, then builds every preset and runs every
# suite: linux (plain, sanitizers, fuzzing) natively; win64 and the 32-bit
# deliverables (win32) under the WoW64 Wine of tools/wow64-root.sh, each
# width in its own prefix.
set -euo pipefail
cd "$(dirname "$0")/.."

start=$SECONDS
stage_start=$SECONDS
stage() {
  echo "== $1 ($((SECONDS - stage_start)) s since the last stage, $((SECONDS - start)) s in all)"
  stage_start=$SECONDS
}

bash tools/install-deps.sh
stage "dependencies ready"

# The prefixes are made while the builds run, outside the tests' time limits.
prepare_log=$(mktemp)
(for arch in win64 win32; do
  tools/wine-run.sh "$arch" "$PWD/build/$arch/wineprefix" --prepare
done) >"$prepare_log" 2>&1 &
prepare=$!

status=0
for preset in linux linux-asan linux-tsan linux-fuzz win64 win32; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  stage "$preset built"
done
if ! wait "$prepare"; then
  cat "$prepare_log"
  status=1
fi
rm -f "$prepare_log"
stage "Wine prefixes ready"
for preset in linux linux-asan linux-tsan linux-fuzz win64 win32; do
  ctest --preset "$preset" || status=1
  stage "$preset tested"
done
for arch in win64 win32; do
  tools/wine-run.sh "$arch" "$PWD/build/$arch/wineprefix" --stop || true
done
exit $status
