// Image entry point of AddOnCard.efi. Start-up proper comes with the
// configuration-access and notify handlers; until then the image only keeps the
// firmware's tables.
#include "driver/globals.h"

extern "C" EFI_STATUS EFIAPI AddOnCardEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *Table) {
  InitializeServiceTables(ImageHandle, Table);
  return EFI_SUCCESS;
}
