// UTF-16 and 8-bit string operations. Every length is bounded by
// MAX_STRING_CHARS so that an unterminated foreign string is never walked
// without end.
#pragma once
#include "uefi/base.h"

inline constexpr UINTN MAX_STRING_CHARS = 1000000;

UINTN Utf16LengthBounded(const CHAR16 *String, UINTN Maximum);
inline UINTN Utf16Length(const CHAR16 *String) { return Utf16LengthBounded(String, MAX_STRING_CHARS); }
EFI_STATUS Utf16CopyChecked(CHAR16 *Destination, UINTN DestinationChars, const CHAR16 *Source);
EFI_STATUS Utf16AppendChecked(CHAR16 *Destination, UINTN DestinationChars, const CHAR16 *Source);
UINTN AsciiLengthBounded(const CHAR8 *String);
INTN Utf16CompareN(const CHAR16 *A, const CHAR16 *B, UINTN Count);
INTN AsciiCompareN(const CHAR8 *A, const CHAR8 *B, UINTN Count);
const CHAR16 *Utf16Find(const CHAR16 *String, const CHAR16 *Pattern);
inline CHAR16 *Utf16Find(CHAR16 *String, const CHAR16 *Pattern) {
  return const_cast<CHAR16 *>(Utf16Find(static_cast<const CHAR16 *>(String), Pattern));
}
