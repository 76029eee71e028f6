// Changed values written into a card's own stores through the firmware's
// router, as the apply trigger writes them: the road card and the edge card
// published on the edu functions by the tests' card driver, their IDs read
// through the firmware's PCI I/O as the scan reads them, their pages built, then
// SetQuestionByte for a question of the road card's buffer store (served by the
// card's configuration access) and one of its EFI variable store (which the
// router reads and writes itself). A value the card already holds sends
// nothing; a question the page builder marked read-only is refused. The cards
// are removed and the slots emptied afterwards, as the card-pages group leaves them.
#include "driver/card_pages.h"
#include "driver/driver_state.h"
#include "driver/globals.h"
#include "forms/identities.h"
#include "forms/notify.h"
#include "qemu/card_publisher.h"
#include "qemu/check_groups.h"
#include "qemu/test_machine.h"
#include "support/form_update.h"
#include "support/language.h"
#include "support/memory.h"
#include "support/pool.h"

namespace {

namespace road = sim::road_card;
namespace edge = sim::edge_card;
constexpr UINTN PAGES = 2;  // the road card's in slot 0, the edge card's in slot 1
constexpr UINT8 NEW_LEVEL = 75;
constexpr UINT8 NEW_RETRIES = 8;

// The edu function at the address the runner gives the first one.
bool FindFirstEdu(CARD_PCI_FUNCTION *Function) {
  const TEST_PCI_FUNCTION &Wanted = TEST_PCI_FUNCTIONS[FIRST_EDU_FUNCTION];
  CARD_PCI_FUNCTION Found[4] = {};
  UINTN Count = 0;
  FindPciFunctions(Wanted.VendorId, Wanted.DeviceId, Found, ArrayCount(Found), &Count);
  for (UINTN Index = 0; Index < Count && Index < ArrayCount(Found); ++Index) {
    if (Found[Index].Bus == Wanted.Bus && Found[Index].Device == Wanted.Device &&
        Found[Index].Function == Wanted.Function) {
      *Function = Found[Index];
      return true;
    }
  }
  return false;
}

EFI_STATUS BuildPageOf(const PUBLISHED_CARD &Card, const CHAR16 *Title) {
  UINTN Size = 0;
  if (HiiDatabase->ExportPackageLists(HiiDatabase, Card.HiiHandle, &Size, nullptr) != EFI_BUFFER_TOO_SMALL)
    return EFI_NOT_FOUND;
  auto *List = static_cast<UINT8 *>(PoolAllocZero(Size));
  if (List == nullptr) return EFI_OUT_OF_RESOURCES;
  UINTN Written = Size;
  EFI_STATUS Status = HiiDatabase->ExportPackageLists(HiiDatabase, Card.HiiHandle, &Written,
                                                      reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER *>(List));
  if (!EFI_ERROR(Status)) Status = BuildCardPage(Card.HiiHandle, 0, Title, List, Size);
  PoolFree(List);
  return Status;
}

// The road card's EFI store as the variable holds it; false when it cannot be read whole.
bool ReadRoadVariable(UINT8 (&Bytes)[road::EfiStoreSize]) {
  UINTN Size = sizeof(Bytes);
  UINT32 Attributes = 0;
  ZeroBytes(Bytes, sizeof(Bytes));
  return !EFI_ERROR(
             RuntimeServices->GetVariable(u"RoadEfiVar", &road::EfiStoreGuid, &Attributes, &Size, Bytes)) &&
         Size == sizeof(Bytes);
}

struct APPLY_CARDS {
  PUBLISHED_CARD *Road;
  PUBLISHED_CARD *Edge;
};

void CheckIds(CheckLog &Log, const APPLY_CARDS &Cards) {
  UINT16 Vendor = 0, Device = 0;
  const EFI_STATUS Status = GetPackageListPciIds(Cards.Road->HiiHandle, &Vendor, &Device);
  ReportLine Details;
  Details.Text("gave ").Status(Status).Text(", ").Hex(Vendor, 4).Text("/").Hex(Device, 4);
  Log.Record("apply/the road card's IDs are its function's, read through PCI I/O",
             Status == EFI_SUCCESS && Vendor == EDU_VENDOR_ID && Device == EDU_DEVICE_ID, Details);
}

void CheckBufferStore(CheckLog &Log, const APPLY_CARDS &Cards) {
  UINT8 *Store = CardStoreBytes(*Cards.Road, road::BufferStoreName);
  UINT8 Before[road::BufferStoreSize] = {};
  if (Store != nullptr) CopyBytes(Before, Store, sizeof(Before));
  const UINTN Routed = Cards.Road->RouteConfigCalls;
  // Keyword 1 is the road card's signal level, a byte of its buffer store.
  const EFI_STATUS Status = SetQuestionByte(u"CSPAC001", NEW_LEVEL);
  bool Whole = Store != nullptr && Store[road::LevelOffset] == NEW_LEVEL;
  for (UINTN Offset = 0; Store != nullptr && Offset < sizeof(Before); ++Offset)
    Whole = Whole && (Offset == road::LevelOffset || Store[Offset] == Before[Offset]);
  ReportLine Details;
  Details.Text("gave ")
      .Status(Status)
      .Text(", level ")
      .Decimal(Store == nullptr ? 0 : Store[road::LevelOffset]);
  Log.Record("apply/a buffer store gets the new byte through the card's configuration access, nothing else",
             Status == EFI_SUCCESS && Whole && Cards.Road->RouteConfigCalls == Routed + 1, Details);

  const EFI_STATUS Again = SetQuestionByte(u"CSPAC001", NEW_LEVEL);
  ReportLine Unchanged;
  Unchanged.Text("gave ").Status(Again).Text(", RouteConfig calls ").Decimal(Cards.Road->RouteConfigCalls);
  Log.Record("apply/a value the card already holds sends no RouteConfig",
             Again == EFI_SUCCESS && Cards.Road->RouteConfigCalls == Routed + 1, Unchanged);
}

void CheckEfiStore(CheckLog &Log) {
  UINT8 Before[road::EfiStoreSize], After[road::EfiStoreSize];
  const bool Read = ReadRoadVariable(Before);
  // Keyword 3 is the road card's link retries, a byte of its EFI variable store.
  const EFI_STATUS Status = SetQuestionByte(u"CSPAC003", NEW_RETRIES);
  const bool ReadAfter = ReadRoadVariable(After);
  Before[road::EfiRetriesOffset] = NEW_RETRIES;
  ReportLine Details;
  Details.Text("gave ").Status(Status).Text(", retries ").Decimal(After[road::EfiRetriesOffset]);
  Log.Record("apply/an EFI variable store gets the new byte through the router, nothing else",
             Read && ReadAfter && Status == EFI_SUCCESS && CompareBytes(Before, After, sizeof(After)) == 0,
             Details);
}

void CheckReadOnly(CheckLog &Log, const APPLY_CARDS &Cards) {
  UINT8 *Store = CardStoreBytes(*Cards.Edge, edge::BufferStoreName);
  const UINT8 Before = Store == nullptr ? 0 : Store[edge::WideNumericOffset];
  // Keyword 6 is the edge card's first question, a two-byte numeric holding 300.
  const EFI_STATUS Status = SetQuestionByte(u"CSPAC006", 1);
  ReportLine Details;
  Details.Text("gave ").Status(Status).Text(", RouteConfig calls ").Decimal(Cards.Edge->RouteConfigCalls);
  Log.Record("apply/a question too wide for its OOB byte is never written",
             Status == EFI_WRITE_PROTECTED && Cards.Edge->RouteConfigCalls == 0 && Store != nullptr &&
                 Store[edge::WideNumericOffset] == Before,
             Details);
}

// The slots the group used, empty again, and the page builder back at slot 0.
bool EmptyUsedSlots() {
  bool Emptied = true;
  for (UINTN Slot = 0; Slot < PAGES; ++Slot) {
    const CARD_PAGE_SLOT &Row = CardPageTable[Slot];
    OpCodeBuffer *Page = nullptr, *PageEnd = nullptr, *Goto = nullptr, *GotoEnd = nullptr;
    Emptied = !EFI_ERROR(CreateLabelBuffers(&Page, &PageEnd, Row.LabelStart, Row.LabelEnd)) &&
              !EFI_ERROR(CreateLabelBuffers(&Goto, &GotoEnd, MainFormLabelTable[Slot].LabelStart,
                                            MainFormLabelTable[Slot].LabelEnd)) &&
              Emptied;
    const FORM_SECTION_UPDATE Sections[] = {{Row.FormId, Page, PageEnd},
                                            {ADDONCARD_MAIN_FORM_ID, Goto, GotoEnd}};
    if (Page != nullptr && Goto != nullptr) Emptied = !EFI_ERROR(UpdateFormSections(Sections, 2)) && Emptied;
    SetStringInLanguages(Row.TitleStringId, u"", nullptr);
    OpCodeBufferFree(Page);
    OpCodeBufferFree(PageEnd);
    OpCodeBufferFree(Goto);
    OpCodeBufferFree(GotoEnd);
  }
  ResetCardInventoryState();
  return Emptied;
}

}  // namespace

