#!/bin/bash
# Merges what fuzz/run.sh found into the committed corpora, keeping only the
# inputs that add coverage (libFuzzer's -merge=1, over edges only: hit counts
# would keep many inputs that differ only in how often a loop ran), so the
# corpora stay small.
#   fuzz/minimize.sh [BUILD]     BUILD defaults to build/host
#   FUZZ_WORK=DIR                where fuzz/run.sh put its inputs (BUILD/fuzz-work)
set -eu
cd "$(dirname "$0")/.."
BUILD=${1:-build/host}
for name in ${FUZZ_HARNESSES:-card_page card_page_structured form_update config_strings variables language formatter}; do
  merged=$(mktemp -d)
  inputs=("fuzz/corpus/$name")
  work=${FUZZ_WORK:-$BUILD/fuzz-work}
  [ -d "$work/$name/corpus" ] && inputs+=("$work/$name/corpus")
  "$BUILD/fuzz/fuzz_$name" -merge=1 -use_counters=0 -rss_limit_mb=4096 "$merged" "${inputs[@]}" > "$merged.log" 2>&1 ||
    { cat "$merged.log"; exit 1; }
  # Named seeds (the fixtures' lists, OVMF's IFR, ...) stay whatever they add;
  # libFuzzer names the inputs it keeps by their SHA-1, so a kept copy of a
  # seed is dropped in favour of the seed.
  seeds=$(mktemp -d)
  find "fuzz/corpus/$name" -type f -regextype posix-extended ! -regex '.*/[0-9a-f]{40}' -exec cp {} "$seeds/" \;
  for seed in "$seeds"/*; do
    [ -f "$seed" ] && rm -f "$merged/$(sha1sum "$seed" | cut -d' ' -f1)"
  done
  rm -rf "fuzz/corpus/$name"
  mkdir -p "fuzz/corpus/$name"
  cp "$seeds"/* "$merged"/* "fuzz/corpus/$name/" 2>/dev/null || true
  rm -rf "$seeds"
  echo "$name: $(find "fuzz/corpus/$name" -type f | wc -l) inputs, $(du -sk "fuzz/corpus/$name" | cut -f1) KiB"
  rm -rf "$merged" "$merged.log"
done
