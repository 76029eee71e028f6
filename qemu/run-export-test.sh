#!/usr/bin/env bash
# Boots OVMF in QEMU with two network cards, runs AddOnCardExport.efi from the
# UEFI shell with several command lines, and copies what it wrote back to the
# host for the checks (export_ovmf_files) and as a corpus of real IFR.
#
#   run-export-test.sh [--timeout SECONDS] AddOnCardExport.efi OUTDIR
#
# The cards' own UEFI network drivers publish their form sets under each card's
# PCI path. The disk is a FAT image made with mtools, the only file system of
# the machine (FS0:), set first in the boot order so that the firmware goes
# from it to its built-in shell, which runs startup.nsh.
#
# OUTDIR afterwards (emptied first):
#   devices.txt    "vendor device location" of each card, as QEMU places them
#   runs.txt       "name status" of each run, the shell's %lasterror% after it
#   console.log    the firmware console, escape sequences removed
#   disk/          the whole volume: one directory per run (see RUNS), the runs
#                  into the root beside the application, and the files put
#                  there beforehand (stale card files, a file in a directory's way)
# Exit status 0 when the boot reached the end of startup.nsh and every run
# reported a status; what the runs wrote is for the checks to judge.
set -euo pipefail

. "$(dirname "$0")/ovmf-env.sh"

usage() { sed -n '2,22p' "$0" >&2; exit 2; }
fail() { echo "run-export-test: $*" >&2; exit 1; }

timeout_seconds=240 app="" outdir=""
while [ $# -gt 0 ]; do
  case "$1" in
    --timeout) timeout_seconds=${2:?}; shift 2 ;;
    -h|--help) usage ;;
    -*) echo "unknown option $1" >&2; usage ;;
    *) if [ -z "$app" ]; then app=$1; elif [ -z "$outdir" ]; then outdir=$1; else usage; fi; shift ;;
  esac
done
[ -n "$app" ] && [ -n "$outdir" ] || usage

require_ovmf mformat mtools
[ -r "$app" ] || fail "$app not found (build the efi build first)"

# The cards: QEMU device, PCI IDs and the slot they are placed in. Each gets a
# user-mode network of its own, so its drivers start without a host network.
CARDS=(
  "virtio-net-pci 1af4 1000 03"
  "e1000 8086 100e 04"
)
DISK_SLOT=05

# Each run: a name and the command line after the application's name. The
# names are what the checks look for in runs.txt.
RUNS=(
  "help|-h"
  "all|nested/all"
  "root|"
  "filtered|1AF4:1000 filtered"
  "both|8086:100e 1af4:1000 both"
  "none|abcd:0001 none"
  "malformed|-x"
  "blocked|blocked"
)

work=$(mktemp -d "${TMPDIR:-/tmp}/addoncard-export.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Files the runs meet: in the root, a card-00.hpk longer than any list (an
# export must replace it whole), card files beyond this run's count (an export
# must remove them), and a file named as a directory one run asks for.
head -c 65536 /dev/zero | tr '\0' 'S' >"$work/card-00.hpk"
echo stale >"$work/card-10.hpk"
echo stale >"$work/card-11.pci"
echo "a file, not a directory" >"$work/blocked"

{
  printf 'connect -r\r\n'
  printf 'fs0:\r\n'
  for run in "${RUNS[@]}"; do
    name=${run%%|*} words=${run#*|}
    printf 'echo "EXPORT-RUN %s"\r\n' "$name"
    printf 'AddOnCardExport.efi %s\r\n' "$words"
    printf 'echo "EXPORT-STATUS %s %%lasterror%%"\r\n' "$name"
  done
  printf 'echo "EXPORT-DONE"\r\n'
  printf 'reset -s\r\n'
} >"$work/startup.nsh"

image="$work/disk.img"
truncate -s 32M "$image"
mformat -i "$image" -v EXPORT ::
mcopy -i "$image" "$work/startup.nsh" "$work/card-00.hpk" "$work/card-10.hpk" "$work/card-11.pci" \
  "$work/blocked" ::/
mcopy -i "$image" "$app" ::/AddOnCardExport.efi

vars="$work/vars.fd"
cp "$OVMF_VARS_TEMPLATE" "$vars"
chmod u+w "$vars"

nics=()
devices=""
index=0
for card in "${CARDS[@]}"; do
  read -r model vendor device slot <<<"$card"
  nics+=(-netdev "user,id=net$index" -device "$model,netdev=net$index,addr=0x$slot")
  devices+="$vendor $device 0000:00:$slot.0"$'\n'
  index=$((index + 1))
done

console="$work/console.raw"
set +e
timeout --kill-after=10 "$timeout_seconds" "$QEMU" \
  -machine q35 -m 256 -nographic -no-reboot \
  -drive if=pflash,format=raw,unit=0,readonly=on,file="$OVMF_CODE" \
  -drive if=pflash,format=raw,unit=1,file="$vars" \
  -drive if=none,id=exportdisk,format=raw,file="$image" \
  -device "virtio-blk-pci,drive=exportdisk,addr=0x$DISK_SLOT,bootindex=0" \
  "${nics[@]}" \
  </dev/null >"$console" 2>&1
qemu_status=$?
set -e

rm -rf "$outdir"
mkdir -p "$outdir/disk"
printf '%s' "$devices" >"$outdir/devices.txt"
# Colours and cursor moves of the firmware console out, line ends in.
sed -e 's/\x1b\[[0-9;=?]*[A-Za-z]//g' -e 's/\r$//' "$console" >"$outdir/console.log"
grep -aE '^EXPORT-STATUS ' "$outdir/console.log" | cut -d' ' -f2- >"$outdir/runs.txt" || true
mcopy -s -n -i "$image" '::/*' "$outdir/disk/"

if [ "$qemu_status" = 124 ] || [ "$qemu_status" = 137 ]; then
  tail -n 30 "$outdir/console.log"
  fail "QEMU did not finish within $timeout_seconds s"
fi
grep -aqx 'EXPORT-DONE' "$outdir/console.log" || { tail -n 30 "$outdir/console.log"; fail "the shell did not reach the end of startup.nsh (QEMU exit status $qemu_status)"; }
for run in "${RUNS[@]}"; do
  name=${run%%|*}
  grep -qE "^$name 0x[0-9A-F]+$" "$outdir/runs.txt" || fail "no status for the run $name"
done
sed -n '/^EXPORT-RUN /,/^EXPORT-DONE$/p' "$outdir/console.log" | grep -av '^FS0:\\> echo'
echo "run-export-test: $(wc -l <"$outdir/runs.txt") runs, files in $outdir/disk"
