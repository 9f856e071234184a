#!/usr/bin/env bash
# Builds the Linux libraries and runs the demo host twice: the second run finds
# what the first one stored. Values live in ~/.config/kelmix/registry.db.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset linux >/dev/null
cmake --build --preset linux --target kelmix_demo
for run in 1 2; do
  echo "---- run $run"
  build/linux/bin/kelmix_demo
done
