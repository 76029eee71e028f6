// Reading forms out of exported package lists, as the road checks them: the
// statements between two labels of one form (a card page, a region of the
// main page), and a card's own questions by id. Bounded by the project's IFR
// reader; nothing here trusts a length inside the bytes.
#pragma once
#include "support/bytes.h"
#include "support/ifr_encode.h"

inline constexpr UINTN ITEM_MAX_OPTIONS = 8;
inline constexpr UINTN SECTION_MAX_ITEMS = 24;

struct ITEM_OPTION {
  EFI_STRING_ID Text;
  UINT8 Flags;
  UINT8 Type;
  UINT64 Value;
};

// One statement or question with what the road compares of it. Prompt and Help
// are read for every statement; the rest only for the opcodes that have it.
struct FORM_ITEM {
  UINT8 OpCode;
  IFR_QUESTION_FIELDS Question;  // a text fills Prompt and Help only
  IFR_NUMERIC_RANGE Range;       // numeric and one-of
  EFI_STRING_ID TextTwo;         // text
  UINT8 MinSize;                 // string
  UINT8 MaxSize;
  UINT8 StringFlags;
  EFI_FORM_ID RefFormId;  // goto
  ITEM_OPTION Options[ITEM_MAX_OPTIONS];
  UINTN OptionCount;
  bool TooManyOptions;
};

struct FORM_SECTION {
  bool Found;     // both labels met, in order, on the form
  bool Overflow;  // more than SECTION_MAX_ITEMS statements
  FORM_ITEM Items[SECTION_MAX_ITEMS];
  UINTN Count;
  ByteView OpCodes;  // the opcodes between the two labels, inside the list read
};

// The statements strictly between label LabelStart and label LabelEnd of form
// FormId, each with its scope (options and END). False when the list is
// malformed; Section->Found tells whether the labels were there.
bool ReadFormSection(ByteView List, EFI_FORM_ID FormId, UINT16 LabelStart, UINT16 LabelEnd,
                     FORM_SECTION *Section);

// The first question with QuestionId in any form of the list.
bool FindQuestion(ByteView List, EFI_QUESTION_ID QuestionId, FORM_ITEM *Item);
// The first text statement of the list.
bool FindFirstText(ByteView List, FORM_ITEM *Item);
// The title string of the form set that opens the list's first forms package.
bool ReadFormSetTitle(ByteView List, EFI_STRING_ID *Title);
