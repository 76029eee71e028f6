// The three variables in the firmware's real variable store. The runner boots
// the application twice on one store; a non-volatile counter of the test's own
// tells the boots apart. The first boot finds no variables: the loads create
// them, the PCI load repairs unusable records, and the list is then edited to
// two pairs. Every later boot must find that edited list kept by LoadPciVar,
// while the two volatile variables are gone again and created anew.
#include "driver/globals.h"
#include "forms/identities.h"
#include "forms/variables.h"
#include "qemu/check_groups.h"
#include "support/memory.h"
#include "support/pool.h"

namespace {

// Vendor GUID of the test's own boot counter; nothing else uses it.
constexpr EFI_GUID FIRMWARE_TEST_VARIABLE_GUID = {
    0x5E2B8A41, 0x7C3D, 0x4F19, {0x9A, 0x06, 0x2D, 0x7C, 0x84, 0xE1, 0xB3, 0xF5}};
constexpr CHAR16 BOOT_COUNTER_NAME[] = u"AddOnCardFirmwareTestBoots";
constexpr UINT32 NON_VOLATILE_ATTRIBUTES = 0x7;

// The list the first boot leaves behind: the default pair and a second one.
constexpr ADDONCARD_PCI_ID_LIST EDITED_PCI_LIST = {{0x15B3, 0xABCD}, {0x1021, 0x0042}, 2};

struct StoredVariable {
  EFI_STATUS Status;
  UINT32 Attributes;
  UINTN Size;
};

StoredVariable ReadVariable(const CHAR16 *Name, const EFI_GUID &Guid, void *Buffer, UINTN Capacity) {
  StoredVariable Stored = {EFI_SUCCESS, 0, Capacity};
  Stored.Status = RuntimeServices->GetVariable(Name, &Guid, &Stored.Attributes, &Stored.Size, Buffer);
  return Stored;
}

EFI_STATUS WriteVariable(const CHAR16 *Name, const EFI_GUID &Guid, UINT32 Attributes, UINTN Size,
                         const void *Data) {
  return RuntimeServices->SetVariable(Name, &Guid, Attributes, Size, const_cast<void *>(Data));
}

bool IsAbsent(const CHAR16 *Name, const EFI_GUID &Guid, ReportLine &Details) {
  UINT8 Probe = 0;
  const StoredVariable Stored = ReadVariable(Name, Guid, &Probe, 0);
  if (Stored.Status == EFI_NOT_FOUND) return true;
  Details.Text("GetVariable gave ").Status(Stored.Status).Text(" and size ").Decimal(Stored.Size);
  return false;
}

bool AllZero(const UINT8 *Bytes, UINTN Size) {
  for (UINTN Index = 0; Index < Size; ++Index)
    if (Bytes[Index] != 0) return false;
  return true;
}

void AppendBytes(ReportLine &Details, const void *Bytes, UINTN Size) {
  const auto *Data = static_cast<const UINT8 *>(Bytes);
  for (UINTN Index = 0; Index < Size; ++Index) Details.Hex(Data[Index], 2);
}

// ---- which boot -------------------------------------------------------------

// Counts this boot in the test's own non-volatile counter: 1 on a fresh store.
// 0 when the counter cannot be read or written.
UINT32 CountThisBoot(CheckLog &Log) {
  UINT32 Previous = 0;
  const StoredVariable Stored =
      ReadVariable(BOOT_COUNTER_NAME, FIRMWARE_TEST_VARIABLE_GUID, &Previous, sizeof(Previous));
  ReportLine Details;
  if (Stored.Status == EFI_NOT_FOUND) {
    Previous = 0;
  } else if (Stored.Status != EFI_SUCCESS || Stored.Size != sizeof(Previous)) {
    Log.Fail("variables/the test's boot counter is readable",
             Details.Text("GetVariable gave ").Status(Stored.Status).Text(" and size ").Decimal(Stored.Size));
    return 0;
  }
  const UINT32 Boot = Previous + 1;
  ReportLine Note;
  Note.Text("NOTE variable store: boot ").Decimal(Boot).Emit();
  const EFI_STATUS Status = WriteVariable(BOOT_COUNTER_NAME, FIRMWARE_TEST_VARIABLE_GUID,
                                          NON_VOLATILE_ATTRIBUTES, sizeof(Boot), &Boot);
  Log.Record("variables/the test's boot counter is written to non-volatile storage", Status == EFI_SUCCESS,
             Details.Text("SetVariable gave ").Status(Status));
  return EFI_ERROR(Status) ? 0 : Boot;
}

// ---- the volatile variables ---------------------------------------------------

struct VolatileCase {
  const CHAR8 *AbsentCheck;
  const CHAR8 *LoadCheck;
  const CHAR8 *StoredCheck;
  const CHAR16 *Name;
  UINTN Size;
  EFI_STATUS (*Load)(void *Buffer);
};

constexpr VolatileCase VOLATILE_CASES[] = {
    {"variables/TLX_ADDONCARD_OOB_VAR is absent before LoadOobVar",
     "variables/LoadOobVar succeeds and gives 1024 zero bytes",
     "variables/TLX_ADDONCARD_OOB_VAR is then stored: 1024 zero bytes, attributes 0x6", TLX_ADDONCARD_OOB_VAR,
     ADDONCARD_OOB_VARSTORE_SIZE,
     [](void *Buffer) { return LoadOobVar(static_cast<ADDONCARD_OOB_SLOTS *>(Buffer)); }},
    {"variables/TLX_ADDONCARD_STRING_VAR is absent before LoadStringVar",
     "variables/LoadStringVar succeeds and gives 25600 zero bytes",
     "variables/TLX_ADDONCARD_STRING_VAR is then stored: 25600 zero bytes, attributes 0x6",
     TLX_ADDONCARD_STRING_VAR, ADDONCARD_STRING_VARSTORE_SIZE,
     [](void *Buffer) { return LoadStringVar(static_cast<ADDONCARD_STRING_SLOTS *>(Buffer)); }},
};

// The variable as stored: Size zero bytes with the volatile attributes.
void CheckStoredZeros(CheckLog &Log, const CHAR8 *Check, const CHAR16 *Name, UINTN Size, UINT8 *Scratch) {
  FillBytes(Scratch, Size + 1, 0xA5);
  const StoredVariable Stored = ReadVariable(Name, ADDONCARD_FORMSET_GUID, Scratch, Size + 1);
  ReportLine Details;
  Details.Text("GetVariable gave ")
      .Status(Stored.Status)
      .Text(", size ")
      .Decimal(Stored.Size)
      .Text(", attributes 0x")
      .Hex(Stored.Attributes);
  Log.Record(Check,
             Stored.Status == EFI_SUCCESS && Stored.Size == Size &&
                 Stored.Attributes == ADDONCARD_VOLATILE_VAR_ATTRIBUTES && AllZero(Scratch, Size),
             Details);
}

void RunVolatileCase(CheckLog &Log, const VolatileCase &Case) {
  ReportLine AbsentDetails;
  Log.Record(Case.AbsentCheck, IsAbsent(Case.Name, ADDONCARD_FORMSET_GUID, AbsentDetails), AbsentDetails);

  // One spare byte lets a read tell a larger stored variable from the record.
  auto *Buffer = static_cast<UINT8 *>(PoolAlloc(Case.Size + 1));
  if (Buffer == nullptr) {
    ReportLine Details;
    Log.Fail(Case.LoadCheck, Details.Text("no pool for the buffer"));
    return;
  }
  FillBytes(Buffer, Case.Size, 0xA5);
  const EFI_STATUS Status = Case.Load(Buffer);
  ReportLine LoadDetails;
  Log.Record(Case.LoadCheck, Status == EFI_SUCCESS && AllZero(Buffer, Case.Size),
             LoadDetails.Text("gave ").Status(Status));
  CheckStoredZeros(Log, Case.StoredCheck, Case.Name, Case.Size, Buffer);
  PoolFree(Buffer);
}

// A stored OOB variable one byte short of the record is replaced by the record.
void CheckShortOobRepaired(CheckLog &Log) {
  auto *Buffer = static_cast<UINT8 *>(PoolAlloc(ADDONCARD_OOB_VARSTORE_SIZE + 1));
  if (Buffer == nullptr) return;
  FillBytes(Buffer, ADDONCARD_OOB_VARSTORE_SIZE, 0x11);
  EFI_STATUS Status =
      WriteVariable(TLX_ADDONCARD_OOB_VAR, ADDONCARD_FORMSET_GUID, ADDONCARD_VOLATILE_VAR_ATTRIBUTES,
                    ADDONCARD_OOB_VARSTORE_SIZE - 1, Buffer);
  if (Status == EFI_SUCCESS) Status = LoadOobVar(reinterpret_cast<ADDONCARD_OOB_SLOTS *>(Buffer));
  ReportLine Details;
  Log.Record("variables/LoadOobVar replaces a 1023-byte variable by 1024 zero bytes",
             Status == EFI_SUCCESS && AllZero(Buffer, ADDONCARD_OOB_VARSTORE_SIZE),
             Details.Text("gave ").Status(Status));
  CheckStoredZeros(Log,
                   "variables/the repaired TLX_ADDONCARD_OOB_VAR is stored with 1024 bytes, attributes 0x6",
                   TLX_ADDONCARD_OOB_VAR, ADDONCARD_OOB_VARSTORE_SIZE, Buffer);
  PoolFree(Buffer);
}

// ---- the PCI list -----------------------------------------------------------------

// The stored list equals Expected, with the record's size and the non-volatile
// attributes.
bool StoredPciListIs(const ADDONCARD_PCI_ID_LIST &Expected, ReportLine &Details) {
  UINT8 Stored[ADDONCARD_PCI_VARSTORE_SIZE + 8] = {};
  const StoredVariable Read =
      ReadVariable(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID, Stored, sizeof(Stored));
  const bool Same = Read.Status == EFI_SUCCESS && Read.Size == sizeof(Expected) &&
                    Read.Attributes == ADDONCARD_PCI_VAR_ATTRIBUTES &&
                    CompareBytes(Stored, &Expected, sizeof(Expected)) == 0;
  if (!Same) {
    Details.Text("stored: GetVariable gave ").Status(Read.Status).Text(", size ").Decimal(Read.Size);
    Details.Text(", attributes 0x").Hex(Read.Attributes).Text(", bytes ");
    AppendBytes(Details, Stored, Read.Size < sizeof(Stored) ? Read.Size : sizeof(Stored));
  }
  return Same;
}

// LoadPciVar succeeds with Expected in the buffer, and the variable holds it.
void CheckPciLoad(CheckLog &Log, const CHAR8 *Check, const ADDONCARD_PCI_ID_LIST &Expected) {
  ADDONCARD_PCI_ID_LIST Buffer;
  FillBytes(&Buffer, sizeof(Buffer), 0xA5);
  const EFI_STATUS Status = LoadPciVar(&Buffer);
  ReportLine Details;
  bool Ok = Status == EFI_SUCCESS && CompareBytes(&Buffer, &Expected, sizeof(Buffer)) == 0;
  if (!Ok) {
    Details.Text("LoadPciVar gave ").Status(Status).Text(" and ");
    AppendBytes(Details, &Buffer, sizeof(Buffer));
    Details.Text("; ");
  }
  if (!StoredPciListIs(Expected, Details)) Ok = false;
  Log.Record(Check, Ok, Details);
}

struct StoredPciCase {
  const CHAR8 *Check;
  UINTN Size;  // bytes written of Bytes
  ADDONCARD_PCI_ID_LIST Record;
  UINT8 Extra;  // the 42nd byte
  bool Kept;    // else replaced by the defaults
};

constexpr StoredPciCase STORED_PCI_CASES[] = {
    {"variables/LoadPciVar replaces a 40-byte list by the 41-byte defaults", 40, EDITED_PCI_LIST, 0, false},
    {"variables/LoadPciVar replaces a 42-byte list by the 41-byte defaults", 42, EDITED_PCI_LIST, 0x5A,
     false},
    {"variables/LoadPciVar replaces a list with count and first pair zero (pair 2 set) by the defaults",
     41,
     {{0, 0xABCD}, {0, 0x0042}, 0},
     0,
     false},
    {"variables/LoadPciVar keeps a list with count 0 and only VendorId[0] set",
     41,
     {{0x15B3}, {0}, 0},
     0,
     true},
    {"variables/LoadPciVar keeps a list with count 0xFF as stored", 41, {{0x1234}, {0x5678}, 0xFF}, 0, true},
};

void RunStoredPciCase(CheckLog &Log, const StoredPciCase &Case) {
  UINT8 Bytes[ADDONCARD_PCI_VARSTORE_SIZE + 1] = {};
  CopyBytes(Bytes, &Case.Record, sizeof(Case.Record));
  Bytes[ADDONCARD_PCI_VARSTORE_SIZE] = Case.Extra;
  const EFI_STATUS Status = WriteVariable(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID,
                                          ADDONCARD_PCI_VAR_ATTRIBUTES, Case.Size, Bytes);
  if (EFI_ERROR(Status)) {
    ReportLine Details;
    Log.Fail(Case.Check, Details.Text("storing the case gave ").Status(Status));
    return;
  }
  CheckPciLoad(Log, Case.Check, Case.Kept ? Case.Record : ADDONCARD_PCI_DEFAULTS);
}

void RunFirstBootPciChecks(CheckLog &Log) {
  ReportLine AbsentDetails;
  Log.Record("variables/first boot: TLX_ADDONCARD_PCI_VAR is absent before LoadPciVar",
             IsAbsent(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID, AbsentDetails), AbsentDetails);
  CheckPciLoad(Log,
               "variables/first boot: LoadPciVar creates the 41-byte list, attributes 0x7, "
               "0x15B3/0x1021, PairCount 1",
               ADDONCARD_PCI_DEFAULTS);
  for (const StoredPciCase &Case : STORED_PCI_CASES) RunStoredPciCase(Log, Case);

  const EFI_STATUS Status =
      WriteVariable(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID, ADDONCARD_PCI_VAR_ATTRIBUTES,
                    sizeof(EDITED_PCI_LIST), &EDITED_PCI_LIST);
  ReportLine Details;
  Log.Record("variables/first boot: the list is edited to two pairs (0xABCD/0x0042 second)",
             Status == EFI_SUCCESS, Details.Text("SetVariable gave ").Status(Status));
  CheckPciLoad(Log, "variables/first boot: LoadPciVar keeps the edited list", EDITED_PCI_LIST);
}

void RunLaterBootPciChecks(CheckLog &Log) {
  ReportLine Details;
  Log.Record("variables/second boot: the edited list survived the reset (41 bytes, attributes 0x7)",
             StoredPciListIs(EDITED_PCI_LIST, Details), Details);
  CheckPciLoad(Log, "variables/second boot: LoadPciVar keeps the edited list as it was", EDITED_PCI_LIST);
}

}  // namespace

void RunVariableStoreChecks(CheckLog &Log) {
  const UINT32 Boot = CountThisBoot(Log);
  if (Boot == 0) return;
  for (const VolatileCase &Case : VOLATILE_CASES) RunVolatileCase(Log, Case);
  if (Boot == 1) {
    CheckShortOobRepaired(Log);
    RunFirstBootPciChecks(Log);
  } else {
    RunLaterBootPciChecks(Log);
  }
}
