#!/bin/bash
# Line coverage of the driver code (driver/ forms/ hii/ support/) that the
# committed corpora reach: the harnesses are built in build/fuzz-coverage as
# plain replayers with llvm's source coverage (no sanitizers), each replays
# its corpus once, and llvm-cov reports per directory and per file.
#   fuzz/coverage.sh             writes build/fuzz-coverage/report.txt too
set -eu
cd "$(dirname "$0")/.."
BUILD=build/fuzz-coverage
PROFDATA=$(command -v llvm-profdata-14 || command -v llvm-profdata)
COV=$(command -v llvm-cov-14 || command -v llvm-cov)
HARNESSES="card_page card_page_structured form_update config_strings variables language formatter"

CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DADDONCARD_SANITIZE=OFF \
  -DADDONCARD_FUZZ_COVERAGE=ON > /dev/null
targets=()
for name in $HARNESSES; do targets+=("fuzz_$name"); done
cmake --build "$BUILD" --target "${targets[@]}" > /dev/null

rm -f "$BUILD"/*.profraw
objects=()
for name in $HARNESSES; do
  LLVM_PROFILE_FILE="$BUILD/$name.profraw" "$BUILD/fuzz/fuzz_$name" "fuzz/corpus/$name" > /dev/null
  if [ ${#objects[@]} -eq 0 ]; then objects+=("$BUILD/fuzz/fuzz_$name"); else objects+=(-object "$BUILD/fuzz/fuzz_$name"); fi
done
"$PROFDATA" merge -sparse "$BUILD"/*.profraw -o "$BUILD/fuzz.profdata"

report() {
  # Compile-time tables (the static form set, the form numbering) hold no code that runs.
  "$COV" report "${objects[@]}" -instr-profile="$BUILD/fuzz.profdata" \
    -ignore-filename-regex='static_packages\.cpp|form_ids\.h' "$@"
}
{
  echo "Line coverage of the driver code reached by the committed corpora"
  echo
  printf '%-10s %8s %8s %8s\n' directory lines missed cover
  for dir in driver forms hii support; do
    report "$PWD/$dir/" 2>/dev/null | awk -v d="$dir/" '/^TOTAL/ {printf "%-10s %8s %8s %8s\n", d, $8, $9, $10}'
  done
  report "$PWD/driver/" "$PWD/forms/" "$PWD/hii/" "$PWD/support/" 2>/dev/null |
    awk '/^TOTAL/ {printf "%-10s %8s %8s %8s\n", "all", $8, $9, $10}'
  echo
  report "$PWD/driver/" "$PWD/forms/" "$PWD/hii/" "$PWD/support/" 2>/dev/null |
    awk 'NR > 2 && !/^-/ && !/^TOTAL/ {sub(".*/(driver|forms|hii|support)/", "&", $1); print}' |
    sed -E "s|^$PWD/||" | awk '{printf "%-36s %8s %8s %8s\n", $1, $8, $9, $10}'
} | tee "$BUILD/report.txt"
