// Little-endian fields and bounded views over bytes that other drivers and
// callers wrote. Every multi-byte field the driver reads from foreign bytes
// (package lists, IFR, variables) goes through these, so no walk does its own
// byte arithmetic and no read reaches past the view it was given.
#pragma once
#include "uefi/base.h"

// The low Width bytes at Bytes, least significant first (Width 0 to 8).
constexpr UINT64 ReadLe(const UINT8 *Bytes, UINTN Width) {
  UINT64 Value = 0;
  for (UINTN Index = Width; Index > 0; --Index) Value = (Value << 8) | Bytes[Index - 1];
  return Value;
}
constexpr UINT16 ReadLe16(const UINT8 *Bytes) { return static_cast<UINT16>(ReadLe(Bytes, 2)); }
constexpr UINT32 ReadLe24(const UINT8 *Bytes) { return static_cast<UINT32>(ReadLe(Bytes, 3)); }
constexpr UINT32 ReadLe32(const UINT8 *Bytes) { return static_cast<UINT32>(ReadLe(Bytes, 4)); }
constexpr UINT64 ReadLe64(const UINT8 *Bytes) { return ReadLe(Bytes, 8); }

// The low Width bytes of Value at Bytes, least significant first.
constexpr void WriteLe(UINT8 *Bytes, UINT64 Value, UINTN Width) {
  for (UINTN Index = 0; Index < Width; ++Index) Bytes[Index] = static_cast<UINT8>(Value >> (8 * Index));
}

// A read-only window of Size bytes. Reads that would reach past the window fail
// (return false, or an empty view) instead of reading; nothing here trusts a
// length found inside the bytes.
class ByteView {
 public:
  constexpr ByteView() = default;
  constexpr ByteView(const UINT8 *Data, UINTN Size) : Data_(Data), Size_(Data == nullptr ? 0 : Size) {}
  ByteView(const void *Data, UINTN Size) : ByteView(static_cast<const UINT8 *>(Data), Size) {}

  constexpr const UINT8 *Data() const { return Data_; }
  constexpr UINTN Size() const { return Size_; }
  constexpr bool Empty() const { return Size_ == 0; }

  // True when [Offset, Offset + Count) lies inside the view.
  constexpr bool Holds(UINTN Offset, UINTN Count) const { return Offset <= Size_ && Count <= Size_ - Offset; }

  constexpr bool Read8(UINTN Offset, UINT8 *Value) const {
    if (!Holds(Offset, 1)) return false;
    *Value = Data_[Offset];
    return true;
  }
  constexpr bool Read16(UINTN Offset, UINT16 *Value) const {
    if (!Holds(Offset, 2)) return false;
    *Value = ReadLe16(Data_ + Offset);
    return true;
  }
  constexpr bool Read32(UINTN Offset, UINT32 *Value) const {
    if (!Holds(Offset, 4)) return false;
    *Value = ReadLe32(Data_ + Offset);
    return true;
  }
  // A little-endian value of Width bytes (1 to 8), widened to 64 bits.
  constexpr bool ReadValue(UINTN Offset, UINTN Width, UINT64 *Value) const {
    if (Width > 8 || !Holds(Offset, Width)) return false;
    *Value = ReadLe(Data_ + Offset, Width);
    return true;
  }

  // [Offset, Offset + Count) as a view of its own; empty when it does not fit.
  constexpr ByteView Slice(UINTN Offset, UINTN Count) const {
    return Holds(Offset, Count) ? ByteView(Data_ + Offset, Count) : ByteView();
  }
  // Everything from Offset on; empty when Offset lies past the end.
  constexpr ByteView From(UINTN Offset) const {
    return Offset <= Size_ ? ByteView(Data_ + Offset, Size_ - Offset) : ByteView();
  }

 private:
  const UINT8 *Data_ = nullptr;
  UINTN Size_ = 0;
};
