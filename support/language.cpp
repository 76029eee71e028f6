#include "support/language.h"

#include "driver/driver_state.h"
#include "driver/globals.h"
#include "support/memory.h"
#include "support/pool.h"
#include "support/strings.h"
#include "uefi/guids.h"

constinit EFI_HII_HANDLE CurrentHiiHandle = nullptr;

void SetCurrentHiiHandle(EFI_HII_HANDLE Handle) { CurrentHiiHandle = Handle; }

namespace {

constexpr CHAR8 KEYWORD_NAMESPACE_PREFIX[] = "x-UEFI";
constexpr UINTN KEYWORD_NAMESPACE_PREFIX_CHARS = ArrayCount(KEYWORD_NAMESPACE_PREFIX) - 1;
constexpr CHAR16 PLATFORM_LANG_NAME[] = u"PlatformLang";
// Language lists and strings longer than this are taken for garbage.
constexpr UINTN MAX_LANGUAGE_LIST_BYTES = MAX_STRING_CHARS;
constexpr UINTN MAX_STRING_BYTES = MAX_STRING_CHARS * sizeof(CHAR16);

// Length of the list entry at Entry: up to the next ";" or the end.
UINTN EntryLength(const CHAR8 *Entry) {
  UINTN Length = 0;
  while (Length < MAX_LANGUAGE_LIST_BYTES && Entry[Length] != 0 && Entry[Length] != ';') ++Length;
  return Length;
}

CHAR8 *CopyLanguageList(const CHAR8 *Languages) {
  const UINTN Length = AsciiLengthBounded(Languages);
  if (Length > MAX_LANGUAGE_LIST_BYTES) return nullptr;
  auto *Copy = static_cast<CHAR8 *>(PoolAllocZero(Length + 1));
  if (Copy != nullptr) CopyBytes(Copy, Languages, Length);
  return Copy;
}

bool IsKeywordNamespace(const CHAR8 *Language) {
  return AsciiCompareN(Language, KEYWORD_NAMESPACE_PREFIX, KEYWORD_NAMESPACE_PREFIX_CHARS) == 0;
}

EFI_STATUS WriteString(EFI_STRING_ID *StringId, const CHAR8 *Language, const CHAR16 *Text) {
  if (*StringId == 0)
    return HiiString->NewString(HiiString, CurrentHiiHandle, StringId, Language, nullptr, Text, nullptr);
  return HiiString->SetString(HiiString, CurrentHiiHandle, *StringId, Language, Text, nullptr);
}

// Reads StringId in Language into a new block that always ends in a NUL. The
// status is GetString's; EFI_INVALID_LANGUAGE only when the string is missing in
// Language (first call), so that the caller's fallback never loops on a failed
// read.
EFI_STATUS ReadString(EFI_HII_HANDLE HiiHandle, EFI_STRING_ID StringId, const CHAR8 *Language,
                      CHAR16 **Text) {
  *Text = nullptr;
  CHAR16 Scratch = 0;
  UINTN Size = 0;
  EFI_STATUS Status =
      HiiString->GetString(HiiString, Language, HiiHandle, StringId, &Scratch, &Size, nullptr);
  if (Status != EFI_BUFFER_TOO_SMALL) return EFI_ERROR(Status) ? Status : EFI_NOT_FOUND;
  if (Size > MAX_STRING_BYTES) return EFI_BAD_BUFFER_SIZE;
  const UINTN Reported = Size;
  auto *Block = static_cast<CHAR16 *>(PoolAllocZero((Reported + 1) / 2 * 2 + sizeof(CHAR16)));
  if (Block == nullptr) return EFI_OUT_OF_RESOURCES;
  Status = HiiString->GetString(HiiString, Language, HiiHandle, StringId, Block, &Size, nullptr);
  if (EFI_ERROR(Status)) {
    PoolFree(Block);
    return Status == EFI_INVALID_LANGUAGE ? EFI_NOT_FOUND : Status;
  }
  *Text = Block;
  return EFI_SUCCESS;
}

// The first entry at or after Position (runs of ";" passed over), or null when
// there is none.
const CHAR8 *ListEntryFrom(const CHAR8 *Position) {
  while (*Position == ';') ++Position;
  return *Position == 0 ? nullptr : Position;
}

const CHAR8 *NextListEntry(const CHAR8 *Entry) { return ListEntryFrom(Entry + EntryLength(Entry)); }

enum class MatchResult { NoMatch, Matched, OutOfResources };

// Tries Candidate's first entry against every entry of Supported, shortening it
// at its last "-" after each miss.
MatchResult MatchCandidate(const CHAR8 *Supported, const CHAR8 *Candidate, CHAR8 **Chosen) {
  UINTN Wanted = EntryLength(Candidate);
  while (Wanted > 0) {
    for (const CHAR8 *Entry = Supported; *Entry != 0;) {
      if (*Entry == ';') {
        ++Entry;
        continue;
      }
      const UINTN Length = EntryLength(Entry);
      if (Wanted <= Length && CompareBytes(Entry, Candidate, Wanted) == 0) {
        *Chosen = static_cast<CHAR8 *>(PoolAllocZero(Length + 1));
        if (*Chosen == nullptr) return MatchResult::OutOfResources;
        CopyBytes(*Chosen, Entry, Length);
        return MatchResult::Matched;
      }
      Entry += Length;
    }
    --Wanted;
    while (Wanted > 0 && Candidate[Wanted] != '-') --Wanted;
  }
  return MatchResult::NoMatch;
}

}  // namespace

