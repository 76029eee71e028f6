// Driver-wide state set once by start-up and read everywhere. Constant-
// initialized to null: the image runs no global constructors.
#pragma once
#include "uefi/protocols.h"

extern EFI_SYSTEM_TABLE *SystemTable;
extern EFI_BOOT_SERVICES *BootServices;
extern EFI_RUNTIME_SERVICES *RuntimeServices;

// The firmware protocols the driver uses, one pointer each, located once and
// kept for the life of the image. Start-up locates all but the form browser;
// one that was not installed yet is looked for again by its accessor below at
// each use until it is found.
extern EFI_HII_STRING_PROTOCOL *HiiString;
extern EFI_HII_DATABASE_PROTOCOL *HiiDatabase;
extern EFI_HII_CONFIG_ROUTING_PROTOCOL *ConfigRouting;
extern EFI_HII_FONT_PROTOCOL *HiiFont;
extern EFI_HII_IMAGE_PROTOCOL *HiiImage;
extern EFI_FORM_BROWSER2_PROTOCOL *FormBrowser2;

extern EFI_HANDLE DriverHandle;
extern EFI_HII_HANDLE DriverHiiHandle;
extern EFI_HII_CONFIG_ACCESS_PROTOCOL AddOnCardConfigAccess;

// Keeps the three tables and locates the HII string, database, routing, font
// and image protocols; the status is that of the last LocateProtocol and nobody
// acts on it.
EFI_STATUS InitializeServiceTables(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *Table);

// The kept protocol, located now when it is still null; null while the firmware
// has none installed (or before start-up).
EFI_HII_STRING_PROTOCOL *GetHiiString();
EFI_HII_DATABASE_PROTOCOL *GetHiiDatabase();
EFI_HII_CONFIG_ROUTING_PROTOCOL *GetConfigRouting();
EFI_FORM_BROWSER2_PROTOCOL *GetFormBrowser2();
