// The road application's use of the firmware (see road_platform.h).
#include "qemu/road/road_platform.h"

#include "driver/globals.h"
#include "support/device_path.h"
#include "support/ifr_reader.h"
#include "support/memory.h"
#include "support/pool.h"
#include "support/strings.h"
#include "uefi/guids.h"

namespace {

constexpr CHAR16 HEX_DIGITS[] = u"0123456789abcdef";
constexpr CHAR16 UPPER_HEX_DIGITS[] = u"0123456789ABCDEF";

template <typename T>
EFI_STATUS Locate(const EFI_GUID &Guid, T **Protocol) {
  void *Interface = nullptr;
  const EFI_STATUS Status = BootServices->LocateProtocol(&Guid, nullptr, &Interface);
  *Protocol = EFI_ERROR(Status) ? nullptr : static_cast<T *>(Interface);
  return Status;
}

// Value of one hexadecimal digit, or -1.
int HexDigitValue(CHAR16 Unit) {
  if (Unit >= u'0' && Unit <= u'9') return Unit - u'0';
  if (Unit >= u'a' && Unit <= u'f') return Unit - u'a' + 10;
  if (Unit >= u'A' && Unit <= u'F') return Unit - u'A' + 10;
  return -1;
}

// The digits from Text up to '&' or the end; their count, 0 when one is no digit.
UINTN CountHexDigits(const CHAR16 *Text) {
  UINTN Count = 0;
  for (; Text[Count] != 0 && Text[Count] != u'&'; ++Count)
    if (HexDigitValue(Text[Count]) < 0) return 0;
  return Count;
}

// ---- device paths -----------------------------------------------------------------------

// Path of the disk with a file-path node for FileName appended: a pool block.
EFI_DEVICE_PATH_PROTOCOL *FileOnDisk(const EFI_DEVICE_PATH_PROTOCOL *Disk, const CHAR16 *FileName) {
  const UINTN DiskSize = ValidatedDevicePathSize(Disk);
  if (DiskSize < END_DEVICE_PATH_LENGTH) return nullptr;
  const UINTN Prefix = DiskSize - END_DEVICE_PATH_LENGTH;
  const UINTN NodeSize = sizeof(EFI_DEVICE_PATH_PROTOCOL) + (Utf16Length(FileName) + 1) * sizeof(CHAR16);
  if (NodeSize > 0xFFFF) return nullptr;
  auto *Path = static_cast<UINT8 *>(PoolAllocZero(Prefix + NodeSize + END_DEVICE_PATH_LENGTH));
  if (Path == nullptr) return nullptr;
  CopyBytes(Path, Disk, Prefix);
  UINT8 *Node = Path + Prefix;
  Node[0] = MEDIA_DEVICE_PATH;
  Node[1] = MEDIA_FILEPATH_DP;
  WriteLe(Node + 2, NodeSize, 2);
  CopyBytes(Node + sizeof(EFI_DEVICE_PATH_PROTOCOL), FileName, NodeSize - sizeof(EFI_DEVICE_PATH_PROTOCOL));
  UINT8 *End = Node + NodeSize;
  End[0] = END_DEVICE_PATH_TYPE;
  End[1] = END_ENTIRE_DEVICE_PATH_SUBTYPE;
  End[2] = END_DEVICE_PATH_LENGTH;
  return reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(Path);
}

EFI_STATUS OwnerPath(const ROAD_SERVICES &Services, EFI_HII_HANDLE Handle, EFI_DEVICE_PATH_PROTOCOL **Path) {
  EFI_HANDLE Owner = nullptr;
  EFI_STATUS Status = Services.Database->GetPackageListHandle(Services.Database, Handle, &Owner);
  if (EFI_ERROR(Status)) return Status;
  void *Interface = nullptr;
  Status = BootServices->HandleProtocol(Owner, &EFI_DEVICE_PATH_PROTOCOL_GUID, &Interface);
  if (EFI_ERROR(Status)) return Status;
  *Path = static_cast<EFI_DEVICE_PATH_PROTOCOL *>(Interface);
  return *Path == nullptr ? EFI_NOT_FOUND : EFI_SUCCESS;
}

// ---- package lists ------------------------------------------------------------------------

// The GUID of the form set that opens the list's first forms package.
bool FormSetGuidOf(ByteView List, EFI_GUID *Guid) {
  PackageListReader Packages(List);
  for (HiiPackage Package; Packages.Next(&Package);) {
    if (Package.Type() != EFI_HII_PACKAGE_FORMS) continue;
    IfrCursor Cursor(Package.Bytes());
    IfrOpCode Op;
    return Cursor.Peek(&Op) && Op.Code() == EFI_IFR_FORM_SET_OP &&
           Op.ReadGuid(__builtin_offsetof(EFI_IFR_FORM_SET, Guid), Guid);
  }
  return false;
}

// Every registered list's handle, in a pool array.
EFI_STATUS ListAll(const ROAD_SERVICES &Services, EFI_HII_HANDLE **Handles, UINTN *Count) {
  UINTN Length = 0;
  EFI_STATUS Status = Services.Database->ListPackageLists(Services.Database, EFI_HII_PACKAGE_TYPE_ALL,
                                                          nullptr, &Length, nullptr);
  if (Status != EFI_BUFFER_TOO_SMALL) return EFI_ERROR(Status) ? Status : EFI_NOT_FOUND;
  *Handles = static_cast<EFI_HII_HANDLE *>(PoolAlloc(Length));
  if (*Handles == nullptr) return EFI_OUT_OF_RESOURCES;
  Status = Services.Database->ListPackageLists(Services.Database, EFI_HII_PACKAGE_TYPE_ALL, nullptr, &Length,
                                               *Handles);
  if (EFI_ERROR(Status)) {
    PoolFree(*Handles);
    *Handles = nullptr;
    return Status;
  }
  *Count = Length / sizeof(EFI_HII_HANDLE);
  return EFI_SUCCESS;
}

}  // namespace

