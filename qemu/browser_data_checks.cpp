// Browser data with no form set open, as at start-up: the firmware's form
// browser is installed but holds no edit buffer for the driver's variables, so
// every exchange must fail cleanly (FALSE, the caller's block untouched), while
// publishing still updates the driver-wide copy.
#include "driver/globals.h"
#include "forms/identities.h"
#include "forms/variables.h"
#include "hii/registration.h"
#include "qemu/check_groups.h"
#include "support/memory.h"
#include "uefi/guids.h"

namespace {

struct BrowserVariable {
  const CHAR8 *WriteCheck;
  const CHAR8 *ReadCheck;
  const CHAR16 *Name;
  const EFI_GUID *Guid;
  UINTN Size;
};

constexpr BrowserVariable BROWSER_VARIABLES[] = {
    {"browser/WriteBrowserData of TLX_ADDONCARD_PCI_VAR gives FALSE",
     "browser/ReadBrowserData of TLX_ADDONCARD_PCI_VAR gives FALSE and leaves the block",
     TLX_ADDONCARD_PCI_VAR, &ADDONCARD_PCI_VAR_GUID, ADDONCARD_PCI_VARSTORE_SIZE},
    {"browser/WriteBrowserData of TLX_ADDONCARD_OOB_VAR gives FALSE",
     "browser/ReadBrowserData of TLX_ADDONCARD_OOB_VAR gives FALSE and leaves the block",
     TLX_ADDONCARD_OOB_VAR, &ADDONCARD_FORMSET_GUID, ADDONCARD_OOB_VARSTORE_SIZE},
};

// What the browser itself answers a retrieval with no buffer, for the report.
void NoteBrowserAnswer(const BrowserVariable &Variable) {
  CHAR16 Scratch = 0;
  UINTN Size = 0;
  const EFI_STATUS Status =
      FormBrowser2->BrowserCallback(FormBrowser2, &Size, &Scratch, TRUE, Variable.Guid, Variable.Name);
  ReportLine Note;
  Note.Text("NOTE BrowserCallback retrieving ").Utf16(Variable.Name).Text(" gave ").Status(Status).Emit();
}

void CheckVariable(CheckLog &Log, const BrowserVariable &Variable) {
  // Room for the largest record and a guard byte behind it.
  UINT8 Block[ADDONCARD_OOB_VARSTORE_SIZE + 1];
  FillBytes(Block, sizeof(Block), 0x5A);
  ReportLine WriteDetails;
  Log.Record(Variable.WriteCheck, WriteBrowserData(Variable.Name, Variable.Size, Block) == FALSE,
             WriteDetails.Text("gave TRUE"));

  const BOOLEAN Read = ReadBrowserData(Variable.Name, Variable.Size, Block);
  bool Untouched = true;
  for (UINT8 Byte : Block) Untouched = Untouched && Byte == 0x5A;
  ReportLine ReadDetails;
  Log.Record(Variable.ReadCheck, Read == FALSE && Untouched,
             ReadDetails.Text(Read ? "gave TRUE" : "the block was changed"));
  if (FormBrowser2 != nullptr) NoteBrowserAnswer(Variable);
}

void CheckPublish(CheckLog &Log) {
  constexpr ADDONCARD_PCI_ID_LIST RECORD = {{0x1AF4}, {0x1041}, 1};
  const BOOLEAN Taken = PublishPciVar(&RECORD);
  ReportLine Details;
  Log.Record("browser/PublishPciVar gives FALSE but updates PciIdListCopy",
             Taken == FALSE && CompareBytes(&PciIdListCopy, &RECORD, sizeof(RECORD)) == 0,
             Details.Text(Taken ? "gave TRUE" : "the copy was not updated"));
  ZeroBytes(&PciIdListCopy, sizeof(PciIdListCopy));
}

}  // namespace

void RunBrowserDataChecks(CheckLog &Log) {
  for (const BrowserVariable &Variable : BROWSER_VARIABLES) CheckVariable(Log, Variable);
  ReportLine Details;
  Log.Record("browser/the firmware's form browser was located", FormBrowser2 != nullptr,
             Details.Text("not located: the failures above prove nothing about the browser"));
  CheckPublish(Log);
}
