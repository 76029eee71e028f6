#!/usr/bin/env bash
# `make demo`: the road of one setting through AddOnCard.efi, in QEMU running
# OVMF, told as a person follows it: the supported list set, the card found,
# its page with prompts, keywords and values, a keyword set, the change applied
# and the card's new value; then a second boot on the variable store the first
# left. Then one line on the firmware checks that `make test` runs. It ends in
# the firmware's own setup browser, used through its console as a person uses
# it: the driver's main page and the card's page as captured from the screen,
# a one-of changed and saved there, applied at the reset, and the card's page
# after it; screenshots of the page go to build/setup-page*.png.
# Exit status: the verdict of the three boots and of the browser's run.
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

echo
echo "==== In the firmware's own setup browser ===="
echo "(OVMF's console in tmux; keys typed with send-keys, screens read with capture-pane)"
screens=$(dirname "$efi_build")
rm -f "$screens"/setup-*.txt "$screens"/setup-page*.png
output=$("$here/browser-test.sh" --keep "$screens" "$efi_build" 2>&1)
browser=$?
without_blank_end() { sed -e :a -e '/^\n*$/{$d;N;ba' -e '}'; }
show_screen() { [ -s "$1" ] && without_blank_end <"$1" | cat -s | sed 's/^/   /'; }
echo
echo "The shell, boot 1: the driver, the card driver and the platform's part loaded"
[ -s "$screens/setup-shell.txt" ] && sed -n '/^FS0:\\> load/,$p' "$screens/setup-shell.txt" | without_blank_end | sed 's/^/   /'
echo
echo "Device Manager > Talvorenix AddOnCard Form: the main page"
show_screen "$screens/setup-main-page.txt"
echo
echo "> Road Test Card: the card's page; Manual Gain, grayed out on the card, is"
echo "  read-only here: the highlight never lands on it"
show_screen "$screens/setup-card-page.txt"
echo
echo "Operating Mode set to Manual in its pop-up, F10, Y; leaving setup the browser"
echo "asks for a reset, and on the way down the platform installs the apply trigger:"
sed 's/^/   /' "$screens/setup-apply.txt" 2>/dev/null | grep -v ' \(before\|after\) '
echo
printf '%s\n' "$output" | awk '
  /^PASS / { passed++ }
  /^FAIL / { print "   " $0 }
  /^browser-test: FAIL / { print "   " $0 }
  /^browser-test: [0-9]+ passed/ { sub(/^browser-test: /, ""); result = $0 }
  END { printf "   Result: %s\n", (result == "" ? "the run did not finish" : result) }'
echo
echo "After the reset (boot 2), the card's page, built again from the card:"
show_screen "$screens/setup-card-page-after-reset.txt"
echo
for png in "$screens/setup-page.png" "$screens/setup-page-after-reset.png"; do
  [ -s "$png" ] && echo "Screenshot of the real setup page: $png"
done

[ "$first" = 0 ] && [ "$second" = 0 ] && [ "$checks" = 0 ] && [ "$browser" = 0 ]