EFI_STATUS LocateRoadServices(EFI_HANDLE ImageHandle, ROAD_SERVICES *Services) {
  *Services = {};
  Services->ImageHandle = ImageHandle;
  EFI_STATUS Status = Locate(EFI_HII_DATABASE_PROTOCOL_GUID, &Services->Database);
  if (!EFI_ERROR(Status)) Status = Locate(EFI_HII_STRING_PROTOCOL_GUID, &Services->Strings);
  if (!EFI_ERROR(Status)) Status = Locate(EFI_HII_CONFIG_ROUTING_PROTOCOL_GUID, &Services->Router);
  if (!EFI_ERROR(Status)) Status = Locate(EFI_CONFIG_KEYWORD_HANDLER_PROTOCOL_GUID, &Services->Keywords);
  return Status;
}

// ---- text --------------------------------------------------------------------------------------

RoadText &RoadText::Char(CHAR16 Unit) {
  if (Length_ >= CAPACITY) {
    Overflowed_ = true;
    return *this;
  }
  Chars_[Length_++] = Unit;
  Chars_[Length_] = 0;
  return *this;
}

RoadText &RoadText::Ascii(const CHAR8 *Piece) {
  while (Piece != nullptr && *Piece != 0) Char(static_cast<CHAR16>(static_cast<UINT8>(*Piece++)));
  return *this;
}

RoadText &RoadText::Utf16(const CHAR16 *Piece) {
  while (Piece != nullptr && *Piece != 0) Char(*Piece++);
  return *this;
}

RoadText &RoadText::HexBytes(const void *Bytes, UINTN Count) {
  const auto *Byte = static_cast<const UINT8 *>(Bytes);
  for (UINTN Index = 0; Index < Count; ++Index)
    Char(HEX_DIGITS[Byte[Index] >> 4]).Char(HEX_DIGITS[Byte[Index] & 0xF]);
  return *this;
}

RoadText &RoadText::HexValue(UINT64 Value, UINTN Digits, bool Upper) {
  const CHAR16 *Table = Upper ? UPPER_HEX_DIGITS : HEX_DIGITS;
  for (UINTN Index = Digits; Index > 0; --Index)
    Char(Table[Index > 16 ? 0 : (Value >> (4 * (Index - 1))) & 0xF]);
  return *this;
}

