// Driver-wide state set once by start-up and read everywhere. Constant-
// initialized to null: the image runs no global constructors.
#pragma once
#include "uefi/protocols.h"

extern EFI_SYSTEM_TABLE *SystemTable;
extern EFI_BOOT_SERVICES *BootServices;
extern EFI_RUNTIME_SERVICES *RuntimeServices;
extern EFI_HII_STRING_PROTOCOL *HiiString;
extern EFI_HII_DATABASE_PROTOCOL *HiiDatabase;
extern EFI_HII_CONFIG_ROUTING_PROTOCOL *HiiConfigRouting;
extern EFI_HII_FONT_PROTOCOL *HiiFont;
extern EFI_HII_IMAGE_PROTOCOL *HiiImage;
// The router as used by the configuration-access handlers; the same protocol.
extern EFI_HII_CONFIG_ROUTING_PROTOCOL *ConfigRouting;
extern EFI_HANDLE DriverHandle;
extern EFI_HII_HANDLE DriverHiiHandle;
extern EFI_HII_CONFIG_ACCESS_PROTOCOL AddOnCardConfigAccess;

// Keeps the three tables and locates the HII protocols; the status is that of
// the last LocateProtocol and nobody acts on it.
EFI_STATUS InitializeServiceTables(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *Table);
