// The three UEFI variables behind the form set's variable stores: their records,
// the driver-wide in-memory copies, and the load (read, repair or create) and
// publish (copy and hand to the form browser) operations.
#pragma once
#include "forms/form_ids.h"
#include "uefi/base.h"

// ---- names, attributes, sizes ----------------------------------------------
inline constexpr CHAR16 TLX_ADDONCARD_OOB_VAR[] = u"TLX_ADDONCARD_OOB_VAR";
inline constexpr CHAR16 TLX_ADDONCARD_STRING_VAR[] = u"TLX_ADDONCARD_STRING_VAR";
inline constexpr CHAR16 TLX_ADDONCARD_PCI_VAR[] = u"TLX_ADDONCARD_PCI_VAR";

// OOB and STRING live for the current boot only; the PCI list survives resets.
inline constexpr UINT32 ADDONCARD_VOLATILE_VAR_ATTRIBUTES = 0x6;  // boot-service + runtime access
inline constexpr UINT32 ADDONCARD_PCI_VAR_ATTRIBUTES = 0x7;       // non-volatile + the two above

// The records' sizes are the store sizes the form set declares
// (ADDONCARD_*_VARSTORE_SIZE in forms/form_ids.h); the records below are pinned
// to them.

// ---- records ------------------------------------------------------------------
// Supported vendor/device ID pairs. Stored byte for byte: packed, little-endian.
struct ADDONCARD_PCI_ID_LIST {
  UINT16 VendorId[ADDONCARD_MAX_PCI_ID_PAIRS];
  UINT16 DeviceId[ADDONCARD_MAX_PCI_ID_PAIRS];
  UINT8 PairCount;  // pairs in use; consumers clamp it to 1..10
} __attribute__((packed));
static_assert(sizeof(ADDONCARD_PCI_ID_LIST) == ADDONCARD_PCI_VARSTORE_SIZE);
static_assert(__builtin_offsetof(ADDONCARD_PCI_ID_LIST, DeviceId) == 0x14);
static_assert(__builtin_offsetof(ADDONCARD_PCI_ID_LIST, PairCount) == 0x28);

// One byte per mirrored one-of or numeric question, handed out from slot 0 up.
inline constexpr UINTN ADDONCARD_OOB_SLOT_COUNT = 1024;
struct ADDONCARD_OOB_SLOTS {
  UINT8 Slot[ADDONCARD_OOB_SLOT_COUNT];
};
static_assert(sizeof(ADDONCARD_OOB_SLOTS) == ADDONCARD_OOB_VARSTORE_SIZE);

// 50 slots of 512 bytes, each a NUL-terminated UTF-16 text of at most 255
// characters; slot n starts at byte 512 * n.
inline constexpr UINTN ADDONCARD_STRING_SLOT_COUNT = 50;
inline constexpr UINTN ADDONCARD_STRING_SLOT_BYTES = 512;
inline constexpr UINTN ADDONCARD_STRING_SLOT_CHARS = ADDONCARD_STRING_SLOT_BYTES / sizeof(CHAR16);
struct ADDONCARD_STRING_SLOTS {
  CHAR16 Slot[ADDONCARD_STRING_SLOT_COUNT][ADDONCARD_STRING_SLOT_CHARS];
};
static_assert(sizeof(ADDONCARD_STRING_SLOTS) == ADDONCARD_STRING_VARSTORE_SIZE);

// The record a missing or unusable PCI variable is replaced with, and the
// form's default for both default stores.
inline constexpr ADDONCARD_PCI_ID_LIST ADDONCARD_PCI_DEFAULTS = {{0x15B3}, {0x1021}, 1};

// ---- driver-wide copies ---------------------------------------------------------
// Zero until start-up publishes the loaded variables; live for the whole image.
extern ADDONCARD_PCI_ID_LIST PciIdListCopy;
extern ADDONCARD_OOB_SLOTS OobVarCopy;
extern ADDONCARD_STRING_SLOTS StringVarCopy;

// ---- load -------------------------------------------------------------------------
// Each fills *Buffer with a usable record whatever the status: the stored one
// when it has the exact size (and, for the PCI list, is not all-zero in its first
// pair and count), otherwise zeros or ADDONCARD_PCI_DEFAULTS, written back to the
// variable. A kept record stored with other attributes than the variable's is
// stored again with its own (the old variable deleted first: the firmware
// refuses to change a variable's attributes, and every later write would fail).
// The status is GetVariable's when the stored record was kept as it was,
// SetVariable's when the variable was (re)written, and GetVariable's error when
// the variable could not be read for another reason than being missing or of the
// wrong size: then the stored variable is left alone.
EFI_STATUS LoadOobVar(ADDONCARD_OOB_SLOTS *Buffer);
EFI_STATUS LoadStringVar(ADDONCARD_STRING_SLOTS *Buffer);
EFI_STATUS LoadPciVar(ADDONCARD_PCI_ID_LIST *Buffer);

// ---- publish ----------------------------------------------------------------------
// Copy Record into the driver-wide copy (Record may be the copy itself) and hand
// the copy to a form browser that has the form set open. TRUE when the browser
// took it; every caller may ignore the result: the copy is updated regardless.
BOOLEAN PublishOobVar(const ADDONCARD_OOB_SLOTS *Record);
BOOLEAN PublishStringVar(const ADDONCARD_STRING_SLOTS *Record);
BOOLEAN PublishPciVar(const ADDONCARD_PCI_ID_LIST *Record);

// Zeroes the three copies (host tests: a fresh image load).
void ResetVariableState();
