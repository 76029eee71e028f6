#!/bin/sh
# Writes the DXE dependency expression of a driver that needs every protocol
# given: PUSH and the GUID for each, AND after each but the first, then END.
#   write_depex.sh OUTPUT GUID...     (GUIDs as 8-4-4-4-12 hex digits)
set -eu
[ $# -ge 2 ] || { echo "usage: $0 OUTPUT GUID..." >&2; exit 2; }
out=$1
shift

PUSH=2
AND=3
END=8

# One byte, given as a number, through printf's octal escape.
byte() { printf "\\$(printf '%03o' "$1")"; }
# Hex digits as bytes in the order written (the last eight bytes of a GUID).
in_order() {
  digits=$1
  while [ -n "$digits" ]; do
    rest=${digits#??}
    byte "0x${digits%"$rest"}"
    digits=$rest
  done
}
# Hex digits of one number as its bytes least significant first.
little_endian() {
  digits=$1
  while [ -n "$digits" ]; do
    head=${digits%??}
    byte "0x${digits#"$head"}"
    digits=$head
  done
}
guid() {
  case $1 in
    ????????-????-????-????-????????????) ;;
    *) echo "$0: not a GUID: $1" >&2; exit 2 ;;
  esac
  old_ifs=$IFS
  IFS=-
  set -- $1
  IFS=$old_ifs
  little_endian "$1"
  little_endian "$2"
  little_endian "$3"
  in_order "$4$5"
}

{
  first=1
  for each in "$@"; do
    byte $PUSH
    guid "$each"
    [ $first -eq 1 ] || byte $AND
    first=0
  done
  byte $END
} >"$out.tmp"
mv "$out.tmp" "$out"
