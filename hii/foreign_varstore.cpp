#include "hii/foreign_varstore.h"

#include "driver/driver_state.h"
#include "driver/globals.h"
#include "hii/config_string.h"
#include "support/memory.h"
#include "support/pool.h"
#include "support/print.h"
#include "support/strings.h"
#include "uefi/guids.h"
#include "uefi/ifr.h"

constinit VARSTORE_RECORD VarStoreRegistry[VARSTORE_REGISTRY_ENTRIES] = {};
constinit VARSTORE_READ_CACHE VarStoreReadCache = {};
constinit EFI_HII_DATABASE_PROTOCOL *VarStoreHiiDatabase = nullptr;
constinit EFI_HII_CONFIG_ROUTING_PROTOCOL *VarStoreRouter = nullptr;

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

constexpr UINTN REQUEST_BYTES = VARSTORE_REQUEST_CHARS * sizeof(CHAR16);
constexpr CHAR16 OFFSET_WIDTH_FORMAT[] = u"&OFFSET=%x&WIDTH=%lx";
// "&OFFSET=0&WIDTH=", up to sixteen digits of a 64-bit width, and the NUL: a
// narrower piece would silently cut the digits of a width above 2^60.
constexpr UINTN OFFSET_WIDTH_PIECE_BYTES = (ArrayCount(u"&OFFSET=0&WIDTH=") - 1 + 16 + 1) * sizeof(CHAR16);
constexpr CHAR16 VALUE_KEY[] = u"&VALUE=";
constexpr UINTN VALUE_KEY_CHARS = ArrayCount(VALUE_KEY) - 1;

UINT16 ReadUint16(const UINT8 *Bytes) { return static_cast<UINT16>(Bytes[0] | (Bytes[1] << 8)); }
UINT32 ReadUint32(const UINT8 *Bytes) {
  return static_cast<UINT32>(ReadUint16(Bytes)) | (static_cast<UINT32>(ReadUint16(Bytes + 2)) << 16);
}

// Widens the ASCII name bytes [Start, End) of an opcode into a cleared name
// buffer, stopping at a NUL or after the characters a registry entry keeps.
void CopyOpcodeName(const UINT8 *Opcode, UINTN Start, UINTN End, CHAR16 (&Name)[VARSTORE_NAME_CHARS]) {
  ZeroBytes(Name, sizeof(Name));
  for (UINTN Index = 0; Index < VARSTORE_NAME_KEPT_CHARS && Start + Index < End; ++Index) {
    const UINT8 Byte = Opcode[Start + Index];
    if (Byte == 0) break;
    Name[Index] = Byte;
  }
}

bool CacheHolds(EFI_HII_HANDLE HiiHandle, const CHAR16 *Name, const EFI_GUID &Guid, UINTN Size) {
  const VARSTORE_READ_CACHE &Cache = VarStoreReadCache;
  return Cache.Block != nullptr && Cache.HiiHandle == HiiHandle && Cache.Size == Size &&
         GuidEquals(Cache.Guid, Guid) && Utf16CompareN(Cache.Name, Name, VARSTORE_NAME_CHARS) == 0;
}

// Replaces the cache with a copy of the block just read. A name that does not
// fit the key is not cached; a failed allocation leaves no cache at all.
void KeepReadBlock(EFI_HII_HANDLE HiiHandle, const CHAR16 *Name, const EFI_GUID &Guid, const UINT8 *Block,
                   UINTN Size) {
  DiscardVarStoreReadCache();
  if (Utf16LengthBounded(Name, VARSTORE_NAME_CHARS) >= VARSTORE_NAME_CHARS) return;
  auto *Copy = static_cast<UINT8 *>(PoolAlloc(VARSTORE_BLOCK_BYTES));
  if (Copy == nullptr) return;
  if (Size != 0) CopyBytes(Copy, Block, Size);
  VarStoreReadCache.Block = Copy;
  VarStoreReadCache.HiiHandle = HiiHandle;
  VarStoreReadCache.Guid = Guid;
  VarStoreReadCache.Size = Size;
  Utf16CopyChecked(VarStoreReadCache.Name, VARSTORE_NAME_CHARS, Name);
}

