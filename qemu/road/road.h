// The road of one setting, run by the road application inside OVMF: what the
// steps share, and the checks of the driver's pages and keywords that more
// than one step makes.
//
// Lines on the debug console: "GROUP <step>" opens a step, "PASS road/..." and
// "FAIL road/...: details" are checks, "SHOW <text>" tells a person following
// the road what happened, "NOTE <text>" records facts for the log.
#pragma once
#include "qemu/report.h"
#include "qemu/road/road_expect.h"
#include "qemu/road/road_pages.h"
#include "qemu/road/road_platform.h"

// The road card's two stores as the card holds them.
struct CARD_STORES {
  EFI_STATUS Status;  // EFI_SUCCESS when both were read whole
  UINT8 Buffer[sim::road_card::BufferStoreSize];
  UINT8 Efi[sim::road_card::EfiStoreSize];
};

inline constexpr UINTN KEYWORD_CHARS = 12;
inline constexpr UINTN SHOWN_TEXT_CHARS = 64;

// One statement of a built page next to the card statement it stands for.
struct MIRROR {
  const MIRROR_ROW *Row;
  FORM_ITEM Card;
  FORM_ITEM Page;
  bool Present;                         // the page has a statement at this place
  CHAR16 Keyword[KEYWORD_CHARS];        // "CSPAC%03X" for one-of and numeric rows, else empty
  CHAR16 Prompt[SHOWN_TEXT_CHARS];      // the page's prompt (en-US), cut to fit
  CHAR16 CardPrompt[SHOWN_TEXT_CHARS];  // the card's own prompt (en-US), cut to fit
};

struct BUILT_PAGE {
  UINTN Slot;
  UINTN FirstKeyword;  // keyword number (and OOB slot) of its first one-of or numeric
  UINTN FirstString;   // STRING slot of its first string
  MIRROR Rows[ROAD_PAGE_ROWS];
  UINT8 *OpCodes;  // a pool copy of the page's opcodes between its labels
  UINTN OpCodesSize;
};
void FreeBuiltPage(BUILT_PAGE *Page);

struct ROAD {
  CheckLog *Log;
  ROAD_SERVICES Services;
  UINT32 Boot;
  EFI_HII_HANDLE DriverHii;
  RoadText DriverPath;  // PATH= of the driver's keywords
  EFI_HII_HANDLE CardHii;
  RoadText CardPath;  // PATH= of the road card's stores
  EXPORTED_LIST CardList;
  CHAR16 CardTitle[SHOWN_TEXT_CHARS];
  CHAR16 Location[8];  // the card's location text, "%02X%02X%02X" of bus, device, function
};

// ---- output -------------------------------------------------------------------------------
void BeginStep(const CHAR8 *Title);
// A line for a person following the road; Emit it.
ReportLine ShowLine();
// The status by its UEFI name ("EFI_SUCCESS"), or in hexadecimal.
void AppendStatus(ReportLine &Line, EFI_STATUS Status);
// Appends Text and spaces up to Width characters.
void AppendPadded(ReportLine &Line, const CHAR16 *Text, UINTN Width);
void AppendPaddedAscii(ReportLine &Line, const CHAR8 *Text, UINTN Width);

// ---- the card ---------------------------------------------------------------------------------
// Reads both stores of the road card: the buffer store through the router (and
// so through the card's own configuration access), the EFI store as its variable.
CARD_STORES ReadCardStores(const ROAD &Road);
// The byte of a card question in Stores (its store by VarStoreId, at its offset);
// false for a question of neither store.
bool CardByte(const CARD_STORES &Stores, const FORM_ITEM &Question, UINT8 *Value);

// ---- pages ----------------------------------------------------------------------------------
// Exports the driver's list; false (and a failed check) when that fails.
bool ExportDriverList(ROAD &Road, EXPORTED_LIST *List);
// Checks the page of Slot against the road card: statements, prompts, help,
// numbering, stores, keywords, bounds and options; and the goto on the main
// page. Fills Page for the keyword checks. True when the page was there.
bool CheckCardPage(ROAD &Road, const EXPORTED_LIST &Driver, UINTN Slot, UINTN FirstKeyword, UINTN FirstString,
                   BUILT_PAGE *Page);
// True when the page of Slot in Driver holds exactly the opcodes of Page.
bool PageUnchanged(const EXPORTED_LIST &Driver, const BUILT_PAGE &Page);
// Checks that Slot holds no page and no goto.
void CheckEmptySlot(ROAD &Road, const EXPORTED_LIST &Driver, UINTN Slot);
// Shows the page as a person reads it.
void ShowPage(const ROAD &Road, const BUILT_PAGE &Page);
// The row of Page standing for CardQuestion, or null.
const MIRROR *MirrorOf(const BUILT_PAGE &Page, EFI_QUESTION_ID CardQuestion);

// ---- keywords ------------------------------------------------------------------------------
// GetData of every static keyword against the PCI list variable; shows the
// keywords that do not read 0.
void CheckStaticKeywords(ROAD &Road);
// GetData of every keyword of Page against the card's stores; the read-only
// row must answer READONLY. Shows each with its value when Show is set.
void CheckPageKeywords(ROAD &Road, const BUILT_PAGE &Page, const CARD_STORES &Card, bool Show);
// The STRING store slot of the page's string holds the card's string.
void CheckPageString(ROAD &Road, const BUILT_PAGE &Page, const CARD_STORES &Card);
