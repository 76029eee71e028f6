// The scan's cost in real firmware: AddOnCardPerf.efi publishes big cards on the
// machine's PCI functions, starts the driver's HII side, runs the scan with the
// driver's service calls timed (service_timing.h), and then, in the same boot,
// times the work no scan can avoid: for each page built, one export and one
// update of the driver's final package list. One line per scan:
//
//   PERF cards=1 questions=1024 pages=1 mirrored=1024 scan=<ticks> baseline=<ticks>
//        ratio=<scan/baseline, two decimals> driver=<ticks outside services>
//        held=<pool bytes the driver holds after the scan> <Service>=<calls>/<ticks> ...
//
// and a PASS or FAIL per scan (the pages were built) for the runner.
#include "driver/card_inventory.h"
#include "driver/driver_state.h"
#include "driver/globals.h"
#include "driver/startup.h"
#include "forms/identities.h"
#include "forms/notify.h"
#include "forms/variables.h"
#include "qemu/big_card.h"
#include "qemu/card_publisher.h"
#include "qemu/perf/service_timing.h"
#include "qemu/port_io.h"
#include "qemu/report.h"
#include "qemu/test_machine.h"
#include "support/memory.h"
#include "support/pool.h"
#include "uefi/guids.h"

namespace {

struct SCAN {
  UINT16 Cards;
  UINT16 Questions;
  const CHAR8 *Check;
};
constexpr SCAN SCANS[] = {
    {1, 100, "perf/1 card, 100 questions: a page, every question mirrored"},
    {1, 500, "perf/1 card, 500 questions: a page, every question mirrored"},
    {1, 1024, "perf/1 card, 1024 questions: a page, every question mirrored"},
    {4, 1024, "perf/4 cards, 1024 questions: a page each, every question mirrored"},
    {10, 1024, "perf/10 cards, 1024 questions: a page each, every question mirrored"},
};
constexpr UINT16 STRINGS_PER_CARD = 2;
constexpr UINTN MAX_CARDS = 10;

struct CARDS {
  BIG_CARD Big[MAX_CARDS];
  PUBLISHED_CARD *Published[MAX_CARDS];
  UINTN Count;
};

[[noreturn]] void EndVirtualMachine(bool Success) {
  WritePortWord(DEBUG_EXIT_PORT, Success ? DEBUG_EXIT_SUCCESS : DEBUG_EXIT_FAILURE);
  if (RuntimeServices != nullptr)
    RuntimeServices->ResetSystem(EfiResetShutdown, Success ? EFI_SUCCESS : EFI_ABORTED, 0, nullptr);
  for (;;) __asm__ __volatile__("hlt");
}

// Both card models of the machine are supported.
EFI_STATUS WriteSupportedList() {
  ADDONCARD_PCI_ID_LIST List = {};
  List.VendorId[0] = EDU_VENDOR_ID;
  List.DeviceId[0] = EDU_DEVICE_ID;
  List.VendorId[1] = PCI_TESTDEV_VENDOR_ID;
  List.DeviceId[1] = PCI_TESTDEV_DEVICE_ID;
  List.PairCount = 2;
  return RuntimeServices->SetVariable(const_cast<CHAR16 *>(TLX_ADDONCARD_PCI_VAR), &ADDONCARD_PCI_VAR_GUID,
                                      ADDONCARD_PCI_VAR_ATTRIBUTES, sizeof(List), &List);
}

void RemoveCards(CARDS &Cards) {
  for (UINTN Index = 0; Index < Cards.Count; ++Index) {
    RemoveFixtureCard(Cards.Published[Index], true);
    FreeBigCard(&Cards.Big[Index]);
  }
  Cards.Count = 0;
}

// The cards of a scan, on the machine's functions in turn, a port each.
EFI_STATUS PublishCards(const SCAN &Scan, const CARD_PCI_FUNCTION (&Functions)[TEST_PCI_FUNCTION_COUNT],
                        CARDS &Cards) {
  for (UINTN Card = 0; Card < Scan.Cards; ++Card) {
    const auto Questions =
        static_cast<UINT16>(Scan.Questions / Scan.Cards + (Card < Scan.Questions % Scan.Cards ? 1 : 0));
    EFI_STATUS Status = BuildBigCard(Questions, STRINGS_PER_CARD, &Cards.Big[Card]);
    if (!EFI_ERROR(Status))
      Status = PublishFixtureCard(Cards.Big[Card].Fixture, Functions[Card % TEST_PCI_FUNCTION_COUNT],
                                  static_cast<UINT8>(Card / TEST_PCI_FUNCTION_COUNT), &Cards.Published[Card]);
    if (EFI_ERROR(Status)) {
      FreeBigCard(&Cards.Big[Card]);
      RemoveCards(Cards);
      return Status;
    }
    Cards.Count = Card + 1;
  }
  return EFI_SUCCESS;
}

// Takes the driver's HII side down again: its list and its handle's protocols.
void StopDriverHii() {
  if (DriverHiiHandle != nullptr) HiiDatabase->RemovePackageList(HiiDatabase, DriverHiiHandle);
  if (DriverHandle != nullptr)
    BootServices->UninstallMultipleProtocolInterfaces(
        DriverHandle, &EFI_DEVICE_PATH_PROTOCOL_GUID, const_cast<ADDONCARD_DEVICE_PATH_NODES *>(&ADDONCARD_DEVICE_PATH),
        &EFI_HII_CONFIG_ACCESS_PROTOCOL_GUID, &AddOnCardConfigAccess, nullptr);
  DriverHiiHandle = nullptr;
  DriverHandle = nullptr;
}

// The unavoidable work: for each page, one export and one update of the final list.
UINT64 TimeBaseline(UINTN Pages) {
  UINTN Size = 0;
  if (HiiDatabase->ExportPackageLists(HiiDatabase, DriverHiiHandle, &Size, nullptr) != EFI_BUFFER_TOO_SMALL)
    return 0;
  auto *List = static_cast<EFI_HII_PACKAGE_LIST_HEADER *>(PoolAlloc(Size));
  if (List == nullptr) return 0;
  UINT64 Ticks = 0;
  for (UINTN Page = 0; Page < Pages; ++Page) {
    const UINT64 Start = ReadTsc();
    UINTN Probe = 0;
    UINTN Written = Size;
    HiiDatabase->ExportPackageLists(HiiDatabase, DriverHiiHandle, &Probe, nullptr);
    const EFI_STATUS Exported = HiiDatabase->ExportPackageLists(HiiDatabase, DriverHiiHandle, &Written, List);
    const EFI_STATUS Updated = HiiDatabase->UpdatePackageList(HiiDatabase, DriverHiiHandle, List);
    Ticks += ReadTsc() - Start;
    if (EFI_ERROR(Exported) || EFI_ERROR(Updated)) Ticks = 0;
  }
  PoolFree(List);
  return Ticks;
}

void Hundredths(ReportLine &Line, UINT64 Numerator, UINT64 Denominator) {
  if (Denominator == 0) {
    Line.Text("-");
    return;
  }
  const UINT64 Value = (Numerator * 100 + Denominator / 2) / Denominator;
  Line.Decimal(Value / 100).Text(".");
  if (Value % 100 < 10) Line.Text("0");
  Line.Decimal(Value % 100);
}

void RunScan(CheckLog &Log, const SCAN &Scan, const CARD_PCI_FUNCTION (&Functions)[TEST_PCI_FUNCTION_COUNT]) {
  CARDS Cards = {};
  EFI_STATUS Status = PublishCards(Scan, Functions, Cards);
  if (EFI_ERROR(Status)) {
    ReportLine Details;
    Log.Fail(Scan.Check, Details.Text("publishing the cards gave ").Status(Status));
    return;
  }
  EFI_SYSTEM_TABLE *const Table = SystemTable;  // the reset forgets it
  ResetDriverState();
  InitializeServiceTables(nullptr, Table);
  Status = InstallAddOnCardHii();
  if (!EFI_ERROR(Status)) Status = InstallServiceTiming();
  UINT64 Scanned = 0;
  UINT64 InServices = 0;
  if (!EFI_ERROR(Status)) {
    ClearServiceTimes();
    const UINT64 Start = ReadTsc();
    OnCardFormsNotify(nullptr, nullptr);
    Scanned = ReadTsc() - Start;
    InServices = TicksInServices();
  }
  const UINT64 Held = PoolBytesHeld();
  RemoveServiceTiming();
  const UINT64 Baseline = EFI_ERROR(Status) ? 0 : TimeBaseline(NextCardPage);

  ReportLine Line;
  Line.Text("PERF cards=").Decimal(Scan.Cards).Text(" questions=").Decimal(Scan.Questions);
  Line.Text(" pages=").Decimal(NextCardPage).Text(" mirrored=").Decimal(MirroredQuestionCount);
  Line.Text(" scan=").Decimal(Scanned).Text(" baseline=").Decimal(Baseline).Text(" ratio=");
  Hundredths(Line, Scanned, Baseline);
  Line.Text(" driver=").Decimal(Scanned - InServices).Text(" held=").Decimal(Held);
  for (UINTN Index = 0; Index < TIMED_SERVICE_COUNT; ++Index) {
    const SERVICE_TIME &Time = ServiceTime(static_cast<TimedService>(Index));
    if (Time.Calls != 0)
      Line.Text(" ").Text(TimedServiceName(static_cast<TimedService>(Index))).Text("=").Decimal(Time.Calls)
          .Text("/").Decimal(Time.Ticks);
  }
  Line.Emit(true);

  ReportLine Details;
  const bool Built = !EFI_ERROR(Status) && NextCardPage == Scan.Cards && MirroredQuestionCount == Scan.Questions &&
                     Baseline != 0;
  Log.Record(Scan.Check, Built,
             Details.Text("status ").Status(Status).Text(", pages ").Decimal(NextCardPage).Text(", mirrored ")
                 .Decimal(MirroredQuestionCount));
  StopDriverHii();
  ClearMirroredQuestions();
  ResetCardInventoryState();
  RemoveCards(Cards);
}

}  // namespace

extern "C" EFI_STATUS EFIAPI PerfEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *Table) {
  InitializeServiceTables(ImageHandle, Table);
  BootServices->SetWatchdogTimer(0, 0, 0, nullptr);
  ReportLine Line;
  Line.Text("AddOnCard perf: start").Emit();
  CheckLog Log;
  CARD_PCI_FUNCTION Functions[TEST_PCI_FUNCTION_COUNT] = {};
  UINTN Found = 0;
  const bool Machine = !EFI_ERROR(FindPciFunctions(EDU_VENDOR_ID, EDU_DEVICE_ID, Functions, 2, &Found)) &&
                       Found == 2 &&
                       !EFI_ERROR(FindPciFunctions(PCI_TESTDEV_VENDOR_ID, PCI_TESTDEV_DEVICE_ID,
                                                   &Functions[PCI_TESTDEV_FUNCTION], 1, &Found)) &&
                       Found == 1 && !EFI_ERROR(WriteSupportedList());
  if (!Machine) {
    ReportLine Details;
    Log.Fail("perf: the machine's card functions", Details.Text("not found"));
  } else {
    for (const SCAN &Scan : SCANS) RunScan(Log, Scan, Functions);
  }
  EndVirtualMachine(EmitSummary(Log));
}
