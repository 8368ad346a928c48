#!/usr/bin/env bash
# Installs what building and testing Ferrowen needs on Debian 12. Run as root.
set -euo pipefail
packages=(
  build-essential cmake pkg-config git ca-certificates
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev   # libFuzzer and the sanitizer runtimes for the fuzz targets
  gzip coreutils
  zlib1g-dev libbz2-dev liblzma-dev   # decoding carved gzip, bzip2 and xz files
  libssl-dev   # SHA-256 of recovered files in the recovery report
  libcli11-dev nlohmann-json3-dev   # the command line's parser and its JSON
  qt6-base-dev qt6-qpa-plugins fonts-dejavu-core   # the window; its tests run offscreen
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
