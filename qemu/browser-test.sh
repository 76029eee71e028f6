#!/usr/bin/env bash
# The driver in the firmware's own setup browser, used as a person uses it: QEMU
# runs OVMF with its console on a terminal inside tmux; keys are typed with
# send-keys and every check reads the screen with capture-pane.
#
#   browser-test.sh [--timeout SECONDS] [--keep DIR] EFI_BUILD_DIR
#     --timeout SECONDS   bound for the whole test (default 600)
#     --keep DIR          keep what a person saw in DIR: setup-shell.txt (the
#                         shell of boot 1), setup-main-page.txt,
#                         setup-card-page.txt, setup-card-page-after-reset.txt
#                         (screens as captured), setup-apply.txt (the platform's
#                         lines at the reset) and setup-page.png,
#                         setup-page-after-reset.png (QEMU's screendump of the
#                         graphical console, which shows the same setup)
#
# Boot 1, on a fresh variable store. In the UEFI shell:
#   fs0:  load AddOnCard.efi AddOnCardTestCard.efi  connect -r
#   load AddOnCardBrowserPlatform.efi   (supported list 1234:11E8, scan trigger,
#                                        apply trigger armed for the reset)
#   exit                                 to the front page
# Device Manager > "Talvorenix AddOnCard Form": the main page shows the
# supported list and the goto to the card's page; the card's page shows the
# card's prompts with the location suffix, the values and the options, and
# the grayed-out question read-only (OVMF's text browser never lets the
# highlight land on it). "Operating Mode" is changed from Auto to Manual and
# saved (F10, Y). Leaving setup, the browser asks for a reset (the question
# needs one); at the reset the platform driver installs the apply trigger and
# logs the card's stores before and after it: exactly the chosen byte changed.
# Boot 2, on the store boot 1 left: the card's own store holds Manual, and the
# card's page, built again from it, shows <Manual>.
#
# Exit status 0 when every check passed; on a failure the last screen is printed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

. "$(dirname "$0")/ovmf-env.sh"

usage() { sed -n '2,29p' "$0" >&2; exit 2; }

timeout_seconds=600 keep="" efi_build=""
while [ $# -gt 0 ]; do
  case "$1" in
    --timeout) timeout_seconds=${2:?}; shift 2 ;;
    --keep) keep=${2:?}; shift 2 ;;
    -h|--help) usage ;;
    -*) echo "unknown option $1" >&2; usage ;;
    *) [ -z "$efi_build" ] || usage; efi_build=$1; shift ;;
  esac
done
[ -n "$efi_build" ] || usage
[ -z "$keep" ] || keep=$(realpath -m "$keep")

images=("$efi_build/AddOnCard.efi" "$efi_build/qemu/testcard/AddOnCardTestCard.efi"
        "$efi_build/qemu/browser/AddOnCardBrowserPlatform.efi")

fail_setup() { echo "browser-test: $*" >&2; exit 1; }
for tool in "$QEMU" tmux mformat mcopy; do
  command -v "$tool" >/dev/null || fail_setup "$tool not found (Debian packages qemu-system-x86, tmux, mtools)"
done
[ -r "$OVMF_CODE" ] && [ -r "$OVMF_VARS_TEMPLATE" ] || fail_setup "OVMF not found (Debian package ovmf)"
for image in "${images[@]}"; do [ -r "$image" ] || fail_setup "$image not found (build the efi build first)"; done

