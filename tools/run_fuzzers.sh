#!/usr/bin/env bash
# Runs every libFuzzer target of a FERROWEN_FUZZ build for the given seconds each, starting
# from its committed corpus. New inputs go to a scratch folder, not into the repository;
# a crash leaves its reproducer in the current folder and fails the run.
# usage: tools/run_fuzzers.sh BUILD_DIR [SECONDS]
set -euo pipefail
build=${1:?build folder of a -DFERROWEN_FUZZ=ON build}
seconds=${2:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for source in "$root"/tests/fuzz/fuzz_*.cpp; do
  name=$(basename "$source" .cpp)
  mkdir -p "$scratch/$name"
  echo "-- $name for ${seconds}s"
  "$build/tests/fuzz/$name" -max_total_time="$seconds" -print_final_stats=0 \
    "$scratch/$name" "$root/tests/fuzz/corpus/$name" 2>&1 | tail -n 3
done
