#include "hii/foreign_varstore.h"

#include "driver/driver_state.h"
#include "driver/globals.h"
#include "hii/config_string.h"
#include "support/bytes.h"
#include "support/device_path.h"
#include "support/ifr_reader.h"
#include "support/memory.h"
#include "support/pool.h"
#include "support/print.h"
#include "support/strings.h"
#include "uefi/ifr.h"

constinit VARSTORE_RECORD VarStoreRegistry[VARSTORE_REGISTRY_ENTRIES] = {};
constinit VARSTORE_READ_CACHE VarStoreReadCache = {};

namespace {

// Where the fields of the two store-declaring opcodes lie. The ASCII name
// follows the fixed fields and runs to its NUL or the opcode's end.
constexpr UINTN VARSTORE_GUID_AT = __builtin_offsetof(EFI_IFR_VARSTORE, Guid);
constexpr UINTN VARSTORE_ID_AT = __builtin_offsetof(EFI_IFR_VARSTORE, VarStoreId);
constexpr UINTN VARSTORE_SIZE_AT = __builtin_offsetof(EFI_IFR_VARSTORE, Size);
constexpr UINTN VARSTORE_NAME_AT = __builtin_offsetof(EFI_IFR_VARSTORE, Name);
constexpr UINTN VARSTORE_EFI_ID_AT = __builtin_offsetof(EFI_IFR_VARSTORE_EFI, VarStoreId);
constexpr UINTN VARSTORE_EFI_GUID_AT = __builtin_offsetof(EFI_IFR_VARSTORE_EFI, Guid);
constexpr UINTN VARSTORE_EFI_ATTRIBUTES_AT = __builtin_offsetof(EFI_IFR_VARSTORE_EFI, Attributes);
constexpr UINTN VARSTORE_EFI_SIZE_AT = __builtin_offsetof(EFI_IFR_VARSTORE_EFI, Size);
constexpr UINTN VARSTORE_EFI_NAME_AT = __builtin_offsetof(EFI_IFR_VARSTORE_EFI, Name);
static_assert(VARSTORE_NAME_AT == 22 && VARSTORE_EFI_NAME_AT == 26);
// The longest opcode's name, with its NUL, fits a registry entry.
static_assert(IFR_LENGTH_MASK - VARSTORE_NAME_AT + 1 <= VARSTORE_NAME_CHARS);

constexpr UINTN REQUEST_BYTES = VARSTORE_REQUEST_CHARS * sizeof(CHAR16);
constexpr CHAR16 OFFSET_WIDTH_FORMAT[] = u"&OFFSET=%x&WIDTH=%lx";
// "&OFFSET=0&WIDTH=", up to sixteen digits of a 64-bit width, and the NUL: a
// narrower piece would silently cut the digits of a width above 2^60.
constexpr UINTN OFFSET_WIDTH_PIECE_BYTES = (ArrayCount(u"&OFFSET=0&WIDTH=") - 1 + 16 + 1) * sizeof(CHAR16);
constexpr CHAR16 VALUE_KEY[] = u"&VALUE=";
constexpr UINTN VALUE_KEY_CHARS = ArrayCount(VALUE_KEY) - 1;

// ---- registry ---------------------------------------------------------------------

// Widens the ASCII name (up to its NUL or the end of the bytes) into a cleared
// name buffer. False when it would not fit whole.
bool CopyOpcodeName(ByteView NameBytes, CHAR16 (&Name)[VARSTORE_NAME_CHARS]) {
  ZeroBytes(Name, sizeof(Name));
  for (UINTN Index = 0; Index < NameBytes.Size(); ++Index) {
    const UINT8 Byte = NameBytes.Data()[Index];
    if (Byte == 0) return true;
    if (Index + 1 >= VARSTORE_NAME_CHARS) return false;
    Name[Index] = Byte;
  }
  return true;
}

void RecordBufferStore(EFI_HII_HANDLE HiiHandle, const IfrOpCode &Opcode) {
  UINT16 VarStoreId = 0;
  UINT16 Size = 0;
  EFI_GUID Guid;
  CHAR16 Name[VARSTORE_NAME_CHARS];
  if (!Opcode.HasFixedFields() || !Opcode.Read16(VARSTORE_ID_AT, &VarStoreId) ||
      !Opcode.Read16(VARSTORE_SIZE_AT, &Size) || !Opcode.ReadGuid(VARSTORE_GUID_AT, &Guid) ||
      !CopyOpcodeName(Opcode.Tail(VARSTORE_NAME_AT), Name))
    return;
  RegisterVarStore(HiiHandle, Name, Guid, VarStoreId, Size, 0, 0);
}

void RecordEfiStore(EFI_HII_HANDLE HiiHandle, const IfrOpCode &Opcode) {
  UINT16 VarStoreId = 0;
  UINT16 Size = 0;
  UINT32 Attributes = 0;
  EFI_GUID Guid;
  CHAR16 Name[VARSTORE_NAME_CHARS];
  if (!Opcode.HasFixedFields() || !Opcode.Read16(VARSTORE_EFI_ID_AT, &VarStoreId) ||
      !Opcode.Read16(VARSTORE_EFI_SIZE_AT, &Size) ||
      !Opcode.Read32(VARSTORE_EFI_ATTRIBUTES_AT, &Attributes) ||
      !Opcode.ReadGuid(VARSTORE_EFI_GUID_AT, &Guid) ||
      !CopyOpcodeName(Opcode.Tail(VARSTORE_EFI_NAME_AT), Name))
    return;
  RegisterVarStore(HiiHandle, Name, Guid, VarStoreId, Size, Attributes, 1);
}

// The entry of that list and id, else the first free one, else null.
VARSTORE_RECORD *EntryFor(EFI_HII_HANDLE HiiHandle, UINT16 VarStoreId) {
  for (VARSTORE_RECORD &Entry : VarStoreRegistry) {
    if (Entry.VarStoreId == 0) return &Entry;
    if (Entry.VarStoreId == VarStoreId && Entry.CardHiiHandle == HiiHandle) return &Entry;
  }
  return nullptr;
}

// ---- read cache ---------------------------------------------------------------------

bool CacheHoldsStore(EFI_HII_HANDLE HiiHandle, const CHAR16 *Name, const EFI_GUID &Guid) {
  const VARSTORE_READ_CACHE &Cache = VarStoreReadCache;
  return Cache.Block != nullptr && Cache.HiiHandle == HiiHandle && GuidEquals(Cache.Guid, Guid) &&
         Utf16CompareN(Cache.Name, Name, VARSTORE_NAME_CHARS) == 0;
}

bool CacheHolds(EFI_HII_HANDLE HiiHandle, const CHAR16 *Name, const EFI_GUID &Guid, UINTN Size) {
  return CacheHoldsStore(HiiHandle, Name, Guid) && VarStoreReadCache.Size == Size;
}

// Replaces the cache with a copy of the block just read. A name that does not
// fit the key is not cached; a failed allocation leaves no cache at all.
void KeepReadBlock(EFI_HII_HANDLE HiiHandle, const CHAR16 *Name, const EFI_GUID &Guid, const UINT8 *Block,
                   UINTN Size) {
  DiscardVarStoreReadCache();
  if (Utf16LengthBounded(Name, VARSTORE_NAME_CHARS) >= VARSTORE_NAME_CHARS) return;
  // As large as the store: a copy is served only at the size it was read with.
  auto *Copy = static_cast<UINT8 *>(PoolAlloc(Size == 0 ? 1 : Size));
  if (Copy == nullptr) return;
  if (Size != 0) CopyBytes(Copy, Block, Size);
  VarStoreReadCache.Block = Copy;
  VarStoreReadCache.HiiHandle = HiiHandle;
  VarStoreReadCache.Guid = Guid;
  VarStoreReadCache.Size = Size;
  Utf16CopyChecked(VarStoreReadCache.Name, VARSTORE_NAME_CHARS, Name);
}

// ---- request header -------------------------------------------------------------------

// The package list HiiHandle as the HII database exports it, in a new pool block
// of *Size bytes.
EFI_STATUS ExportPackageList(EFI_HII_HANDLE HiiHandle, UINT8 **List, UINTN *Size) {
  // A null handle would export every list of the database.
  if (HiiHandle == nullptr) return EFI_INVALID_PARAMETER;
  EFI_HII_DATABASE_PROTOCOL *Database = GetHiiDatabase();
  if (Database == nullptr) return EFI_NOT_FOUND;
  UINTN Needed = 0;
  EFI_STATUS Status = Database->ExportPackageLists(Database, HiiHandle, &Needed, nullptr);
  if (Status != EFI_BUFFER_TOO_SMALL) return EFI_ERROR(Status) ? Status : EFI_NOT_FOUND;
  auto *Bytes = static_cast<UINT8 *>(PoolAllocZero(Needed));
  if (Bytes == nullptr) return EFI_OUT_OF_RESOURCES;
  UINTN Written = Needed;
  Status = Database->ExportPackageLists(Database, HiiHandle, &Written,
                                        reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER *>(Bytes));
  if (EFI_ERROR(Status)) {
    PoolFree(Bytes);
    return Status;
  }
  *List = Bytes;
  *Size = Needed;  // the firmware may leave the size as passed on success
  return EFI_SUCCESS;
}

// The device path of the list's device-path package, the one the database added
// from the registering driver's handle and the one the router matches PATH
// against. Bounded by that package; empty when the list has none before its
// end package, is malformed before it, or its path fails the device-path checks.
ByteView ListDevicePath(ByteView List) {
  PackageListReader Packages(List);
  for (HiiPackage Package; Packages.Next(&Package);) {
    if (Package.Type() == EFI_HII_PACKAGE_END) break;
    if (Package.Type() != EFI_HII_PACKAGE_DEVICE_PATH) continue;
    const ByteView Path = Package.Body();
    return Path.First(ValidatedDevicePathSize(Path));
  }
  return {};
}

// Writes the header of the store Name/Guid of the package list HiiHandle into a
// request block of VARSTORE_REQUEST_CHARS code units. Known, when not empty, is
// that list's export; otherwise the list is exported for its device path.
EFI_STATUS WriteStoreHeader(CHAR16 *Request, EFI_HII_HANDLE HiiHandle, const CHAR16 *Name,
                            const EFI_GUID &Guid, ByteView Known = {}) {
  UINT8 *List = nullptr;
  UINTN ListSize = 0;
  EFI_STATUS Status = Known.Empty() ? ExportPackageList(HiiHandle, &List, &ListSize) : EFI_SUCCESS;
  if (EFI_ERROR(Status)) return Status;
  const ByteView Path = ListDevicePath(Known.Empty() ? ByteView(List, ListSize) : Known);
  Status =
      Path.Empty() ? EFI_NOT_FOUND : WriteConfigHeader(Request, VARSTORE_REQUEST_CHARS, &Guid, Name, Path);
  PoolFree(List);
  return Status;
}

// The configuration access on the handle that registered the list HiiHandle;
// null when that handle has none.
EFI_HII_CONFIG_ACCESS_PROTOCOL *ListConfigAccess(EFI_HII_HANDLE HiiHandle) {
  EFI_HII_DATABASE_PROTOCOL *Database = GetHiiDatabase();
  EFI_HANDLE Driver = nullptr;
  void *Interface = nullptr;
  if (Database == nullptr || BootServices == nullptr ||
      EFI_ERROR(Database->GetPackageListHandle(Database, HiiHandle, &Driver)) || Driver == nullptr ||
      EFI_ERROR(BootServices->HandleProtocol(Driver, &EFI_HII_CONFIG_ACCESS_PROTOCOL_GUID, &Interface)))
    return nullptr;
  return static_cast<EFI_HII_CONFIG_ACCESS_PROTOCOL *>(Interface);
}

// ---- read -------------------------------------------------------------------------------

// Ends an ExtractConfig answer after its first configuration: at the next header
// or at its defaults ("&ALTCFG="), which are not the store's current values.
void EndFirstConfiguration(CHAR16 *Results) {
  CHAR16 *End = Utf16Find(Results, u"&ALTCFG=");
  CHAR16 *NextHeader = Utf16Find(Results, u"&GUID=");
  if (NextHeader != nullptr && (End == nullptr || NextHeader < End)) End = NextHeader;
  if (End != nullptr) *End = 0;
}

// Places every block element of the answer's first configuration into Block
// (Size bytes) through the router's ConfigToBlock, over a zeroed copy so that a
// failure leaves Block alone.
EFI_STATUS ResultsToBlock(EFI_HII_CONFIG_ROUTING_PROTOCOL *Router, CHAR16 *Results, UINT8 *Block,
                          UINTN Size) {
  EndFirstConfiguration(Results);
  // A header alone would convert into nothing, reported as success by some routers.
  if (Utf16Find(Results, u"OFFSET=") == nullptr) return EFI_NOT_FOUND;
  auto *Scratch = static_cast<UINT8 *>(PoolAllocZero(Size == 0 ? 1 : Size));
  if (Scratch == nullptr) return EFI_OUT_OF_RESOURCES;
  UINTN BlockSize = Size;
  CHAR16 *Progress = nullptr;
  const EFI_STATUS Status = Router->ConfigToBlock(Router, Results, Scratch, &BlockSize, &Progress);
  if (!EFI_ERROR(Status) && Size != 0) CopyBytes(Block, Scratch, Size);
  PoolFree(Scratch);
  return Status;
}

// Where a read asks: the router, or (Access not null) the card's own
// configuration access, with the list's export when the caller has it.
struct READ_ROUTE {
  EFI_HII_CONFIG_ACCESS_PROTOCOL *Access;
  ByteView List;
};

// Everything of a read after the request block exists; the caller releases it.
EFI_STATUS ReadThroughRouter(EFI_HII_CONFIG_ROUTING_PROTOCOL *Router, CHAR16 *Request,
                             EFI_HII_HANDLE HiiHandle, const CHAR16 *Name, const EFI_GUID &Guid, UINT8 *Block,
                             UINTN Size, const READ_ROUTE &Route) {
  EFI_STATUS Status = WriteStoreHeader(Request, HiiHandle, Name, Guid, Route.List);
  if (EFI_ERROR(Status)) return Status;
  if (EFI_ERROR(Utf16AppendChecked(Request, VARSTORE_REQUEST_CHARS, u"&OFFSET=0&WIDTH=")) ||
      EFI_ERROR(Utf16AppendChecked(Request, VARSTORE_REQUEST_CHARS, HexText32(Size))))
    return EFI_BUFFER_TOO_SMALL;
  CHAR16 *Progress = nullptr;
  CHAR16 *Results = nullptr;
  Status = Route.Access != nullptr ? Route.Access->ExtractConfig(Route.Access, Request, &Progress, &Results)
                                   : Router->ExtractConfig(Router, Request, &Progress, &Results);
  if (EFI_ERROR(Status)) return Status;
  if (Results == nullptr) return EFI_NOT_FOUND;
  Status = ResultsToBlock(Router, Results, Block, Size);
  PoolFree(Results);
  if (EFI_ERROR(Status)) return Status;
  if (Route.Access == nullptr) KeepReadBlock(HiiHandle, Name, Guid, Block, Size);
  return EFI_SUCCESS;
}

EFI_STATUS ReadBlock(EFI_HII_HANDLE HiiHandle, const CHAR16 *Name, const EFI_GUID *Guid, UINT8 *Block,
                     UINTN Size, const READ_ROUTE &Route) {
  if (Size > VARSTORE_BLOCK_BYTES) return EFI_BAD_BUFFER_SIZE;
  if (Name == nullptr || Guid == nullptr || (Block == nullptr && Size != 0)) return EFI_INVALID_PARAMETER;
  if (Route.Access == nullptr && CacheHolds(HiiHandle, Name, *Guid, Size)) {
    if (Size != 0) CopyBytes(Block, VarStoreReadCache.Block, Size);
    return EFI_SUCCESS;
  }
  EFI_HII_CONFIG_ROUTING_PROTOCOL *Router = GetConfigRouting();
  if (Router == nullptr) return EFI_NOT_FOUND;
  auto *Request = static_cast<CHAR16 *>(PoolAllocZero(REQUEST_BYTES));
  if (Request == nullptr) return EFI_OUT_OF_RESOURCES;
  const EFI_STATUS Status = ReadThroughRouter(Router, Request, HiiHandle, Name, *Guid, Block, Size, Route);
  PoolFree(Request);
  return Status;
}

// ---- write ------------------------------------------------------------------------------

// Appends "&VALUE=" and the digits of the block (last byte first) to the
// request, growing it to fit; EFI_OUT_OF_RESOURCES leaves *Request as it was.
EFI_STATUS AppendValue(CHAR16 **Request, UINTN RequestSize, CHAR16 *ValueText, UINTN ValueChars,
                       const UINT8 *Block, UINTN Size) {
  UINTN Count = 0;
  EFI_STATUS Status = HexEncodeNumber(ValueText, ValueChars, &Count, Block, Size, 2 * Size);
  if (EFI_ERROR(Status)) return Status;
  const UINTN NewSize = RequestSize + (VALUE_KEY_CHARS + Count) * sizeof(CHAR16);
  auto *Grown = static_cast<CHAR16 *>(PoolRealloc(RequestSize, NewSize, *Request));
  if (Grown == nullptr) return EFI_OUT_OF_RESOURCES;
  *Request = Grown;
  const UINTN Chars = NewSize / sizeof(CHAR16);
  if (EFI_ERROR(Utf16AppendChecked(Grown, Chars, VALUE_KEY)) ||
      EFI_ERROR(Utf16AppendChecked(Grown, Chars, ValueText)))
    return EFI_BUFFER_TOO_SMALL;
  return EFI_SUCCESS;
}

// Everything of a write after both texts exist; the caller releases them (the
// request through *Request, which may have been replaced by a larger block).
EFI_STATUS WriteThroughRouter(EFI_HII_CONFIG_ROUTING_PROTOCOL *Router, CHAR16 **Request, CHAR16 *ValueText,
                              UINTN ValueChars, EFI_HII_HANDLE HiiHandle, const CHAR16 *Name,
                              const EFI_GUID &Guid, const UINT8 *Block, UINTN Size) {
  EFI_STATUS Status = WriteStoreHeader(*Request, HiiHandle, Name, Guid);
  if (EFI_ERROR(Status)) return Status;
  UINTN RequestSize = REQUEST_BYTES;
  Status = AppendOffsetWidth(Request, &RequestSize, Size);
  if (EFI_ERROR(Status)) return Status;
  Status = AppendValue(Request, RequestSize, ValueText, ValueChars, Block, Size);
  if (EFI_ERROR(Status)) return Status;
  CHAR16 *Progress = nullptr;
  Status = Router->RouteConfig(Router, *Request, &Progress);
  // The store may have changed even when the router reports a failure part way,
  // and a copy read at another size is as stale as one read at this size.
  if (CacheHoldsStore(HiiHandle, Name, Guid)) DiscardVarStoreReadCache();
  return Status;
}

}  // namespace

