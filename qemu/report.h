// Output of the firmware test application. Every line goes to QEMU's debug
// console, which the runner captures in a file, and to the firmware console as
// a fallback for a person watching the screen (report_output.cpp); in the
// simulator run of the same checks, to standard output. A line is built whole
// before it is written so that the firmware's own debug messages, which share
// the port, never land inside one.
#pragma once
#include "uefi/base.h"

class ReportLine {
 public:
  ReportLine &Text(const CHAR8 *Ascii);
  // UTF-16 text; characters outside printable ASCII appear as \uXXXX.
  ReportLine &Utf16(const CHAR16 *String, UINTN MaxChars = 256);
  // The same between double quotes, or <null>.
  ReportLine &Quoted(const CHAR16 *String, UINTN MaxChars = 256);
  ReportLine &QuotedAscii(const CHAR8 *Ascii);
  // Upper-case hexadecimal, at least MinDigits digits.
  ReportLine &Hex(UINT64 Value, UINTN MinDigits = 1);
  ReportLine &Decimal(UINT64 Value);
  // "0x" and the 16 digits of a status, as firmware logs print it.
  ReportLine &Status(EFI_STATUS Value);
  ReportLine &Line(const ReportLine &Other) { return Text(Other.Buffer); }
  bool IsEmpty() const { return Length == 0; }
  // Writes the line to the debug console and, unless DebugConsoleOnly, to the
  // firmware console; then clears it.
  void Emit(bool DebugConsoleOnly = false);

 private:
  void Append(CHAR8 Character);
  // One character stays free for the NUL, so Buffer is always a C string.
  static constexpr UINTN CAPACITY = 1024;
  CHAR8 Buffer[CAPACITY] = {};
  UINTN Length = 0;
};

// Counts the verdicts and reports one line per check: "PASS name" or
// "FAIL name: details".
class CheckLog {
 public:
  void Pass(const CHAR8 *Name);
  void Fail(const CHAR8 *Name, const ReportLine &Details);
  void Record(const CHAR8 *Name, bool Ok, const ReportLine &Details);
  UINTN PassedCount() const { return Passed; }
  UINTN FailedCount() const { return Failed; }

 private:
  UINTN Passed = 0;
  UINTN Failed = 0;
};

// Writes the line "SUMMARY <passed> passed, <failed> failed"; true when at least
// one check passed and none failed.
bool EmitSummary(const CheckLog &Log);

// Writes Bytes as lines of hexadecimal pairs between a BEGIN and an END line
// naming Label, on the debug console only; the runner cuts the block out.
void EmitHexBlock(const CHAR8 *Label, const void *Bytes, UINTN Size);
