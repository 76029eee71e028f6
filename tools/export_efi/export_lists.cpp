#include "tools/export_efi/export_lists.h"

#include "driver/globals.h"
#include "support/device_path.h"
#include "support/ifr_reader.h"
#include "support/language.h"
#include "support/pool.h"
#include "uefi/guids.h"

namespace {

constexpr UINT32 PCI_VENDOR_ID_OFFSET = 0x00;
constexpr UINT32 PCI_DEVICE_ID_OFFSET = 0x02;
// The database may grow a list between the call that sizes it and the one that
// fills it (a notify function registering strings); a few tries settle that.
constexpr UINTN EXPORT_ATTEMPTS = 4;

EFI_STATUS ReadConfigWord(EFI_PCI_IO_PROTOCOL *PciIo, UINT32 Offset, UINT16 *Value) {
  return PciIo->Pci.Read(PciIo, EfiPciIoWidthUint16, Offset, 1, Value);
}

}  // namespace

EFI_STATUS ListAllPackageLists(EFI_HII_HANDLE **Handles, UINTN *Count) {
  *Handles = nullptr;
  *Count = 0;
  EFI_HII_DATABASE_PROTOCOL *Database = GetHiiDatabase();
  if (Database == nullptr) return EFI_NOT_FOUND;
  for (UINTN Attempt = 0; Attempt < EXPORT_ATTEMPTS; ++Attempt) {
    UINTN Bytes = 0;
    EFI_STATUS Status =
        Database->ListPackageLists(Database, EFI_HII_PACKAGE_TYPE_ALL, nullptr, &Bytes, nullptr);
    if (Status == EFI_NOT_FOUND) return EFI_SUCCESS;
    if (Status != EFI_BUFFER_TOO_SMALL) return EFI_ERROR(Status) ? Status : EFI_DEVICE_ERROR;
    auto *Buffer = static_cast<EFI_HII_HANDLE *>(PoolAllocZero(Bytes));
    if (Buffer == nullptr) return EFI_OUT_OF_RESOURCES;
    UINTN Filled = Bytes;
    Status = Database->ListPackageLists(Database, EFI_HII_PACKAGE_TYPE_ALL, nullptr, &Filled, Buffer);
    if (!EFI_ERROR(Status) && Filled <= Bytes) {
      *Handles = Buffer;
      *Count = Filled / sizeof(EFI_HII_HANDLE);
      return EFI_SUCCESS;
    }
    PoolFree(Buffer);
    if (Status != EFI_BUFFER_TOO_SMALL) return EFI_ERROR(Status) ? Status : EFI_BAD_BUFFER_SIZE;
  }
  return EFI_BUFFER_TOO_SMALL;
}

EFI_STATUS FindOwningPciFunction(EFI_HII_HANDLE HiiHandle, PCI_FUNCTION_IDENTITY *Pci) {
  EFI_HII_DATABASE_PROTOCOL *Database = GetHiiDatabase();
  if (Database == nullptr) return EFI_NOT_FOUND;
  EFI_HANDLE DriverHandle = nullptr;
  EFI_STATUS Status = Database->GetPackageListHandle(Database, HiiHandle, &DriverHandle);
  if (EFI_ERROR(Status)) return Status;
  // A list registered without a driver handle belongs to no device.
  if (DriverHandle == nullptr) return EFI_NOT_FOUND;

  void *Path = nullptr;
  if (EFI_ERROR(BootServices->HandleProtocol(DriverHandle, &EFI_DEVICE_PATH_PROTOCOL_GUID, &Path)) ||
      Path == nullptr)
    return EFI_NOT_FOUND;
  auto *Remaining = static_cast<EFI_DEVICE_PATH_PROTOCOL *>(Path);
  if (!DevicePathIsValid(Remaining)) return EFI_INVALID_PARAMETER;
  EFI_HANDLE Function = nullptr;
  if (EFI_ERROR(BootServices->LocateDevicePath(&EFI_PCI_IO_PROTOCOL_GUID, &Remaining, &Function)))
    return EFI_NOT_FOUND;
  void *Interface = nullptr;
  if (EFI_ERROR(BootServices->HandleProtocol(Function, &EFI_PCI_IO_PROTOCOL_GUID, &Interface)) ||
      Interface == nullptr)
    return EFI_NOT_FOUND;
  auto *PciIo = static_cast<EFI_PCI_IO_PROTOCOL *>(Interface);

  PCI_FUNCTION_IDENTITY Found{};
  Status = ReadConfigWord(PciIo, PCI_VENDOR_ID_OFFSET, &Found.VendorId);
  if (!EFI_ERROR(Status)) Status = ReadConfigWord(PciIo, PCI_DEVICE_ID_OFFSET, &Found.DeviceId);
  if (!EFI_ERROR(Status))
    Status = PciIo->GetLocation(PciIo, &Found.Segment, &Found.Bus, &Found.Device, &Found.Function);
  if (EFI_ERROR(Status)) return Status;
  *Pci = Found;
  return EFI_SUCCESS;
}

