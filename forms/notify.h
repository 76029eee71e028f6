// The three protocol-notify handlers through which the running driver works.
// Other firmware components install the watched protocols; their appearance is
// the only trigger, the driver never opens them.
//   CARD_FORMS_NOTIFY_GUID    OnCardFormsNotify: finds the supported cards' form
//                             sets and builds their pages (at every installation)
//   FORMS_REMOVE_NOTIFY_GUID  OnFormsRemoveNotify: removes the driver's form set (once)
//   OOB_APPLY_NOTIFY_GUID     OnOobApplyNotify: writes changed mirrored values into
//                             the cards' own stores (once)
#pragma once
#include "uefi/protocols.h"

inline constexpr EFI_GUID CARD_FORMS_NOTIFY_GUID = {
    0xDBC9FD21, 0xFAD8, 0x45B0, {0x9E, 0x78, 0x27, 0x15, 0x88, 0x67, 0xCC, 0x93}};
inline constexpr EFI_GUID FORMS_REMOVE_NOTIFY_GUID = {
    0xD4A5B2FD, 0xAD44, 0x404A, {0x98, 0xA8, 0x29, 0x78, 0x57, 0xE7, 0x2A, 0x53}};
inline constexpr EFI_GUID OOB_APPLY_NOTIFY_GUID = {
    0x409FDF56, 0x5706, 0x4D8F, {0xAC, 0xFF, 0x22, 0xA3, 0x81, 0x75, 0x10, 0x32}};

// Room of the keyword text the apply path hands to SetQuestionByte, NUL included.
inline constexpr UINTN APPLY_KEYWORD_CHARS = 20;

// Scans every package list of the HII database. A list is a card's when its
// first package is a forms package that starts with a form set, its title (best
// language) does not begin "MAC:", and the PCI function it was published for
// has IDs that match one of the first PairCount pairs of the supported list
// (reloaded first; PairCount clamped to 1..10; a pair with a zero ID never
// matches). Each such list gets a page (BuildCardPage), every time the scan runs.
// A failure on one list skips that list only; no HII database, no list of
// lists, or no driver form set (removed) ends the scan with nothing done.
void EFIAPI OnCardFormsNotify(EFI_EVENT Event, void *Context);

// Closes its event (it runs once) and removes the driver's package list from
// the HII database. Without a database, or once the list is gone, there is
// nothing to remove and nothing is done. After a removal DriverHiiHandle is
// null: the handle names no list of the driver any more, and a later scan builds
// no pages. The configuration access protocol stays installed.
void EFIAPI OnFormsRemoveNotify(EFI_EVENT Event, void *Context);

// Closes its event (it runs once), reloads TLX_ADDONCARD_OOB_VAR and, for every
// mirrored question that may be written back whose OOB byte differs from the
// value the page was built with, calls SetQuestionByte with its keyword and the
// new byte. Stops when the variable cannot be loaded. The read cache is dropped
// before (the cards may have changed since the pages were built) and after.
void EFIAPI OnOobApplyNotify(EFI_EVENT Event, void *Context);

// The vendor and device ID (configuration offsets 0 and 2) of the PCI function
// that the driver which registered the package list HiiHandle is published
// under (LocateDevicePath for PCI I/O along its device path). Outputs are
// written only on success.
//   EFI_SUCCESS
//   EFI_INVALID_PARAMETER  an output pointer null
//   EFI_NOT_FOUND          no HII database, or a driver handle without a
//                          well-formed device path or without PCI I/O interface
//   the status of GetPackageListHandle, HandleProtocol, LocateDevicePath or Pci.Read
EFI_STATUS GetPackageListPciIds(EFI_HII_HANDLE HiiHandle, UINT16 *VendorId, UINT16 *DeviceId);

// Writes Value into the card question mirrored under the keyword KeywordText
// (compared over MIRRORED_KEYWORD_CHARS code units): the card's store is read
// whole through the router, the question's bytes (its full width, little-endian,
// Value zero-extended) are set and the store is written back, only when they
// differ from what was read. A store that was not read whole is never written.
//   EFI_SUCCESS            written, or the question already holds Value
//   EFI_INVALID_PARAMETER  KeywordText null
//   EFI_NOT_FOUND          no mirrored question has the keyword, or its card
//                          store is not registered
//   EFI_WRITE_PROTECTED    the question is never written back (read-only on the
//                          card, or wider values than the one OOB byte holds)
//   EFI_BAD_BUFFER_SIZE    the question does not lie inside its store, or the
//                          store is larger than a block
//   EFI_OUT_OF_RESOURCES, or the status of ReadVarStoreBlock or WriteVarStoreBlock
EFI_STATUS SetQuestionByte(const CHAR16 *KeywordText, UINT8 Value);
