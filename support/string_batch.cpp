#include "support/string_batch.h"

#include "support/ifr_reader.h"
#include "support/language.h"
#include "support/memory.h"
#include "support/pool.h"
#include "support/string_package.h"
#include "support/strings.h"

namespace {

constexpr UINTN MAX_PACKAGE_LENGTH = 0xFFFFFF;
constexpr UINT32 LAST_STRING_ID = 0xFFFF;
constexpr UINTN EMPTY_BLOCK_BYTES = Ucs2BlockSize(0);
constexpr CHAR8 KEYWORD_NAMESPACE_PREFIX[] = "x-UEFI";

// UEFI is little-endian: a CHAR16 text is its UCS-2 bytes as they stand.
bool AppendBlock(OpCodeBuffer *Buffer, const CHAR16 *Text) {
  const UINTN Chars = Utf16LengthBounded(Text, MAX_STRING_CHARS);
  if (Chars >= MAX_STRING_CHARS) return false;
  UINT8 *At = OpCodeBufferReserve(Buffer, Ucs2BlockSize(Chars));
  if (At == nullptr) return false;
  At[0] = EFI_HII_SIBT_STRING_UCS2;
  CopyBytes(At + 1, Text, (Chars + 1) * sizeof(CHAR16));
  return true;
}

bool IsKeywordNamespace(ByteView Tag) {
  constexpr UINTN Length = sizeof(KEYWORD_NAMESPACE_PREFIX) - 1;
  return Tag.Size() >= Length && CompareBytes(Tag.Data(), KEYWORD_NAMESPACE_PREFIX, Length) == 0;
}

// Reads Count blocks of Blocks one after another into Scratch as text.
const CHAR16 *NextBlockText(ByteView Blocks, UINTN *Offset, TEXT_SCRATCH *Scratch) {
  UINTN Chars = 0;
  while (Blocks.Holds(*Offset + 1 + 2 * Chars, 2) && ReadLe16(Blocks.Data() + *Offset + 1 + 2 * Chars) != 0) ++Chars;
  if (!Blocks.Holds(*Offset + 1 + 2 * Chars, 2)) return nullptr;
  if (Scratch->Chars <= Chars) {
    FreeTextScratch(Scratch);
    Scratch->Text = static_cast<CHAR16 *>(PoolAlloc((Chars + 1) * sizeof(CHAR16)));
    if (Scratch->Text == nullptr) return nullptr;
    Scratch->Chars = Chars + 1;
  }
  for (UINTN Index = 0; Index <= Chars; ++Index) Scratch->Text[Index] = ReadLe16(Blocks.Data() + *Offset + 1 + 2 * Index);
  *Offset += Ucs2BlockSize(Chars);
  return Scratch->Text;
}

}  // namespace

EFI_STATUS StartStringBatch(STRING_BATCH *Batch, EFI_STRING_ID FirstId) {
  if (Batch == nullptr || FirstId == 0) return EFI_INVALID_PARAMETER;
  *Batch = {FirstId, 0, OpCodeBufferNew(), OpCodeBufferNew()};
  if (Batch->Display != nullptr && Batch->Keyword != nullptr) return EFI_SUCCESS;
  FreeStringBatch(Batch);
  return EFI_OUT_OF_RESOURCES;
}

void FreeStringBatch(STRING_BATCH *Batch) {
  if (Batch == nullptr) return;
  OpCodeBufferFree(Batch->Display);
  OpCodeBufferFree(Batch->Keyword);
  *Batch = {};
}

EFI_STRING_ID BatchNewString(STRING_BATCH *Batch, const CHAR16 *Text) {
  if (Batch == nullptr || Text == nullptr || EFI_ERROR(StringBatchStatus(*Batch)) ||
      Batch->FirstId + Batch->Count > LAST_STRING_ID)
    return 0;
  if (!AppendBlock(Batch->Display, Text) || !AppendBlock(Batch->Keyword, u"")) return 0;
  return static_cast<EFI_STRING_ID>(Batch->FirstId + Batch->Count++);
}

bool BatchSetKeyword(STRING_BATCH *Batch, EFI_STRING_ID Id, const CHAR16 *Keyword) {
  if (Batch == nullptr || Keyword == nullptr || Batch->Count == 0 || Id != Batch->FirstId + Batch->Count - 1 ||
      EFI_ERROR(StringBatchStatus(*Batch)))
    return false;
  Batch->Keyword->used -= EMPTY_BLOCK_BYTES;  // the empty string it had
  return AppendBlock(Batch->Keyword, Keyword);
}

