// The firmware test application: runs the driver's code inside real firmware,
// checks what the firmware's own HII services answer, and ends the virtual
// machine with a verdict the runner can read from QEMU's exit code.
#include "driver/globals.h"
#include "qemu/check_groups.h"
#include "qemu/port_io.h"
#include "qemu/report.h"

namespace {

// Without the exit device the write does nothing; the firmware's own shutdown
// then ends QEMU, and the runner still reads the verdict from the summary line.
[[noreturn]] void EndVirtualMachine(bool Success) {
  WritePortWord(DEBUG_EXIT_PORT, Success ? DEBUG_EXIT_SUCCESS : DEBUG_EXIT_FAILURE);
  if (RuntimeServices != nullptr)
    RuntimeServices->ResetSystem(EfiResetShutdown, Success ? EFI_SUCCESS : EFI_ABORTED, 0, nullptr);
  for (;;) __asm__ __volatile__("hlt");
}

}  // namespace

extern "C" EFI_STATUS EFIAPI FirmwareTestEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *Table) {
  InitializeServiceTables(ImageHandle, Table);
  // The boot manager arms a five-minute watchdog for every boot option; a slow
  // emulated run must not be reset under the test.
  BootServices->SetWatchdogTimer(0, 0, 0, nullptr);

  ReportLine Line;
  Line.Text("AddOnCard firmware test: start").Emit();
  CheckLog Log;
  RunAllGroups(Log);
  EndVirtualMachine(EmitSummary(Log));
}
