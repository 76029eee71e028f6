// The HII string protocol over the string packages stored in the database.
// Strings are read from and written into the packages' blocks themselves, so an
// export shows every change, with the package length kept up to date.
//
// A string package: the 46-byte header, the ASCII language tag up to HdrSize,
// then blocks from StringInfoOffset to an END block. Ids start at 1; each block
// covers as many ids as it holds strings (SKIP blocks cover ids without text).
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "sim/hii_internal.h"
#include "sim/sim.h"
#include "sim/sim_internal.h"
#include "uefi/guids.h"

namespace sim {
namespace hii {
namespace {

constexpr std::size_t StringHeaderSize = sizeof(EFI_HII_STRING_PACKAGE_HDR);
constexpr UINT32 MaxPackageLength = 0xFFFFFF;  // 24-bit length field
constexpr UINT32 FirstStringId = 1;
constexpr UINT32 LastStringId = 0xFFFF;
constexpr int MaxDuplicateDepth = 8;

using Bytes = std::vector<UINT8>;

UINT16 Read16(const Bytes &B, std::size_t Offset) {
  return static_cast<UINT16>(B[Offset] | (B[Offset + 1] << 8));
}

UINT32 Read32(const Bytes &B, std::size_t Offset) {
  return static_cast<UINT32>(B[Offset]) | (static_cast<UINT32>(B[Offset + 1]) << 8) |
         (static_cast<UINT32>(B[Offset + 2]) << 16) | (static_cast<UINT32>(B[Offset + 3]) << 24);
}

// Bytes taken by a NUL-terminated string of Unit-byte characters at Offset,
// terminator included; 0 when it is not terminated before End.
std::size_t TextExtent(const Bytes &B, std::size_t Offset, std::size_t End, std::size_t Unit) {
  for (std::size_t At = Offset; At + Unit <= End; At += Unit) {
    bool Zero = B[At] == 0 && (Unit == 1 || B[At + 1] == 0);
    if (Zero) return At + Unit - Offset;
  }
  return 0;
}

struct Block {
  std::size_t Offset;
  std::size_t Size;
  UINT8 Type;
  UINT32 FirstId;
  UINT32 IdCount;
};

struct ParsedPackage {
  std::vector<Block> Blocks;
  std::size_t EndOffset = 0;  // of the END block
  UINT32 NextId = FirstStringId;
};

bool IsUcs2(UINT8 Type) { return Type >= EFI_HII_SIBT_STRING_UCS2 && Type <= EFI_HII_SIBT_STRINGS_UCS2_FONT; }
bool HasFont(UINT8 Type) {
  return Type == EFI_HII_SIBT_STRING_SCSU_FONT || Type == EFI_HII_SIBT_STRINGS_SCSU_FONT ||
         Type == EFI_HII_SIBT_STRING_UCS2_FONT || Type == EFI_HII_SIBT_STRINGS_UCS2_FONT;
}
bool IsMulti(UINT8 Type) {
  return Type == EFI_HII_SIBT_STRINGS_SCSU || Type == EFI_HII_SIBT_STRINGS_SCSU_FONT ||
         Type == EFI_HII_SIBT_STRINGS_UCS2 || Type == EFI_HII_SIBT_STRINGS_UCS2_FONT;
}
bool IsText(UINT8 Type) { return Type >= EFI_HII_SIBT_STRING_SCSU && Type <= EFI_HII_SIBT_STRINGS_UCS2_FONT; }

// Offset of the first string of a text block.
std::size_t TextStart(const Block &Bk) {
  return Bk.Offset + 1 + (HasFont(Bk.Type) ? 1 : 0) + (IsMulti(Bk.Type) ? 2 : 0);
}

// Size and id count of the block at Offset; false when it does not fit before End.
bool MeasureBlock(const Bytes &B, std::size_t Offset, std::size_t End, Block *Out) {
  UINT8 Type = B[Offset];
  Out->Offset = Offset;
  Out->Type = Type;
  Out->IdCount = 0;
  auto Fits = [&](std::size_t Size) { return Offset + Size <= End; };
  switch (Type) {
    case EFI_HII_SIBT_END:
      Out->Size = 1;
      return true;
    case EFI_HII_SIBT_DUPLICATE:
      Out->Size = 3;
      Out->IdCount = 1;
      return Fits(3);
    case EFI_HII_SIBT_SKIP2:
      if (!Fits(3)) return false;
      Out->Size = 3;
      Out->IdCount = Read16(B, Offset + 1);
      return true;
    case EFI_HII_SIBT_SKIP1:
      if (!Fits(2)) return false;
      Out->Size = 2;
      Out->IdCount = B[Offset + 1];
      return true;
    case EFI_HII_SIBT_EXT1:
    case EFI_HII_SIBT_EXT2:
    case EFI_HII_SIBT_EXT4: {
      std::size_t Header = Type == EFI_HII_SIBT_EXT1 ? 3 : Type == EFI_HII_SIBT_EXT2 ? 4 : 6;
      if (!Fits(Header)) return false;
      std::size_t Length = Type == EFI_HII_SIBT_EXT1   ? B[Offset + 2]
                           : Type == EFI_HII_SIBT_EXT2 ? Read16(B, Offset + 2)
                                                       : Read32(B, Offset + 2);
      Out->Size = Length;
      return Length >= Header && Fits(Length);
    }
    default:
      break;
  }
  if (!IsText(Type)) return false;
  std::size_t Unit = IsUcs2(Type) ? 2 : 1;
  std::size_t At = TextStart(*Out);
  if (At > End) return false;
  UINT32 Count = 1;
  if (IsMulti(Type)) Count = Read16(B, At - 2);
  for (UINT32 I = 0; I < Count; ++I) {
    std::size_t Extent = TextExtent(B, At, End, Unit);
    if (Extent == 0) return false;
    At += Extent;
  }
  Out->Size = At - Offset;
  Out->IdCount = Count;
  return true;
}

UINT32 HeaderField(const Bytes &B, std::size_t Offset) { return Read32(B, Offset); }

bool ParseBlocks(const Bytes &B, ParsedPackage *Out) {
  std::size_t Offset = HeaderField(B, 8);
  UINT32 Id = FirstStringId;
  while (Offset < B.size()) {
    Block Bk;
    if (!MeasureBlock(B, Offset, B.size(), &Bk)) return false;
    if (Bk.Type == EFI_HII_SIBT_END) {
      Out->EndOffset = Offset;
      Out->NextId = Id;
      return true;
    }
    Bk.FirstId = Id;
    Id += Bk.IdCount;
    if (Id > LastStringId + 1) return false;
    Out->Blocks.push_back(Bk);
    Offset += Bk.Size;
  }
  return false;
}

enum class Presence { Beyond, Skipped, Present };

struct Located {
  Presence Where = Presence::Beyond;
  const Block *In = nullptr;
  UINT32 Index = 0;  // of the string within its block
};

Located Locate(const ParsedPackage &P, UINT32 Id) {
  for (const Block &Bk : P.Blocks) {
    if (Id < Bk.FirstId || Id >= Bk.FirstId + Bk.IdCount) continue;
    bool Skip = Bk.Type == EFI_HII_SIBT_SKIP1 || Bk.Type == EFI_HII_SIBT_SKIP2;
    return {Skip ? Presence::Skipped : Presence::Present, &Bk, Id - Bk.FirstId};
  }
  return {};
}

// Offset of the Index-th string of a text block.
std::size_t StringOffset(const Bytes &B, const Block &Bk, UINT32 Index) {
  std::size_t Unit = IsUcs2(Bk.Type) ? 2 : 1;
  std::size_t At = TextStart(Bk);
  for (UINT32 I = 0; I < Index; ++I) At += TextExtent(B, At, Bk.Offset + Bk.Size, Unit);
  return At;
}

std::u16string DecodeText(const Bytes &B, const Block &Bk, UINT32 Index) {
  std::size_t At = StringOffset(B, Bk, Index);
  std::u16string Text;
  if (IsUcs2(Bk.Type)) {
    for (; Read16(B, At) != 0; At += 2) Text.push_back(static_cast<char16_t>(Read16(B, At)));
  } else {
    // Only the single-byte subset of the compressed encoding is expected here.
    for (; B[At] != 0; ++At) Text.push_back(static_cast<char16_t>(B[At]));
  }
  return Text;
}

// The text of Id, following duplicates; false when the package has no text there.
bool TextOf(const Bytes &B, const ParsedPackage &P, UINT32 Id, std::u16string *Text, int Depth = 0) {
  Located L = Locate(P, Id);
  if (L.Where != Presence::Present) return false;
  if (L.In->Type == EFI_HII_SIBT_DUPLICATE) {
    UINT32 Target = Read16(B, L.In->Offset + 1);
    if (Depth >= MaxDuplicateDepth || Target == Id) return false;
    return TextOf(B, P, Target, Text, Depth + 1);
  }
  *Text = DecodeText(B, *L.In, L.Index);
  return true;
}

Bytes Ucs2Block(const std::u16string &Text, bool WithFont, UINT8 Font) {
  Bytes Out{WithFont ? EFI_HII_SIBT_STRING_UCS2_FONT : EFI_HII_SIBT_STRING_UCS2};
  if (WithFont) Out.push_back(Font);
  for (char16_t C : Text) {
    Out.push_back(static_cast<UINT8>(C));
    Out.push_back(static_cast<UINT8>(C >> 8));
  }
  Out.push_back(0);
  Out.push_back(0);
  return Out;
}

// The single-string blocks equivalent to a block, with the Index-th string
// replaced by a UCS-2 block of Text.
Bytes RewrittenBlock(const Bytes &B, const Block &Bk, UINT32 Index, const std::u16string &Text) {
  bool WithFont = HasFont(Bk.Type);
  UINT8 Font = WithFont ? B[Bk.Offset + 1] : 0;
  if (!IsMulti(Bk.Type)) return Ucs2Block(Text, WithFont, Font);
  Bytes Out;
  std::size_t Unit = IsUcs2(Bk.Type) ? 2 : 1;
  UINT8 SingleType =
      static_cast<UINT8>(Unit == 2 ? (WithFont ? EFI_HII_SIBT_STRING_UCS2_FONT : EFI_HII_SIBT_STRING_UCS2)
                                   : (WithFont ? EFI_HII_SIBT_STRING_SCSU_FONT : EFI_HII_SIBT_STRING_SCSU));
  std::size_t At = TextStart(Bk);
  for (UINT32 I = 0; I < Bk.IdCount; ++I) {
    std::size_t Extent = TextExtent(B, At, Bk.Offset + Bk.Size, Unit);
    if (I == Index) {
      Bytes Single = Ucs2Block(Text, WithFont, Font);
      Out.insert(Out.end(), Single.begin(), Single.end());
    } else {
      Out.push_back(SingleType);
      if (WithFont) Out.push_back(Font);
      Out.insert(Out.end(), B.begin() + At, B.begin() + At + Extent);
    }
    At += Extent;
  }
  return Out;
}

// Replaces Size bytes at Offset of a package; false (and nothing changed) when
// the package would outgrow its length field.
bool Splice(Package *P, std::size_t Offset, std::size_t Size, const Bytes &With) {
  if (P->Bytes.size() - Size + With.size() > MaxPackageLength) return false;
  P->Bytes.erase(P->Bytes.begin() + Offset, P->Bytes.begin() + Offset + Size);
  P->Bytes.insert(P->Bytes.begin() + Offset, With.begin(), With.end());
  P->UpdateLength();
  return true;
}

bool LanguageMatches(const std::string &PackageLanguage, const char *Asked) {
  std::string Primary = PackageLanguage.substr(0, PackageLanguage.find(';'));
  std::size_t AskedLength = std::strlen(Asked);
  if (Primary.size() != AskedLength) return false;
  for (std::size_t I = 0; I < AskedLength; ++I) {
    auto Lower = [](char C) { return (C >= 'A' && C <= 'Z') ? static_cast<char>(C - 'A' + 'a') : C; };
    if (Lower(Primary[I]) != Lower(Asked[I])) return false;
  }
  return true;
}

std::vector<Package *> StringPackages(PackageList *L) {
  std::vector<Package *> Result;
  for (Package &P : L->Packages)
    if (P.Type() == EFI_HII_PACKAGE_STRINGS) Result.push_back(&P);
  return Result;
}

// Copies a NUL-terminated result into a caller's buffer of *Size bytes.
template <typename Char>
EFI_STATUS DeliverText(const std::basic_string<Char> &Text, Char *Buffer, UINTN *Size) {
  UINTN Needed = (Text.size() + 1) * sizeof(Char);
  if (*Size < Needed) {
    *Size = Needed;
    return EFI_BUFFER_TOO_SMALL;
  }
  std::memcpy(Buffer, Text.c_str(), Needed);
  *Size = Needed;
  return EFI_SUCCESS;
}

// A string package for Language holding an empty string at every id below
// NextId, as the reference firmware lays out a package that NewString adds for a
// language the list did not have. The language name itself is not kept.
Package NewLanguagePackage(const CHAR8 *Language, UINT32 NextId) {
  std::string Tag(Language);
  Package P;
  P.Bytes.assign(StringHeaderSize, 0);
  P.Bytes[3] = EFI_HII_PACKAGE_STRINGS;
  UINT32 HdrSize = static_cast<UINT32>(StringHeaderSize + Tag.size() + 1);
  std::memcpy(&P.Bytes[4], &HdrSize, 4);
  std::memcpy(&P.Bytes[8], &HdrSize, 4);
  P.Bytes.insert(P.Bytes.end(), Tag.begin(), Tag.end());
  P.Bytes.push_back(0);
  Bytes Empty = Ucs2Block(u"", false, 0);
  for (UINT32 Id = FirstStringId; Id < NextId; ++Id) P.Bytes.insert(P.Bytes.end(), Empty.begin(), Empty.end());
  P.Bytes.push_back(EFI_HII_SIBT_END);
  P.UpdateLength();
  return P;
}

EFI_STATUS EFIAPI NewString(const EFI_HII_STRING_PROTOCOL *, EFI_HII_HANDLE PackageList,
                            EFI_STRING_ID *StringId, const CHAR8 *Language, const CHAR16 *LanguageName,
                            const CHAR16 *String, const EFI_FONT_INFO *) {
  EFI_STATUS Status;
  internal::ServiceCall Call("HiiString.NewString");
  if (Call.Fails(&Status)) return Status;
  if (PackageList == nullptr || StringId == nullptr || Language == nullptr || String == nullptr)
    return EFI_INVALID_PARAMETER;
  hii::PackageList *L = FindPackageList(PackageList);
  if (L == nullptr) return EFI_NOT_FOUND;
  std::vector<Package *> Packages = StringPackages(L);
  std::vector<ParsedPackage> Parsed(Packages.size());
  bool AnyMatch = false;
  for (std::size_t I = 0; I < Packages.size(); ++I) {
    if (!ParseBlocks(Packages[I]->Bytes, &Parsed[I])) return EFI_INVALID_PARAMETER;
    AnyMatch = AnyMatch || LanguageMatches(StringPackageLanguage(Packages[I]->Bytes), Language);
  }
  // A language the list has no package for: refused without a language name;
  // with one, the reference firmware adds a package for that language.
  if (!AnyMatch && LanguageName == nullptr) return EFI_INVALID_PARAMETER;
  if (Parsed.empty()) return EFI_NOT_FOUND;
  // One id for every package: they must agree on where the next string goes.
  UINT32 NewId = Parsed[0].NextId;
  for (const ParsedPackage &P : Parsed)
    if (P.NextId != NewId) return EFI_INVALID_PARAMETER;
  if (NewId > LastStringId) return EFI_OUT_OF_RESOURCES;
  Bytes Text = Ucs2Block(String, false, 0);
  Bytes Empty = Ucs2Block(u"", false, 0);
  for (std::size_t I = 0; I < Packages.size(); ++I)
    if (Packages[I]->Bytes.size() + Text.size() > MaxPackageLength) return EFI_OUT_OF_RESOURCES;
  for (std::size_t I = 0; I < Packages.size(); ++I) {
    bool Match = LanguageMatches(StringPackageLanguage(Packages[I]->Bytes), Language);
    Splice(Packages[I], Parsed[I].EndOffset, 0, Match ? Text : Empty);
  }
  if (!AnyMatch) {
    L->Packages.push_back(NewLanguagePackage(Language, NewId));
    Package &Added = L->Packages.back();
    ParsedPackage AddedBlocks;
    ParseBlocks(Added.Bytes, &AddedBlocks);
    Splice(&Added, AddedBlocks.EndOffset, 0, Text);
  }
  *StringId = static_cast<EFI_STRING_ID>(NewId);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetString(const EFI_HII_STRING_PROTOCOL *, const CHAR8 *Language,
                            EFI_HII_HANDLE PackageList, EFI_STRING_ID StringId, CHAR16 *String,
                            UINTN *StringSize, EFI_FONT_INFO **StringFontInfo) {
  EFI_STATUS Status;
  internal::ServiceCall Call("HiiString.GetString");
  if (Call.Fails(&Status)) return Status;
  if (Language == nullptr || PackageList == nullptr || StringId == 0 || StringSize == nullptr)
    return EFI_INVALID_PARAMETER;
  if (String == nullptr && *StringSize > 0) return EFI_INVALID_PARAMETER;
  hii::PackageList *L = FindPackageList(PackageList);
  if (L == nullptr) return EFI_NOT_FOUND;
  bool HeldElsewhere = false;
  for (Package *P : StringPackages(L)) {
    ParsedPackage Parsed;
    if (!ParseBlocks(P->Bytes, &Parsed)) continue;
    std::u16string Text;
    if (!TextOf(P->Bytes, Parsed, StringId, &Text)) continue;
    if (!LanguageMatches(StringPackageLanguage(P->Bytes), Language)) {
      HeldElsewhere = true;
      continue;
    }
    if (StringFontInfo != nullptr) *StringFontInfo = nullptr;
    return DeliverText(Text, String, StringSize);
  }
  return HeldElsewhere ? EFI_INVALID_LANGUAGE : EFI_NOT_FOUND;
}

EFI_STATUS EFIAPI SetString(const EFI_HII_STRING_PROTOCOL *, EFI_HII_HANDLE PackageList,
                            EFI_STRING_ID StringId, const CHAR8 *Language, const CHAR16 *String,
                            const EFI_FONT_INFO *) {
  EFI_STATUS Status;
  internal::ServiceCall Call("HiiString.SetString");
  if (Call.Fails(&Status)) return Status;
  if (PackageList == nullptr || StringId == 0 || Language == nullptr || String == nullptr)
    return EFI_INVALID_PARAMETER;
  hii::PackageList *L = FindPackageList(PackageList);
  if (L == nullptr) return EFI_NOT_FOUND;
  bool Written = false;
  for (Package *P : StringPackages(L)) {
    if (!LanguageMatches(StringPackageLanguage(P->Bytes), Language)) continue;
    ParsedPackage Parsed;
    if (!ParseBlocks(P->Bytes, &Parsed)) continue;
    Located At = Locate(Parsed, StringId);
    // A skipped id has no string to replace in this package.
    if (At.Where != Presence::Present) continue;
    Bytes With = RewrittenBlock(P->Bytes, *At.In, At.Index, String);
    if (!Splice(P, At.In->Offset, At.In->Size, With)) return EFI_OUT_OF_RESOURCES;
    Written = true;
  }
  return Written ? EFI_SUCCESS : EFI_NOT_FOUND;
}

EFI_STATUS EFIAPI GetLanguages(const EFI_HII_STRING_PROTOCOL *, EFI_HII_HANDLE PackageList, CHAR8 *Languages,
                               UINTN *LanguagesSize) {
  EFI_STATUS Status;
  internal::ServiceCall Call("HiiString.GetLanguages");
  if (Call.Fails(&Status)) return Status;
  if (PackageList == nullptr || LanguagesSize == nullptr) return EFI_INVALID_PARAMETER;
  if (Languages == nullptr && *LanguagesSize > 0) return EFI_INVALID_PARAMETER;
  hii::PackageList *L = FindPackageList(PackageList);
  if (L == nullptr) return EFI_NOT_FOUND;
  std::string Joined;
  for (Package *P : StringPackages(L)) {
    if (!Joined.empty()) Joined += ';';
    Joined += StringPackageLanguage(P->Bytes);
  }
  return DeliverText(Joined, Languages, LanguagesSize);
}

EFI_STATUS EFIAPI GetSecondaryLanguages(const EFI_HII_STRING_PROTOCOL *, EFI_HII_HANDLE PackageList,
                                        const CHAR8 *PrimaryLanguage, CHAR8 *SecondaryLanguages,
                                        UINTN *SecondaryLanguagesSize) {
  EFI_STATUS Status;
  internal::ServiceCall Call("HiiString.GetSecondaryLanguages");
  if (Call.Fails(&Status)) return Status;
  if (PackageList == nullptr || PrimaryLanguage == nullptr || SecondaryLanguagesSize == nullptr)
    return EFI_INVALID_PARAMETER;
  if (SecondaryLanguages == nullptr && *SecondaryLanguagesSize > 0) return EFI_INVALID_PARAMETER;
  hii::PackageList *L = FindPackageList(PackageList);
  if (L == nullptr) return EFI_NOT_FOUND;
  for (Package *P : StringPackages(L)) {
    std::string Language = StringPackageLanguage(P->Bytes);
    if (!LanguageMatches(Language, PrimaryLanguage)) continue;
    std::size_t Separator = Language.find(';');
    std::string Secondary = Separator == std::string::npos ? std::string() : Language.substr(Separator + 1);
    return DeliverText(Secondary, SecondaryLanguages, SecondaryLanguagesSize);
  }
  return EFI_INVALID_LANGUAGE;
}

EFI_HII_STRING_PROTOCOL Protocol = {NewString, GetString, SetString, GetLanguages, GetSecondaryLanguages};

void InstallHiiString() {
  EFI_HANDLE Handle = nullptr;
  internal::InstallProtocolInterface(&Handle, &EFI_HII_STRING_PROTOCOL_GUID, EFI_NATIVE_INTERFACE, &Protocol);
}

ComponentRegistrar HiiStringComponent("HiiString", 11, InstallHiiString);

}  // namespace

bool StringPackageIsWellFormed(const std::vector<UINT8> &Package) {
  if (Package.size() < StringHeaderSize + 1) return false;
  UINT32 HdrSize = HeaderField(Package, 4);
  UINT32 InfoOffset = HeaderField(Package, 8);
  if (HdrSize <= StringHeaderSize || HdrSize > Package.size()) return false;
  if (InfoOffset < HdrSize || InfoOffset >= Package.size()) return false;
  if (std::find(Package.begin() + StringHeaderSize, Package.begin() + HdrSize, 0) ==
      Package.begin() + HdrSize)
    return false;
  ParsedPackage Parsed;
  return ParseBlocks(Package, &Parsed);
}

std::string StringPackageLanguage(const std::vector<UINT8> &Package) {
  const char *Tag = reinterpret_cast<const char *>(Package.data() + StringHeaderSize);
  return std::string(Tag);  // a stored package always has the terminator within its header
}

}  // namespace hii
}  // namespace sim
