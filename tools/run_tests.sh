#!/usr/bin/env bash
# Installs the dependencies, builds Ferrowen twice (with GCC, then with clang under
# AddressSanitizer and UndefinedBehaviorSanitizer), warnings as errors in both, and runs every
# test in both builds, including the replay of every fuzz corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

bash tools/install_deps.sh

run_suite() {  # build-dir, extra cmake arguments...
  local dir=$1; shift
  # Tests are asked for explicitly: a build folder configured earlier without them (the
  # demo builds only the command line) must not pass by running nothing.
  cmake -S . -B "$dir" -DFERROWEN_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure --no-tests=error -j"$jobs"
}

echo "== GCC build"
CC=gcc CXX=g++ run_suite build -DFERROWEN_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2"
echo "== clang build with the sanitizers (ASan + UBSan)"
CC=clang CXX=clang++ ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DFERROWEN_SANITIZE=ON -DFERROWEN_WERROR=ON -DFERROWEN_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo

# The fuzz targets' corpora are replayed by both suites above. Building the libFuzzer
# binaries proves they build; each then runs FERROWEN_FUZZ_SECONDS (default 3) from its corpus.
if [[ ${FERROWEN_FUZZ_SECONDS:=3} -gt 0 ]] && command -v clang++ >/dev/null; then
  echo "== libFuzzer targets"
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -DFERROWEN_FUZZ=ON -DFERROWEN_TESTS=ON \
    -DFERROWEN_WERROR=ON -DFERROWEN_BENCH=OFF -DFERROWEN_UI=OFF >/dev/null
  cmake --build build-fuzz -j"$jobs" --target $(cd tests/fuzz && ls fuzz_*.cpp | sed 's/\.cpp$//')
  bash tools/run_fuzzers.sh build-fuzz "$FERROWEN_FUZZ_SECONDS"
fi
