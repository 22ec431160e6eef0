#!/usr/bin/env bash
# Builds the fuzzing harnesses and runs each for [seconds] (default 60) on one
# core, starting from its committed corpus fuzz/corpus/<harness>/.  New inputs
# go to build/fuzz/corpus/<harness>/, crash inputs to build/fuzz/artifacts/.
# Fails at the first harness that finds a fault.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

bash fuzz/build.sh
for harness in wire_frames relay_records; do
  work=build/fuzz/corpus/$harness
  mkdir -p "$work" build/fuzz/artifacts build/fuzz/logs
  rm -f build/fuzz/logs/fuzz-0.log
  echo "== fuzzing $harness for $seconds s"
  status=0
  # -jobs/-workers: one fuzzing process on one core, its output in the log.
  (cd build/fuzz/logs && exec "../$harness" -max_total_time="$seconds" -timeout=10 -max_len=4096 \
      -jobs=1 -workers=1 -print_final_stats=1 -dict="../../../fuzz/dict/$harness.dict" \
      -artifact_prefix="../artifacts/$harness-" "../corpus/$harness" "../../../fuzz/corpus/$harness") \
      >/dev/null 2>&1 || status=$?
  log=build/fuzz/logs/$harness.log
  mv build/fuzz/logs/fuzz-0.log "$log" 2>/dev/null || echo "$harness did not start" > "$log"
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' "$log" || true
  if [ "$status" != 0 ]; then
    grep -E -A30 '^(==[0-9]+==|[a-z_]+: |SUMMARY)' "$log" | head -60 >&2 || tail -40 "$log" >&2
    echo "$harness found a fault; inputs in build/fuzz/artifacts/ (log: build/fuzz/logs/$harness.log)" >&2
    exit 1
  fi
done
