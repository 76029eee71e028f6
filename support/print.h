// The one formatter of the driver: printf-like, UTF-16 format and output.
// Arguments are read by conversion: %d/%u/%x/%X take a 32-bit int (64-bit with
// L or l), %p and "*" take 64-bit values, %s/%S a CHAR16 pointer, %a a CHAR8
// pointer, %c an int whose low 16 bits are the character, %g an EFI_GUID
// pointer, %t an EFI_TIME pointer, %r an EFI_STATUS.
#pragma once
#include "uefi/base.h"

inline constexpr UINTN MAX_FORMAT_CHARS = 1000000;

// Writes at most BufferSize / 2 - 1 characters and a NUL; returns the number of
// characters written before the NUL, 0 when refused.
UINTN FormatUtf16(CHAR16 *Buffer, UINTN BufferSize, const CHAR16 *Format, ...);
// Fixed-width upper-case hexadecimal text of Value (Width 0: as many digits as
// needed; 1 to 37: exactly that many, zero-filled on the left).
EFI_STATUS FormatHexValue(CHAR16 *Buffer, UINTN BufferSize, UINT64 Value, UINTN Width);
