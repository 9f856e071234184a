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

# Some kernels run 64-bit user code only (IA-32 emulation off): there no
# 32-bit program runs, under Wine or otherwise. The 32-bit suite then runs
# the checks that execute none of its code, and says so.
runs_32bit_code() {
  local dir=$PWD/build/win32/probe
  mkdir -p "$dir"
  printf 'int main(void) { return 42; }\n' >"$dir/probe.c"
  i686-w64-mingw32-gcc -o "$dir/probe.exe" "$dir/probe.c" || return 1
  local rc=0
  tools/wine-run.sh win32 "$PWD/build/win32/wineprefix" "$dir/probe.exe" >/dev/null 2>&1 || rc=$?
  [ "$rc" = 42 ]
}
win32_filter=()
if ! runs_32bit_code; then
  echo "== win32: this kernel runs no 32-bit code (IA-32 emulation is off); only the checks of the"
  echo "   built DLLs run, and no 32-bit program does"
  win32_filter=(-R '^(dll_check|dll_version|msvc_import_lib)_')
fi

for preset in linux linux-asan linux-tsan linux-fuzz win64 win32; do
  if [ "$preset" = win32 ]; then
    ctest --preset "$preset" "${win32_filter[@]}" || status=1
  else
    ctest --preset "$preset" || status=1
  fi
  stage "$preset tested"
done
# The packages as a user meets them: the .deb installed and removed again,
# each zip unpacked and built against (its hosts run where their code runs).
for preset in linux win64 win32; do
  no_run=()
  if [ "$preset" = win32 ] && [ ${#win32_filter[@]} -gt 0 ]; then no_run=(--no-run); fi
  tools/check-package.sh "$preset" "${no_run[@]}" || status=1
  stage "$preset packages checked"
done
for arch in win64 win32; do
  tools/wine-run.sh "$arch" "$PWD/build/$arch/wineprefix" --stop || true
done
exit $status
