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

// Writes Text under *StringId in one language: the first write creates the
// string and fixes its id, every later one reuses it.
EFI_STATUS WriteStringInLanguage(EFI_HII_STRING_PROTOCOL *Strings, EFI_HII_HANDLE HiiHandle,
                                 EFI_STRING_ID *StringId, const CHAR8 *Language, const CHAR16 *Text) {
  if (*StringId == 0)
    return NotePlatformFailure(Strings->NewString(Strings, HiiHandle, StringId, Language, nullptr, Text, nullptr));
  return NotePlatformFailure(Strings->SetString(Strings, HiiHandle, *StringId, Language, Text, nullptr));
}

// A copy of Languages holding only its display languages: keyword namespaces
// and empty entries left out, the rest joined by ";". Null when the pool is
// exhausted.
CHAR8 *CopyDisplayLanguages(const CHAR8 *Languages) {
  const UINTN Length = AsciiLengthBounded(Languages);
  if (Length > MAX_LANGUAGE_LIST_BYTES) return nullptr;
  auto *Copy = static_cast<CHAR8 *>(PoolAllocZero(Length + 1));
  if (Copy == nullptr) return nullptr;
  UINTN Written = 0;
  for (const CHAR8 *Entry = Languages; *Entry != 0;) {
    const UINTN EntryChars = EntryLength(Entry);
    if (EntryChars != 0 && !IsKeywordNamespace(Entry)) {
      if (Written != 0) Copy[Written++] = ';';
      CopyBytes(Copy + Written, Entry, EntryChars);
      Written += EntryChars;
    }
    Entry += Entry[EntryChars] == 0 ? EntryChars : EntryChars + 1;
  }
  return Copy;
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
  EFI_HII_STRING_PROTOCOL *Strings = GetHiiString();
  EFI_STATUS Status =
      NotePlatformFailure(Strings->GetString(Strings, Language, HiiHandle, StringId, &Scratch, &Size, nullptr));
  if (Status != EFI_BUFFER_TOO_SMALL) return EFI_ERROR(Status) ? Status : EFI_NOT_FOUND;
  if (Size > MAX_STRING_BYTES) return EFI_BAD_BUFFER_SIZE;
  const UINTN Reported = Size;
  auto *Block = static_cast<CHAR16 *>(PoolAllocZero((Reported + 1) / 2 * 2 + sizeof(CHAR16)));
  if (Block == nullptr) return EFI_OUT_OF_RESOURCES;
  Status = NotePlatformFailure(Strings->GetString(Strings, Language, HiiHandle, StringId, Block, &Size, nullptr));
  if (EFI_ERROR(Status)) {
    PoolFree(Block);
    return Status == EFI_INVALID_LANGUAGE ? EFI_NOT_FOUND : Status;
  }
  *Text = Block;
  return EFI_SUCCESS;
}

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

CHAR8 *GetPackageLanguages(EFI_HII_HANDLE HiiHandle) {
  EFI_HII_STRING_PROTOCOL *Strings = GetHiiString();
  if (Strings == nullptr) return nullptr;
  UINTN Size = 0;
  if (NotePlatformFailure(Strings->GetLanguages(Strings, HiiHandle, nullptr, &Size)) != EFI_BUFFER_TOO_SMALL ||
      Size == 0 || Size > MAX_LANGUAGE_LIST_BYTES)
    return nullptr;
  // One spare zero byte: the list ends in a NUL even when the reported bytes
  // hold none.
  auto *Languages = static_cast<CHAR8 *>(PoolAllocZero(Size + 1));
  if (Languages == nullptr) return nullptr;
  if (EFI_ERROR(NotePlatformFailure(Strings->GetLanguages(Strings, HiiHandle, Languages, &Size)))) {
    PoolFree(Languages);
    return nullptr;
  }
  return Languages;
}

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

EFI_STATUS WriteStringInLanguageList(EFI_HII_HANDLE HiiHandle, EFI_STRING_ID *StringId, CHAR8 *Languages,
                                     const CHAR16 *Text, bool SkipKeywordNamespaces) {
  if (StringId == nullptr || Languages == nullptr || Text == nullptr) return EFI_INVALID_PARAMETER;
  EFI_HII_STRING_PROTOCOL *Strings = GetHiiString();
  if (Strings == nullptr) return EFI_NOT_FOUND;
  // Stays an error when no entry is written at all.
  EFI_STATUS Status = EFI_INVALID_PARAMETER;
  for (CHAR8 *Entry = Languages; *Entry != 0;) {
    const UINTN Length = EntryLength(Entry);
    const CHAR8 Separator = Entry[Length];
    if (Length != 0 && !(SkipKeywordNamespaces && IsKeywordNamespace(Entry))) {
      Entry[Length] = 0;
      Status = WriteStringInLanguage(Strings, HiiHandle, StringId, Entry, Text);
      Entry[Length] = Separator;
      if (EFI_ERROR(Status)) break;
    }
    Entry += Separator == 0 ? Length : Length + 1;
  }
  return Status;
}

