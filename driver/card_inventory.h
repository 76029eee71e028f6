// What the driver knows about add-on cards: the ten card page slots, a card's
// PCI location, the current values of a card's questions, and the table that
// ties every mirrored one-of and numeric to the card question it stands for.
// The page builder (driver/card_pages.h) fills these; the apply path reads the
// mirrored question table to write changed values back into the cards.
#pragma once
#include "forms/form_ids.h"
#include "support/ifr_reader.h"
#include "uefi/protocols.h"

// ---- page slots -------------------------------------------------------------------

// One card page: its form, the labels its content lies between, its title string.
struct CARD_PAGE_SLOT {
  UINT16 FormId;
  UINT16 LabelStart;
  UINT16 LabelEnd;
  UINT16 TitleStringId;
};

// The region of the main form that holds the goto to one card page.
struct MAIN_FORM_LABELS {
  UINT16 LabelStart;
  UINT16 LabelEnd;
};

inline constexpr UINTN CARD_PAGE_SLOTS = ADDONCARD_CARD_PAGE_COUNT;

inline constexpr CARD_PAGE_SLOT CardPageTable[CARD_PAGE_SLOTS] = {
    {0x9011, 0x2000, 0x2FFF, 31}, {0x9012, 0x3000, 0x3FFF, 32}, {0x9013, 0x4000, 0x4FFF, 33},
    {0x9014, 0x5000, 0x5FFF, 34}, {0x9015, 0x6000, 0x6FFF, 35}, {0x9016, 0x7000, 0x7FFF, 36},
    {0x9017, 0x8000, 0x8FFF, 37}, {0x9018, 0x9000, 0x9FFF, 38}, {0x9019, 0xA000, 0xAFFF, 39},
    {0x901A, 0xB000, 0xBFFF, 40}};

inline constexpr MAIN_FORM_LABELS MainFormLabelTable[CARD_PAGE_SLOTS] = {
    {0x2000, 0x21FF}, {0x2200, 0x22FF}, {0x2300, 0x23FF}, {0x2400, 0x24FF}, {0x2500, 0x25FF},
    {0x2600, 0x26FF}, {0x2700, 0x27FF}, {0x2800, 0x28FF}, {0x2900, 0x29FF}, {0x2A00, 0x2AFF}};

constexpr bool CardPageTableMatchesForms() {
  for (UINTN Slot = 0; Slot < CARD_PAGE_SLOTS; ++Slot) {
    const CARD_PAGE_SLOT &Row = CardPageTable[Slot];
    if (Row.FormId != CardFormId(Slot) || Row.LabelStart != CardPageLabelStart(Slot) ||
        Row.LabelEnd != CardPageLabelEnd(Slot) || Row.TitleStringId != CardTitleStringId(Slot))
      return false;
  }
  return true;
}
constexpr bool MainFormLabelTableMatchesForms() {
  for (UINTN Slot = 0; Slot < CARD_PAGE_SLOTS; ++Slot)
    if (MainFormLabelTable[Slot].LabelStart != MAIN_FORM_LABEL_PAIRS[Slot].Start ||
        MainFormLabelTable[Slot].LabelEnd != MAIN_FORM_LABEL_PAIRS[Slot].End)
      return false;
  return true;
}
static_assert(CardPageTableMatchesForms(), "card pages as the static form set declares them");
static_assert(MainFormLabelTableMatchesForms(), "main-form regions as the static form set declares them");

// The slot the next page build uses; it only grows, to CARD_PAGE_SLOTS.
extern UINT16 NextCardPage;

// ---- location ---------------------------------------------------------------------

// The PCI I/O of the function that the driver which registered the package list
// CardHiiHandle is published under: the nearest handle with PCI I/O along the
// device path of that driver's handle, as LocateDevicePath finds it.
//   EFI_SUCCESS
//   EFI_INVALID_PARAMETER  PciIo null
//   EFI_NOT_FOUND          no HII database, or a handle without a well-formed
//                          device path or without a PCI I/O interface
//   the status of GetPackageListHandle, HandleProtocol or LocateDevicePath
EFI_STATUS FindCardPciIo(EFI_HII_HANDLE CardHiiHandle, EFI_PCI_IO_PROTOCOL **PciIo);

