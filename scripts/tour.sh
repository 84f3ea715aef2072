#!/usr/bin/env bash
# Installs missing Debian packages (as root, or through sudo; the Windows toolchain and
# Wine are left out), builds the demo program
# yr_tour in the dev build and runs it. Arguments are passed on to yr_tour.
#
#   scripts/tour.sh [yr_tour arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --without windows
cmake --preset dev
cmake --build --preset dev --target yr_tour
exec build/dev/examples/tour/yr_tour "$@"