void RegisterVarStore(EFI_HII_HANDLE HiiHandle, const CHAR16 *Name, const EFI_GUID &Guid, UINT16 VarStoreId,
                      UINT16 Size, UINT32 Attributes, UINT8 IsEfi) {
  if (VarStoreId == 0) return;
  const UINTN NameLength = Utf16LengthBounded(Name, VARSTORE_NAME_CHARS);
  if (NameLength >= VARSTORE_NAME_CHARS) return;
  VARSTORE_RECORD *Entry = EntryFor(HiiHandle, VarStoreId);
  if (Entry == nullptr) return;
  ZeroBytes(Entry->Name, sizeof(Entry->Name));
  if (NameLength != 0) CopyBytes(Entry->Name, Name, NameLength * sizeof(CHAR16));
  Entry->Guid = Guid;
  Entry->VarStoreId = VarStoreId;
  Entry->Size = Size;
  Entry->Attributes = Attributes;
  Entry->IsEfi = IsEfi;
  Entry->CardHiiHandle = HiiHandle;
}

const VARSTORE_RECORD *FindVarStore(EFI_HII_HANDLE HiiHandle, UINT16 VarStoreId) {
  if (VarStoreId == 0) return nullptr;
  for (const VARSTORE_RECORD &Entry : VarStoreRegistry) {
    if (Entry.VarStoreId == 0) break;
    if (Entry.VarStoreId == VarStoreId && Entry.CardHiiHandle == HiiHandle) return &Entry;
  }
  return nullptr;
}

