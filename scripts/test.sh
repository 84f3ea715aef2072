#!/usr/bin/env bash
# Builds the library and its tests and runs the whole suite, for each preset given
# (default: dev). Installs missing Debian packages first (as root, or through sudo).
#
#   scripts/test.sh [dev|asan|tsan|i386|fuzz ...]
set -euo pipefail
cd "$(dirname "$0")/.."

presets=("$@")
((${#presets[@]})) || presets=(dev)

scripts/install-deps.sh

for preset in "${presets[@]}"; do
  echo "== ${preset}: configure, build, test"
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
