#!/bin/sh
# Builds the libFuzzer harnesses of tests/fuzz (clang, address and
# undefined-behaviour sanitizers) into build-fuzz and runs each in turn,
# at the lowest priority, for SECONDS (default: one hour each) over its
# seeds in tests/fuzz/corpus and what earlier runs kept in
# build-fuzz/corpus. An input that breaks a harness is kept in
# build-fuzz/findings/<harness> (emptied at each run) and its report is shown.
# Ends with one line, "Fuzzing: N harnesses, N runs, N findings", and fails
# when there is a finding.
# Usage: scripts/fuzz.sh [SECONDS_PER_HARNESS]
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-3600}
build=$here/build-fuzz
"$here/scripts/install-deps.sh" fuzz

(cd "$here" && cmake --preset fuzz >/dev/null)
harnesses="devicefile cmdline sysfs change"
targets=""
for harness in $harnesses; do targets="$targets fuzz_$harness"; done
# shellcheck disable=SC2086
cmake --build "$build" -j"$(nproc)" --target $targets

count=0 runs=0 findings=0
for harness in $harnesses; do
  corpus=$build/corpus/$harness
  artifacts=$build/findings/$harness
  log=$build/fuzz-$harness.log
  rm -rf "$artifacts"
  mkdir -p "$corpus" "$artifacts"
  # Device files need room for a few members; the other inputs are short.
  max_len=4096
  [ "$harness" = devicefile ] && max_len=16384
  status=0
  started=$(date +%s)
  # -timeout: an input that runs a minute hangs; ten seconds can be a busy moment
  # of a shared machine for a process at the lowest priority.
  nice -n 19 "$build/tests/fuzz/fuzz_$harness" "$corpus" "$here/tests/fuzz/corpus/$harness" \
    -dict="$here/tests/fuzz/$harness.dict" -max_total_time="$seconds" -max_len=$max_len \
    -timeout=60 -rss_limit_mb=2048 -artifact_prefix="$artifacts/" -print_final_stats=1 \
    >"$log" 2>&1 || status=$?
  elapsed=$(($(date +%s) - started))
  done_runs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\)$/\1/p' "$log" | tail -n 1)
  # A slow unit is a busy moment of a shared machine, not a fault: only
  # crashes, leaks, time-outs and memory exhaustion count.
  found=$(find "$artifacts" -type f ! -name 'slow-unit-*' | wc -l)
  if [ "$status" -ne 0 ] && [ "$found" -eq 0 ]; then
    found=1  # ended abnormally without leaving an input: still a finding
  fi
  if [ "$found" -ne 0 ]; then
    echo "fuzz_$harness found a fault (inputs in $artifacts):"
    grep -v '^#' "$log" | tail -n 40
  fi
  echo "fuzz_$harness: ${done_runs:-0} runs in $elapsed s, $found findings"
  count=$((count + 1))
  runs=$((runs + ${done_runs:-0}))
  findings=$((findings + found))
done
echo "Fuzzing: $count harnesses, $runs runs, $findings findings"
[ "$findings" -eq 0 ]
