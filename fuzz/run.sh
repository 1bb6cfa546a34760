#!/usr/bin/env bash
# Fuzzes the tool for the given number of seconds per target:
#   fuzz/run.sh <seconds-per-target>
# Builds build/fuzz with clang++ (libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer), replays the committed start corpora and every
# file in fuzz/regressions/, then runs each libFuzzer target and the
# whole-process fuzzer (against the tool, and against a small-batch build of
# it). Inputs the runs add go to build/fuzz/work (the
# committed corpora are left as they are); findings go to build/fuzz/findings.
# Exits non-zero when anything was found.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:?usage: fuzz/run.sh <seconds-per-target>}
build=build/fuzz
work=$build/work
findings=$build/findings
jobs=$(nproc 2>/dev/null || echo 2)
targets=(number_text cell_format ascii_grid binary_grid)

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCELLSCALE_FUZZ=ON -DCELLSCALE_SANITIZE=ON -DCELLSCALE_BUILD_TESTS=OFF -DCELLSCALE_WERROR=ON >/dev/null
cmake --build "$build" -j "$jobs"
mkdir -p "$work" "$findings"

failed=()
summary=()

# Every committed input and every regression, once each.
for target in "${targets[@]}"; do
  inputs=(fuzz/corpus/"$target"/*)
  if [ -d fuzz/regressions/"$target" ]; then
    shopt -s nullglob
    inputs+=(fuzz/regressions/"$target"/*)
    shopt -u nullglob
  fi
  if "$build/fuzz/fuzz_$target" "${inputs[@]}" >"$work/replay-$target.log" 2>&1; then
    summary+=("replay $target: ${#inputs[@]} inputs, no finding")
  else
    failed+=("replay $target (see $work/replay-$target.log)")
    tail -n 40 "$work/replay-$target.log"
  fi
done
# The whole-process fuzzer runs twice: against the tool as it is built, and
# against one that takes every grid through its threads in batches of a few
# cells and text pieces of a few characters, so that batch edges fall inside
# numbers, rows and headers.
small=build/fuzz-small-batches
cmake -S . -B "$small" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCELLSCALE_SANITIZE=ON \
  -DCELLSCALE_TEST_SMALL_BATCHES=ON -DCELLSCALE_BUILD_TESTS=OFF -DCELLSCALE_WERROR=ON >/dev/null
cmake --build "$small" -j "$jobs" --target cellscale
tools=("$build/cellscale" "$small/cellscale")
names=(process process-small-batches)
for k in 0 1; do
  log=$work/replay-${names[k]}.log
  if CELLSCALE_TOOL="$PWD/${tools[k]}" "$build/fuzz/process_fuzz" --replay fuzz/regressions/process >"$log" 2>&1; then
    summary+=("${names[k]}: $(tail -n 1 "$log")")
  else
    failed+=("replay ${names[k]} (see $log)")
    tail -n 40 "$log"
  fi
done

# Fuzzing, each target for the time given.
for target in "${targets[@]}"; do
  mkdir -p "$work/$target"
  dictionary=()
  case $target in number_text | ascii_grid) dictionary=(-dict=fuzz/grid_text.dict) ;; esac
  sources=(fuzz/corpus/"$target")
  [ -d fuzz/regressions/"$target" ] && sources+=(fuzz/regressions/"$target")
  log=$work/fuzz-$target.log
  if "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      "${dictionary[@]}" -artifact_prefix="$findings/$target-" "$work/$target" "${sources[@]}" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    summary+=("fuzz $target: ${runs:-?} executions in ${seconds} s, corpus $(find "$work/$target" -type f 2>/dev/null | wc -l) grown + $(find "${sources[@]}" -type f 2>/dev/null | wc -l) committed inputs, no finding")
  else
    failed+=("fuzz $target (see $log and $findings)")
    grep -A 30 -m 1 -E "ERROR|wrong result|deadly signal|timeout" "$log" || tail -n 40 "$log"
  fi
done
for k in 0 1; do
  log=$work/fuzz-${names[k]}.log
  if CELLSCALE_TOOL="$PWD/${tools[k]}" "$build/fuzz/process_fuzz" --seconds "$seconds" \
      --findings "$findings/${names[k]}" fuzz/corpus/process >"$log" 2>&1; then
    summary+=("${names[k]}: $(tail -n 1 "$log")")
  else
    failed+=("fuzz ${names[k]} (see $log and $findings/${names[k]})")
    tail -n 40 "$log"
  fi
done

printf '%s\n' "${summary[@]}"
if [ "${#failed[@]}" -gt 0 ]; then
  printf 'FOUND: %s\n' "${failed[@]}"
  echo "Once fixed, copy each finding into fuzz/regressions/<target>/ so that it is replayed always."
  exit 1
fi