// ---- images, controllers, triggers --------------------------------------------------------

EFI_STATUS LoadAndStartImage(const ROAD_SERVICES &Services, const CHAR16 *FileName, EFI_STATUS *Loaded) {
  void *Interface = nullptr;
  *Loaded = BootServices->HandleProtocol(Services.ImageHandle, &EFI_LOADED_IMAGE_PROTOCOL_GUID, &Interface);
  if (EFI_ERROR(*Loaded)) return *Loaded;
  const auto *Self = static_cast<const EFI_LOADED_IMAGE_PROTOCOL *>(Interface);
  *Loaded = BootServices->HandleProtocol(Self->DeviceHandle, &EFI_DEVICE_PATH_PROTOCOL_GUID, &Interface);
  if (EFI_ERROR(*Loaded)) return *Loaded;
  EFI_DEVICE_PATH_PROTOCOL *Path =
      FileOnDisk(static_cast<const EFI_DEVICE_PATH_PROTOCOL *>(Interface), FileName);
  if (Path == nullptr) return *Loaded = EFI_OUT_OF_RESOURCES;
  EFI_HANDLE Image = nullptr;
  *Loaded = BootServices->LoadImage(0, Services.ImageHandle, Path, nullptr, 0, &Image);
  PoolFree(Path);
  if (EFI_ERROR(*Loaded)) return *Loaded;
  return BootServices->StartImage(Image, nullptr, nullptr);
}

EFI_STATUS InstallTrigger(const EFI_GUID &Trigger) {
  EFI_HANDLE Handle = nullptr;
  return BootServices->InstallProtocolInterface(&Handle, &Trigger, EFI_NATIVE_INTERFACE, nullptr);
}

// ---- package lists ----------------------------------------------------------------------------

void FreeExport(EXPORTED_LIST *List) {
  PoolFree(List->Bytes);
  *List = {};
}

EFI_STATUS ExportList(const ROAD_SERVICES &Services, EFI_HII_HANDLE Handle, EXPORTED_LIST *List) {
  *List = {Handle, nullptr, 0};
  UINTN Size = 0;
  EFI_STATUS Status = Services.Database->ExportPackageLists(Services.Database, Handle, &Size, nullptr);
  if (Status != EFI_BUFFER_TOO_SMALL) return EFI_ERROR(Status) ? Status : EFI_NOT_FOUND;
  List->Bytes = static_cast<UINT8 *>(PoolAlloc(Size));
  if (List->Bytes == nullptr) return EFI_OUT_OF_RESOURCES;
  Status = Services.Database->ExportPackageLists(
      Services.Database, Handle, &Size, reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER *>(List->Bytes));
  if (EFI_ERROR(Status)) {
    FreeExport(List);
    return Status;
  }
  List->Size = Size;
  return EFI_SUCCESS;
}

EFI_HII_HANDLE FindListByFormSet(const ROAD_SERVICES &Services, const EFI_GUID &FormSetGuid,
                                 UINTN *ListCount) {
  EFI_HII_HANDLE *Handles = nullptr;
  UINTN Count = 0;
  if (ListCount != nullptr) *ListCount = 0;
  if (EFI_ERROR(ListAll(Services, &Handles, &Count))) return nullptr;
  if (ListCount != nullptr) *ListCount = Count;
  EFI_HII_HANDLE Found = nullptr;
  for (UINTN Index = 0; Index < Count && Found == nullptr; ++Index) {
    EXPORTED_LIST List;
    if (EFI_ERROR(ExportList(Services, Handles[Index], &List))) continue;
    EFI_GUID Guid = {};
    if (FormSetGuidOf(List.View(), &Guid) && GuidEquals(Guid, FormSetGuid)) Found = Handles[Index];
    FreeExport(&List);
  }
  PoolFree(Handles);
  return Found;
}

