#!/usr/bin/env bash
# Takes the window's pictures in docs/screenshots/ on a virtual X display (Xvfb): the three
# pages, the scan dialog and the recovery dialogs, with a fixture image as the only disk.
#   bash tools/screenshots.sh [build folder]      (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

bash tools/install_deps.sh
for p in xvfb xauth fonts-wqy-microhei; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || {
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -q --no-install-recommends xvfb xauth fonts-wqy-microhei
    break
  }
done

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target ferrowen_ui_screenshots
shots=$(find "$build" -name ferrowen_ui_screenshots -type f -perm -u+x | head -n 1)

export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
chmod 700 "$XDG_RUNTIME_DIR"
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x800x24" "$shots" docs/screenshots