bool PackageListIsWellFormed(ByteView List) {
  PackageListReader Packages(List);
  UINT32 Stated = 0;
  if (!List.Read32(__builtin_offsetof(EFI_HII_PACKAGE_LIST_HEADER, PackageLength), &Stated) ||
      Stated != List.Size())
    return false;
  HiiPackage Package;
  bool Ended = false;
  while (Packages.Next(&Package)) {
    if (Ended) return false;  // nothing may follow the end package
    Ended = Package.Type() == EFI_HII_PACKAGE_END;
    if (Ended && Package.Length() != sizeof(EFI_HII_PACKAGE_HEADER)) return false;
  }
  return Ended && Packages.Status() == IfrReadStatus::Ok;
}

EFI_STATUS ExportOnePackageList(EFI_HII_HANDLE HiiHandle, UINT8 **List, UINTN *Size) {
  *List = nullptr;
  *Size = 0;
  EFI_HII_DATABASE_PROTOCOL *Database = GetHiiDatabase();
  if (Database == nullptr) return EFI_NOT_FOUND;
  for (UINTN Attempt = 0; Attempt < EXPORT_ATTEMPTS; ++Attempt) {
    UINTN Needed = 0;
    EFI_STATUS Status = Database->ExportPackageLists(Database, HiiHandle, &Needed, nullptr);
    if (Status != EFI_BUFFER_TOO_SMALL) return EFI_ERROR(Status) ? Status : EFI_COMPROMISED_DATA;
    if (Needed < sizeof(EFI_HII_PACKAGE_LIST_HEADER)) return EFI_COMPROMISED_DATA;
    auto *Buffer = static_cast<UINT8 *>(PoolAllocZero(Needed));
    if (Buffer == nullptr) return EFI_OUT_OF_RESOURCES;
    // On success the firmware leaves the size as passed: the list's own
    // length is in its header.
    UINTN Given = Needed;
    Status = Database->ExportPackageLists(Database, HiiHandle, &Given,
                                          reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER *>(Buffer));
    if (!EFI_ERROR(Status)) {
      UINT32 Length = 0;
      ByteView(Buffer, Needed)
          .Read32(__builtin_offsetof(EFI_HII_PACKAGE_LIST_HEADER, PackageLength), &Length);
      if (Length > Needed || !PackageListIsWellFormed(ByteView(Buffer, Length))) {
        PoolFree(Buffer);
        return EFI_COMPROMISED_DATA;
      }
      *List = Buffer;
      *Size = Length;
      return EFI_SUCCESS;
    }
    PoolFree(Buffer);
    if (Status != EFI_BUFFER_TOO_SMALL) return Status;
  }
  return EFI_BUFFER_TOO_SMALL;
}

EFI_STATUS ReadFormSetTitle(EFI_HII_HANDLE HiiHandle, ByteView List, CHAR16 **Title, EFI_STRING_ID *TitleId) {
  *Title = nullptr;
  *TitleId = 0;
  PackageListReader Packages(List);
  for (HiiPackage Package; Packages.Next(&Package);) {
    if (Package.Type() != EFI_HII_PACKAGE_FORMS) continue;
    IfrCursor Cursor(Package.Bytes());
    for (IfrOpCode Op; Cursor.Next(&Op);) {
      EFI_IFR_FORM_SET FormSet;
      if (Op.Kind() != IfrKind::FormSet || !Op.Load(&FormSet)) continue;
      *TitleId = FormSet.FormSetTitle;
      if (FormSet.FormSetTitle != 0) *Title = GetStringInBestLanguage(HiiHandle, FormSet.FormSetTitle);
      return *Title == nullptr ? EFI_INVALID_LANGUAGE : EFI_SUCCESS;
    }
  }
  return EFI_NOT_FOUND;
}
