// Start-up of the driver, run once when the firmware loads the image: the
// variables are loaded (created or repaired) into the driver-wide copies, the
// vendor device path and the configuration access protocol are installed on a
// new handle, the form set is registered against it, and three events are armed
// for the protocols whose installation makes the driver act (forms/notify.h).
#pragma once
#include "uefi/protocols.h"

// The image entry point: InitializeServiceTables, then StartAddOnCardDriver,
// whose status it returns. An error status makes the firmware unload the image.
extern "C" EFI_STATUS EFIAPI AddOnCardEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *Table);

// InstallAddOnCardHii, then one EVT_NOTIFY_SIGNAL event at TPL_NOTIFY per
// trigger protocol, each registered for the installation of its protocol. An
// event that cannot be created or registered is left out (and closed): that
// notification is missing, start-up still succeeds.
//   EFI_SUCCESS
//   the error of InstallAddOnCardHii (no event is created)
EFI_STATUS StartAddOnCardDriver();

// Loads and publishes the three variables (statuses ignored: each load leaves a
// usable record), locates the router, fills AddOnCardConfigAccess and installs
// it with ADDONCARD_DEVICE_PATH on a new DriverHandle, then registers the static
// package list against that handle as DriverHiiHandle.
//   EFI_SUCCESS
//   EFI_NO_MEDIA           the package list could not be registered; the
//                          protocols are uninstalled again and DriverHandle is
//                          null, so nothing is left pointing into an image the
//                          firmware unloads
//   the status of InstallMultipleProtocolInterfaces (nothing installed)
//   EFI_NOT_READY          no boot services (InitializeServiceTables not run)
EFI_STATUS InstallAddOnCardHii();