EFI_STATUS RecordVarStoreOpcode(EFI_HII_HANDLE HiiHandle, const IfrOpCode &Opcode) {
  if (Opcode.Code() == EFI_IFR_VARSTORE_OP) RecordBufferStore(HiiHandle, Opcode);
  if (Opcode.Code() == EFI_IFR_VARSTORE_EFI_OP) RecordEfiStore(HiiHandle, Opcode);
  return EFI_SUCCESS;
}

EFI_STATUS ReadVarStoreBlock(EFI_HII_HANDLE HiiHandle, const CHAR16 *Name, const EFI_GUID *Guid, UINT8 *Block,
                             UINTN Size) {
  return ReadBlock(HiiHandle, Name, Guid, Block, Size, {});
}

EFI_STATUS ReadCardStoreBlock(EFI_HII_HANDLE HiiHandle, const CHAR16 *Name, const EFI_GUID *Guid,
                              UINT8 *Block, UINTN Size, ByteView List) {
  EFI_HII_CONFIG_ACCESS_PROTOCOL *Access = ListConfigAccess(HiiHandle);
  if (Access == nullptr) return ReadVarStoreBlock(HiiHandle, Name, Guid, Block, Size);
  return ReadBlock(HiiHandle, Name, Guid, Block, Size, {Access, List});
}