// The handle of the driver that registered the package list HiiHandle.
EFI_STATUS GetForeignDriverHandle(EFI_HII_HANDLE HiiHandle, EFI_HANDLE *ForeignDriver) {
  EFI_HII_DATABASE_PROTOCOL *Database = GetHiiDatabase();
  if (Database == nullptr) return EFI_NOT_FOUND;
  *ForeignDriver = nullptr;
  return Database->GetPackageListHandle(Database, HiiHandle, ForeignDriver);
}

EFI_STATUS LocateRouter() {
  if (VarStoreRouter != nullptr) return EFI_SUCCESS;
  void *Interface = nullptr;
  const EFI_STATUS Status =
      BootServices->LocateProtocol(&EFI_HII_CONFIG_ROUTING_PROTOCOL_GUID, nullptr, &Interface);
  if (EFI_ERROR(Status)) return Status;
  if (Interface == nullptr) return EFI_NOT_FOUND;
  VarStoreRouter = static_cast<EFI_HII_CONFIG_ROUTING_PROTOCOL *>(Interface);
  return EFI_SUCCESS;
}

EFI_STATUS GetDriverDevicePath(EFI_HANDLE ForeignDriver, const EFI_DEVICE_PATH_PROTOCOL **Path) {
  void *Interface = nullptr;
  const EFI_STATUS Status =
      BootServices->HandleProtocol(ForeignDriver, &EFI_DEVICE_PATH_PROTOCOL_GUID, &Interface);
  if (EFI_ERROR(Status)) return Status;
  if (Interface == nullptr) return EFI_NOT_FOUND;
  *Path = static_cast<const EFI_DEVICE_PATH_PROTOCOL *>(Interface);
  return EFI_SUCCESS;
}

// Writes "GUID=<32 digits>&NAME=<4 digits a character>&PATH=<2 digits a byte>"
// into a cleared request of VARSTORE_REQUEST_CHARS code units, or refuses with
// EFI_BUFFER_TOO_SMALL when it would not fit with Reserve more code units after it.
EFI_STATUS BuildStoreHeader(CHAR16 *Request, const EFI_GUID &Guid, const CHAR16 *Name,
                            const EFI_DEVICE_PATH_PROTOCOL *Path, UINTN Reserve) {
  constexpr UINTN GUID_DIGITS_AT = 5;
  constexpr UINTN NAME_KEY_AT = GUID_DIGITS_AT + 2 * sizeof(EFI_GUID);
  constexpr UINTN NAME_DIGITS_AT = NAME_KEY_AT + 6;
  const UINTN NameLength = Utf16LengthBounded(Name, VARSTORE_REQUEST_CHARS);
  const UINTN PathSize = DevicePathByteSize(Path);
  if (NameLength >= VARSTORE_REQUEST_CHARS / 4 || PathSize >= VARSTORE_REQUEST_CHARS / 2)
    return EFI_BUFFER_TOO_SMALL;
  const UINTN PathKeyAt = NAME_DIGITS_AT + 4 * NameLength;
  const UINTN PathDigitsAt = PathKeyAt + 6;
  if (PathDigitsAt + 2 * PathSize + Reserve >= VARSTORE_REQUEST_CHARS) return EFI_BUFFER_TOO_SMALL;

  CopyBytes(Request, u"GUID=", GUID_DIGITS_AT * sizeof(CHAR16));
  EFI_STATUS Status = HexEncodeBytes(Request + GUID_DIGITS_AT, VARSTORE_REQUEST_CHARS - GUID_DIGITS_AT,
                                     reinterpret_cast<const UINT8 *>(&Guid), sizeof(EFI_GUID));
  if (EFI_ERROR(Status)) return Status;
  CopyBytes(Request + NAME_KEY_AT, u"&NAME=", 6 * sizeof(CHAR16));
  UINTN NameSize = (4 * NameLength + 1) * sizeof(CHAR16);
  Status = HexEncodeName(Request + NAME_DIGITS_AT, &NameSize, Name);
  if (EFI_ERROR(Status)) return Status;
  CopyBytes(Request + PathKeyAt, u"&PATH=", 6 * sizeof(CHAR16));
  return HexEncodeBytes(Request + PathDigitsAt, VARSTORE_REQUEST_CHARS - PathDigitsAt,
                        reinterpret_cast<const UINT8 *>(Path), PathSize);
}

