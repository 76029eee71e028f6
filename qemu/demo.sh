#!/usr/bin/env bash
# `make demo`: the road of one setting through AddOnCard.efi, in QEMU running
# OVMF, told as a person follows it: the supported list set, the card found,
# its page with prompts, keywords and values, a keyword set, the change applied
# and the card's new value; then a second boot on the variable store the first
# left. At the end, one line on the firmware checks that `make test` runs.
# Exit status: the verdict of the three boots.
#   demo.sh EFI_BUILD_DIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
efi_build=${1:-build/efi}
vars=$(mktemp "${TMPDIR:-/tmp}/addoncard-demo-vars.XXXXXX")
checks_vars=$(mktemp "${TMPDIR:-/tmp}/addoncard-demo-checks.XXXXXX")
trap 'rm -f "$vars" "$checks_vars"' EXIT

# The road's report as a person reads it: each step, what it showed, and how
# many of its checks passed (a failed check in full).
tell() {
  awk '
    function verdict() {
      if (!open) return
      if (failed == 0) printf "   [%d %s passed]\n", passed, (passed == 1 ? "check" : "checks")
      else printf "   [%d passed, %d FAILED]\n", passed, failed
      passed = 0; failed = 0
    }
    /^GROUP /   { verdict(); sub(/^GROUP /, ""); printf "\n%s\n", $0; open = 1; next }
    /^SHOW /    { sub(/^SHOW /, ""); print "   " $0; next }
    /^PASS /    { passed++; next }
    /^FAIL /    { failed++; sub(/^FAIL road\//, ""); print "   FAIL " $0; next }
    /^NOTE road boot/ { next }
    /^NOTE /    { sub(/^NOTE /, ""); print "   (" $0 ")"; next }
    /^SUMMARY / { verdict(); sub(/^SUMMARY /, ""); printf "\nResult: %s\n", $0; next }
    /^AddOnCard road/ { next }
    /^run-firmware-test: success/ { next }
    { print }'
}

echo "AddOnCard: the road of one setting, in real firmware"
echo "(QEMU running OVMF, software emulation; the road application plays the platform,"
echo " a card driver publishes a test card's form set on a PCI function)"
echo
echo "==== Boot 1: a fresh machine ===="
output=$("$here/run-road.sh" --quiet --new-vars "$vars" --expect "NOTE road boot: 1" "$efi_build" 2>&1)
first=$?
printf '%s\n' "$output" | tell

echo
echo "==== Boot 2: after a reset, on the variable store boot 1 left ===="
output=$("$here/run-road.sh" --quiet --vars "$vars" --expect "NOTE road boot: 2" "$efi_build" 2>&1)
second=$?
printf '%s\n' "$output" | tell

echo
echo "==== The driver's code and the firmware's HII services (the checks of make test) ===="
output=$("$here/run-firmware-test.sh" --quiet --new-vars "$checks_vars" "$efi_build/qemu/AddOnCardFirmwareTest.efi" 2>&1)
checks=$?
printf '%s\n' "$output" | awk '
  /^GROUP /   { groups = groups (groups == "" ? "" : ", ") substr($0, 7); next }
  /^FAIL /    { print "   " $0; next }
  /^SUMMARY / { sub(/^SUMMARY /, ""); summary = $0; next }
  END         { printf "   groups: %s\n   Result: %s\n", groups, summary }'

[ "$first" = 0 ] && [ "$second" = 0 ] && [ "$checks" = 0 ]
