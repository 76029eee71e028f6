#include "support/strings.h"

#include "support/memory.h"

namespace {

bool SizeIsUsable(UINTN Chars) { return Chars != 0 && Chars <= MAX_STRING_CHARS; }

// Source and destination overlap when the source starts inside the destination's
// whole buffer, or the destination starts inside the source's text with its
// terminator. Writing either way would corrupt the source before it is read.
bool RegionsOverlap(const CHAR16 *Destination, UINTN DestinationChars, const CHAR16 *Source,
                    UINTN SourceLength) {
  const auto DestinationStart = reinterpret_cast<UINTN>(Destination);
  const auto SourceStart = reinterpret_cast<UINTN>(Source);
  if (SourceStart > DestinationStart)
    return SourceStart < DestinationStart + DestinationChars * sizeof(CHAR16);
  return DestinationStart < SourceStart + (SourceLength + 1) * sizeof(CHAR16);
}

// True when Pattern (non-empty) occurs at Text; never reads Text past its
// terminator, because a mismatch there ends the comparison.
bool StartsWith(const CHAR16 *Text, const CHAR16 *Pattern) {
  for (UINTN Index = 0; Index < MAX_STRING_CHARS && Pattern[Index] != 0; ++Index)
    if (Text[Index] != Pattern[Index]) return false;
  return true;
}

}  // namespace

UINTN Utf16LengthBounded(const CHAR16 *String, UINTN Maximum) {
  if (String == nullptr) return 0;
  UINTN Length = 0;
  while (Length < Maximum && String[Length] != 0) ++Length;
  return Length;
}

EFI_STATUS Utf16CopyChecked(CHAR16 *Destination, UINTN DestinationChars, const CHAR16 *Source) {
  if (Destination == nullptr || Source == nullptr || !SizeIsUsable(DestinationChars))
    return EFI_INVALID_PARAMETER;
  const UINTN SourceLength = Utf16LengthBounded(Source, DestinationChars);
  if (SourceLength >= DestinationChars) return EFI_BUFFER_TOO_SMALL;
  if (RegionsOverlap(Destination, DestinationChars, Source, SourceLength)) return EFI_ACCESS_DENIED;
  CopyBytes(Destination, Source, (SourceLength + 1) * sizeof(CHAR16));
  return EFI_SUCCESS;
}

EFI_STATUS Utf16AppendChecked(CHAR16 *Destination, UINTN DestinationChars, const CHAR16 *Source) {
  if (Destination == nullptr || Source == nullptr || !SizeIsUsable(DestinationChars))
    return EFI_INVALID_PARAMETER;
  const UINTN DestinationLength = Utf16LengthBounded(Destination, DestinationChars);
  if (DestinationLength == DestinationChars) return EFI_BAD_BUFFER_SIZE;
  const UINTN Room = DestinationChars - DestinationLength;
  const UINTN SourceLength = Utf16LengthBounded(Source, Room);
  if (SourceLength >= Room) return EFI_BUFFER_TOO_SMALL;
  if (RegionsOverlap(Destination, DestinationChars, Source, SourceLength)) return EFI_ACCESS_DENIED;
  CopyBytes(Destination + DestinationLength, Source, (SourceLength + 1) * sizeof(CHAR16));
  return EFI_SUCCESS;
}

UINTN AsciiLengthBounded(const CHAR8 *String) {
  if (String == nullptr) return 0;
  // One byte past the limit is examined so that an over-long string is told apart
  // from one of exactly the limit.
  UINTN Length = 0;
  while (Length <= MAX_STRING_CHARS && String[Length] != 0) ++Length;
  return Length;
}

INTN Utf16CompareN(const CHAR16 *A, const CHAR16 *B, UINTN Count) {
  for (UINTN Index = 0; Index < Count; ++Index) {
    if (A[Index] != B[Index]) return static_cast<INTN>(A[Index]) - static_cast<INTN>(B[Index]);
    if (A[Index] == 0) break;
  }
  return 0;
}

INTN AsciiCompareN(const CHAR8 *A, const CHAR8 *B, UINTN Count) {
  for (UINTN Index = 0; Index < Count; ++Index) {
    const auto Left = static_cast<UINT8>(A[Index]);
    const auto Right = static_cast<UINT8>(B[Index]);
    if (Left != Right) return static_cast<INTN>(Left) - static_cast<INTN>(Right);
    if (Left == 0) break;
  }
  return 0;
}

const CHAR16 *Utf16Find(const CHAR16 *String, const CHAR16 *Pattern) {
  if (String == nullptr || Pattern == nullptr) return nullptr;
  if (Pattern[0] == 0) return String;
  for (UINTN Start = 0; Start < MAX_STRING_CHARS && String[Start] != 0; ++Start)
    if (StartsWith(String + Start, Pattern)) return String + Start;
  return nullptr;
}
