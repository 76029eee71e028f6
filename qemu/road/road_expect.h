// What the road expects of the driver, stated on its own: the trigger GUIDs the
// platform installs, the geometry of the page slots, and which of the road
// card's statements a page mirrors, in which order. Texts, bounds and options
// are not repeated here: the road reads them from the card's own form set.
#pragma once
#include "qemu/test_machine.h"
#include "sim/card_shape_ids.h"

// ---- triggers ---------------------------------------------------------------------------
inline constexpr EFI_GUID CARD_FORMS_NOTIFY_GUID = {
    0xDBC9FD21, 0xFAD8, 0x45B0, {0x9E, 0x78, 0x27, 0x15, 0x88, 0x67, 0xCC, 0x93}};
inline constexpr EFI_GUID FORMS_REMOVE_NOTIFY_GUID = {
    0xD4A5B2FD, 0xAD44, 0x404A, {0x98, 0xA8, 0x29, 0x78, 0x57, 0xE7, 0x2A, 0x53}};
inline constexpr EFI_GUID OOB_APPLY_NOTIFY_GUID = {
    0x409FDF56, 0x5706, 0x4D8F, {0xAC, 0xFF, 0x22, 0xA3, 0x81, 0x75, 0x10, 0x32}};

// ---- the driver's form set ------------------------------------------------------------------
inline constexpr EFI_FORM_ID MAIN_FORM_ID = 0x9001;
inline constexpr EFI_FORM_ID FIRST_CARD_FORM_ID = 0x9011;
inline constexpr EFI_STRING_ID FIRST_CARD_TITLE_STRING = 31;
inline constexpr EFI_STRING_ID EMPTY_HELP_STRING = 41;
inline constexpr EFI_VARSTORE_ID OOB_VARSTORE_ID = 0x1000;
inline constexpr EFI_VARSTORE_ID STRING_VARSTORE_ID = 0x1001;
inline constexpr EFI_QUESTION_ID FIRST_MIRRORED_QUESTION = 0x100;
inline constexpr EFI_QUESTION_ID FIRST_MIRRORED_STRING = 0x800;
inline constexpr UINT16 STRING_SLOT_BYTES = 512;
inline constexpr UINTN STRING_SLOTS = 50;
inline constexpr UINTN OOB_SLOTS = 1024;
inline constexpr UINT8 MIRROR_QUESTION_FLAGS = 0x14;  // callback, reset required
inline constexpr UINT8 READ_ONLY_FLAG = 0x01;
inline constexpr UINT8 GOTO_FLAGS = 0x04;  // callback

struct PAGE_SLOT {
  EFI_FORM_ID FormId;
  UINT16 PageLabelStart, PageLabelEnd;  // on the card's page
  UINT16 MainLabelStart, MainLabelEnd;  // the region of the main page holding its goto
  EFI_STRING_ID Title;
};
constexpr PAGE_SLOT PageSlot(UINTN Slot) {
  const auto K = static_cast<UINT16>(Slot);
  return {static_cast<EFI_FORM_ID>(FIRST_CARD_FORM_ID + K),
          static_cast<UINT16>(0x2000 + 0x1000 * K),
          static_cast<UINT16>(0x2FFF + 0x1000 * K),
          static_cast<UINT16>(K == 0 ? 0x2000 : 0x2100 + 0x100 * K),
          static_cast<UINT16>(0x21FF + 0x100 * K),
          static_cast<EFI_STRING_ID>(FIRST_CARD_TITLE_STRING + K)};
}
static_assert(PageSlot(0).MainLabelStart == 0x2000 && PageSlot(0).MainLabelEnd == 0x21FF);
static_assert(PageSlot(1).MainLabelStart == 0x2200 && PageSlot(9).MainLabelEnd == 0x2AFF);
static_assert(PageSlot(9).FormId == 0x901A && PageSlot(9).PageLabelEnd == 0xBFFF);

// ---- the road card's page -----------------------------------------------------------------------
enum class MirrorKind : UINT8 { Text, OneOf, Numeric, String };

struct MIRROR_ROW {
  MirrorKind Kind;
  EFI_QUESTION_ID CardQuestion;  // 0 for the text, found as the card's first text
  bool ReadOnly;                 // under a gray-out-if that holds
};

// The card's visible one-of, numeric, string and text statements in the order of
// its form. Its checkbox (Enable) is not mirrored, nor the one-of under the
// suppress-if that holds (Hidden); the gray-out-if makes Locked read-only.
inline constexpr MIRROR_ROW ROAD_PAGE[] = {
    {MirrorKind::Text, 0, false},
    {MirrorKind::OneOf, sim::road_card::ModeId, false},
    {MirrorKind::Numeric, sim::road_card::LevelId, false},
    {MirrorKind::String, sim::road_card::LabelId, false},
    {MirrorKind::OneOf, sim::road_card::EfiPolicyId, false},
    {MirrorKind::Numeric, sim::road_card::EfiRetriesId, false},
    {MirrorKind::Numeric, sim::road_card::ThresholdId, false},
    {MirrorKind::Numeric, sim::road_card::LockedId, true},
};
inline constexpr UINTN ROAD_PAGE_ROWS = sizeof(ROAD_PAGE) / sizeof(ROAD_PAGE[0]);
// One-of and numeric rows: each takes a keyword and an OOB slot.
inline constexpr UINTN ROAD_PAGE_KEYWORDS = 6;
inline constexpr UINTN ROAD_PAGE_STRINGS = 1;

// The setting the road changes, the one it changes after the apply has run,
// and the read-only one it tries.
inline constexpr EFI_QUESTION_ID CHANGED_QUESTION = sim::road_card::LevelId;
inline constexpr UINT8 CHANGED_VALUE = 75;
inline constexpr EFI_QUESTION_ID LATE_QUESTION = sim::road_card::ThresholdId;
inline constexpr UINT8 LATE_VALUE = 200;
inline constexpr EFI_QUESTION_ID READ_ONLY_QUESTION = sim::road_card::LockedId;
inline constexpr UINT8 READ_ONLY_TRY = 9;

// Where the card driver puts each card (see qemu/testcard).
inline constexpr UINTN ROAD_CARD_FUNCTION = FIRST_EDU_FUNCTION;
inline constexpr UINTN MAC_CARD_FUNCTION = SECOND_EDU_FUNCTION;
inline constexpr UINTN SECOND_MODEL_FUNCTION = PCI_TESTDEV_FUNCTION;
