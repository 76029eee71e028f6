// Little-endian fields and bounded views over bytes that other drivers and
// callers wrote. Every multi-byte field the driver reads from foreign bytes
// (package lists, IFR, variables) goes through these, so no walk does its own
// byte arithmetic and no read reaches past the view it was given.
#pragma once
#include "support/memory.h"
#include "uefi/base.h"

// The low Width bytes at Bytes, least significant first (Width 0 to 8).
constexpr UINT64 ReadLe(const UINT8 *Bytes, UINTN Width) {
  UINT64 Value = 0;
  for (UINTN Index = Width; Index > 0; --Index) Value = (Value << 8) | Bytes[Index - 1];
  return Value;
}
// The fixed widths spelled out: they are read for every field of every opcode,
// and a size-optimised build keeps the loop above as a loop.
constexpr UINT16 ReadLe16(const UINT8 *Bytes) { return static_cast<UINT16>(Bytes[0] | Bytes[1] << 8); }
constexpr UINT32 ReadLe24(const UINT8 *Bytes) {
  return Bytes[0] | Bytes[1] << 8 | static_cast<UINT32>(Bytes[2]) << 16;
}
constexpr UINT32 ReadLe32(const UINT8 *Bytes) {
  return ReadLe24(Bytes) | static_cast<UINT32>(Bytes[3]) << 24;
}
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
  // The first Count bytes, or the whole view when it is shorter.
  constexpr ByteView First(UINTN Count) const { return ByteView(Data_, Count < Size_ ? Count : Size_); }

  // True when both views hold the same bytes (equal sizes, equal contents).
  constexpr bool SameBytes(ByteView Other) const {
    if (Size_ != Other.Size_) return false;
    for (UINTN Index = 0; Index < Size_; ++Index)
      if (Data_[Index] != Other.Data_[Index]) return false;
    return true;
  }

 private:
  const UINT8 *Data_ = nullptr;
  UINTN Size_ = 0;
};

// Bytes of a NUL-terminated ASCII text, the terminator included.
constexpr UINTN AsciiSize(const CHAR8 *Text) {
  UINTN Size = 1;
  while (*Text++ != '\0') ++Size;
  return Size;
}

// Appends little-endian fields to a block of Capacity bytes that the caller
// owns. A write that does not fit fails the writer: nothing of it is written,
// every later write is refused too, and Failed() stays true, so a caller checks
// once after a run of writes instead of after each. Usable in constant
// evaluation (the static form set is encoded with it).
class ByteWriter {
 public:
  constexpr ByteWriter(UINT8 *Bytes, UINTN Capacity)
      : Bytes_(Bytes), Capacity_(Bytes == nullptr ? 0 : Capacity) {}

  constexpr UINTN Size() const { return Used_; }
  constexpr UINTN Capacity() const { return Capacity_; }
  constexpr UINTN Room() const { return Capacity_ - Used_; }
  constexpr bool Failed() const { return Failed_; }
  // What has been written so far.
  constexpr ByteView Written() const { return ByteView(Bytes_, Used_); }
  // A byte already written; 0 outside what was written.
  constexpr UINT8 At(UINTN Offset) const { return Offset < Used_ ? Bytes_[Offset] : 0; }

  // Marks the writer failed: used by encoders whose own checks fail.
  constexpr void Fail() { Failed_ = true; }

  // The two narrow ones written directly: every opcode a page gets is made of
  // them. Kept out of line, or the image would hold a copy at every call.
  [[gnu::noinline]] constexpr void Put8(UINT8 Value) {
    if (Claim(1, true)) Bytes_[Used_++] = Value;
  }
  [[gnu::noinline]] constexpr void Put16(UINT16 Value) {
    if (!Claim(2, true)) return;
    Bytes_[Used_] = static_cast<UINT8>(Value);
    Bytes_[Used_ + 1] = static_cast<UINT8>(Value >> 8);
    Used_ += 2;
  }
  constexpr void Put32(UINT32 Value) { PutValue(Value, 4); }
  // The low Width bytes (0 to 8) of Value, least significant first.
  constexpr void PutValue(UINT64 Value, UINTN Width) {
    if (!Claim(Width, Width <= 8)) return;
    WriteLe(Bytes_ + Used_, Value, Width);
    Used_ += Width;
  }
  constexpr void PutZeros(UINTN Count) {
    if (!Claim(Count, true)) return;
    for (UINTN Index = 0; Index < Count; ++Index) Bytes_[Used_ + Index] = 0;
    Used_ += Count;
  }
  constexpr void PutBytes(ByteView Source) {
    if (!Claim(Source.Size(), true)) return;
    // Whole package lists pass through here: at run time a block copy, not a
    // byte loop. Source never overlaps the bytes claimed for it.
    if (__builtin_is_constant_evaluated()) {
      for (UINTN Index = 0; Index < Source.Size(); ++Index) Bytes_[Used_ + Index] = Source.Data()[Index];
    } else if (Source.Size() != 0) {
      CopyBytes(Bytes_ + Used_, Source.Data(), Source.Size());
    }
    Used_ += Source.Size();
  }
  // The standard byte order of an EFI_GUID: Data1-3 little-endian, then Data4.
  constexpr void PutGuid(const EFI_GUID &Guid) {
    if (!Claim(sizeof(EFI_GUID), true)) return;
    Put32(Guid.Data1);
    Put16(Guid.Data2);
    Put16(Guid.Data3);
    for (UINT8 Byte : Guid.Data4) Put8(Byte);
  }
  // NUL-terminated texts of the image's own constants, terminator included.
  constexpr void PutAscii(const CHAR8 *Text) {
    do Put8(static_cast<UINT8>(*Text));
    while (*Text++ != '\0' && !Failed_);
  }
  constexpr void PutUcs2(const CHAR16 *Text) {
    do Put16(static_cast<UINT16>(*Text));
    while (*Text++ != u'\0' && !Failed_);
  }

  // Overwrites Width bytes at Offset with Value; only inside what was written.
  constexpr void PatchValue(UINTN Offset, UINT64 Value, UINTN Width) {
    if (Failed_ || Width > 8 || Offset > Used_ || Width > Used_ - Offset) {
      Failed_ = true;
      return;
    }
    WriteLe(Bytes_ + Offset, Value, Width);
  }
  constexpr void Patch32(UINTN Offset, UINT32 Value) { PatchValue(Offset, Value, 4); }

 private:
  // True when Count more bytes may be written; fails the writer otherwise.
  constexpr bool Claim(UINTN Count, bool Valid) {
    if (Failed_ || !Valid || Count > Capacity_ - Used_) Failed_ = true;
    return !Failed_;
  }

  UINT8 *Bytes_ = nullptr;
  UINTN Capacity_ = 0;
  UINTN Used_ = 0;
  bool Failed_ = false;
};
