// The driver's own registration, as start-up does it: RegisterPackageList joins
// the strings and forms arrays on a new handle that carries the vendor device
// path. Its export must be the export of the list the earlier group built by hand
// and registered with NewPackageList. The handle then becomes the driver's own
// (DriverHandle, DriverHiiHandle, current HII handle) for the groups that follow.
#include "driver/globals.h"
#include "forms/identities.h"
#include "forms/static_packages.h"
#include "hii/registration.h"
#include "qemu/check_groups.h"
#include "qemu/static_package_list.h"
#include "support/language.h"
#include "support/memory.h"
#include "support/pool.h"
#include "uefi/guids.h"

namespace {

EFI_STATUS InstallVendorDevicePath(EFI_HANDLE *Handle) {
  *Handle = nullptr;
  return BootServices->InstallProtocolInterface(
      Handle, &EFI_DEVICE_PATH_PROTOCOL_GUID, EFI_NATIVE_INTERFACE,
      const_cast<ADDONCARD_DEVICE_PATH_NODES *>(&ADDONCARD_DEVICE_PATH));
}

void UninstallVendorDevicePath(EFI_HANDLE Handle) {
  BootServices->UninstallProtocolInterface(Handle, &EFI_DEVICE_PATH_PROTOCOL_GUID,
                                           const_cast<ADDONCARD_DEVICE_PATH_NODES *>(&ADDONCARD_DEVICE_PATH));
}

struct Export {
  UINT8 *Bytes = nullptr;
  UINTN Size = 0;
};

// The exported list in a pool block the caller frees; empty on any failure.
Export ExportList(EFI_HII_HANDLE HiiHandle) {
  UINTN Size = 0;
  if (HiiDatabase->ExportPackageLists(HiiDatabase, HiiHandle, &Size, nullptr) != EFI_BUFFER_TOO_SMALL ||
      Size < sizeof(EFI_HII_PACKAGE_LIST_HEADER))
    return {};
  auto *Bytes = static_cast<UINT8 *>(PoolAllocZero(Size));
  if (Bytes == nullptr) return {};
  UINTN Written = Size;
  const EFI_STATUS Status = HiiDatabase->ExportPackageLists(
      HiiDatabase, HiiHandle, &Written, reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER *>(Bytes));
  if (EFI_ERROR(Status) || Written != Size) {
    PoolFree(Bytes);
    return {};
  }
  return {Bytes, Size};
}

// The export of the hand-built list on a handle of its own, registered and
// removed again: the reference the driver's registration is held against.
Export ExportHandBuiltList(ReportLine &Details) {
  EFI_HANDLE Handle = nullptr;
  EFI_STATUS Status = InstallVendorDevicePath(&Handle);
  if (EFI_ERROR(Status)) {
    Details.Text("reference handle: InstallProtocolInterface gave ").Status(Status);
    return {};
  }
  EFI_HII_PACKAGE_LIST_HEADER *List = BuildStaticPackageList();
  EFI_HII_HANDLE HiiHandle = nullptr;
  Status = List == nullptr ? EFI_OUT_OF_RESOURCES
                           : HiiDatabase->NewPackageList(HiiDatabase, List, Handle, &HiiHandle);
  PoolFree(List);
  Export Reference;
  if (EFI_ERROR(Status)) {
    Details.Text("reference list: NewPackageList gave ").Status(Status);
  } else {
    Reference = ExportList(HiiHandle);
    if (Reference.Bytes == nullptr) Details.Text("the reference list could not be exported");
    HiiDatabase->RemovePackageList(HiiDatabase, HiiHandle);
  }
  UninstallVendorDevicePath(Handle);
  return Reference;
}

// The first package after the list header: the forms package, which the
// database exports first.
bool FormsPackageIsTheArray(const Export &Exported) {
  const UINTN Start = sizeof(EFI_HII_PACKAGE_LIST_HEADER);
  return Exported.Size >= Start + ADDONCARD_FORM_PACKAGE_SIZE &&
         CompareBytes(Exported.Bytes + Start, AddOnCardForms + STATIC_ARRAY_LENGTH_PREFIX,
                      ADDONCARD_FORM_PACKAGE_SIZE) == 0;
}

void CheckExportMatchesHandBuiltList(CheckLog &Log, EFI_HII_HANDLE HiiHandle) {
  ReportLine Details;
  Export Registered = ExportList(HiiHandle);
  Export Reference = ExportHandBuiltList(Details);
  if (Registered.Bytes == nullptr) Details.Text("the registered list could not be exported");
  const bool Exported = Registered.Bytes != nullptr && Reference.Bytes != nullptr;
  if (Exported && Registered.Size != Reference.Size)
    Details.Text("sizes ").Decimal(Registered.Size).Text(" and ").Decimal(Reference.Size);
  Log.Record("registration/the export equals that of the same arrays registered through NewPackageList",
             Exported && Registered.Size == Reference.Size &&
                 CompareBytes(Registered.Bytes, Reference.Bytes, Registered.Size) == 0,
             Details.IsEmpty() ? Details.Text("the exports differ") : Details);

  ReportLine FormsDetails;
  Log.Record("registration/the exported forms package is the forms array byte for byte",
             Registered.Bytes != nullptr && FormsPackageIsTheArray(Registered),
             FormsDetails.Text("export of ").Decimal(Registered.Size).Text(" bytes"));
  PoolFree(Registered.Bytes);
  PoolFree(Reference.Bytes);
}

}  // namespace

void RunDriverRegistrationChecks(CheckLog &Log) {
  EFI_HANDLE Handle = nullptr;
  ReportLine InstallDetails;
  const EFI_STATUS Status = InstallVendorDevicePath(&Handle);
  Log.Record("registration/the vendor device path installs on a new driver handle", Status == EFI_SUCCESS,
             InstallDetails.Text("InstallProtocolInterface gave ").Status(Status));
  if (EFI_ERROR(Status)) return;

  const EFI_HII_HANDLE HiiHandle =
      RegisterPackageList(&ADDONCARD_FORMSET_GUID, Handle, AddOnCardStrings, AddOnCardForms, nullptr);
  ReportLine Details;
  Log.Record("registration/RegisterPackageList of the strings and forms arrays gives an HII handle",
             HiiHandle != nullptr, Details.Text("no handle"));
  if (HiiHandle == nullptr) {
    UninstallVendorDevicePath(Handle);
    return;
  }

  EFI_HANDLE Owner = nullptr;
  const EFI_STATUS OwnerStatus = HiiDatabase->GetPackageListHandle(HiiDatabase, HiiHandle, &Owner);
  ReportLine OwnerDetails;
  Log.Record("registration/the list belongs to the driver handle",
             OwnerStatus == EFI_SUCCESS && Owner == Handle,
             OwnerDetails.Text("GetPackageListHandle gave ").Status(OwnerStatus));

  CheckExportMatchesHandBuiltList(Log, HiiHandle);

  const EFI_HII_HANDLE Again =
      RegisterPackageList(&ADDONCARD_FORMSET_GUID, Handle, AddOnCardStrings, AddOnCardForms, nullptr);
  ReportLine AgainDetails;
  Log.Record("registration/a second RegisterPackageList on the same handle gives no handle", Again == nullptr,
             AgainDetails.Text("the database took the same list GUID twice for one handle"));
  if (Again != nullptr) HiiDatabase->RemovePackageList(HiiDatabase, Again);

  // What start-up keeps; the later groups act on it.
  DriverHandle = Handle;
  DriverHiiHandle = HiiHandle;
  SetCurrentHiiHandle(HiiHandle);
}
