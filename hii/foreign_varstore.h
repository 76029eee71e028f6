// Access to the variable stores declared in other drivers' forms (the add-on
// cards' own setup): the registry of stores met in their IFR, reading a buffer
// store as a byte block through the router's ExtractConfig and writing it back
// with RouteConfig, and the read cache that lets the many questions of one card
// share one ExtractConfig.
#pragma once
#include "support/ifr_reader.h"
#include "uefi/device_path.h"
#include "uefi/hii.h"
#include "uefi/protocols.h"

// Room of a registered name in code units, NUL included. An IFR opcode is at
// most 127 bytes long, so the name of a store opcode always fits whole.
inline constexpr UINTN VARSTORE_NAME_CHARS = 128;
inline constexpr UINTN VARSTORE_REGISTRY_ENTRIES = 50;
// Largest foreign block read or written, and the size of the read cache block.
inline constexpr UINTN VARSTORE_BLOCK_BYTES = 32768;
// Request texts are built in blocks of this many code units.
inline constexpr UINTN VARSTORE_REQUEST_CHARS = 32768;

struct VARSTORE_RECORD {
  CHAR16 Name[VARSTORE_NAME_CHARS];  // NUL-terminated
  EFI_GUID Guid;
  UINT16 VarStoreId;  // 0 marks a free entry
  UINT16 Size;        // bytes
  UINT32 Attributes;  // UEFI variable attributes; 0 for a buffer store
  UINT8 IsEfi;        // 1: declared as an EFI variable store; 0: buffer store
  // The package list that declares the store. Form sets number their stores
  // from 1, so a VarStoreId means a store only together with its list.
  EFI_HII_HANDLE CardHiiHandle;
};

// Stores registered from foreign IFR, filled from the front, one entry per
// (package list, VarStoreId).
extern VARSTORE_RECORD VarStoreRegistry[VARSTORE_REGISTRY_ENTRIES];

// The copy of the last block read successfully, with the store it came from. A
// read is served from it only for the same HII handle, name, GUID and size.
struct VARSTORE_READ_CACHE {
  UINT8 *Block;  // Size pool bytes (at least one), or null when absent
  EFI_HII_HANDLE HiiHandle;
  EFI_GUID Guid;
  UINTN Size;
  CHAR16 Name[VARSTORE_NAME_CHARS];
};
extern VARSTORE_READ_CACHE VarStoreReadCache;

// Registers the store VarStoreId of the package list HiiHandle. A store already
// registered for that list and id is refreshed in place, so walking a card's
// forms again adds nothing. Does nothing when VarStoreId is 0, when Name does
// not fit an entry whole (a cut name would name no store), or when every entry
// is in use by other stores. A null Name is the empty name.
void RegisterVarStore(EFI_HII_HANDLE HiiHandle, const CHAR16 *Name, const EFI_GUID &Guid, UINT16 VarStoreId,
                      UINT16 Size, UINT32 Attributes, UINT8 IsEfi);

// The registered store VarStoreId of the package list HiiHandle, or null.
const VARSTORE_RECORD *FindVarStore(EFI_HII_HANDLE HiiHandle, UINT16 VarStoreId);

// Registers, for the package list HiiHandle, the store declared by one IFR
// opcode (EFI_IFR_VARSTORE or EFI_IFR_VARSTORE_EFI) as the bounded reader hands
// it out (support/ifr_reader.h); others are ignored. An opcode too short for its
// fixed fields registers nothing; the name runs to its NUL or the opcode's end.
// Returns EFI_SUCCESS.
EFI_STATUS RecordVarStoreOpcode(EFI_HII_HANDLE HiiHandle, const IfrOpCode &Opcode);

// Fills Block with Size bytes of the buffer store Name/Guid of the package list
// HiiHandle, through the router's ExtractConfig (or the read cache when it holds
// that very store). The request's PATH is the device path the HII database keeps
// in the list's device-path package, the path the router finds the card's
// driver by. Every element of the answer's configuration (up to its defaults,
// "&ALTCFG=") is placed by the router's ConfigToBlock into a zeroed block of
// Size bytes, so bytes no element covers read as 0. A failed read leaves Block
// and the cache as they were.
//   EFI_BAD_BUFFER_SIZE    Size above VARSTORE_BLOCK_BYTES
//   EFI_INVALID_PARAMETER  HiiHandle, Name, Guid or (Size > 0) Block null
//   EFI_NOT_FOUND          no HII database or router, a list without a valid
//                          device path, or an answer without a block element
//   EFI_BUFFER_TOO_SMALL   the request does not fit, or (from ConfigToBlock) an
//                          element lies outside the Size bytes
//   any status of the pool, ExportPackageLists, ExtractConfig, ConfigToBlock
EFI_STATUS ReadVarStoreBlock(EFI_HII_HANDLE HiiHandle, const CHAR16 *Name, const EFI_GUID *Guid, UINT8 *Block,
                             UINTN Size);

// ReadVarStoreBlock for the page builder, which reads each store of a card once
// for all its questions: the request goes straight to the configuration access
// on the handle that registered the list (the router would hand it the same
// request, after finding it by the PATH, and then also work out the defaults of
// every question of the card, which a read of current values leaves unused),
// through the router only when that handle has none. List, when not empty, is
// the list's export (for the PATH: nothing more is exported). The read cache is
// not used. The statuses of ReadVarStoreBlock, the card's ExtractConfig in
// place of the router's.
EFI_STATUS ReadCardStoreBlock(EFI_HII_HANDLE HiiHandle, const CHAR16 *Name, const EFI_GUID *Guid,
                              UINT8 *Block, UINTN Size, ByteView List);

// Sends Size bytes of Block to that store with RouteConfig and returns its
// status, or the failing status before it (the same codes as a read). A write
// that reaches the router discards a cached copy of that store, whatever size
// it was read with: the store may have changed even when the router fails.
EFI_STATUS WriteVarStoreBlock(EFI_HII_HANDLE HiiHandle, const CHAR16 *Name, const EFI_GUID *Guid,
                              const UINT8 *Block, UINTN Size);

// Grows the request text *Request and appends "&OFFSET=0&WIDTH=<Width>" (minimal
// uppercase hex); *RequestSize becomes the new byte size with the terminator.
// EFI_OUT_OF_RESOURCES leaves *Request (still the caller's) and *RequestSize as
// they were.
EFI_STATUS AppendOffsetWidth(CHAR16 **Request, UINTN *RequestSize, UINTN Width);

// Releases the read cache when it is held; nothing otherwise.
void DiscardVarStoreReadCache();
