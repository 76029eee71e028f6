#include "support/string_package.h"

namespace {

constexpr UINTN HDR_SIZE_AT = __builtin_offsetof(EFI_HII_STRING_PACKAGE_HDR, HdrSize);
constexpr UINTN STRING_INFO_AT = __builtin_offsetof(EFI_HII_STRING_PACKAGE_HDR, StringInfoOffset);
constexpr UINTN LANGUAGE_AT = sizeof(EFI_HII_STRING_PACKAGE_HDR);
constexpr UINT32 LAST_STRING_ID = 0xFFFF;

// The end of the UCS-2 text at Offset (just after its NUL), or 0 when it runs
// past the package.
UINTN TextEnd(ByteView Package, UINTN Offset) {
  for (UINTN At = Offset; Package.Holds(At, 2); At += 2)
    if (Package.Data()[At] == 0 && Package.Data()[At + 1] == 0) return At + 2;
  return 0;
}

// One block: its size, the ids it covers and where its first text starts (0
// for a block without text).
struct BLOCK {
  UINT8 Type;
  UINTN Size;
  UINT32 Ids;
  UINTN TextAt;
};

// Measures the block at Offset; false for a block not read here or one that
// does not lie inside the package.
bool MeasureBlock(ByteView Package, UINTN Offset, BLOCK *Block) {
  UINT8 Type = 0, Count8 = 0;
  UINT16 Count16 = 0;
  if (!Package.Read8(Offset, &Type)) return false;
  switch (Type) {
    case EFI_HII_SIBT_END:
      *Block = {Type, 1, 0, 0};
      return true;
    case EFI_HII_SIBT_SKIP1:
      if (!Package.Read8(Offset + 1, &Count8)) return false;
      *Block = {Type, 2, Count8, 0};
      return true;
    case EFI_HII_SIBT_SKIP2:
      if (!Package.Read16(Offset + 1, &Count16)) return false;
      *Block = {Type, 3, Count16, 0};
      return true;
    case EFI_HII_SIBT_STRING_UCS2: {
      const UINTN End = TextEnd(Package, Offset + 1);
      *Block = {Type, End - Offset, 1, Offset + 1};
      return End != 0;
    }
    case EFI_HII_SIBT_STRINGS_UCS2: {
      if (!Package.Read16(Offset + 1, &Count16)) return false;
      UINTN End = Offset + 3;
      for (UINT32 Index = 0; Index < Count16 && End != 0; ++Index) End = TextEnd(Package, End);
      *Block = {Type, End - Offset, Count16, Offset + 3};
      return End != 0;
    }
    default:
      return false;
  }
}

}  // namespace

bool ReadStringPackageInfo(ByteView Package, STRING_PACKAGE_INFO *Info) {
  UINT32 Header = 0, HdrSize = 0, InfoOffset = 0;
  if (!Package.Read32(0, &Header) || (Header >> 24) != EFI_HII_PACKAGE_STRINGS ||
      !Package.Read32(HDR_SIZE_AT, &HdrSize) || !Package.Read32(STRING_INFO_AT, &InfoOffset) ||
      HdrSize <= LANGUAGE_AT || HdrSize > Package.Size() || InfoOffset < HdrSize ||
      InfoOffset >= Package.Size())
    return false;
  const ByteView Tag = Package.Slice(LANGUAGE_AT, HdrSize - LANGUAGE_AT);
  UINTN Length = 0;
  while (Length < Tag.Size() && Tag.Data()[Length] != 0) ++Length;
  if (Length == Tag.Size()) return false;  // no NUL inside the header
  UINT32 Ids = 0;
  for (UINTN Offset = InfoOffset;;) {
    BLOCK Block;
    if (!MeasureBlock(Package, Offset, &Block)) return false;
    if (Block.Type == EFI_HII_SIBT_END) {
      *Info = {Package, Tag.First(Length), Offset,
               static_cast<EFI_STRING_ID>(Ids < LAST_STRING_ID ? Ids + 1 : 0), Ids};
      return true;
    }
    Ids += Block.Ids;
    if (Ids > LAST_STRING_ID) return false;
    Offset += Block.Size;
  }
}

bool IndexStringTexts(const STRING_PACKAGE_INFO &Info, UINT32 *Offsets, UINT32 Count) {
  if (Count < Info.IdCount) return false;
  for (UINT32 Index = 0; Index < Count; ++Index) Offsets[Index] = 0;
  UINT32 Id = 1;
  UINT32 InfoOffset = 0;
  Info.Package.Read32(STRING_INFO_AT, &InfoOffset);
  for (UINTN Offset = InfoOffset;;) {
    BLOCK Block;
    if (!MeasureBlock(Info.Package, Offset, &Block)) return false;
    if (Block.Type == EFI_HII_SIBT_END) return true;
    UINTN TextAt = Block.TextAt;
    // The block was measured whole: only a text with another after it is
    // walked again, to find where the next one starts.
    for (UINT32 Index = 0; Index < Block.Ids && TextAt != 0; ++Index) {
      Offsets[Id + Index - 1] = static_cast<UINT32>(TextAt);
      if (Index + 1 < Block.Ids) TextAt = TextEnd(Info.Package, TextAt);
    }
    Id += Block.Ids;
    Offset += Block.Size;
  }
}

ByteView StringTextAt(ByteView Package, UINT32 Offset) {
  if (Offset == 0) return {};
  const UINTN End = TextEnd(Package, Offset);
  return End == 0 ? ByteView() : Package.Slice(Offset, End - 2 - Offset);
}

bool SameLanguage(ByteView Tag, ByteView Other) {
  const auto Lower = [](UINT8 Character) {
    return Character >= 'A' && Character <= 'Z' ? static_cast<UINT8>(Character - 'A' + 'a') : Character;
  };
  if (Tag.Size() != Other.Size()) return false;
  for (UINTN Index = 0; Index < Tag.Size(); ++Index)
    if (Lower(Tag.Data()[Index]) != Lower(Other.Data()[Index])) return false;
  return true;
}
