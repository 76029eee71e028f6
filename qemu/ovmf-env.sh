# Sourced by the scripts that boot OVMF: where QEMU and the firmware are (each
# may be overridden from the environment), and the check that they are there.
OVMF_CODE=${OVMF_CODE:-/usr/share/OVMF/OVMF_CODE_4M.fd}
OVMF_VARS_TEMPLATE=${OVMF_VARS_TEMPLATE:-/usr/share/OVMF/OVMF_VARS_4M.fd}
QEMU=${QEMU:-qemu-system-x86_64}

# require_ovmf [TOOL PACKAGE]...: QEMU, the firmware and the tools named, or
# the caller's fail() with the Debian package that brings the missing one.
require_ovmf() {
  command -v "$QEMU" >/dev/null || fail "$QEMU not found (Debian package qemu-system-x86)"
  [ -r "$OVMF_CODE" ] || fail "$OVMF_CODE not found (Debian package ovmf)"
  [ -r "$OVMF_VARS_TEMPLATE" ] || fail "$OVMF_VARS_TEMPLATE not found (Debian package ovmf)"
  while [ $# -ge 2 ]; do
    command -v "$1" >/dev/null || fail "$1 not found (Debian package $2)"
    shift 2
  done
}
