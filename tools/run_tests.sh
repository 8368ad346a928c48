#!/usr/bin/env bash
# Installs the dependencies, builds Ferrowen twice (plain, then with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs every test in both builds, including the replay of
# every fuzz corpus. With clang present the libFuzzer targets are built and each runs briefly.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

bash tools/install_deps.sh

run_suite() {  # build-dir, extra cmake arguments...
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs"
}

echo "== plain build"
run_suite build
echo "== sanitizer build (ASan + UBSan)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DFERROWEN_SANITIZE=ON -DFERROWEN_BENCH=OFF

if command -v clang++ >/dev/null; then
  echo "== libFuzzer targets"
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -DFERROWEN_FUZZ=ON -DFERROWEN_TESTS=ON \
    -DFERROWEN_BENCH=OFF >/dev/null
  cmake --build build-fuzz -j"$jobs" --target $(cd tests/fuzz && ls fuzz_*.cpp | sed 's/\.cpp$//')
  bash tools/run_fuzzers.sh build-fuzz "${FERROWEN_FUZZ_SECONDS:-5}"
fi
