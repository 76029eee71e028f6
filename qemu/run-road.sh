#!/usr/bin/env bash
# Boots the road of one setting in QEMU running OVMF: the road application as
# the boot application, with AddOnCard.efi and the card driver beside it on the
# boot disk. Options are those of run-firmware-test.sh (--vars, --new-vars,
# --expect, --log, --timeout, --quiet); the last argument is the efi build
# directory.
#
#   run-road.sh --new-vars /tmp/road-vars.fd --expect "NOTE road boot: 1" build/efi
#   run-road.sh --vars /tmp/road-vars.fd --expect "NOTE road boot: 2" build/efi
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[ $# -ge 1 ] || { sed -n '2,9p' "$0" >&2; exit 2; }
efi_build=${!#}
options=("${@:1:$#-1}")
exec "$here/run-firmware-test.sh" "${options[@]}" \
  --file "$efi_build/AddOnCard.efi" --file "$efi_build/qemu/testcard/AddOnCardTestCard.efi" \
  "$efi_build/qemu/road/AddOnCardRoad.efi"