// The ExtractConfig request: the store's header, then "&OFFSET=0&WIDTH=" and
// eight digits of Size.
EFI_STATUS BuildReadRequest(CHAR16 *Request, const EFI_GUID &Guid, const CHAR16 *Name,
                            const EFI_DEVICE_PATH_PROTOCOL *Path, UINTN Size) {
  constexpr CHAR16 TAIL_KEYS[] = u"&OFFSET=0&WIDTH=";
  const EFI_STATUS Status = BuildStoreHeader(Request, Guid, Name, Path, ArrayCount(TAIL_KEYS) - 1 + 8);
  if (EFI_ERROR(Status)) return Status;
  if (EFI_ERROR(Utf16AppendChecked(Request, VARSTORE_REQUEST_CHARS, TAIL_KEYS)) ||
      EFI_ERROR(Utf16AppendChecked(Request, VARSTORE_REQUEST_CHARS, HexText32(Size))))
    return EFI_BUFFER_TOO_SMALL;
  return EFI_SUCCESS;
}

// Takes the first VALUE of an ExtractConfig answer as the whole Size-byte block.
// Fewer digits than the block has mean leading zero bytes; more than it holds,
// or none at all, are refused and Block is left alone.
EFI_STATUS DecodeReadValue(const CHAR16 *Results, UINT8 *Block, UINTN Size) {
  const CHAR16 *Value = Utf16Find(Results, VALUE_KEY);
  if (Value == nullptr) return EFI_NOT_FOUND;
  Value += VALUE_KEY_CHARS;
  const UINTN Digits = CountHexDigits(Value, 2 * Size + 1);
  if (Digits > 2 * Size) return EFI_BUFFER_TOO_SMALL;
  if (Digits == 0 && Size != 0) return EFI_NOT_FOUND;
  if (Size != 0) ZeroBytes(Block, Size);
  return HexDecodeNumber(Block, Size, Value);
}

EFI_STATUS ExtractBlock(const CHAR16 *Request, UINT8 *Block, UINTN Size) {
  CHAR16 *Progress = nullptr;
  CHAR16 *Results = nullptr;
  EFI_STATUS Status = VarStoreRouter->ExtractConfig(VarStoreRouter, Request, &Progress, &Results);
  if (EFI_ERROR(Status)) return Status;
  Status = DecodeReadValue(Results, Block, Size);
  PoolFree(Results);
  return Status;
}

// Everything of a read after the request block exists; the caller releases it.
EFI_STATUS ReadThroughRouter(CHAR16 *Request, EFI_HII_HANDLE HiiHandle, const CHAR16 *Name,
                             const EFI_GUID &Guid, UINT8 *Block, UINTN Size) {
  EFI_HANDLE ForeignDriver = nullptr;
  EFI_STATUS Status = GetForeignDriverHandle(HiiHandle, &ForeignDriver);
  if (EFI_ERROR(Status)) return Status;
  Status = LocateRouter();
  if (EFI_ERROR(Status)) return Status;
  ZeroBytes(Request, REQUEST_BYTES);
  const EFI_DEVICE_PATH_PROTOCOL *Path = nullptr;
  Status = GetDriverDevicePath(ForeignDriver, &Path);
  if (EFI_ERROR(Status)) return Status;
  Status = BuildReadRequest(Request, Guid, Name, Path, Size);
  if (EFI_ERROR(Status)) return Status;
  Status = ExtractBlock(Request, Block, Size);
  if (EFI_ERROR(Status)) return Status;
  KeepReadBlock(HiiHandle, Name, Guid, Block, Size);
  return EFI_SUCCESS;
}