work=$(mktemp -d "${TMPDIR:-/tmp}/addoncard-browser.XXXXXX")
tmux_server="addoncard-browser-$$"
monitor_reader=""
cleanup() {
  tmux -L "$tmux_server" kill-server 2>/dev/null || true
  [ -z "$monitor_reader" ] || kill "$monitor_reader" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
deadline=$((SECONDS + timeout_seconds))

# ---- the machine ---------------------------------------------------------------------
# The disk is the machine's only file system (FS0:). The firmware finds no boot
# loader on it and starts its built-in shell.
image="$work/disk.img"
truncate -s 16M "$image"
mformat -i "$image" -v BROWSER ::
mcopy -i "$image" "${images[@]}" ::/
vars="$work/vars.fd"
cp "$OVMF_VARS_TEMPLATE" "$vars"
chmod u+w "$vars"

boot=0
# Boots QEMU in a tmux window of its own: the serial console on the terminal
# (OVMF draws its setup there and on the graphical console), the monitor on a
# pair of pipes for screendump and quit, the debug console in a file.
start_machine() {
  boot=$((boot + 1))
  monitor="$work/monitor$boot"
  mkfifo "$monitor.in" "$monitor.out"
  debug_log="$work/debugcon$boot.log"
  qemu_status="$work/qemu-status$boot"
  local command=("$QEMU" -machine q35 -m 256 -display none -vga std -serial stdio -no-reboot
    -monitor "pipe:$monitor" -net none
    -drive "if=pflash,format=raw,unit=0,readonly=on,file=$OVMF_CODE"
    -drive "if=pflash,format=raw,unit=1,file=$vars"
    -drive "if=none,id=disk,format=raw,file=$image" -device virtio-blk-pci,drive=disk,bootindex=0
    -device edu,addr=10.0 -device edu,addr=11.0 -device pci-testdev,addr=12.0
    -debugcon "file:$debug_log" -global isa-debugcon.iobase=0x402)
  # OVMF's serial terminal (PC ANSI) draws frames with code page 437 bytes,
  # which a UTF-8 terminal drops; they become ASCII on their way to the pane,
  # so that the captured text keeps the frames. QEMU's status is kept; the
  # window stays open after it for the last captures.
  {
    echo "$(printf '%q ' "${command[@]}") | $(printf '%q' "$here/browser/ascii-frames.pl")"
    echo "echo \${PIPESTATUS[0]} >$(printf '%q' "$qemu_status")"
    echo "sleep 100000"
  } >"$work/machine$boot.sh"
  if [ "$boot" = 1 ]; then
    tmux -L "$tmux_server" -f /dev/null new-session -d -s browser -x 100 -y 30 "bash $work/machine$boot.sh"
  else
    tmux -L "$tmux_server" new-window -t browser "bash $work/machine$boot.sh"
  fi
  # QEMU opens the pipes when it starts; the reader keeps the monitor's output flowing.
  cat "$monitor.out" >"$work/monitor$boot.log" &
  monitor_reader=$!
}

# ---- the screen ----------------------------------------------------------------------
screen() { tmux -L "$tmux_server" capture-pane -p -t browser; }
# The shell's output with what scrolled off the top.
shell_output() { tmux -L "$tmux_server" capture-pane -p -S - -t browser; }
# The screen with its colours read: the browser's highlight (black background,
# inside the menu area, rows 1 to 19) between {{ and }}, a pop-up's current
# choice (cyan background) between (( and )).
marked_screen() {
  tmux -L "$tmux_server" capture-pane -p -e -t browser | awk -v ESC=$'\033' '
    function mark(text,    kind) {
      kind = (bg == 40 && NR <= 19) ? "hl" : (bg == 46 ? "pop" : "")
      if (text == "") return
      if (kind != open) {
        if (open == "hl") out = out "}}"; else if (open == "pop") out = out "))"
        if (kind == "hl") out = out "{{"; else if (kind == "pop") out = out "(("
        open = kind
      }
      out = out text
    }
    {
      out = ""; open = ""
      count = split($0, parts, ESC "\\[")
      mark(parts[1])
      for (i = 2; i <= count; i++) {
        if (match(parts[i], /^[0-9;]*m/)) {
          params = substr(parts[i], 1, RLENGTH - 1)
          n = split(params, p, ";")
          if (n == 0) { bg = 0 }
          for (j = 1; j <= n; j++) {
            v = p[j] + 0
            if (v == 0 || v == 49) bg = 0
            else if ((v >= 40 && v <= 47) || (v >= 100 && v <= 107)) bg = v
          }
          mark(substr(parts[i], RLENGTH + 1))
        } else {
          mark(parts[i])
        }
      }
      if (open == "hl") out = out "}}"; else if (open == "pop") out = out "))"
      print out
    }'
}
# The row the browser highlights, markers removed; empty when none is.
highlighted_row() { marked_screen | grep -F '{{' | grep -v '{{ *}}' | head -n 1 | sed 's/{{\|}}\|((\|))//g'; }
popup_choice() { marked_screen | grep -o '((.*))' | head -n 1 | sed 's/^((\s*//; s/\s*))$//'; }

passed=0 failures=0
fail() {
  echo "browser-test: FAIL $*" >&2
  echo "---- last screen ----" >&2
  screen >&2 || true
  echo "---- end of screen ----" >&2
  exit 1
}
check() {  # check DESCRIPTION COMMAND...: a check that does not stop the test
  local what=$1; shift
  if "$@"; then
    echo "PASS browser/$what"
    passed=$((passed + 1))
  else
    echo "FAIL browser/$what"
    failures=$((failures + 1))
    echo "---- the screen ({{highlight}}, ((pop-up choice))) ----"
    marked_screen
    echo "---- end of screen ----"
  fi
}

# Polls until COMMAND (mostly a test over the screen) holds; fails with the last screen when the time is over. Each poll is short,
# so the waits take what the emulated machine needs, no more.
wait_until() {  # wait_until SECONDS DESCRIPTION COMMAND...
  local limit=$1 what=$2; shift 2
  local until=$((SECONDS + limit))
  [ "$until" -le "$deadline" ] || until=$deadline
  while ! "$@"; do
    [ "$SECONDS" -lt "$until" ] || fail "timed out waiting for $what"
    sleep 0.5
  done
}
shows() { screen | grep -qF -- "$1"; }
wait_for() { wait_until "${2:-120}" "\"$1\" on the screen" shows "$1"; }

# The screen no longer changes: two captures half a second apart agree.
settle() {
  local previous="" current
  for _ in $(seq 40); do
    current=$(marked_screen)
    [ "$current" != "$previous" ] || return 0
    previous=$current
    sleep 0.5
  done
}

keys() { tmux -L "$tmux_server" send-keys -t browser "$@"; }

# The shell's prompt is the last line written.
at_prompt() { [ "$(screen | grep -v '^\s*$' | tail -n 1)" = 'FS0:\>' ]; }
shell_command() {  # shell_command TEXT [SECONDS]
  keys -l "$1"
  keys Enter
  wait_for "FS0:\\> $1" 60
  wait_until "${2:-120}" "the shell's prompt after \"$1\"" at_prompt
}

# Moves the highlight down until it is on the row holding Text.
select_row() {
  local text=$1 before
  for _ in $(seq 30); do
    settle
    highlighted_row | grep -qF -- "$text" && return 0
    before=$(marked_screen)
    keys Down
    wait_until 60 "the highlight to move towards \"$text\"" highlight_moved "$before"
  done
  fail "no row \"$text\" could be highlighted"
}
highlight_moved() { [ "$(marked_screen)" != "$1" ]; }

# Enters the highlighted row and waits for the page it opens.
enter_page() {  # enter_page ROW TEXT_ON_NEXT_PAGE
  select_row "$1"
  keys Enter
  wait_for "$2" 120
  settle
}

screendump() {  # screendump FILE.png
  echo "screendump $1 -f png" >"$monitor.in"
  wait_until 30 "QEMU's screendump $1" test -s "$1"
  sleep 1  # the file grows while QEMU writes it
}

# ---- the shell: drivers, supported list, scan ------------------------------------------
boot_to_setup() {
  start_machine
  wait_for "Shell>" 240
  keys -l 'fs0:'
  keys Enter
  wait_until 60 "the FS0: prompt" at_prompt
  shell_command "load AddOnCard.efi AddOnCardTestCard.efi"
  check "boot $boot: the shell loads AddOnCard.efi" shows "Image 'FS0:\\AddOnCard.efi' loaded at"
  shell_command "connect -r" 180
  shell_command "load AddOnCardBrowserPlatform.efi" 180
  check "boot $boot: the platform driver sets the supported list" \
    shows "AddOnCardBrowserPlatform: SetData CSPACF14 = 01: Success"
  check "boot $boot: the scan builds the card's page" shows 'AddOnCardBrowserPlatform: card page 1 is "Road Test Card"'
  check "boot $boot: the apply trigger is armed for the reset" \
    shows "AddOnCardBrowserPlatform: apply trigger armed for the next reset: Success"
  store_now=$(shell_output | sed -n 's/^RoadConfig now \([0-9A-F][0-9A-F]\): /\1 /p')
  [ -z "$keep" ] || [ "$boot" != 1 ] || { mkdir -p "$keep"; shell_output | sed -n '/^Shell> fs0:/,$p' >"$keep/setup-shell.txt"; }
  exit_shell
}
exit_shell() {
  keys -l exit
  keys Enter
  wait_for "Boot Maintenance Manager" 180
  settle
}

# Escape, page by page, up to the front page.
leave_to_front_page() {
  local before
  for _ in 1 2 3 4; do
    shows "Boot Maintenance Manager" && return 0
    before=$(marked_screen)
    keys Escape
    wait_until 120 "the page to close" highlight_moved "$before"
    settle
  done
  shows "Boot Maintenance Manager" || fail "Escape did not lead back to the front page"
}

open_driver_main_page() {
  enter_page "Device Manager" "Devices List"
  enter_page "Talvorenix AddOnCard Form" "PCI Vendor ID #1"
}

# ---- the checks of the pages -----------------------------------------------------------
row_is() {  # row_is PATTERN: a row of the screen matches the extended regular expression
  screen | grep -qE -- "$1"
}

check_main_page() {
  check "main page: titled \"Talvorenix AddOnCard Main\"" shows "Talvorenix AddOnCard Main"
  # The prompt is wider than its column: the browser wraps it.
  check "main page: the pair count is 1" row_is '^ *Supported PCI ID Pair +\[1\]'
  check "main page: vendor ID #1 is 1234" row_is '^ *PCI Vendor ID #1 +\[1234\]'
  check "main page: device ID #1 is 11E8" row_is '^ *PCI Device ID #1 +\[11E8\]'
  check "main page: pair #2 is suppressed" no_row_of "PCI Vendor ID #2"
  check "main page: a goto to the card's page, titled with the card" row_is '^ *> *Road Test Card *'
}

# Prompts of the card's visible statements in the card's order, each with the
# location suffix, and the values the card holds.
CARD_ROWS=(
  'Serial Number \(001000\) +RC-0001'
  'Operating Mode \(001000\) +<Auto>'
  'Signal Level \(001000\) +\[40\]'
  'Card Label \(001000\) +road'
  'Update Policy \(001000\) +<Strict>'
  'Link Retries \(001000\) +\[3\]'
  # The card declares the numeric 0..255 with a signed decimal display, and
  # the page keeps the card's display: OVMF shows the 128 it holds as -128.
  'Alarm Threshold \(001000\) +\[-128\]'
  'Manual Gain \(001000\) +\[7\]'
)
rows_in_order() {  # rows_in_order ROW...: each row on the screen, in this order
  local body
  body=$(screen | grep -nE '\(001000\)' || true)
  local last=0 row line
  for row in "$@"; do
    line=$(printf '%s\n' "$body" | grep -E -- "^[0-9]+: +$row" | head -n 1 | cut -d: -f1)
    [ -n "$line" ] && [ "$line" -gt "$last" ] || { echo "  row missing or out of order: $row" >&2; return 1; }
    last=$line
  done
  [ "$(printf '%s\n' "$body" | grep -c .)" = "$#" ] || { echo "  other rows with the suffix:" >&2; printf '%s\n' "$body" >&2; return 1; }
}

# Walks the highlight over the whole page, once around: the rows it lands on.
highlight_tour() {
  local first row before tour=()
  settle
  first=$(highlighted_row)
  row=$first
  for _ in $(seq 20); do
    tour+=("$row")
    before=$(marked_screen)
    keys Down
    wait_until 60 "the highlight to move" highlight_moved "$before"
    settle
    row=$(highlighted_row)
    [ "$row" != "$first" ] || break
  done
  printf '%s\n' "${tour[@]}"
}

check_card_page() {
  local tour
  check "card page: titled with the card's form-set title" row_is '^\| +Road Test Card +\|$'
  check "card page: the card's visible statements with their location and values, in order" \
    rows_in_order "${CARD_ROWS[@]}"
  check "card page: no checkbox, no statement of a suppress-if that holds" no_row_of "Enable Card" "Relaxed Extras"
  tour=$(highlight_tour)
  check "card page: the highlight reaches each writable question" highlighted_on_tour "$tour" \
    "Operating Mode" "Signal Level" "Card Label" "Update Policy" "Link Retries" "Alarm Threshold"
  check "card page: the grayed-out question is read-only: the highlight never lands on it" \
    not_highlighted_on_tour "$tour" "Manual Gain"
}
no_row_of() {
  local text
  for text in "$@"; do ! shows "$text" || { echo "  shown: $text" >&2; return 1; }; done
}
gone() { no_row_of "$@" 2>/dev/null; }
highlighted_on_tour() {  # highlighted_on_tour TOUR PROMPT...
  local tour=$1 prompt; shift
  for prompt in "$@"; do
    printf '%s\n' "$tour" | grep -qF "$prompt (001000)" || { echo "  never highlighted: $prompt" >&2; return 1; }
  done
}
not_highlighted_on_tour() { ! printf '%s\n' "$1" | grep -qF "$2"; }
popup_shows() { [ "$(popup_choice)" = "$1" ]; }
popup_lists() {
  local option
  for option in "$@"; do screen | grep -qE "\| $option +\|" || { echo "  not in the pop-up: $option" >&2; return 1; }; done
}
debug_line() { grep -qxF -- "$1" <<<"$log"; }
# The lines of the apply that name changed bytes or unchanged stores.
store_changes() { printf '%s\n' "$log" | grep -E '^Road(Config|EfiVar) (offset|unchanged)' || true; }
applied_only() { [ "$(store_changes)" = "$1" ] || { store_changes >&2; return 1; }; }
store_is() { [ -n "$original_store" ] && [ "$store_now" = "$1" ] || { printf '%s\n' "$store_now" >&2; return 1; }; }

# ---- boot 1 ------------------------------------------------------------------------------
echo "browser-test: boot 1 on a fresh variable store"
boot_to_setup
original_store=$store_now
open_driver_main_page
check_main_page
[ -z "$keep" ] || screen >"$keep/setup-main-page.txt"

enter_page "Road Test Card" "Operating Mode (001000)"
check_card_page
[ -z "$keep" ] || { screen >"$keep/setup-card-page.txt"; screendump "$keep/setup-page.png"; }

# Operating Mode: Auto -> Manual, through the one-of's pop-up.
select_row "Operating Mode"
check "card page: the one-of's help is the card's" shows "How the card runs"
keys Enter
wait_until 60 "the pop-up of Operating Mode" popup_shows Auto
check "card page: the one-of's pop-up lists the card's options" popup_lists Off Auto Manual
keys Down
wait_until 60 "Manual chosen in the pop-up" popup_shows Manual
keys Enter
wait_for "Configuration changed" 60
check "card page: the browser shows the new value" row_is 'Operating Mode \(001000\) +<Manual>'
# F10 as OVMF's terminal reads it (PC ANSI: ESC [ V).
keys -l $'\e[V'
wait_for "Press 'Y'" 60
keys Y
wait_until 120 "the save" gone "Press 'Y'" "Configuration changed"
settle

# Leaving setup: the browser asks for a reset; the platform applies on the way down.
leave_to_front_page
select_row "Continue"
keys Enter
wait_for "Configuration changed. Reset to apply it Now." 120
check "leaving setup, the browser asks for a reset" shows "Press ENTER to reset"
keys Enter
wait_until 120 "the reset (QEMU ends at it)" test -s "$qemu_status"
log=$(tr -d '\r' <"$debug_log")
[ -z "$keep" ] || printf '%s\n' "$log" | sed -n '/^RoadConfig before /,$p' |
  grep -E '^(AddOnCardBrowserPlatform: the firmware|Road)' >"$keep/setup-apply.txt" || true
check "at the reset the platform installs the apply trigger" \
  debug_line "AddOnCardBrowserPlatform: the firmware resets; apply trigger installed: Success"
check "the apply writes the chosen option (Manual, 2) into the card's store, and nothing else" \
  applied_only $'RoadConfig offset 0x00: 01 -> 02\nRoadEfiVar unchanged'

# ---- boot 2 ------------------------------------------------------------------------------
echo "browser-test: boot 2 on the variable store boot 1 left"
boot_to_setup
expected_store=$(printf '%s\n' "$original_store" | sed '1s/^00 01/00 02/')
check "boot 2: the card's own store holds Manual (2) at the question's offset, the rest as before" \
  store_is "$expected_store"
open_driver_main_page
check "boot 2: the supported list is kept" row_is '^ *PCI Device ID #1 +\[11E8\]'
enter_page "Road Test Card" "Operating Mode (001000)"
check "boot 2: the card's page, built from the card again, shows Manual" \
  row_is 'Operating Mode \(001000\) +<Manual>'
[ -z "$keep" ] || { screen >"$keep/setup-card-page-after-reset.txt"; screendump "$keep/setup-page-after-reset.png"; }
echo quit >"$monitor.in"
wait_until 60 "QEMU to quit" test -s "$qemu_status"

echo "browser-test: $passed passed, $failures failed"
[ "$failures" = 0 ]
