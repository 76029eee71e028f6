#!/usr/bin/env bash
# `make demo`: boots the firmware test application in QEMU running OVMF and shows
# what was checked inside real firmware, group by group; then boots it a second
# time on the variable store the first boot left and shows what the driver's
# variables look like after that reset. Exit status: the verdict of both boots.
#   demo.sh EFI_BUILD_DIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
efi_build=${1:-build/efi}
app="$efi_build/qemu/AddOnCardFirmwareTest.efi"
vars=$(mktemp "${TMPDIR:-/tmp}/addoncard-demo-vars.XXXXXX")
trap 'rm -f "$vars"' EXIT

# Prints the report of one boot; with a group name, only that group.
show() {
  awk -v only="$1" '
    /^GROUP /   { sub(/^GROUP /, ""); shown = (only == "" || $0 == only); if (shown) printf "\n[%s]\n", $0; next }
    /^SUMMARY / { sub(/^SUMMARY /, ""); printf "\nResult: %s\n", $0; next }
    /^AddOnCard firmware test/ { next }
    /^run-firmware-test: success/ { next }
    !shown && /^(PASS|FAIL|NOTE) / { next }
    /^PASS /    { sub(/^PASS [^\/]*\//, ""); print "  ok    " $0; next }
    /^FAIL /    { sub(/^FAIL [^\/]*\//, ""); print "  FAIL  " $0; next }
    /^NOTE /    { sub(/^NOTE /, ""); print "  note  " $0; next }
    { print }'
}

echo "AddOnCard: the driver's code and the firmware's HII services, checked inside OVMF"
echo "(QEMU, software emulation; two boots of a few seconds each)"
echo
echo "==== Boot 1, fresh variable store ===="
output=$("$here/run-firmware-test.sh" --quiet --new-vars "$vars" --expect "NOTE variable store: boot 1" "$app" 2>&1)
first=$?
printf '%s\n' "$output" | show ""

echo
echo "==== Boot 2, on the variable store boot 1 left (all groups ran again; the variables shown) ===="
output=$("$here/run-firmware-test.sh" --quiet --vars "$vars" --expect "NOTE variable store: boot 2" "$app" 2>&1)
second=$?
printf '%s\n' "$output" | show variables

[ "$first" = 0 ] && [ "$second" = 0 ]
