#!/usr/bin/env bash
# Boots the agreement run in QEMU running OVMF: AddOnCardAgree.efi loads
# AddOnCard.efi and the card driver, sets the supported list, installs the scan
# trigger, runs AddOnCardExport.efi, and writes the driver's own package list
# and every keyword's GetData answer beside the export (qemu/agree/agree_app.cpp).
# The disk is a FAT image made with mtools, copied back to the host afterwards.
#
#   run-agree-test.sh [--timeout SECONDS] EFI_BUILD_DIR OUTDIR
#
# OUTDIR afterwards (emptied first):
#   agree/        what the boot wrote: the export (index.txt, card-NN.hpk,
#                 card-NN.pci), driver.hpk and keywords.txt
#   debugcon.log  the application's report (PASS/FAIL lines, SUMMARY)
#   console.log   the firmware console (the export tool's lines), escape
#                 sequences removed
# Exit status 0 when the application reported every step done; whether the
# files agree is for the host check (agree_ovmf_registry) to judge.
set -euo pipefail

. "$(dirname "$0")/ovmf-env.sh"
SUCCESS_EXIT_CODE=33  # (0x10 << 1) | 1, written by the application on success

usage() { sed -n '2,17p' "$0" >&2; exit 2; }
fail() { echo "run-agree-test: $*" >&2; exit 1; }

timeout_seconds=60 efi_build="" outdir=""
while [ $# -gt 0 ]; do
  case "$1" in
    --timeout) timeout_seconds=${2:?}; shift 2 ;;
    -h|--help) usage ;;
    -*) echo "unknown option $1" >&2; usage ;;
    *) if [ -z "$efi_build" ]; then efi_build=$1; elif [ -z "$outdir" ]; then outdir=$1; else usage; fi; shift ;;
  esac
done
[ -n "$efi_build" ] && [ -n "$outdir" ] || usage

require_ovmf mformat mtools
images=(
  "$efi_build/qemu/agree/AddOnCardAgree.efi"
  "$efi_build/AddOnCard.efi"
  "$efi_build/qemu/testcard/AddOnCardTestCard.efi"
  "$efi_build/AddOnCardExport.efi"
)
for f in "${images[@]}"; do [ -r "$f" ] || fail "$f not found (build the efi build first)"; done

work=$(mktemp -d "${TMPDIR:-/tmp}/addoncard-agree.XXXXXX")
trap 'rm -rf "$work"' EXIT

image="$work/disk.img"
truncate -s 16M "$image"
mformat -i "$image" -v AGREE ::
mmd -i "$image" ::/EFI ::/EFI/BOOT
mcopy -i "$image" "${images[0]}" ::/EFI/BOOT/BOOTX64.EFI
mcopy -i "$image" "${images[1]}" "${images[2]}" "${images[3]}" ::/

vars="$work/vars.fd"
cp "$OVMF_VARS_TEMPLATE" "$vars"
chmod u+w "$vars"

# The card functions of qemu/test_machine.h, at the addresses the card driver
# expects (as run-firmware-test.sh places them).
card_devices=(
  -device edu,addr=10.0
  -device edu,addr=11.0
  -device pci-testdev,addr=12.0
)

log="$work/debugcon.log"
console="$work/console.raw"
: >"$log"
set +e
timeout --kill-after=10 "$timeout_seconds" "$QEMU" \
  -machine q35 -m 256 -nographic -net none -no-reboot \
  -drive if=pflash,format=raw,unit=0,readonly=on,file="$OVMF_CODE" \
  -drive if=pflash,format=raw,unit=1,file="$vars" \
  -drive if=none,id=agreedisk,format=raw,file="$image" \
  -device virtio-blk-pci,drive=agreedisk,addr=0x05,bootindex=0 \
  "${card_devices[@]}" \
  -debugcon file:"$log" -global isa-debugcon.iobase=0x402 \
  -device isa-debug-exit,iobase=0x501,iosize=2 \
  </dev/null >"$console" 2>&1
qemu_status=$?
set -e

rm -rf "$outdir"
mkdir -p "$outdir"
grep -aE '^(AddOnCard agree|PASS|FAIL|SUMMARY|NOTE) ' "$log" | tr -d '\r' >"$outdir/debugcon.log" || true
sed -e 's/\x1b\[[0-9;=?]*[A-Za-z]//g' -e 's/\r$//' "$console" >"$outdir/console.log"
mcopy -s -n -i "$image" ::/agree "$outdir/" 2>/dev/null || true

cat "$outdir/debugcon.log"
grep -a 'AddOnCardExport' "$outdir/console.log" || true
if [ "$qemu_status" = 124 ] || [ "$qemu_status" = 137 ]; then
  tail -n 30 "$outdir/console.log"
  fail "QEMU did not finish within $timeout_seconds s"
fi
summary=$(grep -aE '^SUMMARY ' "$outdir/debugcon.log" | tail -n 1 || true)
[ -n "$summary" ] || { tail -n 30 "$outdir/console.log"; fail "no summary line (QEMU exit status $qemu_status)"; }
if [ "$qemu_status" = "$SUCCESS_EXIT_CODE" ] && [[ "$summary" =~ ^SUMMARY\ [1-9][0-9]*\ passed,\ 0\ failed$ ]]; then
  [ -f "$outdir/agree/index.txt" ] || fail "the boot passed but agree/index.txt was not copied back"
  echo "run-agree-test: success ($summary); files in $outdir/agree"
  exit 0
fi
fail "the application reported failure ($summary; QEMU exit status $qemu_status)"
