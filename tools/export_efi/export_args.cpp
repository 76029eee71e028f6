#include "tools/export_efi/export_args.h"

#include "support/bytes.h"
#include "support/memory.h"
#include "support/strings.h"

namespace {

constexpr const CHAR16 *HELP_WORDS[] = {u"-h", u"-?", u"--help", u"/?"};
constexpr CHAR16 APPLICATION_SUFFIX[] = u".efi";

bool SameText(const CHAR16 *A, const CHAR16 *B) {
  const UINTN Length = Utf16Length(B);
  return Utf16Length(A) == Length && Utf16CompareN(A, B, Length) == 0;
}

bool IsHelpWord(const CHAR16 *Word) {
  for (const CHAR16 *Help : HELP_WORDS)
    if (SameText(Word, Help)) return true;
  return false;
}

int HexDigitValue(CHAR16 Character) {
  if (Character >= u'0' && Character <= u'9') return Character - u'0';
  if (Character >= u'a' && Character <= u'f') return Character - u'a' + 10;
  if (Character >= u'A' && Character <= u'F') return Character - u'A' + 10;
  return -1;
}

// One to four hex digits from *Text, up to Stop; advances past them.
bool ReadHexId(const CHAR16 **Text, CHAR16 Stop, UINT16 *Value) {
  UINT32 Read = 0;
  UINTN Digits = 0;
  for (; **Text != Stop; ++*Text, ++Digits) {
    const int Digit = HexDigitValue(**Text);
    if (Digit < 0 || Digits == 4) return false;
    Read = (Read << 4) | static_cast<UINT32>(Digit);
  }
  *Value = static_cast<UINT16>(Read);
  return Digits > 0;
}

// "VVVV:DDDD", nothing else in the word.
bool ParseIdPair(const CHAR16 *Word, PCI_ID_PAIR *Pair) {
  return ReadHexId(&Word, u':', &Pair->VendorId) && *Word++ == u':' &&
         ReadHexId(&Word, u'\0', &Pair->DeviceId);
}

bool IsSeparator(CHAR16 Character) { return Character == u'\\' || Character == u'/'; }

// The directory as names joined by "\": both separators accepted, leading,
// trailing and doubled ones dropped. A volume name ("fs0:") cannot be reached
// from here, and a name the file system would refuse is better refused now.
bool NormalizeDirectory(const CHAR16 *Word, CHAR16 *Directory, UINTN Capacity) {
  UINTN Written = 0;
  for (const CHAR16 *Each = Word; *Each != u'\0'; ++Each) {
    if (*Each == u':' || *Each < u' ') return false;
    if (IsSeparator(*Each)) {
      if (Written != 0 && Directory[Written - 1] != u'\\') Directory[Written++] = u'\\';
    } else {
      Directory[Written++] = *Each;
    }
    if (Written == Capacity) return false;
  }
  if (Written != 0 && Directory[Written - 1] == u'\\') --Written;
  Directory[Written] = u'\0';
  return true;
}

bool EndsWithApplicationSuffix(const CHAR16 *Word) {
  const UINTN Length = Utf16Length(Word);
  const UINTN SuffixLength = ArrayCount(APPLICATION_SUFFIX) - 1;
  if (Length < SuffixLength) return false;
  for (UINTN Index = 0; Index < SuffixLength; ++Index) {
    CHAR16 Character = Word[Length - SuffixLength + Index];
    if (Character >= u'A' && Character <= u'Z') Character = static_cast<CHAR16>(Character - u'A' + u'a');
    if (Character != APPLICATION_SUFFIX[Index]) return false;
  }
  return true;
}

bool IsCommandLineCharacter(CHAR16 Character) {
  return Character == u'\t' || (Character >= u' ' && Character <= u'~');
}

// Ends the word that starts at Storage[*At] (quotes removed in place) and moves
// *At past it. Quotes join what they enclose, spaces included, to the word.
const CHAR16 *CutWord(CHAR16 *Storage, UINTN *At) {
  CHAR16 *Word = Storage + *At;
  UINTN Read = *At;
  UINTN Written = *At;
  bool Quoted = false;
  for (; Storage[Read] != u'\0'; ++Read) {
    const CHAR16 Character = Storage[Read];
    if (Character == u'"') {
      Quoted = !Quoted;
      continue;
    }
    if (!Quoted && (Character == u' ' || Character == u'\t')) break;
    Storage[Written++] = Character;
  }
  const bool AtEnd = Storage[Read] == u'\0';
  Storage[Written] = u'\0';
  *At = AtEnd ? Read : Read + 1;
  return Word;
}

}  // namespace

