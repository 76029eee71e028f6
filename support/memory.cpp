#include "support/memory.h"

#include "support/work_counters.h"

constinit DRIVER_WORK_COUNTERS DriverWorkCounters = {};

namespace {

// Forward copy, eight bytes at a time while at least eight remain.
void CopyForward(UINT8 *Destination, const UINT8 *Source, UINTN Count) {
  UINTN Index = 0;
  for (; Count - Index >= 8; Index += 8) {
    UINT64 Word;
    __builtin_memcpy(&Word, Source + Index, 8);
    __builtin_memcpy(Destination + Index, &Word, 8);
  }
  for (; Index < Count; ++Index) Destination[Index] = Source[Index];
}

}  // namespace

void *CopyBytes(void *Destination, const void *Source, UINTN Count) {
  auto *To = static_cast<UINT8 *>(Destination);
  const auto *From = static_cast<const UINT8 *>(Source);
  if (Count == 0) return Destination;
  if constexpr (COUNT_DRIVER_WORK) DriverWorkCounters.BytesCopied += Count;
  // A source at or after the destination, or one that ends before it, is safe to
  // copy forward; otherwise the regions overlap with the destination above and the
  // copy runs backward so no source byte is overwritten before it is read.
  if (From >= To || From + Count - 1 < To) {
    CopyForward(To, From, Count);
  } else {
    for (UINTN Index = Count; Index > 0; --Index) To[Index - 1] = From[Index - 1];
  }
  return Destination;
}

void *ZeroBytes(void *Buffer, UINTN Count) { return FillBytes(Buffer, Count, 0); }

void *FillBytes(void *Buffer, UINTN Count, UINT8 Value) {
  auto *To = static_cast<UINT8 *>(Buffer);
  const UINT64 Word = 0x0101010101010101ULL * Value;
  UINTN Index = 0;
  for (; Count - Index >= 8; Index += 8) __builtin_memcpy(To + Index, &Word, 8);
  for (; Index < Count; ++Index) To[Index] = Value;
  return Buffer;
}

INTN CompareBytes(const void *A, const void *B, UINTN Count) {
  const auto *Left = static_cast<const UINT8 *>(A);
  const auto *Right = static_cast<const UINT8 *>(B);
  for (UINTN Index = 0; Index < Count; ++Index)
    if (Left[Index] != Right[Index]) return static_cast<INTN>(Left[Index]) - static_cast<INTN>(Right[Index]);
  return 0;
}