// Appends "&VALUE=" and the digits of the block (last byte first) to the
// request, growing it to fit; EFI_OUT_OF_RESOURCES leaves *Request as it was.
EFI_STATUS AppendValue(CHAR16 **Request, UINTN RequestSize, CHAR16 *ValueText, UINTN ValueChars,
                       const UINT8 *Block, UINTN Size) {
  UINTN Count = 0;
  EFI_STATUS Status = HexEncodeNumber(ValueText, ValueChars, &Count, Block, Size, 2 * Size);
  if (EFI_ERROR(Status)) return Status;
  const UINTN NewSize = RequestSize + (VALUE_KEY_CHARS + Count) * sizeof(CHAR16);
  auto *Grown = static_cast<CHAR16 *>(ResizePool(*Request, RequestSize, NewSize));
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
EFI_STATUS WriteThroughRouter(CHAR16 **Request, CHAR16 *ValueText, UINTN ValueChars, EFI_HII_HANDLE HiiHandle,
                              const CHAR16 *Name, const EFI_GUID &Guid, const UINT8 *Block, UINTN Size) {
  EFI_HANDLE ForeignDriver = nullptr;
  EFI_STATUS Status = GetForeignDriverHandle(HiiHandle, &ForeignDriver);
  if (EFI_ERROR(Status)) return Status;
  if (VarStoreRouter == nullptr) return EFI_NOT_FOUND;
  const EFI_DEVICE_PATH_PROTOCOL *Path = nullptr;
  Status = GetDriverDevicePath(ForeignDriver, &Path);
  if (EFI_ERROR(Status)) return Status;
  Status = BuildStoreHeader(*Request, Guid, Name, Path, 0);
  if (EFI_ERROR(Status)) return Status;
  UINTN RequestSize = REQUEST_BYTES;
  Status = AppendOffsetWidth(Request, &RequestSize, Size);
  if (EFI_ERROR(Status)) return Status;
  Status = AppendValue(Request, RequestSize, ValueText, ValueChars, Block, Size);
  if (EFI_ERROR(Status)) return Status;
  CHAR16 *Progress = nullptr;
  Status = VarStoreRouter->RouteConfig(VarStoreRouter, *Request, &Progress);
  // The store may have changed even when the router reports a failure part way.
  if (CacheHolds(HiiHandle, Name, Guid, Size)) DiscardVarStoreReadCache();
  return Status;
}

}  // namespace

EFI_HII_DATABASE_PROTOCOL *GetHiiDatabase() {
  if (VarStoreHiiDatabase == nullptr) {
    void *Interface = nullptr;
    if (!EFI_ERROR(BootServices->LocateProtocol(&EFI_HII_DATABASE_PROTOCOL_GUID, nullptr, &Interface)))
      VarStoreHiiDatabase = static_cast<EFI_HII_DATABASE_PROTOCOL *>(Interface);
  }
  return VarStoreHiiDatabase;
}

UINTN DevicePathByteSize(const EFI_DEVICE_PATH_PROTOCOL *Path) {
  if (Path == nullptr) return 0;
  const auto *Node = reinterpret_cast<const UINT8 *>(Path);
  UINTN Size = 0;
  for (;;) {
    const auto &Header = *reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(Node + Size);
    if (IsDevicePathEndNode(Header)) return Size + END_DEVICE_PATH_LENGTH;
    const UINT16 Length = DevicePathNodeLength(Header);
    if (Header.Type == 0 || Length < sizeof(EFI_DEVICE_PATH_PROTOCOL)) return Size;
    Size += Length;
    if (Size > DEVICE_PATH_WALK_LIMIT) return Size;
  }
}

void RegisterVarStore(const CHAR16 *Name, const EFI_GUID &Guid, UINT16 VarStoreId, UINT16 Size,
                      UINT32 Attributes, UINT8 IsEfi) {
  if (VarStoreId == 0) return;
  for (VARSTORE_RECORD &Entry : VarStoreRegistry) {
    if (Entry.VarStoreId != 0) continue;
    ZeroBytes(Entry.Name, sizeof(Entry.Name));
    const UINTN NameLength = Utf16LengthBounded(Name, VARSTORE_NAME_CHARS - 1);
    if (NameLength != 0) CopyBytes(Entry.Name, Name, NameLength * sizeof(CHAR16));
    Entry.Guid = Guid;
    Entry.VarStoreId = VarStoreId;
    Entry.Size = Size;
    Entry.Attributes = Attributes;
    Entry.IsEfi = IsEfi;
    return;
  }
}

