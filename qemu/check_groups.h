// The firmware test application runs these groups in order. A group reports
// one line per check through the log; a later group may rely on nothing that an
// earlier one left behind except the driver-wide service tables.
#pragma once
#include "qemu/report.h"
#include "support/strings.h"

struct CheckGroup {
  const CHAR8 *Name;
  void (*Run)(CheckLog &Log);
};

// Equal UTF-16 texts, both NUL-terminated.
inline bool SameText(const CHAR16 *A, const CHAR16 *B) {
  const UINTN Length = Utf16Length(A);
  return Length == Utf16Length(B) && Utf16CompareN(A, B, Length + 1) == 0;
}

// The firmware tables and HII protocols the driver locates at start-up.
void RunServiceChecks(CheckLog &Log);
// FormatUtf16 of typical and edge formats, with the firmware's calling convention.
void RunFormatterChecks(CheckLog &Log);
// The static package arrays registered in the firmware's HII database: languages,
// strings, export and string creation.
void RunStaticPackageChecks(CheckLog &Log);
