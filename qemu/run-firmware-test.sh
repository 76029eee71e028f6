#!/usr/bin/env bash
# Boots a UEFI test application in QEMU running OVMF and reports its verdict.
#
#   run-firmware-test.sh [options] APP.efi
#     --vars FILE         keep the variable store in FILE (created from the OVMF
#                         template when missing), so that a later run boots on the
#                         variables this one left; default: a private copy
#     --new-vars FILE     the same, but FILE always starts from the template
#     --expect LINE       fail unless the application printed exactly LINE
#                         (repeatable)
#     --file PATH         also put PATH in the root of the boot disk (repeatable)
#     --export-hex FILE   write the hex block "PACKAGE LIST EXPORT" of the log to FILE
#     --log FILE          keep the debug-console log in FILE
#     --timeout SECONDS   bound for the whole boot (default 180)
#     --quiet             print only the check lines and the summary
#     --qemu-arg ARG      one more argument for QEMU (repeatable), e.g. -icount
#
# The application reports on the debug console (port 0x402) and ends QEMU
# through isa-debug-exit. Exit status 0 only when QEMU ended with the
# application's success code, the log holds a summary without failures and
# every expected line.
set -euo pipefail

. "$(dirname "$0")/ovmf-env.sh"
SUCCESS_EXIT_CODE=33  # (0x10 << 1) | 1, written by the application on success
FAILURE_EXIT_CODE=35  # (0x11 << 1) | 1

usage() { sed -n '2,22p' "$0" >&2; exit 2; }
fail() { echo "run-firmware-test: $*" >&2; exit 1; }

vars_file="" fresh_vars=0 export_hex="" keep_log="" timeout_seconds=180 quiet=0 app=""
extra_files=() expected_lines=() qemu_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --vars) vars_file=${2:?}; fresh_vars=0; shift 2 ;;
    --new-vars) vars_file=${2:?}; fresh_vars=1; shift 2 ;;
    --expect) expected_lines+=("${2:?}"); shift 2 ;;
    --file) extra_files+=("${2:?}"); shift 2 ;;
    --export-hex) export_hex=${2:?}; shift 2 ;;
    --log) keep_log=${2:?}; shift 2 ;;
    --timeout) timeout_seconds=${2:?}; shift 2 ;;
    --quiet) quiet=1; shift ;;
    --qemu-arg) qemu_args+=("${2:?}"); shift 2 ;;
    -h|--help) usage ;;
    -*) echo "unknown option $1" >&2; usage ;;
    *) [ -z "$app" ] || usage; app=$1; shift ;;
  esac
done
[ -n "$app" ] || usage

# Missing tools are a failure: the run in real firmware is a test like any other.
require_ovmf
[ -r "$app" ] || fail "test application $app not found (build the efi build first)"
for f in "${extra_files[@]}"; do [ -r "$f" ] || fail "$f not found"; done

[ -z "$export_hex" ] || rm -f "$export_hex"
work=$(mktemp -d "${TMPDIR:-/tmp}/addoncard-ovmf.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The boot disk: a FAT directory whose removable-media boot path the firmware
# starts by itself.
mkdir -p "$work/disk/EFI/BOOT"
cp "$app" "$work/disk/EFI/BOOT/BOOTX64.EFI"
for f in "${extra_files[@]}"; do cp "$f" "$work/disk/"; done

if [ -n "$vars_file" ]; then
  { [ "$fresh_vars" = 0 ] && [ -e "$vars_file" ]; } || cp -f "$OVMF_VARS_TEMPLATE" "$vars_file"
else
  vars_file="$work/vars.fd"
  cp "$OVMF_VARS_TEMPLATE" "$vars_file"
fi
chmod u+w "$vars_file"

# The add-on card functions of the card tests, at fixed addresses so that their
# bus, device and function never change (qemu/test_machine.h holds the same
# table for the checks and the simulator): two functions of one model and one
# of a second model.
card_devices=(
  -device edu,addr=10.0
  -device edu,addr=11.0
  -device pci-testdev,addr=12.0
)

log="$work/debugcon.log"
console="$work/console.log"
: >"$log"
set +e
timeout --kill-after=10 "$timeout_seconds" "$QEMU" \
  -machine q35 -m 256 -nographic -net none -no-reboot \
  -drive if=pflash,format=raw,unit=0,readonly=on,file="$OVMF_CODE" \
  -drive if=pflash,format=raw,unit=1,file="$vars_file" \
  -drive format=raw,file=fat:rw:"$work/disk" \
  "${card_devices[@]}" \
  -debugcon file:"$log" -global isa-debugcon.iobase=0x402 \
  -device isa-debug-exit,iobase=0x501,iosize=2 \
  ${qemu_args[@]+"${qemu_args[@]}"} \
  </dev/null >"$console" 2>&1
qemu_status=$?
set -e

[ -z "$keep_log" ] || cp "$log" "$keep_log"
# The firmware writes its own messages to the same port; lines of the
# application begin with one of these words (SHOW: the road's account for a
# person following it).
report_lines() { grep -aE '^(AddOnCard (firmware test|road)|GROUP|PASS|FAIL|SUMMARY|NOTE|SHOW) ' "$log" || true; }
if [ "$quiet" = 1 ]; then
  report_lines
else
  echo "---- debug console ----"
  grep -av '^[0-9A-F]*$' "$log" || true
  echo "---- end of debug console ----"
fi

if [ -n "$export_hex" ]; then
  sed -n '/^BEGIN PACKAGE LIST EXPORT /,/^END PACKAGE LIST EXPORT$/p' "$log" | sed '1d;$d' | tr -d '\r' >"$export_hex"
  [ -s "$export_hex" ] || fail "no package list export in the log"
fi

# A line the caller expects and the log lacks fails the run even when every
# check passed: the run was not the one the caller meant (a boot on another store).
# The firmware shares the port, so control bytes of its own may sit on the line.
# grep reads a file rather than a pipe: with pipefail, grep -q leaving at the
# first match would fail the writer of the pipe and lose the match.
missing_lines=()
tr -d '\r\000-\010\013-\037' <"$log" >"$work/report.log"
for line in "${expected_lines[@]}"; do
  grep -qaF -- "$line" "$work/report.log" || missing_lines+=("$line")
done

summary=$(grep -aE '^SUMMARY ' "$log" | tail -n 1 || true)
if [ "$qemu_status" = 124 ] || [ "$qemu_status" = 137 ]; then
  echo "---- firmware console (last lines) ----"; tail -n 30 "$console" | tr -d '\033'
  fail "QEMU did not finish within $timeout_seconds s"
fi
[ -n "$summary" ] || { tail -n 30 "$console" | tr -d '\033'; fail "no summary line (QEMU exit status $qemu_status)"; }
if [ "$qemu_status" = "$SUCCESS_EXIT_CODE" ] && [[ "$summary" =~ ^SUMMARY\ [1-9][0-9]*\ passed,\ 0\ failed$ ]]; then
  if [ ${#missing_lines[@]} != 0 ]; then
    for line in "${missing_lines[@]}"; do echo "run-firmware-test: expected line missing: $line" >&2; done
    fail "the application passed, but not in the run expected ($summary)"
  fi
  echo "run-firmware-test: success ($summary)"
  exit 0
fi
fail "the application reported failure ($summary; QEMU exit status $qemu_status)"