BOOLEAN FindVarStore(UINT16 VarStoreId, CHAR16 *NameOut, EFI_GUID *GuidOut, UINT16 *SizeOut,
                     UINT32 *AttributesOut, UINT8 *IsEfiOut) {
  if (VarStoreId == 0) return FALSE;
  for (const VARSTORE_RECORD &Entry : VarStoreRegistry) {
    if (Entry.VarStoreId == 0) break;
    if (Entry.VarStoreId != VarStoreId) continue;
    if (NameOut != nullptr) CopyBytes(NameOut, Entry.Name, sizeof(Entry.Name));
    if (GuidOut != nullptr) *GuidOut = Entry.Guid;
    if (SizeOut != nullptr) *SizeOut = Entry.Size;
    if (AttributesOut != nullptr) *AttributesOut = Entry.Attributes;
    if (IsEfiOut != nullptr) *IsEfiOut = Entry.IsEfi;
    return TRUE;
  }
  return FALSE;
}

EFI_STATUS RecordVarStoreOpcode(const UINT8 *Opcode, UINTN Available) {
  if (Opcode == nullptr || Available < 2) return EFI_SUCCESS;
  const UINTN OpcodeLength = Opcode[1] & IFR_LENGTH_MASK;
  const UINTN Length = OpcodeLength < Available ? OpcodeLength : Available;
  CHAR16 Name[VARSTORE_NAME_CHARS];
  EFI_GUID Guid;
  if (Opcode[0] == EFI_IFR_VARSTORE_OP && Length >= VARSTORE_NAME_AT) {
    CopyBytes(&Guid, Opcode + VARSTORE_GUID_AT, sizeof(Guid));
    CopyOpcodeName(Opcode, VARSTORE_NAME_AT, Length, Name);
    RegisterVarStore(Name, Guid, ReadUint16(Opcode + VARSTORE_ID_AT), ReadUint16(Opcode + VARSTORE_SIZE_AT),
                     0, 0);
  } else if (Opcode[0] == EFI_IFR_VARSTORE_EFI_OP && Length >= VARSTORE_EFI_NAME_AT) {
    CopyBytes(&Guid, Opcode + VARSTORE_EFI_GUID_AT, sizeof(Guid));
    CopyOpcodeName(Opcode, VARSTORE_EFI_NAME_AT, Length, Name);
    RegisterVarStore(Name, Guid, ReadUint16(Opcode + VARSTORE_EFI_ID_AT),
                     ReadUint16(Opcode + VARSTORE_EFI_SIZE_AT),
                     ReadUint32(Opcode + VARSTORE_EFI_ATTRIBUTES_AT), 1);
  }
  return EFI_SUCCESS;
}

EFI_STATUS ReadVarStoreBlock(EFI_HII_HANDLE HiiHandle, const CHAR16 *Name, const EFI_GUID *Guid, UINT8 *Block,
                             UINTN Size) {
  if (Size > VARSTORE_BLOCK_BYTES) return EFI_BAD_BUFFER_SIZE;
  if (Name == nullptr || Guid == nullptr || (Block == nullptr && Size != 0)) return EFI_INVALID_PARAMETER;
  if (CacheHolds(HiiHandle, Name, *Guid, Size)) {
    if (Size != 0) CopyBytes(Block, VarStoreReadCache.Block, Size);
    return EFI_SUCCESS;
  }
  auto *Request = static_cast<CHAR16 *>(PoolAlloc(REQUEST_BYTES));
  if (Request == nullptr) return EFI_OUT_OF_RESOURCES;
  const EFI_STATUS Status = ReadThroughRouter(Request, HiiHandle, Name, *Guid, Block, Size);
  PoolFree(Request);
  return Status;
}

EFI_STATUS WriteVarStoreBlock(EFI_HII_HANDLE HiiHandle, const CHAR16 *Name, const EFI_GUID *Guid,
                              const UINT8 *Block, UINTN Size) {
  if (Size > VARSTORE_BLOCK_BYTES) return EFI_BAD_BUFFER_SIZE;
  if (Name == nullptr || Guid == nullptr || (Block == nullptr && Size != 0)) return EFI_INVALID_PARAMETER;
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
      WriteThroughRouter(&Request, ValueText, ValueChars, HiiHandle, Name, *Guid, Block, Size);
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
  auto *Grown = static_cast<CHAR16 *>(ResizePool(*Request, RequestLength * sizeof(CHAR16), NewSize));
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

void *ResizePool(void *Old, UINTN OldSize, UINTN NewSize) { return PoolRealloc(OldSize, NewSize, Old); }

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
  VarStoreHiiDatabase = nullptr;
  VarStoreRouter = nullptr;
}
