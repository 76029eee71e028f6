// Where report lines go inside the firmware: QEMU's debug console, and the
// firmware console for a person watching the screen.
#include "driver/globals.h"
#include "qemu/port_io.h"
#include "qemu/report.h"

namespace {

// The firmware console takes UTF-16 and wants CR LF; it is written in slices so
// that a small stack buffer serves any line.
void WriteToFirmwareConsole(const CHAR8 *Text, UINTN Length) {
  if (SystemTable == nullptr || SystemTable->ConOut == nullptr) return;
  CHAR16 Slice[128];
  UINTN Used = 0;
  auto Flush = [&]() {
    Slice[Used] = 0;
    SystemTable->ConOut->OutputString(SystemTable->ConOut, Slice);
    Used = 0;
  };
  for (UINTN Index = 0; Index < Length; ++Index) {
    if (Used + 1 >= ArrayCount(Slice)) Flush();
    Slice[Used++] = static_cast<CHAR16>(static_cast<UINT8>(Text[Index]));
  }
  if (Used + 3 >= ArrayCount(Slice)) Flush();
  Slice[Used++] = u'\r';
  Slice[Used++] = u'\n';
  Flush();
}

}  // namespace

void ReportLine::Emit(bool DebugConsoleOnly) {
  for (UINTN Index = 0; Index < Length; ++Index)
    WritePortByte(DEBUG_CONSOLE_PORT, static_cast<UINT8>(Buffer[Index]));
  WritePortByte(DEBUG_CONSOLE_PORT, '\n');
  if (!DebugConsoleOnly) WriteToFirmwareConsole(Buffer, Length);
  Length = 0;
  Buffer[0] = 0;
}
