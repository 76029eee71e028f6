// The firmware test application runs these groups in order. A group reports
// one line per check through the log; a later group may rely on nothing that an
// earlier one left behind except the driver-wide service tables.
#pragma once
#include "qemu/report.h"

struct CheckGroup {
  const CHAR8 *Name;
  void (*Run)(CheckLog &Log);
};

// The firmware tables and HII protocols the driver locates at start-up.
void RunServiceChecks(CheckLog &Log);
// FormatUtf16 of typical and edge formats, with the firmware's calling convention.
void RunFormatterChecks(CheckLog &Log);
