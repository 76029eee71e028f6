// AddOnCardExport.efi: the image entry point. It runs under the UEFI shell or as
// a plain boot application; everything else is in export_run.cpp.
#include "driver/globals.h"
#include "tools/export_efi/export_run.h"

extern "C" EFI_STATUS EFIAPI AddOnCardExportEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *Table) {
  InitializeServiceTables(ImageHandle, Table);
  return RunExport(ImageHandle);
}