EFI_STATUS WriteVarStoreBlock(EFI_HII_HANDLE HiiHandle, const CHAR16 *Name, const EFI_GUID *Guid,
                              const UINT8 *Block, UINTN Size) {
  if (Size > VARSTORE_BLOCK_BYTES) return EFI_BAD_BUFFER_SIZE;
  if (Name == nullptr || Guid == nullptr || (Block == nullptr && Size != 0)) return EFI_INVALID_PARAMETER;
  EFI_HII_CONFIG_ROUTING_PROTOCOL *Router = GetConfigRouting();
  if (Router == nullptr) return EFI_NOT_FOUND;
  auto *Request = static_cast<CHAR16 *>(PoolAllocZero(REQUEST_BYTES));
  if (Request == nullptr) return EFI_OUT_OF_RESOURCES;
  // Two digits a byte and the NUL: more than a request block for stores above
  // half its size.
  const UINTN ValueChars = 2 * Size + 1 > VARSTORE_REQUEST_CHARS ? 2 * Size + 1 : VARSTORE_REQUEST_CHARS;
  auto *ValueText = static_cast<CHAR16 *>(PoolAllocZero(ValueChars * sizeof(CHAR16)));
  if (ValueText == nullptr) {
    PoolFree(Request);
    return EFI_OUT_OF_RESOURCES;
  }
  const EFI_STATUS Status =
      WriteThroughRouter(Router, &Request, ValueText, ValueChars, HiiHandle, Name, *Guid, Block, Size);
  PoolFree(Request);
  PoolFree(ValueText);
  return Status;
}