CHAR8 *QueryPackageLanguages(const EFI_HII_STRING_PROTOCOL *Strings, EFI_HII_HANDLE HiiHandle) {
  if (Strings == nullptr) return nullptr;
  UINTN Size = 0;
  if (Strings->GetLanguages(Strings, HiiHandle, nullptr, &Size) != EFI_BUFFER_TOO_SMALL || Size == 0 ||
      Size > MAX_LANGUAGE_LIST_BYTES)
    return nullptr;
  // One spare zero byte: the list ends in a NUL even when the reported bytes
  // hold none.
  auto *Languages = static_cast<CHAR8 *>(PoolAllocZero(Size + 1));
  if (Languages == nullptr) return nullptr;
  if (EFI_ERROR(Strings->GetLanguages(Strings, HiiHandle, Languages, &Size))) {
    PoolFree(Languages);
    return nullptr;
  }
  return Languages;
}

CHAR8 *GetPackageLanguages(EFI_HII_HANDLE HiiHandle) { return QueryPackageLanguages(HiiString, HiiHandle); }

EFI_STATUS ReadPlatformLanguage(CHAR8 **Value) {
  if (Value == nullptr) return EFI_INVALID_PARAMETER;
  *Value = nullptr;
  if (RuntimeServices == nullptr) return EFI_NOT_READY;
  UINTN Size = 0;
  EFI_STATUS Status =
      RuntimeServices->GetVariable(PLATFORM_LANG_NAME, &EFI_GLOBAL_VARIABLE, nullptr, &Size, nullptr);
  if (Status != EFI_BUFFER_TOO_SMALL) return EFI_ERROR(Status) ? Status : EFI_NOT_FOUND;
  if (Size > MAX_LANGUAGE_LIST_BYTES) return EFI_BAD_BUFFER_SIZE;
  // The value is cut at the variable's size: one more zeroed byte ends it even
  // when it was stored without its NUL.
  auto *Language = static_cast<CHAR8 *>(PoolAllocZero(Size + 1));
  if (Language == nullptr) return EFI_OUT_OF_RESOURCES;
  UINTN DataSize = Size;
  Status =
      RuntimeServices->GetVariable(PLATFORM_LANG_NAME, &EFI_GLOBAL_VARIABLE, nullptr, &DataSize, Language);
  if (EFI_ERROR(Status)) {
    PoolFree(Language);
    return Status;
  }
  Language[DataSize < Size ? DataSize : Size] = 0;
  *Value = Language;
  return Status;
}

CHAR8 *PickBestLanguage(const CHAR8 *SupportedLanguages, ...) {
  if (SupportedLanguages == nullptr) return nullptr;
  __builtin_va_list Args;
  __builtin_va_start(Args, SupportedLanguages);
  CHAR8 *Chosen = nullptr;
  for (const CHAR8 *Candidate = __builtin_va_arg(Args, const CHAR8 *); Candidate != nullptr;
       Candidate = __builtin_va_arg(Args, const CHAR8 *)) {
    if (MatchCandidate(SupportedLanguages, Candidate, &Chosen) != MatchResult::NoMatch) break;
  }
  __builtin_va_end(Args);
  return Chosen;
}

EFI_STRING_ID SetStringInLanguages(EFI_STRING_ID StringId, const CHAR16 *Text, const CHAR8 *Languages) {
  if (Text == nullptr || HiiString == nullptr) return 0;
  const bool AllDisplayLanguages = Languages == nullptr;
  CHAR8 *List = AllDisplayLanguages ? GetPackageLanguages(CurrentHiiHandle) : CopyLanguageList(Languages);
  if (List == nullptr) return 0;

  // Stays an error when no entry is written at all.
  EFI_STATUS Status = EFI_INVALID_PARAMETER;
  for (CHAR8 *Entry = List; *Entry != 0;) {
    const UINTN Length = EntryLength(Entry);
    const bool Last = Entry[Length] == 0;
    Entry[Length] = 0;
    // An empty entry names no language; keyword namespaces are written only
    // when asked for by name.
    if (Length != 0 && !(AllDisplayLanguages && IsKeywordNamespace(Entry))) {
      Status = WriteString(&StringId, Entry, Text);
      if (EFI_ERROR(Status)) break;
    }
    Entry += Last ? Length : Length + 1;
  }
  PoolFree(List);
  return EFI_ERROR(Status) ? 0 : StringId;
}

CHAR16 *GetStringInBestLanguage(EFI_HII_HANDLE HiiHandle, EFI_STRING_ID StringId) {
  if (HiiString == nullptr) return nullptr;
  CHAR8 *Languages = GetPackageLanguages(HiiHandle);
  if (Languages == nullptr) return nullptr;
  CHAR8 *Platform = nullptr;
  ReadPlatformLanguage(&Platform);  // without it, only the package's own order counts

  // First the platform language; when the string is not there, the package's
  // languages one after another from Fallback on.
  const CHAR8 *Fallback = ListEntryFrom(Languages);
  CHAR16 *Text = nullptr;
  while (Fallback != nullptr) {
    CHAR8 *Chosen = PickBestLanguage(Languages, "", Platform != nullptr ? Platform : "", Fallback, nullptr);
    if (Chosen == nullptr) break;
    const EFI_STATUS Status = ReadString(HiiHandle, StringId, Chosen, &Text);
    PoolFree(Chosen);
    if (Status != EFI_INVALID_LANGUAGE) break;
    if (Platform != nullptr) {
      PoolFree(Platform);
      Platform = nullptr;
    } else {
      Fallback = NextListEntry(Fallback);
    }
  }
  PoolFree(Platform);
  PoolFree(Languages);
  return Text;
}

void ResetLanguageState() { CurrentHiiHandle = nullptr; }