// Bytes of the location text buffer: six hex digits (bus, device, function) and
// the NUL fit with room to spare.
inline constexpr UINTN CARD_LOCATION_TEXT_BYTES = 40;

// Writes the PCI location of the controller that owns the package list
// CardHiiHandle into Text (CARD_LOCATION_TEXT_BYTES bytes, zeroed first) as
// "%02x%02x%02x" of bus, device and function (uppercase digits, 3B0000), and
// stores them in the non-null outputs.
//   EFI_SUCCESS
//   EFI_INVALID_PARAMETER  Text or CardHiiHandle null
//   EFI_NOT_FOUND          no HII database, or a handle without device path or PCI I/O
//   EFI_DEVICE_ERROR       GetLocation failed or gave a bus, device or function
//                          out of range (above 0xFF, 0x1F, 7)
//   the status of GetPackageListHandle, HandleProtocol or LocateDevicePath
EFI_STATUS GetCardLocationText(EFI_HII_HANDLE CardHiiHandle, CHAR16 *Text, UINTN *Bus, UINTN *Device,
                               UINTN *Function);

// ---- question values ----------------------------------------------------------------

inline constexpr UINT32 QUESTION_SNAPSHOT_SIGNATURE = 0x414F4344;  // "DCOA"
inline constexpr UINTN QUESTION_SNAPSHOT_ENTRIES = 1024;

// Conditions compare numbers only, so the snapshot keeps the values of one-of,
// checkbox and numeric questions; string questions are read by the mirror
// itself when it copies them.
struct QUESTION_SNAPSHOT_ENTRY {
  UINT16 CardQuestionId;
  UINT64 Value;
};

// The current values of one card's questions, in order of appearance. About
// 16 KiB: it lives in a pool block for one page build, never as a global.
struct QUESTION_SNAPSHOT {
  UINT32 Signature;
  UINT16 Count;
  QUESTION_SNAPSHOT_ENTRY Entries[QUESTION_SNAPSHOT_ENTRIES];
};

// Fills Snapshot from the card's exported package list (List, ListSize bytes:
// EFI_HII_PACKAGE_LIST_HEADER and packages), registering the card's stores of
// both kinds on the way so that every value can be read on the card's first
// build. The read cache is discarded first. Questions without storage, and
// questions whose value cannot be read, are left out; a malformed forms package
// ends the walk of that package.
//   EFI_SUCCESS
//   EFI_INVALID_PARAMETER  Snapshot null
//   EFI_BUFFER_TOO_SMALL   more than QUESTION_SNAPSHOT_ENTRIES values, or a
//                          variable too large to read (the rest are kept)
//   EFI_OUT_OF_RESOURCES   a value could not be read for want of pool (the
//                          snapshot is incomplete; a page must not be built on it)
EFI_STATUS SnapshotCardQuestions(EFI_HII_HANDLE CardHiiHandle, const void *List, UINTN ListSize,
                                 QUESTION_SNAPSHOT *Snapshot);

// The value of a question in the snapshot; 0 for one it does not hold (and
// for any question when Snapshot is null).
UINT64 SnapshotValue(const QUESTION_SNAPSHOT *Snapshot, EFI_QUESTION_ID CardQuestionId);

// Bytes a one-of or numeric stores (1, 2, 4 or 8 by its size bits); 1 for a
// checkbox; 0 for other opcodes.
UINT8 QuestionValueWidth(const IfrOpCode &Question);

// The current value of a one-of, checkbox or numeric of the card's package
// list, read from the card's store registered for (CardHiiHandle, VarStoreId):
// an EFI variable store with GetVariable (bounded by the size the variable
// really has), a buffer store with ReadVarStoreBlock.
//   EFI_SUCCESS
//   EFI_NOT_FOUND          another opcode, one too short for its fields,
//                          VarStoreId 0, a store not registered for this card,
//                          or a value that lies outside its store
//   EFI_BUFFER_TOO_SMALL   a variable larger than VARSTORE_BLOCK_BYTES
//   EFI_OUT_OF_RESOURCES, or the status of GetVariable or ReadVarStoreBlock
EFI_STATUS ReadQuestionValue(EFI_HII_HANDLE CardHiiHandle, const IfrOpCode &Question, UINT64 *Value);