EFI_STATUS AppendOffsetWidth(CHAR16 **Request, UINTN *RequestSize, UINTN Width) {
  if (Request == nullptr || *Request == nullptr || RequestSize == nullptr) return EFI_INVALID_PARAMETER;
  auto *Piece = static_cast<CHAR16 *>(PoolAllocZero(OFFSET_WIDTH_PIECE_BYTES));
  if (Piece == nullptr) return EFI_OUT_OF_RESOURCES;
  const UINTN PieceLength =
      FormatUtf16(Piece, OFFSET_WIDTH_PIECE_BYTES, OFFSET_WIDTH_FORMAT, 0, static_cast<UINT64>(Width));
  const UINTN RequestLength = Utf16Length(*Request);
  const UINTN NewSize = (RequestLength + PieceLength + 1) * sizeof(CHAR16);
  auto *Grown = static_cast<CHAR16 *>(PoolRealloc(RequestLength * sizeof(CHAR16), NewSize, *Request));
  if (Grown == nullptr) {
    PoolFree(Piece);
    return EFI_OUT_OF_RESOURCES;
  }
  CopyBytes(Grown + RequestLength, Piece, PieceLength * sizeof(CHAR16));
  PoolFree(Piece);
  *Request = Grown;
  *RequestSize = NewSize;
  return EFI_SUCCESS;
}

void DiscardVarStoreReadCache() {
  if (VarStoreReadCache.Block == nullptr) return;
  PoolFree(VarStoreReadCache.Block);
  VarStoreReadCache = {};
}

// A fresh image load: the simulated machine that owned any cache block is gone,
// so the block is forgotten rather than freed.
void ResetForeignVarStoreState() {
  ZeroBytes(VarStoreRegistry, sizeof(VarStoreRegistry));
  VarStoreReadCache = {};
}
