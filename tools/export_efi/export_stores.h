// The contents of the variable stores a card's package list declares, written
// into its sidecar so that the preview starts the card with the values this
// machine holds instead of zeros:
//
//   store NAME: 0a00ff...      a buffer store: its Size bytes as the card's
//                              driver hands them to the router (ExtractConfig
//                              with the card's PATH, placed by ConfigToBlock)
//   variable NAME: 0a00...     an EFI variable store: the variable whole, as
//                              GetVariable gives it (it may be shorter or longer
//                              than the store declares; the driver reads it so)
//   variable NAME: absent      an EFI variable store whose variable does not exist
//
// Two hex digits per byte, lower case, first byte first. A store whose contents
// cannot be read gets no line (the preview then starts it zero-filled), and so
// does a store whose name no line can carry (empty, not printable ASCII, holding
// ": ") or that another store of the list shares: the preview finds stores by
// name. Each is named on the console.
#pragma once
#include "support/bytes.h"
#include "uefi/hii.h"

// Largest store or variable whose contents are written: what the driver itself
// reads of a card's store.
inline constexpr UINTN EXPORT_STORE_BYTES_LIMIT = 32768;
// Stores of one list looked at; more are named on the console and get no line.
inline constexpr UINTN EXPORT_STORES_PER_LIST = 64;

struct STORE_LINES {
  UINT8 *Bytes;  // pool block, null when there are no lines
  UINTN Size;
  UINTN Written;  // stores with a line
  UINTN Passed;   // stores without one (each named on the console)
};

// The lines for the stores the forms packages of List (the exported list of
// HiiHandle; Number names it on the console) declare, in declaration order.
// A store declared twice (same name, GUID and kind) gets one line.
//   EFI_SUCCESS           *Lines set (no lines when the list declares no store)
//   EFI_OUT_OF_RESOURCES  no pool for the lines or a store's contents; *Lines empty
EFI_STATUS BuildStoreLines(EFI_HII_HANDLE HiiHandle, ByteView List, UINTN Number, STORE_LINES *Lines);

// Releases the lines' block.
void FreeStoreLines(STORE_LINES *Lines);
