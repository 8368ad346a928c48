#!/usr/bin/env bash
# Runs libFuzzer targets of a FERROWEN_FUZZ build for the given seconds each, starting from
# their committed corpora. New inputs go to a scratch folder, not into the repository. At the
# end one line per target gives its runs, execs per second, coverage (cov) and features (ft);
# a target that crashes (or times out, or runs out of memory) leaves its reproducer in
# FERROWEN_FUZZ_ARTIFACTS/<target>/ (default ./fuzz-artifacts) and fails the run.
#
# usage: tools/run_fuzzers.sh BUILD_DIR [SECONDS [TARGET...]]
#   TARGET        names like fuzz_coordinator; all targets when none is given
#   FERROWEN_FUZZ_JOBS      targets run at once (default 1)
#   FERROWEN_FUZZ_TIMEOUT   seconds one input may take before it counts as a hang (default 60)
set -euo pipefail
build=${1:?build folder of a -DFERROWEN_FUZZ=ON build}
seconds=${2:-60}
shift $(($# < 2 ? $# : 2))
jobs=${FERROWEN_FUZZ_JOBS:-1}
timeout=${FERROWEN_FUZZ_TIMEOUT:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
artifacts=$(realpath -m "${FERROWEN_FUZZ_ARTIFACTS:-fuzz-artifacts}")
[[ $jobs =~ ^[1-9][0-9]*$ ]] || { echo "FERROWEN_FUZZ_JOBS must be a positive number" >&2; exit 2; }

targets=("$@")
if ((${#targets[@]} == 0)); then
  for source in "$root"/tests/fuzz/fuzz_*.cpp; do targets+=("$(basename "$source" .cpp)"); done
fi
for name in "${targets[@]}"; do
  [[ -x $build/tests/fuzz/$name ]] || { echo "no fuzz target $build/tests/fuzz/$name" >&2; exit 2; }
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

run_one() {  # target
  local name=$1 rc=0
  mkdir -p "$scratch/$name" "$artifacts/$name"
  "$build/tests/fuzz/$name" -max_total_time="$seconds" -timeout="$timeout" \
    -print_final_stats=1 -artifact_prefix="$artifacts/$name/" \
    "$scratch/$name" "$root/tests/fuzz/corpus/$name" >"$scratch/$name.log" 2>&1 || rc=$?
  echo "$rc" >"$scratch/$name.rc"
}

# Runs, exec/s, cov and ft of one log: the final stats when the run ended normally, else the
# last status line libFuzzer printed.
summarise() {  # target
  local name=$1 log=$scratch/$1.log rc
  rc=$(cat "$scratch/$name.rc")
  awk -v name="$name" -v rc="$rc" '
    /^#[0-9]+/ && / cov: / {
      runs = substr($1, 2)
      for (i = 1; i < NF; ++i) {
        if ($i == "cov:") cov = $(i + 1)
        if ($i == "ft:") ft = $(i + 1)
        if ($i == "exec/s:") eps = $(i + 1)
      }
    }
    /^stat::number_of_executed_units:/ { runs = $2 }
    /^stat::average_exec_per_sec:/ { eps = $2 }
    END {
      printf "%-28s %-7s runs: %-9s exec/s: %-7s cov: %-7s ft: %s\n", name,
             rc == 0 ? "ok" : "FAILED", runs + 0, eps + 0, cov + 0, ft + 0
    }' "$log"
}

running=0
for name in "${targets[@]}"; do
  if ((running >= jobs)); then
    wait -n || true
    running=$((running - 1))
  fi
  echo "-- $name for ${seconds}s"
  run_one "$name" &
  running=$((running + 1))
done
wait

failed=0
echo "== fuzz summary (${seconds}s each)"
for name in "${targets[@]}"; do
  summarise "$name"
  if [[ $(cat "$scratch/$name.rc") != 0 ]]; then
    failed=1
    echo "   $name failed; its log ends:" >&2
    tail -n 25 "$scratch/$name.log" | sed 's/^/   | /' >&2
    echo "   reproducer in $artifacts/$name/" >&2
  else
    rmdir "$artifacts/$name" 2>/dev/null || true
  fi
done
rmdir "$artifacts" 2>/dev/null || true
exit "$failed"
