#include "driver/globals.h"

#include "driver/driver_state.h"
#include "uefi/guids.h"

constinit EFI_SYSTEM_TABLE *SystemTable = nullptr;
constinit EFI_BOOT_SERVICES *BootServices = nullptr;
constinit EFI_RUNTIME_SERVICES *RuntimeServices = nullptr;
constinit EFI_HII_STRING_PROTOCOL *HiiString = nullptr;
constinit EFI_HII_DATABASE_PROTOCOL *HiiDatabase = nullptr;
constinit EFI_HII_CONFIG_ROUTING_PROTOCOL *HiiConfigRouting = nullptr;
constinit EFI_HII_FONT_PROTOCOL *HiiFont = nullptr;
constinit EFI_HII_IMAGE_PROTOCOL *HiiImage = nullptr;
constinit EFI_HII_CONFIG_ROUTING_PROTOCOL *ConfigRouting = nullptr;
constinit EFI_HANDLE DriverHandle = nullptr;
constinit EFI_HII_HANDLE DriverHiiHandle = nullptr;
constinit EFI_HII_CONFIG_ACCESS_PROTOCOL AddOnCardConfigAccess = {};

EFI_STATUS InitializeServiceTables(EFI_HANDLE, EFI_SYSTEM_TABLE *Table) {
  SystemTable = Table;
  BootServices = Table->BootServices;
  RuntimeServices = Table->RuntimeServices;
  EFI_STATUS Status;
  Status = BootServices->LocateProtocol(&EFI_HII_STRING_PROTOCOL_GUID, nullptr, reinterpret_cast<void **>(&HiiString));
  Status = BootServices->LocateProtocol(&EFI_HII_DATABASE_PROTOCOL_GUID, nullptr,
                                        reinterpret_cast<void **>(&HiiDatabase));
  Status = BootServices->LocateProtocol(&EFI_HII_CONFIG_ROUTING_PROTOCOL_GUID, nullptr,
                                        reinterpret_cast<void **>(&HiiConfigRouting));
  Status = BootServices->LocateProtocol(&EFI_HII_FONT_PROTOCOL_GUID, nullptr, reinterpret_cast<void **>(&HiiFont));
  Status = BootServices->LocateProtocol(&EFI_HII_IMAGE_PROTOCOL_GUID, nullptr, reinterpret_cast<void **>(&HiiImage));
  return Status;
}

void ResetServiceTables() {
  SystemTable = nullptr;
  BootServices = nullptr;
  RuntimeServices = nullptr;
  HiiString = nullptr;
  HiiDatabase = nullptr;
  HiiConfigRouting = nullptr;
  HiiFont = nullptr;
  HiiImage = nullptr;
  ConfigRouting = nullptr;
  DriverHandle = nullptr;
  DriverHiiHandle = nullptr;
  AddOnCardConfigAccess = {};
}