CHAR16 *ReadHiiString(const ROAD_SERVICES &Services, EFI_HII_HANDLE Handle, EFI_STRING_ID Id,
                      const CHAR8 *Language) {
  UINTN Size = 0;
  CHAR16 Probe = 0;
  EFI_STATUS Status =
      Services.Strings->GetString(Services.Strings, Language, Handle, Id, &Probe, &Size, nullptr);
  if (Status != EFI_BUFFER_TOO_SMALL) {
    // An empty string fits the probe (its size is only the terminator).
    return Status == EFI_SUCCESS ? static_cast<CHAR16 *>(PoolAllocZero(sizeof(CHAR16))) : nullptr;
  }
  auto *String = static_cast<CHAR16 *>(PoolAllocZero(Size + sizeof(CHAR16)));
  if (String == nullptr) return nullptr;
  Status = Services.Strings->GetString(Services.Strings, Language, Handle, Id, String, &Size, nullptr);
  if (EFI_ERROR(Status)) {
    PoolFree(String);
    return nullptr;
  }
  return String;
}

bool ListOwnerPathHex(const ROAD_SERVICES &Services, EFI_HII_HANDLE Handle, RoadText *Hex) {
  EFI_DEVICE_PATH_PROTOCOL *Path = nullptr;
  if (EFI_ERROR(OwnerPath(Services, Handle, &Path))) return false;
  const UINTN Size = ValidatedDevicePathSize(Path);
  if (Size == 0) return false;
  Hex->HexBytes(Path, Size);
  return !Hex->Overflowed();
}

EFI_STATUS ListOwnerFunction(const ROAD_SERVICES &Services, EFI_HII_HANDLE Handle, OWNER_FUNCTION *Owner) {
  EFI_DEVICE_PATH_PROTOCOL *Path = nullptr;
  EFI_STATUS Status = OwnerPath(Services, Handle, &Path);
  if (EFI_ERROR(Status)) return Status;
  EFI_HANDLE Function = nullptr;
  Status = BootServices->LocateDevicePath(&EFI_PCI_IO_PROTOCOL_GUID, &Path, &Function);
  if (EFI_ERROR(Status)) return Status;
  void *Interface = nullptr;
  Status = BootServices->HandleProtocol(Function, &EFI_PCI_IO_PROTOCOL_GUID, &Interface);
  if (EFI_ERROR(Status)) return Status;
  auto *PciIo = static_cast<EFI_PCI_IO_PROTOCOL *>(Interface);
  *Owner = {};
  UINTN Segment = 0;
  Status = PciIo->Pci.Read(PciIo, EfiPciIoWidthUint16, 0, 1, &Owner->VendorId);
  if (!EFI_ERROR(Status)) Status = PciIo->Pci.Read(PciIo, EfiPciIoWidthUint16, 2, 1, &Owner->DeviceId);
  if (!EFI_ERROR(Status))
    Status = PciIo->GetLocation(PciIo, &Segment, &Owner->Bus, &Owner->Device, &Owner->Function);
  return Status;
}

// ---- keywords ---------------------------------------------------------------------------------

void FreeReading(KEYWORD_READING *Reading) {
  PoolFree(Reading->Answer);
  Reading->Answer = nullptr;
}

KEYWORD_READING GetKeyword(const ROAD_SERVICES &Services, const CHAR16 *PathHex, const CHAR16 *Keyword) {
  KEYWORD_READING Reading = {};
  RoadText Request;
  Request.Ascii("PATH=").Utf16(PathHex).Ascii("&KEYWORD=").Utf16(Keyword);
  if (Request.Overflowed()) {
    Reading.Status = EFI_BUFFER_TOO_SMALL;
    return Reading;
  }
  CHAR16 *Progress = nullptr;
  Reading.Status = Services.Keywords->GetData(Services.Keywords, ROAD_NAMESPACE, Request.Chars(), &Progress,
                                              &Reading.ProgressErr, &Reading.Answer);
  const CHAR16 *Value = Reading.Answer == nullptr ? nullptr : Utf16Find(Reading.Answer, u"&VALUE=");
  if (Value != nullptr) {
    Value += 7;
    Reading.Digits = CountHexDigits(Value);
    for (UINTN Index = 0; Index < Reading.Digits && Index < 16; ++Index)
      Reading.Value = Reading.Value << 4 | static_cast<UINT64>(HexDigitValue(Value[Index]));
    if (Reading.Digits > 16) Reading.Digits = 0;
  }
  Reading.ReadOnly = Reading.Answer != nullptr && Utf16Find(Reading.Answer, u"&READONLY") != nullptr;
  return Reading;
}