bool ExportFilterMatches(const EXPORT_OPTIONS &Options, UINT16 VendorId, UINT16 DeviceId) {
  if (Options.FilterCount == 0) return true;
  for (UINTN Index = 0; Index < Options.FilterCount; ++Index)
    if (Options.Filters[Index].VendorId == VendorId && Options.Filters[Index].DeviceId == DeviceId)
      return true;
  return false;
}

EFI_STATUS ParseExportArguments(const CHAR16 *const *Words, UINTN WordCount, EXPORT_OPTIONS *Options,
                                UINTN *BadWord) {
  ZeroBytes(Options, sizeof *Options);
  *BadWord = 0;
  for (UINTN Index = 0; Index < WordCount; ++Index) {
    const CHAR16 *Word = Words[Index];
    *BadWord = Index;
    if (Word == nullptr) return EFI_INVALID_PARAMETER;
    if (IsHelpWord(Word)) {
      Options->Help = true;
      continue;
    }
    PCI_ID_PAIR Pair{};
    if (ParseIdPair(Word, &Pair)) {
      if (Options->FilterCount == EXPORT_MAX_ID_FILTERS) return EFI_INVALID_PARAMETER;
      Options->Filters[Options->FilterCount++] = Pair;
      continue;
    }
    if (Word[0] == u'-' || Word[0] == u'\0' || Options->DirectoryGiven ||
        !NormalizeDirectory(Word, Options->Directory, ArrayCount(Options->Directory)))
      return EFI_INVALID_PARAMETER;
    Options->DirectoryGiven = true;
  }
  *BadWord = 0;
  return EFI_SUCCESS;
}

EFI_STATUS SplitLoadOptions(const void *LoadOptions, UINTN Size, COMMAND_LINE_WORDS *Line) {
  Line->Count = 0;
  Line->Storage[0] = u'\0';
  const ByteView Options(LoadOptions, Size);
  UINTN Chars = 0;
  for (UINT16 Character = 0; Options.Read16(Chars * sizeof(CHAR16), &Character) && Character != 0; ++Chars) {
    if (!IsCommandLineCharacter(Character)) return EFI_UNSUPPORTED;
    if (Chars == EXPORT_MAX_COMMAND_LINE_CHARS) return EFI_BAD_BUFFER_SIZE;
    Line->Storage[Chars] = Character;
  }
  // A lone byte after the last whole character is no text either.
  if (Chars * sizeof(CHAR16) + 1 == Options.Size()) return EFI_UNSUPPORTED;
  Line->Storage[Chars] = u'\0';

  for (UINTN At = 0;;) {
    while (Line->Storage[At] == u' ' || Line->Storage[At] == u'\t') ++At;
    if (Line->Storage[At] == u'\0') break;
    if (Line->Count == EXPORT_MAX_WORDS) {
      Line->Count = 0;
      return EFI_BAD_BUFFER_SIZE;
    }
    Line->Words[Line->Count++] = CutWord(Line->Storage, &At);
  }
  if (Line->Count != 0 && EndsWithApplicationSuffix(Line->Words[0])) {
    for (UINTN Index = 1; Index < Line->Count; ++Index) Line->Words[Index - 1] = Line->Words[Index];
    --Line->Count;
  }
  return EFI_SUCCESS;
}
