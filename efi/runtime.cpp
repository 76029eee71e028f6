// The few symbols the compiler may call on its own in a freestanding image: it
// lowers structure copies and clears to memcpy and memset. No C library is
// linked, so the image brings its own.
#include "support/memory.h"

extern "C" {
void *memcpy(void *Destination, const void *Source, UINTN Count) { return CopyBytes(Destination, Source, Count); }
void *memmove(void *Destination, const void *Source, UINTN Count) { return CopyBytes(Destination, Source, Count); }
void *memset(void *Buffer, int Value, UINTN Count) { return FillBytes(Buffer, Count, static_cast<UINT8>(Value)); }
int memcmp(const void *A, const void *B, UINTN Count) {
  return Count == 0 ? 0 : static_cast<int>(CompareBytes(A, B, Count));
}
// clang emits a reference to this symbol when floating point is present.
int _fltused = 0;
}