EFI_STATUS SetKeyword(const ROAD_SERVICES &Services, const CHAR16 *PathHex, const CHAR16 *Keyword,
                      UINT64 Value, UINTN Digits, UINT32 *ProgressErr, RoadText *Request) {
  RoadText Local;
  RoadText &Text = Request != nullptr ? *Request : Local;
  Text.Utf16(ROAD_NAMESPACE)
      .Ascii("&PATH=")
      .Utf16(PathHex)
      .Ascii("&KEYWORD=")
      .Utf16(Keyword)
      .Ascii("&VALUE=");
  Text.HexValue(Value, Digits);
  if (Text.Overflowed()) return EFI_BUFFER_TOO_SMALL;
  CHAR16 *Progress = nullptr;
  *ProgressErr = 0;
  return Services.Keywords->SetData(Services.Keywords, Text.Chars(), &Progress, ProgressErr);
}

// ---- stores ------------------------------------------------------------------------------------

EFI_STATUS ReadBufferStore(const ROAD_SERVICES &Services, const EFI_GUID &Guid, const CHAR8 *Name,
                           const CHAR16 *PathHex, UINT8 *Bytes, UINTN Size) {
  RoadText Request;
  Request.Ascii("GUID=").HexBytes(&Guid, sizeof(Guid)).Ascii("&NAME=");
  for (const CHAR8 *Char = Name; *Char != 0; ++Char) Request.HexValue(static_cast<UINT8>(*Char), 4);
  Request.Ascii("&PATH=").Utf16(PathHex).Ascii("&OFFSET=0&WIDTH=").HexValue(Size, 4);
  if (Request.Overflowed()) return EFI_BUFFER_TOO_SMALL;
  CHAR16 *Progress = nullptr;
  CHAR16 *Results = nullptr;
  EFI_STATUS Status = Services.Router->ExtractConfig(Services.Router, Request.Chars(), &Progress, &Results);
  const CHAR16 *Value = Results == nullptr ? nullptr : Utf16Find(Results, u"&VALUE=");
  if (!EFI_ERROR(Status)) {
    Status = EFI_PROTOCOL_ERROR;
    if (Value != nullptr && CountHexDigits(Value + 7) == 2 * Size) {
      Value += 7;
      // Most significant first: the block's last byte comes first.
      for (UINTN Index = 0; Index < Size; ++Index) {
        const UINTN At = 2 * (Size - 1 - Index);
        Bytes[Index] = static_cast<UINT8>(HexDigitValue(Value[At]) << 4 | HexDigitValue(Value[At + 1]));
      }
      Status = EFI_SUCCESS;
    }
  }
  PoolFree(Results);
  return Status;
}

EFI_STATUS ReadVariable(const CHAR16 *Name, const EFI_GUID &Guid, void *Bytes, UINTN Size,
                        UINT32 *Attributes) {
  auto *Buffer = static_cast<UINT8 *>(PoolAlloc(Size + 1));
  if (Buffer == nullptr) return EFI_OUT_OF_RESOURCES;
  UINTN Read = Size + 1;
  UINT32 Found = 0;
  EFI_STATUS Status = RuntimeServices->GetVariable(Name, &Guid, &Found, &Read, Buffer);
  if (!EFI_ERROR(Status) && Read != Size) Status = EFI_BAD_BUFFER_SIZE;
  if (!EFI_ERROR(Status)) CopyBytes(Bytes, Buffer, Size);
  if (Attributes != nullptr) *Attributes = Found;
  PoolFree(Buffer);
  return Status;
}