EFI_STRING_ID SetStringInLanguages(EFI_STRING_ID StringId, const CHAR16 *Text, const CHAR8 *Languages) {
  if (Text == nullptr || GetHiiString() == nullptr) return 0;
  const bool AllDisplayLanguages = Languages == nullptr;
  CHAR8 *List = AllDisplayLanguages ? GetPackageLanguages(CurrentHiiHandle) : CopyLanguageList(Languages);
  if (List == nullptr) return 0;
  // Keyword namespaces are written only when asked for by name.
  const EFI_STATUS Status =
      WriteStringInLanguageList(CurrentHiiHandle, &StringId, List, Text, AllDisplayLanguages);
  PoolFree(List);
  return EFI_ERROR(Status) ? 0 : StringId;
}

namespace {

// What one attempt to read a string in one language gave.
enum class ReadOutcome { Found, NotInLanguage, Failed };

ReadOutcome ReadInLanguage(EFI_HII_HANDLE HiiHandle, EFI_STRING_ID StringId, const CHAR8 *Language,
                           CHAR16 **Text) {
  const EFI_STATUS Status = ReadString(HiiHandle, StringId, Language, Text);
  if (!EFI_ERROR(Status)) return ReadOutcome::Found;
  return Status == EFI_INVALID_LANGUAGE ? ReadOutcome::NotInLanguage : ReadOutcome::Failed;
}

// The platform language's best match among the display languages (a prefix
// match: "en-GB" finds "en-US"). *Chosen is that language (the caller frees it)
// or null when the platform language matches none.
ReadOutcome ReadInPlatformLanguage(EFI_HII_HANDLE HiiHandle, EFI_STRING_ID StringId, const CHAR8 *Display,
                                   CHAR8 **Chosen, CHAR16 **Text) {
  *Chosen = nullptr;
  CHAR8 *Platform = nullptr;
  ReadPlatformLanguage(&Platform);  // without it, only the package's own order counts
  if (Platform == nullptr) return ReadOutcome::NotInLanguage;
  *Chosen = PickBestLanguage(Display, Platform, nullptr);
  PoolFree(Platform);
  if (*Chosen == nullptr) return ReadOutcome::NotInLanguage;
  return ReadInLanguage(HiiHandle, StringId, *Chosen, Text);
}

// Each display language in list order, itself and not a prefix match of it (in
// "en-US;en" a match for "en" would always land on "en-US"), except Tried.
ReadOutcome ReadInListOrder(EFI_HII_HANDLE HiiHandle, EFI_STRING_ID StringId, CHAR8 *Display,
                            const CHAR8 *Tried, CHAR16 **Text) {
  for (CHAR8 *Entry = Display; *Entry != 0;) {
    const UINTN Length = EntryLength(Entry);
    const bool Last = Entry[Length] == 0;
    Entry[Length] = 0;
    if (Tried == nullptr || AsciiCompareN(Entry, Tried, Length + 1) != 0) {
      const ReadOutcome Outcome = ReadInLanguage(HiiHandle, StringId, Entry, Text);
      if (Outcome != ReadOutcome::NotInLanguage) return Outcome;
    }
    Entry += Last ? Length : Length + 1;
  }
  return ReadOutcome::NotInLanguage;
}

}  // namespace

CHAR16 *GetStringInBestLanguage(EFI_HII_HANDLE HiiHandle, EFI_STRING_ID StringId) {
  if (GetHiiString() == nullptr) return nullptr;
  CHAR8 *Languages = GetPackageLanguages(HiiHandle);
  if (Languages == nullptr) return nullptr;
  CHAR8 *Display = CopyDisplayLanguages(Languages);
  PoolFree(Languages);
  if (Display == nullptr) return nullptr;

  CHAR16 *Text = nullptr;
  CHAR8 *Chosen = nullptr;
  if (ReadInPlatformLanguage(HiiHandle, StringId, Display, &Chosen, &Text) == ReadOutcome::NotInLanguage)
    ReadInListOrder(HiiHandle, StringId, Display, Chosen, &Text);
  PoolFree(Chosen);
  PoolFree(Display);
  return Text;
}

void ResetLanguageState() { CurrentHiiHandle = nullptr; }
