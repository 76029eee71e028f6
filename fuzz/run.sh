#!/bin/bash
# Runs every fuzz harness for a set time and reports, per harness, the
# executions, the coverage at the start (the corpora replayed) and at the end,
# the new inputs kept, and the findings (crash, leak, timeout, out-of-memory
# inputs). New inputs go to BUILD/fuzz-work/NAME/corpus (FUZZ_WORK/NAME/corpus),
# never into the committed corpora (fuzz/minimize.sh merges them in).
#
#   fuzz/run.sh [BUILD]          BUILD defaults to build/host
#   FUZZ_SECONDS=600             seconds per harness
#   FUZZ_JOBS=2                  harnesses run at the same time
#   FUZZ_HARNESSES="a b"         a subset (names as in fuzz/corpus/)
#   FUZZ_WORK=DIR                where the new inputs, logs and findings go
#
# Exit status: 0 when no harness found anything, 1 otherwise.
set -u
cd "$(dirname "$0")/.."
BUILD=${1:-build/host}
SECONDS_EACH=${FUZZ_SECONDS:-600}
JOBS=${FUZZ_JOBS:-2}
HARNESSES=${FUZZ_HARNESSES:-"card_page card_page_structured form_update config_strings variables language formatter"}
WORK=${FUZZ_WORK:-$BUILD/fuzz-work}

run_one() {
  local name=$1 dir=$WORK/$1
  mkdir -p "$dir/corpus" "$dir/artifacts"
  rm -f "$dir/artifacts"/*
  local dict=()
  [ -f "fuzz/dict/$name.dict" ] && dict=(-dict="fuzz/dict/$name.dict")
  "$BUILD/fuzz/fuzz_$name" "$dir/corpus" "fuzz/corpus/$name" "${dict[@]}" \
    -max_total_time="$SECONDS_EACH" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$dir/artifacts/" > "$dir/log" 2>&1
}

echo "fuzzing ${SECONDS_EACH}s per harness, $JOBS at a time: $HARNESSES"
running=0
for name in $HARNESSES; do
  if [ ! -x "$BUILD/fuzz/fuzz_$name" ]; then
    echo "no harness $BUILD/fuzz/fuzz_$name (run make host first)" >&2
    exit 1
  fi
  run_one "$name" &
  running=$((running + 1))
  if [ "$running" -ge "$JOBS" ]; then
    wait -n
    running=$((running - 1))
  fi
done
wait

printf '\n%-22s %12s %10s %10s %8s %9s\n' harness executions "cov start" "cov end" "new" findings
status=0
for name in $HARNESSES; do
  dir=$WORK/$name
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -1)
  start=$(grep -m1 'INITED' "$dir/log" | sed -n 's/.*cov: \([0-9]*\).*/\1/p')
  end=$(grep -E '^#[0-9]+' "$dir/log" | tail -1 | sed -n 's/.*cov: \([0-9]*\).*/\1/p')
  new=$(find "$dir/corpus" -type f | wc -l)
  findings=$(find "$dir/artifacts" -type f | wc -l)
  printf '%-22s %12s %10s %10s %8s %9s\n' "$name" "${execs:-?}" "${start:-?}" "${end:-?}" "$new" "$findings"
  if [ "$findings" -ne 0 ]; then
    status=1
    find "$dir/artifacts" -type f | sed 's/^/    /'
    grep -m3 -E 'INVARIANT BROKEN|ERROR: |SUMMARY' "$dir/log" | sed 's/^/    /'
  fi
done
exit $status
