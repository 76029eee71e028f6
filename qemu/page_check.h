// An independent check of the card pages the driver builds: the driver's
// package list as the HII database exports it is walked back with a reader of
// its own (it shares no code with the driver's reader of package lists and
// IFR), and every card page and main-page goto is held against a description of
// what it must hold, written from the form set's published numbers: forms
// 0x9011 + slot, page labels 0x2000 + 0x1000 x slot and 0x2FFF + 0x1000 x slot,
// the main page's regions, question ids 0x100 + n and 0x800 + s, stores 0x1000
// and 0x1001, keywords "CSPAC%03X". Strings are read back through the string
// protocol the caller gives, in "en-US" (prompts, helps, options, titles) and
// in "x-UEFI-QZV" (keywords).
//
// Freestanding: the host tests and the firmware test application (in OVMF and
// in the simulator) use the same code.
#pragma once
#include "uefi/protocols.h"

struct EXPECTED_OPTION {
  const CHAR16 *Text;
  UINT8 Value;
  UINT8 Flags;  // EFI_IFR_OPTION_DEFAULT, EFI_IFR_OPTION_DEFAULT_MFG
};

enum class ExpectedKind : UINT8 { OneOf, Numeric, String, Text };

// One statement of a card page, in page order.
struct EXPECTED_STATEMENT {
  ExpectedKind Kind;
  const CHAR16 *Prompt;        // en-US text as the page shows it (location suffix, cut to 49 characters)
  const CHAR16 *Help;          // en-US text; null: not checked
  EFI_QUESTION_ID QuestionId;  // 0x100 + n (one-of, numeric), 0x800 + s (string); texts have none
  UINT8 QuestionFlags;
  // Numeric.
  UINT8 NumericFlags;
  UINT64 Minimum;
  UINT64 Maximum;
  UINT64 Step;
  // One-of.
  const EXPECTED_OPTION *Options;
  UINTN OptionCount;
  // String.
  UINT8 MinSize;
  UINT8 MaxSize;
  UINT8 StringFlags;
  // Text: null when the page's TextTwo must be 0.
  const CHAR16 *TextTwo;
};

// A card page slot. With a null Title the slot must be as the form set was
// registered: an empty page and no goto on the main page.
struct EXPECTED_PAGE {
  UINTN Slot;
  const CHAR16 *Title;
  const EXPECTED_STATEMENT *Statements;
  UINTN StatementCount;
};

struct PAGE_CHECK_RESULT {
  bool Ok;
  CHAR8 Message[512];  // the first difference found, NUL-terminated
};

// The exported list is whole: its header states its size, its packages fill it
// exactly and end with the end package, and every forms package holds whole
// opcodes whose scopes balance.
bool CheckPackageList(const void *List, UINTN ListSize, PAGE_CHECK_RESULT *Result);

// CheckPackageList, then the card page of Page.Slot and its main-page region:
// statement by statement, each question's id, store, offset, flags, bounds or
// sizes and options, the texts of its strings in en-US and its keyword (or, for
// strings and texts, no keyword) in x-UEFI-QZV; the page's title; the goto.
// Handle is the package list the strings are read from (the driver's own).
bool CheckCardPage(const void *List, UINTN ListSize, EFI_HII_STRING_PROTOCOL *Strings, EFI_HII_HANDLE Handle,
                   const EXPECTED_PAGE &Page, PAGE_CHECK_RESULT *Result);
