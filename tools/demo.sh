#!/usr/bin/env bash
# Installs the dependencies, builds Ferrowen and runs the command-line front end.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target ferrowen-cli
./build/cli/ferrowen-cli --version
