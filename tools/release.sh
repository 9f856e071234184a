#!/usr/bin/env bash
# Makes every package from this checkout in one go: the win32 and win64 zips,
# the Linux tarball and .deb, each from a fresh build without tests, into
# OUT_DIR (build/release) with one SHA256SUMS.
# usage: release.sh [OUT_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/release}

tools/install-deps.sh release
if [ -n "$(git status --porcelain 2>/dev/null)" ]; then
  echo "release: the checkout has uncommitted changes; they go into the packages" >&2
fi
rm -rf "$out"
mkdir -p "$out"
for preset in linux win64 win32; do
  build=$out/$preset
  cmake --preset "$preset" -B "$build" -DKX_BUILD_TESTS=OFF -DKX_BUILD_BENCH=OFF \
    -DKX_BUILD_EXAMPLES=OFF >/dev/null
  cmake --build "$build" --target package
  cp "$build"/packages/kelmix[-_]* "$out/"
done
(cd "$out" && sha256sum kelmix[-_]* >SHA256SUMS && cat SHA256SUMS)
