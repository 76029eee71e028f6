// The package lists of the HII database that belong to PCI functions: which
// function owns a list, the list's exported bytes and its form-set title.
// Nothing here trusts a length the database or a device path states: lists are
// read through the bounded package reader, paths through the bounded walk.
#pragma once
#include "support/bytes.h"
#include "tools/export_efi/export_text.h"
#include "uefi/protocols.h"

// Every package list handle of the database, in its order, in a pool block the
// caller frees.
//   EFI_SUCCESS           *Handles and *Count set (*Handles null when Count is 0)
//   EFI_NOT_FOUND         no HII database protocol
//   EFI_OUT_OF_RESOURCES  no pool for the handles
//   any other status of ListPackageLists
EFI_STATUS ListAllPackageLists(EFI_HII_HANDLE **Handles, UINTN *Count);

// The PCI function whose path leads to the driver handle of the list: the
// function LocateDevicePath finds for the PCI I/O protocol on that handle's
// device path, its IDs read from configuration offsets 0 and 2.
//   EFI_SUCCESS            *Pci set
//   EFI_NOT_FOUND          no driver handle, no device path, or no PCI function on it
//   EFI_INVALID_PARAMETER  the handle's device path is malformed
//   any status of GetPackageListHandle, Pci.Read or GetLocation
EFI_STATUS FindOwningPciFunction(EFI_HII_HANDLE HiiHandle, PCI_FUNCTION_IDENTITY *Pci);

// The list as ExportPackageLists writes it for HiiHandle alone, in a pool block
// the caller frees. *Size is the list's own length: the header's PackageLength.
//   EFI_SUCCESS           *List and *Size set; the list is well formed
//   EFI_COMPROMISED_DATA  the database gave a list that is not well formed
//   EFI_OUT_OF_RESOURCES  no pool for the list
//   any other status of ExportPackageLists
EFI_STATUS ExportOnePackageList(EFI_HII_HANDLE HiiHandle, UINT8 **List, UINTN *Size);

// True when List is one whole package list: the header's length is the view's
// size, every package lies inside it, and the last package is the end package
// (4 bytes, type 0xDF) and the only one.
bool PackageListIsWellFormed(ByteView List);

// The title of the first form set of the list in the best language for the
// platform, into *Title (a pool block the caller frees; null on failure).
//   EFI_SUCCESS           *Title set
//   EFI_NOT_FOUND         the list has no form set
//   EFI_INVALID_LANGUAGE  its title string cannot be read in any display
//                         language (*TitleId says which; also when the pool
//                         runs out on the way)
EFI_STATUS ReadFormSetTitle(EFI_HII_HANDLE HiiHandle, ByteView List, CHAR16 **Title, EFI_STRING_ID *TitleId);