void RunApplyChecks(CheckLog &Log) {
  ReportLine Details;
  CARD_PCI_FUNCTION Edu = {};
  if (DriverHiiHandle == nullptr || HiiDatabase == nullptr || NextCardPage != 0 || !FindFirstEdu(&Edu)) {
    Log.Fail("apply/the driver's list is registered with every slot free, the edu function is there",
             Details.Text("no driver list, a used slot or no edu function"));
    return;
  }
  APPLY_CARDS Cards = {};
  EFI_STATUS Status = PublishFixtureCard(GetCardFixture(sim::CardShapeId::Road), Edu, 3, &Cards.Road);
  if (!EFI_ERROR(Status))
    Status = PublishFixtureCard(GetCardFixture(sim::CardShapeId::Edge), Edu, 4, &Cards.Edge);
  if (!EFI_ERROR(Status)) Status = BuildPageOf(*Cards.Road, u"Road Test Card");
  if (!EFI_ERROR(Status)) Status = BuildPageOf(*Cards.Edge, u"Edge Case Adapter");
  Log.Record("apply/the road card and the edge card are published and get their pages", !EFI_ERROR(Status),
             Details.Text("gave ").Status(Status));
  if (!EFI_ERROR(Status)) {
    CheckIds(Log, Cards);
    CheckBufferStore(Log, Cards);
    CheckEfiStore(Log);
    CheckReadOnly(Log, Cards);
  }
  RemoveFixtureCard(Cards.Road, true);
  RemoveFixtureCard(Cards.Edge, true);
  ReportLine Emptied;
  Log.Record("apply/the slots are emptied again", EmptyUsedSlots(), Emptied.Text("an update failed"));
}
