// Image entry point of AddOnCard.efi. Kept apart from the rest of start-up so
// that the firmware test application, which has an entry point of its own, can
// link everything else of the driver.
#include "driver/globals.h"
#include "driver/startup.h"

extern "C" EFI_STATUS EFIAPI AddOnCardEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *Table) {
  // Its status (that of the last protocol looked for) says nothing start-up can use.
  InitializeServiceTables(ImageHandle, Table);
  return StartAddOnCardDriver();
}
