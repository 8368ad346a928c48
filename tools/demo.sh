#!/usr/bin/env bash
# Installs the dependencies, builds Ferrowen and runs the main job on the bundled demo disk:
# an MBR disk image with a FAT32 and an NTFS partition from which photos, documents and a
# folder tree were deleted. Each partition is deep-scanned and everything found is recovered
# into ./demo-recovered/partition<N>/<type folder>/. The image itself is only ever read.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target ferrowen-cli

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
gzip -dc tests/fixtures/demo.img.gz >"$work/demo.img"
export FERROWEN_DISKS="$work/demo.img" XDG_DATA_HOME="$work/data"
./build/cli/ferrowen-cli list
rm -rf demo-recovered
echo
# Without --partition every partition is scanned, each into its own folder p<K>.
./build/cli/ferrowen-cli recover 0 --out demo-recovered
echo
echo "recovered files are in $(pwd)/demo-recovered"
