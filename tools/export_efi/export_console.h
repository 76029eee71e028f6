// Lines on the console of the export application: progress, and every failure
// named where it happens.
#pragma once
#include "driver/globals.h"
#include "support/print.h"

inline constexpr UINTN EXPORT_CONSOLE_LINE_CHARS = 400;

inline void ExportPrint(const CHAR16 *Text) {
  if (SystemTable == nullptr || SystemTable->ConOut == nullptr) return;
  SystemTable->ConOut->OutputString(SystemTable->ConOut, const_cast<CHAR16 *>(Text));
}

// Formats as FormatUtf16 does (a line longer than the console line is cut).
template <typename... Arguments>
void ExportSay(const CHAR16 *Format, Arguments... Values) {
  CHAR16 Line[EXPORT_CONSOLE_LINE_CHARS];
  FormatUtf16(Line, sizeof Line, Format, Values...);
  ExportPrint(Line);
}
