#!/usr/bin/env bash
# Builds the Linux libraries and runs the demo host twice: the second run finds
# what the first one stored. Values live in ~/.config/kelmix/registry.db.
# Installs the few packages the Linux build lacks on a fresh machine (as root);
# without root and without them, builds the demo without the kelmix tool.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/linux
if tools/install-deps.sh linux; then
  cmake --preset linux >/dev/null
else
  echo "run-demo: building without the kelmix tool"
  build=build/linux-demo
  cmake --preset linux -B "$build" -DKX_BUILD_TOOLS=OFF >/dev/null
fi
cmake --build "$build" --target kelmix_demo
for run in 1 2; do
  echo "---- run $run"
  "$build/bin/kelmix_demo"
done
