#include "driver/globals.h"

#include "driver/driver_state.h"
#include "uefi/guids.h"

constinit EFI_SYSTEM_TABLE *SystemTable = nullptr;
constinit EFI_BOOT_SERVICES *BootServices = nullptr;
constinit EFI_RUNTIME_SERVICES *RuntimeServices = nullptr;
constinit EFI_HII_STRING_PROTOCOL *HiiString = nullptr;
constinit EFI_HII_DATABASE_PROTOCOL *HiiDatabase = nullptr;
constinit EFI_HII_CONFIG_ROUTING_PROTOCOL *ConfigRouting = nullptr;
constinit EFI_HII_FONT_PROTOCOL *HiiFont = nullptr;
constinit EFI_HII_IMAGE_PROTOCOL *HiiImage = nullptr;
constinit EFI_FORM_BROWSER2_PROTOCOL *FormBrowser2 = nullptr;
constinit EFI_HANDLE DriverHandle = nullptr;
constinit EFI_HII_HANDLE DriverHiiHandle = nullptr;
constinit EFI_HII_CONFIG_ACCESS_PROTOCOL AddOnCardConfigAccess = {};

namespace {

// Locates Guid into *Kept unless it is already there. A failed locate leaves
// *Kept null, so that the next use tries again.
template <typename Protocol>
EFI_STATUS LocateOnce(const EFI_GUID &Guid, Protocol **Kept) {
  if (*Kept != nullptr) return EFI_SUCCESS;
  if (BootServices == nullptr) return EFI_NOT_READY;
  void *Interface = nullptr;
  const EFI_STATUS Status = BootServices->LocateProtocol(&Guid, nullptr, &Interface);
  if (!EFI_ERROR(Status)) *Kept = static_cast<Protocol *>(Interface);
  return Status;
}

template <typename Protocol>
Protocol *Kept(const EFI_GUID &Guid, Protocol **Pointer) {
  LocateOnce(Guid, Pointer);
  return *Pointer;
}

}  // namespace

EFI_STATUS InitializeServiceTables(EFI_HANDLE, EFI_SYSTEM_TABLE *Table) {
  SystemTable = Table;
  BootServices = Table->BootServices;
  RuntimeServices = Table->RuntimeServices;
  EFI_STATUS Status;
  Status = LocateOnce(EFI_HII_STRING_PROTOCOL_GUID, &HiiString);
  Status = LocateOnce(EFI_HII_DATABASE_PROTOCOL_GUID, &HiiDatabase);
  Status = LocateOnce(EFI_HII_CONFIG_ROUTING_PROTOCOL_GUID, &ConfigRouting);
  Status = LocateOnce(EFI_HII_FONT_PROTOCOL_GUID, &HiiFont);
  Status = LocateOnce(EFI_HII_IMAGE_PROTOCOL_GUID, &HiiImage);
  return Status;
}

EFI_HII_STRING_PROTOCOL *GetHiiString() { return Kept(EFI_HII_STRING_PROTOCOL_GUID, &HiiString); }
EFI_HII_DATABASE_PROTOCOL *GetHiiDatabase() { return Kept(EFI_HII_DATABASE_PROTOCOL_GUID, &HiiDatabase); }
EFI_HII_CONFIG_ROUTING_PROTOCOL *GetConfigRouting() {
  return Kept(EFI_HII_CONFIG_ROUTING_PROTOCOL_GUID, &ConfigRouting);
}
EFI_FORM_BROWSER2_PROTOCOL *GetFormBrowser2() { return Kept(EFI_FORM_BROWSER2_PROTOCOL_GUID, &FormBrowser2); }

void ResetServiceTables() {
  SystemTable = nullptr;
  BootServices = nullptr;
  RuntimeServices = nullptr;
  HiiString = nullptr;
  HiiDatabase = nullptr;
  ConfigRouting = nullptr;
  HiiFont = nullptr;
  HiiImage = nullptr;
  FormBrowser2 = nullptr;
  DriverHandle = nullptr;
  DriverHiiHandle = nullptr;
  AddOnCardConfigAccess = {};
}
