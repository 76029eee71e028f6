#!/usr/bin/env bash
# Prints the table of `make bench` (markdown): the scan's calls, copies and
# pool blocks per mirrored question in the host simulator, the driver's own
# instructions per question (callgrind), the scan timed in OVMF against the
# unavoidable export and update, and the image's footprint.
#
#   bench/run-bench.sh BENCH_BUILD EFI_BUILD
#
# BENCH_BUILD holds addoncard_bench (a build without sanitizers), EFI_BUILD
# AddOnCard.efi and qemu/perf/AddOnCardPerf.efi. QEMU runs with -icount, so
# the firmware's time-stamp counter counts instructions: the same build gives
# the same ticks on any machine, however loaded.
set -euo pipefail
bench_build=${1:?usage: run-bench.sh BENCH_BUILD EFI_BUILD}
efi_build=${2:?usage: run-bench.sh BENCH_BUILD EFI_BUILD}
here=$(cd "$(dirname "$0")/.." && pwd)
tool=$bench_build/addoncard_bench
work=$(mktemp -d "${TMPDIR:-/tmp}/addoncard-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# ---- host simulator: counts per scan shape --------------------------------------------
"$tool" --counts >"$work/counts.tsv"

echo "## Scan in the host simulator, per mirrored question"
echo
echo "Calls of each platform service, bytes the driver copied and pool blocks it asked for, divided by the"
echo "mirrored questions of the scan (pages for every card, big cards of one buffer store and two strings each)."
echo
awk -F'\t' 'NR == 1 { next }
  { q = $3; printf "| %s | %s |", $1, $2
    for (i = 4; i <= 11; i++) printf " %.2f |", $i / q
    printf " %.0f | %.2f | %.1f |\n", $13 / q, $14 / q, $16 / q }
  BEGIN { print "| cards | questions | NewString | SetString | GetString | ExportPackageLists | UpdatePackageList | ExtractConfig | GetVariable | SetVariable | bytes copied | pool blocks | µs (host) |"
          print "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|" }' "$work/counts.tsv"
echo
echo "Growth with the questions (exponent of the totals from 100 to 1024 questions, one card; 1 is linear):"
echo
awk -F'\t' 'NR == 1 { for (i = 4; i <= 14; i++) name[i] = $i; next }
  $1 == 1 && $2 == 100 { for (i = 4; i <= 14; i++) small[i] = $i }
  $1 == 1 && $2 == 1024 { for (i = 4; i <= 14; i++) large[i] = $i }
  END { line = ""
        for (i = 4; i <= 14; i++) {
          if (i == 12 || i == 15) continue
          if (small[i] == 0 || large[i] == 0) g = (large[i] == small[i]) ? "none" : "-"
          else g = sprintf("%.2f", log(large[i] / small[i]) / log(1024 / 100))
          line = line sprintf("%s %s; ", name[i], g) }
        print line }' "$work/counts.tsv"
echo

# ---- driver instructions (callgrind) ------------------------------------------------------
echo "## The driver's own instructions per mirrored question (callgrind, host build -O2)"
echo
echo "| cards | questions | driver instructions | per question |"
echo "|---:|---:|---:|---:|"
for shape in "1 100" "1 1024" "10 1024"; do
  set -- $shape
  valgrind --tool=callgrind --callgrind-out-file="$work/cg.out" --collect-atstart=no \
    --toggle-collect='bench::RunScan()' "$tool" --scan "$1" "$2" >/dev/null 2>&1
  ir=$(callgrind_annotate --inclusive=no --threshold=100 "$work/cg.out" 2>/dev/null |
    awk '/^ *[0-9,]+ \( *[0-9.]+%\)  / { n = $1; gsub(",", "", n); line = $0; sub(/^.*%\)  /, "", line)
         if (line ~ /^(driver|forms|hii|support|uefi)\//) d += n } END { printf "%.0f", d }')
  echo "| $1 | $2 | $ir | $(awk -v a="$ir" -v b="$2" 'BEGIN { printf "%.0f", a / b }') |"
done
echo

# ---- OVMF ---------------------------------------------------------------------------------
echo "## The scan in OVMF (QEMU -icount: ticks are instructions), against the unavoidable work"
echo
echo "Baseline: for each page built, one export and one update of the driver's final package list."
echo
"$here/qemu/run-firmware-test.sh" --timeout 1200 --quiet --qemu-arg -icount --qemu-arg shift=0,sleep=off \
  --log "$work/perf.log" "$efi_build/qemu/perf/AddOnCardPerf.efi" >"$work/perf.out" 2>&1 || {
  cat "$work/perf.out" >&2
  echo "the OVMF run failed" >&2
  exit 1
}
tr -d '\r' <"$work/perf.log" | grep -a '^PERF ' >"$work/perf.txt"
echo "| cards | questions | scan ticks | baseline ticks | scan / baseline | driver's own | NewString | SetString | GetString | Export | Update | ExtractConfig | GetVariable | SetVariable | pool | other services |"
echo "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
awk '{ delete v; for (i = 2; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
       scan = v["scan"]; known = 0
       n = split("NewString SetString GetString ExportPackageLists UpdatePackageList ExtractConfig GetVariable SetVariable", names, " ")
       line = sprintf("| %s | %s | %s | %s | %s | %.1f%% |", v["cards"], v["questions"], scan, v["baseline"], v["ratio"], 100 * v["driver"] / scan)
       for (k = 1; k <= n; k++) { t = 0; if (names[k] in v) { split(v[names[k]], ct, "/"); t = ct[2] }; known += t; line = line sprintf(" %.1f%% |", 100 * t / scan) }
       pool = 0; for (p in v) if (p == "AllocatePool" || p == "FreePool") { split(v[p], ct, "/"); pool += ct[2] }
       other = scan - v["driver"] - known - pool
       print line sprintf(" %.1f%% | %.1f%% |", 100 * pool / scan, 100 * other / scan) }' "$work/perf.txt"
echo

# ---- footprint ------------------------------------------------------------------------------
image=$efi_build/AddOnCard.efi
file_size=$(stat -c %s "$image")
pe=$(od -An -t u4 -j 60 -N 4 "$image" | tr -d ' ')
size_of_image=$(od -An -t u4 -j $((pe + 80)) -N 4 "$image" | tr -d ' ')
host_held=$(awk -F'\t' '$1 == 10 && $2 == 1024 { print $15 }' "$work/counts.tsv")
ovmf_held=$(awk '{ for (i = 2; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] } }
                 v["cards"] == 10 && v["questions"] == 1024 { print v["held"] }' "$work/perf.txt")
echo "## Footprint"
echo
echo "| AddOnCard.efi | SizeOfImage | pool held after a scan of 10 cards, 1024 questions (simulator / OVMF) | SizeOfImage + pool |"
echo "|---:|---:|---:|---:|"
echo "| $file_size bytes ($(awk -v b="$file_size" 'BEGIN { printf "%.1f", b / 1024 }') KiB) | $size_of_image bytes | $host_held / $ovmf_held bytes | $(awk -v a="$size_of_image" -v b="$ovmf_held" 'BEGIN { printf "%.1f KiB", (a + b) / 1024 }') |"
echo
echo "Measured on: $(uname -srm), $(nproc) CPUs ($(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)), $(date -u +%Y-%m-%d)."