// Characters a string value may have, NUL excluded: a STRING slot's room.
inline constexpr UINTN QUESTION_STRING_CHARS = 255;

// The current value of a string question into Destination (QUESTION_STRING_CHARS
// + 1 code units, zeroed first): MaxSize characters (255 when the card gives
// 0), no more than the store holds from the question's offset, ended at the
// first NUL. Other opcodes and VarStoreId 0 read nothing and give EFI_SUCCESS.
// The statuses of ReadQuestionValue.
EFI_STATUS ReadQuestionString(EFI_HII_HANDLE CardHiiHandle, const IfrOpCode &Question, CHAR16 *Destination);

// The minimum, maximum and step of a numeric or one-of at the width its size
// bits give, each widened to 64 bits; false (outputs untouched) for another
// opcode or one too short for its bounds.
bool GetNumericBounds(const IfrOpCode &Question, UINT64 *Max, UINT64 *Min, UINT64 *Step);

// ---- mirrored questions --------------------------------------------------------------

inline constexpr UINTN MIRRORED_QUESTION_LIMIT = 1024;
inline constexpr UINTN OOB_SLOT_LIMIT = 1024;
inline constexpr UINTN STRING_SLOT_LIMIT = 50;
// "CSPAC%03X" has eight characters; the ninth and tenth are NULs.
inline constexpr UINTN MIRRORED_KEYWORD_CHARS = 10;

// Why a mirrored question is never written back to its card (MIRRORED_QUESTION.ReadOnly).
inline constexpr UINT8 MIRRORED_CARD_READ_ONLY = 0x01;  // the card marks the question read-only
inline constexpr UINT8 MIRRORED_WIDE_VALUE = 0x02;      // its values do not fit the one OOB byte
// Its value lies in no store of the card the driver knows: no storage, a store
// that is not registered, or bytes past the store's end.
inline constexpr UINT8 MIRRORED_NO_CARD_STORE = 0x04;
// A gray-out-if of the card held when the page was built: the page shows the
// question read-only, so no value of it may reach the card, whichever way its
// OOB byte changed.
inline constexpr UINT8 MIRRORED_GRAYED_OUT = 0x08;

// One one-of or numeric shown on a card page. The one-byte fields come last,
// so that a record takes 40 bytes and the table 40 KiB of the image.
struct MIRRORED_QUESTION {
  EFI_HII_HANDLE CardHiiHandle;  // null: past the used part of the table
  UINT16 CardVarStoreId;         // the card question's store, in the card's own numbering
  CHAR16 Keyword[MIRRORED_KEYWORD_CHARS];
  UINT16 CardVarOffset;  // the card question's byte offset in its store
  UINT16 OobSlot;        // byte of TLX_ADDONCARD_OOB_VAR the mirrored question stores
  UINT8 OpCode;          // EFI_IFR_ONE_OF_OP or EFI_IFR_NUMERIC_OP
  UINT8 CardFlags;       // the card question's one-of or numeric flags
  UINT8 CardWidth;       // bytes the card question stores (1, 2, 4, 8); the apply path writes them all
  UINT8 BuildValue;      // low byte of the card's value when the page was built
  UINT8 ReadOnly;        // 0, or MIRRORED_* bits: the question is shown read-only and never applied
};
static_assert(sizeof(MIRRORED_QUESTION) == 40);

extern MIRRORED_QUESTION MirroredQuestionTable[MIRRORED_QUESTION_LIMIT];
extern UINT16 MirroredQuestionCount;
extern UINT16 OobSlotCount;
extern UINT16 KeywordCount;
extern UINT16 StringSlotCount;

// True when a change of the mirrored question's OOB byte may be written to the card.
constexpr bool MirroredQuestionIsApplied(const MIRRORED_QUESTION &Record) {
  return Record.CardHiiHandle != nullptr && Record.ReadOnly == 0;
}