EFI_STATUS StringBatchStatus(const STRING_BATCH &Batch) {
  if (Batch.Display == nullptr || Batch.Keyword == nullptr) return EFI_INVALID_PARAMETER;
  return EFI_ERROR(Batch.Display->status) ? Batch.Display->status : Batch.Keyword->status;
}

EFI_STATUS NextStringId(ByteView List, EFI_STRING_ID *NextId) {
  PackageListReader Packages(List);
  EFI_STRING_ID Next = 0;
  bool Any = false;
  for (HiiPackage Package; Packages.Next(&Package);) {
    if (Package.Type() == EFI_HII_PACKAGE_END) break;
    if (Package.Type() != EFI_HII_PACKAGE_STRINGS) continue;
    STRING_PACKAGE_INFO Info;
    if (!ReadStringPackageInfo(Package.Bytes(), &Info)) return EFI_UNSUPPORTED;
    if (Info.NextId == 0 || (Any && Info.NextId != Next)) return EFI_INVALID_PARAMETER;
    Next = Info.NextId;
    Any = true;
  }
  if (Packages.Status() != IfrReadStatus::Ok) return EFI_VOLUME_CORRUPTED;
  if (!Any) return EFI_NOT_FOUND;
  *NextId = Next;
  return EFI_SUCCESS;
}

EFI_STATUS AppendBatchToPackage(ByteView Package, const STRING_BATCH &Batch, const CHAR8 *KeywordLanguage,
                                ByteWriter &Output) {
  STRING_PACKAGE_INFO Info;
  if (!ReadStringPackageInfo(Package, &Info)) return EFI_UNSUPPORTED;
  if (Info.NextId != Batch.FirstId) return EFI_INVALID_PARAMETER;
  const bool Keywords = IsKeywordNamespace(Info.Language);
  const bool OwnKeywords =
      Keywords && SameLanguage(Info.Language, ByteView(KeywordLanguage, AsciiLengthBounded(KeywordLanguage)));
  const ByteView Blocks = OpCodeBufferBytes(OwnKeywords || !Keywords ? (OwnKeywords ? Batch.Keyword : Batch.Display)
                                                                     : nullptr);
  const UINTN Added = Keywords && !OwnKeywords ? Batch.Count * EMPTY_BLOCK_BYTES : Blocks.Size();
  if (Added > MAX_PACKAGE_LENGTH || Package.Size() > MAX_PACKAGE_LENGTH - Added) return EFI_BAD_BUFFER_SIZE;
  if (Output.Failed() || Package.Size() + Added > Output.Room()) return EFI_BUFFER_TOO_SMALL;
  const UINTN At = Output.Size();
  Output.PutBytes(Package.First(Info.EndBlock));
  if (Keywords && !OwnKeywords) {
    for (UINTN Index = 0; Index < Batch.Count; ++Index) {
      Output.Put8(EFI_HII_SIBT_STRING_UCS2);
      Output.Put16(0);
    }
  } else {
    Output.PutBytes(Blocks);
  }
  Output.PutBytes(Package.From(Info.EndBlock));
  Output.PatchValue(At, Package.Size() + Added, 3);  // the type byte stays
  return EFI_SUCCESS;
}

UINTN StringBatchGrowth(const STRING_BATCH &Batch) {
  const UINTN Display = OpCodeBufferBytes(Batch.Display).Size();
  const UINTN Keyword = OpCodeBufferBytes(Batch.Keyword).Size();
  return Display > Keyword ? Display : Keyword;
}

EFI_STATUS WriteStringBatchOneByOne(const STRING_BATCH &Batch, const CHAR8 *KeywordLanguage) {
  EFI_STATUS Status = StringBatchStatus(Batch);
  if (EFI_ERROR(Status)) return Status;
  TEXT_SCRATCH Text = {}, Keyword = {};
  UINTN DisplayAt = 0, KeywordAt = 0;
  for (UINTN Index = 0; Index < Batch.Count && !EFI_ERROR(Status); ++Index) {
    const CHAR16 *Display = NextBlockText(OpCodeBufferBytes(Batch.Display), &DisplayAt, &Text);
    const CHAR16 *Name = NextBlockText(OpCodeBufferBytes(Batch.Keyword), &KeywordAt, &Keyword);
    if (Display == nullptr || Name == nullptr) {
      Status = EFI_OUT_OF_RESOURCES;
      break;
    }
    const EFI_STRING_ID Id = SetStringInLanguages(0, Display, nullptr);
    if (Id != Batch.FirstId + Index) Status = EFI_DEVICE_ERROR;
    else if (Name[0] != 0) SetStringInLanguages(Id, Name, KeywordLanguage);
  }
  FreeTextScratch(&Text);
  FreeTextScratch(&Keyword);
  return Status;
}
