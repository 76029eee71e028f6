// The firmware test application runs these groups in order. A group reports
// one line per check through the log; a later group may rely on nothing that an
// earlier one left behind except the driver-wide state: the service tables and,
// once the registration group has run, the driver's handles (DriverHandle,
// DriverHiiHandle, the current HII handle), as start-up leaves them.
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
// RegisterPackageList of the strings and forms arrays on a new handle with the
// vendor device path; makes that handle the driver's own for the groups below.
void RunDriverRegistrationChecks(CheckLog &Log);
// UpdateFormSection on the driver's list: sections filled, replaced and emptied
// again; forms and labels that are not there. Leaves the list as it found it.
void RunFormUpdateChecks(CheckLog &Log);
// Strings in all languages, in given languages, and in the platform's language.
void RunLanguageStringChecks(CheckLog &Log);
// The driver's configuration header and the firmware router's block conversion.
void RunConfigStringChecks(CheckLog &Log);
// Browser data with no form set open.
void RunBrowserDataChecks(CheckLog &Log);
// The three variables in the real variable store, across two boots on one store.
void RunVariableStoreChecks(CheckLog &Log);
// The driver's configuration access on its handle, through the firmware's router
// and keyword handler and called directly.
void RunConfigAccessChecks(CheckLog &Log);
// The configuration access held to what UEFI asks of it, directly and through
// the firmware's router with the driver's PATH; needs the protocol the
// config-access group installed. Changes no variable.
void RunConfigAccessConformanceChecks(CheckLog &Log);
// The card shapes published on the machine's PCI functions by the tests' card
// driver, their stores read and written through the firmware's router; removed again.
void RunCardFixtureChecks(CheckLog &Log);
// Card pages built by the driver from the card shapes on the machine's PCI
// functions, each checked by the independent page checker; a keyword, a section
// updated twice, an eleventh card. Leaves every slot empty and the page builder
// at slot 0.
void RunCardPageChecks(CheckLog &Log);
// Changed values written into the road card's buffer and EFI variable stores
// through the firmware's router, as the apply trigger writes them; a read-only
// question refused. Leaves every slot empty and the page builder at slot 0.
void RunApplyChecks(CheckLog &Log);

inline constexpr CheckGroup CHECK_GROUPS[] = {
    {"services", RunServiceChecks},
    {"formatter", RunFormatterChecks},
    {"hii-static-packages", RunStaticPackageChecks},
    {"driver-registration", RunDriverRegistrationChecks},
    {"form-update", RunFormUpdateChecks},
    {"language-strings", RunLanguageStringChecks},
    {"config-strings", RunConfigStringChecks},
    {"browser-data", RunBrowserDataChecks},
    {"variables", RunVariableStoreChecks},
    {"config-access", RunConfigAccessChecks},
    {"config-access-conformance", RunConfigAccessConformanceChecks},
    {"card-fixtures", RunCardFixtureChecks},
    {"card-pages", RunCardPageChecks},
    {"apply", RunApplyChecks},
};

// Runs every group in order, each announced by a "GROUP name" line.
inline void RunAllGroups(CheckLog &Log) {
  for (const CheckGroup &Group : CHECK_GROUPS) {
    ReportLine Line;
    Line.Text("GROUP ").Text(Group.Name).Emit();
    Group.Run(Log);
  }
}
