#!/usr/bin/env bash
# Draws the window's pictures again into ui/resources/image/ (commit the result).
#   bash tools/make_icons.sh [build folder]      (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j"$(nproc)" --target ferrowen-make-icons
"$(find "$build" -name ferrowen-make-icons -type f -perm -u+x | head -n 1)" ui/resources/image
