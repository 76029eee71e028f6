// Access to the variable stores declared in other drivers' forms (the add-on
// cards' own setup): the registry of stores met in their IFR, reading a buffer
// store as a byte block through the router's ExtractConfig and writing it back
// with RouteConfig, and the read cache that lets the many questions of one card
// share one ExtractConfig.
#pragma once
#include "uefi/device_path.h"
#include "uefi/hii.h"
#include "uefi/protocols.h"

// Room of a registered name in code units, and how many characters of an IFR
// name are ever kept.
inline constexpr UINTN VARSTORE_NAME_CHARS = 128;
inline constexpr UINTN VARSTORE_NAME_KEPT_CHARS = 40;
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
};

// Stores registered from foreign IFR, filled from the front, never emptied.
extern VARSTORE_RECORD VarStoreRegistry[VARSTORE_REGISTRY_ENTRIES];

// The copy of the last block read successfully, with the store it came from. A
// read is served from it only for the same HII handle, name, GUID and size.
struct VARSTORE_READ_CACHE {
  UINT8 *Block;  // VARSTORE_BLOCK_BYTES pool bytes, or null when absent
  EFI_HII_HANDLE HiiHandle;
  EFI_GUID Guid;
  UINTN Size;
  CHAR16 Name[VARSTORE_NAME_CHARS];
};
extern VARSTORE_READ_CACHE VarStoreReadCache;

// The interfaces this module locates for itself and keeps.
extern EFI_HII_DATABASE_PROTOCOL *VarStoreHiiDatabase;
extern EFI_HII_CONFIG_ROUTING_PROTOCOL *VarStoreRouter;

// The HII database, located at the first call that finds it and then kept; null
// while none is installed.
EFI_HII_DATABASE_PROTOCOL *GetHiiDatabase();

// Byte size of a device path up to and including its end node (which adds 4).
// A node of type 0 or with a length below 4 stops the walk and the size so far is
// returned without the end node. Null gives 0. The walk gives up past
// DEVICE_PATH_WALK_LIMIT bytes and returns a size above that limit.
inline constexpr UINTN DEVICE_PATH_WALK_LIMIT = 65536;
UINTN DevicePathByteSize(const EFI_DEVICE_PATH_PROTOCOL *Path);

// Copies the values into the next free registry entry (Name cut to fit the
// entry). Does nothing when the registry is full or VarStoreId is 0.
void RegisterVarStore(const CHAR16 *Name, const EFI_GUID &Guid, UINT16 VarStoreId, UINT16 Size,
                      UINT32 Attributes, UINT8 IsEfi);

// Copies out the first registered store with that id: Name (VARSTORE_NAME_CHARS
// code units), Guid, Size, Attributes, IsEfi; any output may be null. Returns
// FALSE, leaving the outputs as they were, when none has that id.
BOOLEAN FindVarStore(UINT16 VarStoreId, CHAR16 *NameOut, EFI_GUID *GuidOut, UINT16 *SizeOut,
                     UINT32 *AttributesOut, UINT8 *IsEfiOut);

// Registers the store declared by one IFR opcode (EFI_IFR_VARSTORE or
// EFI_IFR_VARSTORE_EFI); others are ignored. Opcode points at the opcode header
// and Available is the number of bytes from there to the end of its package:
// nothing beyond min(opcode length, Available) is read, and an opcode too short
// for its fixed fields registers nothing. Returns EFI_SUCCESS.
EFI_STATUS RecordVarStoreOpcode(const UINT8 *Opcode, UINTN Available);

// Fills Block with Size bytes of the buffer store Name/Guid of the package list
// HiiHandle, through the router's ExtractConfig (or the read cache when it holds
// that very store). A failed read leaves Block and the cache as they were.
//   EFI_BAD_BUFFER_SIZE    Size above VARSTORE_BLOCK_BYTES
//   EFI_INVALID_PARAMETER  Name, Guid or (Size > 0) Block null
//   EFI_NOT_FOUND          no HII database, no router, or no VALUE in the answer
//   EFI_BUFFER_TOO_SMALL   the request does not fit, or the VALUE holds more
//                          digits than Size bytes
//   any status of the pool, GetPackageListHandle, HandleProtocol, ExtractConfig
EFI_STATUS ReadVarStoreBlock(EFI_HII_HANDLE HiiHandle, const CHAR16 *Name, const EFI_GUID *Guid, UINT8 *Block,
                             UINTN Size);

// Sends Size bytes of Block to that store with RouteConfig and returns its
// status, or the failing status before it (the same codes as a read; also
// EFI_NOT_FOUND when no read has located the router yet). A write that reaches
// the router discards a read cache holding that store.
EFI_STATUS WriteVarStoreBlock(EFI_HII_HANDLE HiiHandle, const CHAR16 *Name, const EFI_GUID *Guid,
                              const UINT8 *Block, UINTN Size);

// Grows the request text *Request and appends "&OFFSET=0&WIDTH=<Width>" (minimal
// uppercase hex); *RequestSize becomes the new byte size with the terminator.
// EFI_OUT_OF_RESOURCES leaves *Request (still the caller's) and *RequestSize as
// they were.
EFI_STATUS AppendOffsetWidth(CHAR16 **Request, UINTN *RequestSize, UINTN Width);

// A new zeroed pool block of NewSize bytes holding the first min(OldSize,
// NewSize) bytes of Old (when given); Old is released. Null when the new block
// cannot be allocated, and Old is then untouched.
void *ResizePool(void *Old, UINTN OldSize, UINTN NewSize);

// Releases the read cache when it is held; nothing otherwise.
void DiscardVarStoreReadCache();
