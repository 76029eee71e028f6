// Numbers of the driver's static form set: forms, labels, questions, variable
// stores and strings. The static packages (forms/static_packages.cpp) are built
// from these, and the code that fills the pages at run time uses the same ones.
#pragma once
#include "uefi/hii.h"

// ---- Forms --------------------------------------------------------------------
inline constexpr EFI_FORM_ID ADDONCARD_MAIN_FORM_ID = 0x9001;
inline constexpr UINTN ADDONCARD_CARD_PAGE_COUNT = 10;
inline constexpr EFI_FORM_ID ADDONCARD_FIRST_CARD_FORM_ID = 0x9011;

constexpr EFI_FORM_ID CardFormId(UINTN Slot) {
  return static_cast<EFI_FORM_ID>(ADDONCARD_FIRST_CARD_FORM_ID + Slot);
}

// ---- Labels -------------------------------------------------------------------
// A card page's content lies between its start and end label.
constexpr UINT16 CardPageLabelStart(UINTN Slot) { return static_cast<UINT16>(0x2000 + 0x1000 * Slot); }
constexpr UINT16 CardPageLabelEnd(UINTN Slot) { return static_cast<UINT16>(0x2FFF + 0x1000 * Slot); }

// The main page keeps one region per card slot for the goto to that card's page.
struct FORM_LABEL_PAIR {
  UINT16 Start;
  UINT16 End;
};
inline constexpr FORM_LABEL_PAIR MAIN_FORM_LABEL_PAIRS[ADDONCARD_CARD_PAGE_COUNT] = {
    {0x2000, 0x21FF}, {0x2200, 0x22FF}, {0x2300, 0x23FF}, {0x2400, 0x24FF}, {0x2500, 0x25FF},
    {0x2600, 0x26FF}, {0x2700, 0x27FF}, {0x2800, 0x28FF}, {0x2900, 0x29FF}, {0x2A00, 0x2AFF}};

// ---- Variable stores ----------------------------------------------------------
inline constexpr EFI_VARSTORE_ID ADDONCARD_OOB_VARSTORE_ID = 0x1000;
inline constexpr EFI_VARSTORE_ID ADDONCARD_STRING_VARSTORE_ID = 0x1001;
inline constexpr EFI_VARSTORE_ID ADDONCARD_PCI_VARSTORE_ID = 0x1002;

// Sizes the form set declares for the three stores; the records must match.
inline constexpr UINT16 ADDONCARD_OOB_VARSTORE_SIZE = 1024;
inline constexpr UINT16 ADDONCARD_STRING_VARSTORE_SIZE = 25600;
inline constexpr UINT16 ADDONCARD_PCI_VARSTORE_SIZE = 41;

// Where the main page's questions keep their values in the PCI ID list variable.
inline constexpr UINTN ADDONCARD_MAX_PCI_ID_PAIRS = 10;
constexpr UINT16 PciVendorIdOffset(UINTN Pair) { return static_cast<UINT16>(2 * Pair); }
constexpr UINT16 PciDeviceIdOffset(UINTN Pair) { return static_cast<UINT16>(0x14 + 2 * Pair); }
inline constexpr UINT16 PCI_PAIR_COUNT_OFFSET = 0x28;

// The one pair a fresh list holds; also the form's default for pair #1.
inline constexpr UINT16 ADDONCARD_DEFAULT_VENDOR_ID = 0x15B3;
inline constexpr UINT16 ADDONCARD_DEFAULT_DEVICE_ID = 0x1021;

// ---- Questions ----------------------------------------------------------------
// Pair numbers (Pair) count from 0 here: pair 0 is "#1" on the page.
inline constexpr EFI_QUESTION_ID PCI_PAIR_COUNT_QUESTION_ID = 0xC015;
constexpr EFI_QUESTION_ID PciVendorIdQuestionId(UINTN Pair) {
  return static_cast<EFI_QUESTION_ID>(0xC001 + 2 * Pair);
}
constexpr EFI_QUESTION_ID PciDeviceIdQuestionId(UINTN Pair) {
  return static_cast<EFI_QUESTION_ID>(0xC002 + 2 * Pair);
}
inline constexpr EFI_QUESTION_ID ADDONCARD_FIRST_STATIC_QUESTION_ID = 0xC001;
inline constexpr EFI_QUESTION_ID ADDONCARD_LAST_STATIC_QUESTION_ID = 0xC015;

// ---- Strings ------------------------------------------------------------------
inline constexpr EFI_STRING_ID STR_LANGUAGE_NAME = 1;
inline constexpr EFI_STRING_ID STR_FORMSET_TITLE = 2;
inline constexpr EFI_STRING_ID STR_FORMSET_HELP = 3;
inline constexpr EFI_STRING_ID STR_MAIN_FORM_TITLE = 4;
inline constexpr EFI_STRING_ID STR_PAIR_COUNT_PROMPT = 5;
inline constexpr EFI_STRING_ID STR_PAIR_COUNT_HELP = 6;
constexpr EFI_STRING_ID PciVendorIdPromptStringId(UINTN Pair) { return static_cast<EFI_STRING_ID>(7 + Pair); }
inline constexpr EFI_STRING_ID STR_VENDOR_ID_HELP = 17;
constexpr EFI_STRING_ID PciDeviceIdPromptStringId(UINTN Pair) {
  return static_cast<EFI_STRING_ID>(18 + Pair);
}
inline constexpr EFI_STRING_ID STR_DEVICE_ID_HELP = 28;
// Carries the keyword "CSPAC000" in the keyword namespace; no question uses it.
inline constexpr EFI_STRING_ID STR_KEYWORD_PLACEHOLDER = 29;
inline constexpr EFI_STRING_ID STR_PORT_PROTOCOL = 30;
// Titles of the card pages, empty until a card is found.
constexpr EFI_STRING_ID CardTitleStringId(UINTN Slot) { return static_cast<EFI_STRING_ID>(31 + Slot); }
// The empty string: name of the manufacturing default store, and the help of a
// mirrored question whose card question has none.
inline constexpr EFI_STRING_ID STR_EMPTY = 41;
inline constexpr EFI_STRING_ID ADDONCARD_LAST_STATIC_STRING_ID = 41;

// Languages of the two string packages.
inline constexpr CHAR8 ADDONCARD_DISPLAY_LANGUAGE[] = "en-US";
inline constexpr CHAR8 ADDONCARD_KEYWORD_LANGUAGE[] = "x-UEFI-QZV";
