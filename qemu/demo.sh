#!/usr/bin/env bash
# `make demo`: boots the firmware test application in QEMU running OVMF and shows
# what was checked inside real firmware, group by group. Exit status: the verdict.
#   demo.sh EFI_BUILD_DIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
efi_build=${1:-build/efi}
app="$efi_build/qemu/AddOnCardFirmwareTest.efi"

echo "AddOnCard: the driver's code and the firmware's HII services, checked inside OVMF"
echo "(QEMU, software emulation; this takes a few seconds)"
output=$("$here/run-firmware-test.sh" --quiet "$app" 2>&1)
status=$?
printf '%s\n' "$output" | awk '
  /^GROUP /   { sub(/^GROUP /, ""); printf "\n[%s]\n", $0; next }
  /^PASS /    { sub(/^PASS [^\/]*\//, ""); print "  ok    " $0; next }
  /^FAIL /    { sub(/^FAIL [^\/]*\//, ""); print "  FAIL  " $0; next }
  /^SUMMARY / { sub(/^SUMMARY /, ""); printf "\nResult: %s\n", $0; next }
  /^AddOnCard firmware test/ { next }
  { print }'
exit $status
