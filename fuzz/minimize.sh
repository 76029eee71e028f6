#!/bin/bash
# Merges what fuzz/run.sh found into the committed corpora, keeping only the
# inputs that add coverage (libFuzzer's -merge=1), so the corpora stay small.
#   fuzz/minimize.sh [BUILD]     BUILD defaults to build/host
set -eu
cd "$(dirname "$0")/.."
BUILD=${1:-build/host}
for name in ${FUZZ_HARNESSES:-card_page card_page_structured form_update config_strings variables language formatter}; do
  merged=$(mktemp -d)
  inputs=("fuzz/corpus/$name")
  [ -d "$BUILD/fuzz-work/$name/corpus" ] && inputs+=("$BUILD/fuzz-work/$name/corpus")
  "$BUILD/fuzz/fuzz_$name" -merge=1 -rss_limit_mb=4096 "$merged" "${inputs[@]}" > "$merged.log" 2>&1 ||
    { cat "$merged.log"; exit 1; }
  rm -rf "fuzz/corpus/$name"
  mkdir -p "fuzz/corpus/$name"
  cp "$merged"/* "fuzz/corpus/$name/" 2>/dev/null || true
  echo "$name: $(find "fuzz/corpus/$name" -type f | wc -l) inputs, $(du -sk "fuzz/corpus/$name" | cut -f1) KiB"
  rm -rf "$merged" "$merged.log"
done
