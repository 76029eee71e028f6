// Strings by language: writing one string id in a list of languages, reading a
// string in the best language for the platform, and the language choice behind
// it. Language lists are ASCII tags separated by ";" (en-US;x-UEFI-QZV); tags
// beginning "x-UEFI" name keyword namespaces, never display languages. Every
// list, language or string handed out is a new pool block owned by the caller.
#pragma once
#include "support/string_package.h"
#include "uefi/protocols.h"

// The package list that string writes here and the form update act on. The
// card page builder makes it the driver's own list before each page build.
extern EFI_HII_HANDLE CurrentHiiHandle;
void SetCurrentHiiHandle(EFI_HII_HANDLE Handle);

// Writes Text under StringId (0: create a new string) in each language of
// Languages, or, when Languages is null, in every language of the current
// package list except the keyword namespaces. Returns the id written, 0 when
// nothing could be written or a write failed (languages before it keep Text).
EFI_STRING_ID SetStringInLanguages(EFI_STRING_ID StringId, const CHAR16 *Text, const CHAR8 *Languages);

// The one walk that writes a string in a list of languages, under both
// SetStringInLanguages and the registration's SetStringAllLanguages. Writes Text
// in each entry of Languages (";"-separated; empty entries name no language),
// in the package list HiiHandle: while *StringId is 0 NewString creates the
// string and fixes its id, after that SetString writes that id. Keyword
// namespaces are passed over when SkipKeywordNamespaces is set. Each entry is
// ended in place for its call and its ";" put back, so Languages is whole again
// on return. Stops at the first failing write; languages before it keep Text.
//   EFI_SUCCESS            at least one language written, none failed
//   EFI_INVALID_PARAMETER  no language written (empty list, all passed over)
//   EFI_NOT_FOUND          no HII string protocol
//   any status of NewString or SetString
EFI_STATUS WriteStringInLanguageList(EFI_HII_HANDLE HiiHandle, EFI_STRING_ID *StringId, CHAR8 *Languages,
                                     const CHAR16 *Text, bool SkipKeywordNamespaces);

// The text of StringId in the platform language when the package list has it
// there, else in the list's first display language that holds it; null when
// none does. Keyword namespaces ("x-UEFI...") are never read: their strings are
// keywords, not text to show.
CHAR16 *GetStringInBestLanguage(EFI_HII_HANDLE HiiHandle, EFI_STRING_ID StringId);

// The package list's language list, NUL-terminated; null on any failure.
CHAR8 *GetPackageLanguages(EFI_HII_HANDLE HiiHandle);

// The value of the global variable PlatformLang in *Value (always NUL-terminated,
// cut at the variable's size when it was stored without a NUL). On failure
// *Value is null and the status says why.
EFI_STATUS ReadPlatformLanguage(CHAR8 **Value);

// The entry of SupportedLanguages that best matches the candidates (CHAR8
// pointers, in order of preference, ended by a null pointer). Only the first
// entry of each candidate counts; an unmatched candidate is shortened at its
// last "-" and tried again (zh-Hant-TW, zh-Hant, zh). The match is a prefix
// match ("en" matches "en-US"). Null when nothing matches.
CHAR8 *PickBestLanguage(const CHAR8 *SupportedLanguages, ...);

// ---- many strings of one package list --------------------------------------------

// A growing pool block for one text at a time.
struct TEXT_SCRATCH {
  CHAR16 *Text;  // null until first used
  UINTN Chars;   // code units the block holds
};
void FreeTextScratch(TEXT_SCRATCH *Scratch);

inline constexpr UINTN LIST_STRINGS_PACKAGES = 8;

// The strings of one package list, read from its exported bytes in the order
// GetStringInBestLanguage would read them through the string protocol: the
// platform language's best match among the display languages, then the others
// in list order; a language whose package lacks the text passes to the next.
// The languages and the platform language are asked once, when the reader is
// opened. A list whose string packages this reader cannot read (more than
// LIST_STRINGS_PACKAGES of them, blocks other than plain UCS-2 strings and
// skips, languages that differ from what the string protocol reports for the
// list, or the same language twice) is read through GetStringInBestLanguage,
// string by string.
struct LIST_STRINGS {
  EFI_HII_HANDLE Handle;
  bool Indexed;
  UINTN TryCount;
  STRING_PACKAGE_INFO Tries[LIST_STRINGS_PACKAGES];  // the packages, in the order they are tried
  UINT32 *Offsets[LIST_STRINGS_PACKAGES];             // pool: where each id's text lies in Tries[n]
};

// Prepares *Strings for the list HiiHandle whose export is List (read only
// within its bytes; it must stay in place while the reader is used). Never
// fails: without the pool for the index, the reader asks the string protocol.
void OpenListStrings(EFI_HII_HANDLE HiiHandle, ByteView List, LIST_STRINGS *Strings);
void CloseListStrings(LIST_STRINGS *Strings);

// The text of StringId as GetStringInBestLanguage gives it, in Scratch (valid
// until Scratch is used again); null when it gives none, for id 0, or when
// Scratch cannot hold it.
const CHAR16 *ReadListString(const LIST_STRINGS &Strings, EFI_STRING_ID StringId, TEXT_SCRATCH *Scratch);

// Forgets the current HII handle (host tests: a fresh image load).
void ResetLanguageState();
