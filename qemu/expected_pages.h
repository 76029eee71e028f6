// What the card page of each card shape (sim/card_shape_ids.h) must hold, for
// the independent checker (qemu/page_check.h): written out statement by
// statement from the shapes' published contents, values and conditions, not
// derived from the driver. Host tests and the firmware checks share them.
//
//   EXPECTED_PAGE_SPACE *Space = ...;            // pool or heap: it is large
//   EXPECTED_PAGE Page = ExpectedPage(sim::CardShapeId::Edge, {0, u"001000", 0, 0}, Space);
//   CheckCardPage(List, Size, Strings, DriverList, Page, &Result);
#pragma once
#include "qemu/page_check.h"
#include "sim/card_shape_ids.h"

inline constexpr UINTN EXPECTED_STATEMENTS_MAX = 1100;
inline constexpr UINTN EXPECTED_OPTIONS_MAX = 1100;
inline constexpr UINTN EXPECTED_PROMPT_CHARS = 50;  // 49 characters and the NUL, as the page cuts them
inline constexpr UINTN EXPECTED_TITLE_CHARS = 128;

// Room for the expectations of one page (about 200 KiB).
struct EXPECTED_PAGE_SPACE {
  EXPECTED_STATEMENT Statements[EXPECTED_STATEMENTS_MAX];
  EXPECTED_OPTION Options[EXPECTED_OPTIONS_MAX];
  CHAR16 Prompts[EXPECTED_STATEMENTS_MAX][EXPECTED_PROMPT_CHARS];
  CHAR16 Title[EXPECTED_TITLE_CHARS];
  UINTN StatementCount;
  UINTN OptionCount;
  bool Overflow;  // the page needed more room than there is; its expectation is cut short
};

// Where a card's page lies: its slot, the location text its prompts end in,
// and the numbers its first one-of or numeric (0x100 + n) and its first string
// (0x800 + s) get: pages built earlier in the boot took the numbers before.
struct PAGE_ORIGIN {
  UINTN Slot;
  const CHAR16 *Location;
  UINT16 FirstQuestion;
  UINT16 FirstString;
};

// The page of a shape published as the shapes publish it (initial contents).
// The MAC-titled shape is never given a page: its expectation is the empty slot.
EXPECTED_PAGE ExpectedPage(sim::CardShapeId Shape, const PAGE_ORIGIN &Origin, EXPECTED_PAGE_SPACE *Space);

// The page of the big card with Questions one-of and numeric questions and
// Strings string questions: as many of each as the limits (1024 and 50 in a
// boot) leave after the origin's numbers.
EXPECTED_PAGE ExpectedBigCardPage(UINT16 Questions, UINT16 Strings, const PAGE_ORIGIN &Origin,
                                  EXPECTED_PAGE_SPACE *Space);

// How many one-of and numeric questions, and how many strings, a page holds:
// the numbers the next page's origin starts after.
UINT16 ExpectedRangedQuestions(const EXPECTED_PAGE &Page);
UINT16 ExpectedStrings(const EXPECTED_PAGE &Page);
