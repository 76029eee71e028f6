// The road of the running driver in the simulator, failing one thing at a time:
// start-up, a scan with several cards, a keyword set, the apply and the
// removal. Each step is first run clean, which counts its failure points; then,
// on a fresh machine brought to the same point each time, every pool
// allocation of the step fails in turn, and separately every call of a
// platform service that can fail (boot and runtime services, the HII database,
// string, router, browser and keyword protocols, PCI I/O).
//
// After every failing run: no pool error, no leak, every variable either as
// before the step or as a clean step leaves it (the PCI list, the OOB and
// STRING records with their sizes and attributes), every card store old or
// exactly new, the driver's package list whole with every card page either a
// whole expected page or empty, and the driver working at its next trigger.
//
// The program prints a table of the failure points per step and how many were
// exercised; ctest runs it as failure_sweep (ctest -V shows the table).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "driver/card_inventory.h"
#include "qemu/expected_pages.h"
#include "tests/driver_hii_fixture.h"
#include "sim/card_shapes.h"
#include "tests/loaded_driver_fixture.h"

namespace {

using Bytes = std::vector<UINT8>;

// ---- the cards of the road ----------------------------------------------------------

constexpr UINT16 RoadVendor = 0x1234, RoadDevice = 0x11E8;      // the road card and the MAC-titled list
constexpr UINT16 SecondVendor = 0x1B36, SecondDevice = 0x0005;  // the second card model
constexpr UINT16 EdgeVendor = 0x8086, EdgeDevice = 0x1572;      // the edge card

// The cards that get pages, in the order the scan meets them.
struct PAGED_CARD {
  sim::CardShapeId Shape;
  const CHAR16 *Location;
  const char16_t *Title;
};
constexpr PAGED_CARD PagedCards[] = {{sim::CardShapeId::Road, u"000400", u"Road Test Card"},
                                     {sim::CardShapeId::SecondModel, u"000500", u"Storage Controller"},
                                     {sim::CardShapeId::Edge, u"000700", u"Edge Case Adapter"}};
constexpr UINTN PagedCardCount = std::size(PagedCards);

// The supported list stored by an earlier boot: the three models.
ADDONCARD_PCI_ID_LIST RoadPciList() {
  ADDONCARD_PCI_ID_LIST List = {};
  List.VendorId[0] = RoadVendor, List.DeviceId[0] = RoadDevice;
  List.VendorId[1] = SecondVendor, List.DeviceId[1] = SecondDevice;
  List.VendorId[2] = EdgeVendor, List.DeviceId[2] = EdgeDevice;
  List.PairCount = 3;
  return List;
}

// The mirrored keyword of the road card's Level (the second mirrored question)
// and the value the road sets.
constexpr const char16_t *LevelKeyword = u"CSPAC001";
constexpr UINTN LevelSlot = 1;
constexpr UINT8 NewLevel = 75;

// ---- what the checks compare ------------------------------------------------------------

struct STORE_STATE {
  std::string Name;
  Bytes Data;
  UINT32 Attributes;
  bool Present;
};

// The machine as the checks see it.
struct MACHINE_STATE {
  std::size_t Held = 0;
  std::size_t KeptForLife = 0;
  std::size_t Handles = 0;
  std::size_t Events = 0;
  std::vector<EFI_HII_HANDLE> Lists;
  std::vector<STORE_STATE> Variables;  // the driver's three, then the cards' EFI stores
  std::vector<STORE_STATE> CardStores;
  Bytes DriverList;  // empty when the driver has no list in the database
  UINT16 NextPage = 0;
};

// ---- the steps ----------------------------------------------------------------------

enum class StepId { StartUp, Scan, KeywordSet, Apply, Removal };

struct STEP {
  StepId Id;
  const char *Name;
};
constexpr STEP Steps[] = {{StepId::StartUp, "start-up"},
                          {StepId::Scan, "scan (3 cards paged, 1 MAC: list)"},
                          {StepId::KeywordSet, "keyword set, read back (SetData, GetData)"},
                          {StepId::Apply, "apply"},
                          {StepId::Removal, "removal"}};

// One row of the report.
struct SWEEP_ROW {
  std::string Step;
  std::size_t AllocationPoints = 0;
  std::size_t AllocationsExercised = 0;
  std::size_t CallPoints = 0;
  std::size_t CallsExercised = 0;
  std::size_t AllocationStride = 1;  // above 1: every Stride-th point was exercised
  std::size_t CallStride = 1;
  std::size_t FailedRuns = 0;  // runs the step did not survive whole (it reported or skipped work)
  std::map<std::string, std::size_t> Calls;
};
std::vector<SWEEP_ROW> &Report() {
  static std::vector<SWEEP_ROW> Rows;
  return Rows;
}

// A step with more failure points of a kind than its budget is sampled evenly
// (every point is still counted and reported): only the scan has that many.
constexpr std::size_t AllocationBudget = 120;
constexpr std::size_t CallBudget = 120;

class FailureSweep : public LoadedDriverTest {
 protected:
  // ---- the machine ----------------------------------------------------------------

  // A fresh machine with the cards published and the supported list stored,
  // the driver not yet loaded.
  void FreshMachine() {
    sim::PowerOn();
    ResetDriverState();
    const sim::CardShape RoadShape = sim::RoadCardShape();
    Cards.clear();
    Cards.push_back(&sim::PublishCard(sim::AddPciFunction(RoadVendor, RoadDevice, 0, 4, 0), RoadShape.PackageList,
                                      RoadShape.InitialContents()));
    Cards.push_back(
        &sim::PublishShape(sim::AddPciFunction(SecondVendor, SecondDevice, 0, 5, 0), sim::SecondModelShape()));
    Cards.push_back(
        &sim::PublishShape(sim::AddPciFunction(RoadVendor, RoadDevice, 0, 6, 0), sim::MacTitledCardShape()));
    Cards.push_back(&sim::PublishShape(sim::AddPciFunction(EdgeVendor, EdgeDevice, 0, 7, 0), sim::EdgeCardShape()));
    const ADDONCARD_PCI_ID_LIST List = RoadPciList();
    const auto *P = reinterpret_cast<const UINT8 *>(&List);
    sim::WriteVariable(TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID, ADDONCARD_PCI_VAR_ATTRIBUTES,
                       Bytes(P, P + sizeof(List)));
  }

  static void Trigger(const EFI_GUID &Protocol) {
    sim::PlatformScope Platform;
    InstallTrigger(Protocol);
  }

  // Runs the steps before Step, clean; false (with a failure) when one went wrong.
  bool BringUpTo(StepId Step) {
    FreshMachine();
    if (Step == StepId::StartUp) return true;
    if (LoadDriver() != EFI_SUCCESS) return Fail("the clean start-up failed");
    if (Step == StepId::Scan) return true;
    Trigger(CARD_FORMS_NOTIFY_GUID);
    if (NextCardPage != PagedCardCount) return Fail("the clean scan built no three pages");
    if (Step == StepId::KeywordSet) return true;
    if (SetKeyword(LevelKeyword, u"4b") != EFI_SUCCESS) return Fail("the clean keyword set failed");
    if (Step == StepId::Apply) return true;
    Trigger(OOB_APPLY_NOTIFY_GUID);
    return true;
  }

  static bool Fail(const char *What) {
    ADD_FAILURE() << What;
    return false;
  }

  // The step itself. Every call the test makes is the platform's: only what
  // the driver does in response is counted and failed. The start-up is the
  // firmware loading the image: the entry point runs as the driver's own code.
  EFI_STATUS RunStep(StepId Step) {
    switch (Step) {
      case StepId::StartUp:
        return LoadDriver();
      case StepId::Scan:
        Trigger(CARD_FORMS_NOTIFY_GUID);
        return EFI_SUCCESS;
      case StepId::KeywordSet: {
        // The router writes the OOB variable itself (a UEFI variable store) and
        // calls the driver only to read: the agent reads the value back.
        sim::PlatformScope Platform;
        const EFI_STATUS Status = SetKeyword(LevelKeyword, u"4b");
        GetKeyword(LevelKeyword);
        return Status;
      }
      case StepId::Apply:
        Trigger(OOB_APPLY_NOTIFY_GUID);
        return EFI_SUCCESS;
      case StepId::Removal:
        Trigger(FORMS_REMOVE_NOTIFY_GUID);
        return EFI_SUCCESS;
    }
    return EFI_SUCCESS;
  }

  // ---- observing -------------------------------------------------------------------

  static EFI_HII_DATABASE_PROTOCOL *Database() {
    return hiitest::Locate<EFI_HII_DATABASE_PROTOCOL>(EFI_HII_DATABASE_PROTOCOL_GUID);
  }
  static EFI_HII_STRING_PROTOCOL *Strings() {
    return hiitest::Locate<EFI_HII_STRING_PROTOCOL>(EFI_HII_STRING_PROTOCOL_GUID);
  }
  // The driver's list as the database exports it; empty when it has none.
  static Bytes DriverList() {
    const std::vector<EFI_HII_HANDLE> Lists = sim::PackageListHandles();
    if (DriverHiiHandle == nullptr || std::find(Lists.begin(), Lists.end(), DriverHiiHandle) == Lists.end())
      return {};
    EFI_HII_DATABASE_PROTOCOL *Db = Database();
    UINTN Size = 0;
    if (Db->ExportPackageLists(Db, DriverHiiHandle, &Size, nullptr) != EFI_BUFFER_TOO_SMALL) return {};
    Bytes List(Size);
    if (EFI_ERROR(Db->ExportPackageLists(Db, DriverHiiHandle, &Size,
                                         reinterpret_cast<EFI_HII_PACKAGE_LIST_HEADER *>(List.data()))))
      return {};
    return List;
  }

  static STORE_STATE VariableState(const std::string &Label, const std::u16string &Name, const EFI_GUID &Guid) {
    auto Found = sim::FindVariable(Name, Guid);
    if (!Found) return {Label, {}, 0, false};
    return {Label, Found->Data, Found->Attributes, true};
  }

  MACHINE_STATE Capture() const {
    MACHINE_STATE S;
    S.Held = sim::HeldBlocks();
    S.KeptForLife = BlocksKeptForLife();
    S.Handles = sim::HandleCount();
    S.Events = sim::OpenEventCount();
    S.Lists = sim::PackageListHandles();
    S.Variables = {VariableState("PCI", TLX_ADDONCARD_PCI_VAR, ADDONCARD_PCI_VAR_GUID),
                   VariableState("OOB", TLX_ADDONCARD_OOB_VAR, ADDONCARD_FORMSET_GUID),
                   VariableState("STRING", TLX_ADDONCARD_STRING_VAR, ADDONCARD_FORMSET_GUID),
                   VariableState("road EFI store", u"RoadEfiVar", sim::road_card::EfiStoreGuid),
                   VariableState("edge EFI store", u"EdgeEfiVar", sim::edge_card::EfiStoreGuid)};
    for (sim::CardDriver *Card : Cards)
      for (const sim::CardStore &Store : Card->Stores)
        if (!Store.IsEfi) S.CardStores.push_back({Store.Name, Card->Store(Store.Name), 0, true});
    S.DriverList = DriverList();
    S.NextPage = NextCardPage;
    return S;
  }

  // ---- the checks after a failing run -----------------------------------------------

  // The three variables keep their sizes and attributes whenever they exist.
  static ::testing::AssertionResult VariablesAreWellFormed(const MACHINE_STATE &Now, bool MustExist) {
    const struct {
      std::size_t Size;
      UINT32 Attributes;
    } Shapes[] = {{sizeof(ADDONCARD_PCI_ID_LIST), ADDONCARD_PCI_VAR_ATTRIBUTES},
                  {sizeof(ADDONCARD_OOB_SLOTS), ADDONCARD_VOLATILE_VAR_ATTRIBUTES},
                  {sizeof(ADDONCARD_STRING_SLOTS), ADDONCARD_VOLATILE_VAR_ATTRIBUTES}};
    for (std::size_t Index = 0; Index < std::size(Shapes); ++Index) {
      const STORE_STATE &V = Now.Variables[Index];
      if (!V.Present) {
        if (MustExist) return ::testing::AssertionFailure() << V.Name << " variable missing";
        continue;
      }
      if (V.Data.size() != Shapes[Index].Size || V.Attributes != Shapes[Index].Attributes)
        return ::testing::AssertionFailure() << V.Name << " variable of " << V.Data.size() << " bytes, attributes "
                                             << V.Attributes;
    }
    return ::testing::AssertionSuccess();
  }

  // Each store holds what it held before the step or exactly what a clean step left.
  static ::testing::AssertionResult OldOrNew(const std::vector<STORE_STATE> &Before,
                                             const std::vector<STORE_STATE> &After,
                                             const std::vector<STORE_STATE> &Now) {
    for (std::size_t Index = 0; Index < Now.size(); ++Index) {
      const STORE_STATE &N = Now[Index];
      auto Same = [&](const STORE_STATE &S) {
        return S.Present == N.Present && S.Data == N.Data && S.Attributes == N.Attributes;
      };
      if (!Same(Before[Index]) && !Same(After[Index]))
        return ::testing::AssertionFailure() << N.Name << " is neither as before the step nor as a clean step leaves it";
    }
    return ::testing::AssertionSuccess();
  }

  // The OOB bytes of the mirrored questions from record First on are the
  // values their pages were built with.
  static ::testing::AssertionResult OobHoldsTheBuildValues(UINTN First = 0) {
    const Bytes Stored = Oob();
    for (UINTN Index = First; Index < MirroredQuestionCount; ++Index) {
      const MIRRORED_QUESTION &Q = MirroredQuestionTable[Index];
      if (Q.OobSlot >= Stored.size() || Stored[Q.OobSlot] != Q.BuildValue)
        return ::testing::AssertionFailure() << "OOB slot " << Q.OobSlot << " does not hold its build value";
      if (OobVarCopy.Slot[Q.OobSlot] != Q.BuildValue)
        return ::testing::AssertionFailure() << "the OOB copy's slot " << Q.OobSlot << " lost its build value";
    }
    return ::testing::AssertionSuccess();
  }

  // Every slot from FirstSlot below NextCardPage holds the whole page of one
  // of the cards or nothing; every slot from NextCardPage on is empty. Origin
  // numbers the first page found and is moved past each page found; *Pages
  // gets the cards found, slot by slot.
  ::testing::AssertionResult PagesAreWholeOrEmpty(const Bytes &List, UINTN FirstSlot, PAGE_ORIGIN *Origin,
                                                  std::vector<UINTN> *Pages) {
    PAGE_CHECK_RESULT Result = {};
    if (!CheckPackageList(List.data(), List.size(), &Result))
      return ::testing::AssertionFailure() << "the driver's list: " << Result.Message;
    for (UINTN Slot = FirstSlot; Slot < CARD_PAGE_SLOTS; ++Slot) {
      const EXPECTED_PAGE Empty = {Slot, nullptr, nullptr, 0};
      if (CheckCardPage(List.data(), List.size(), Strings(), DriverHiiHandle, Empty, &Result)) continue;
      if (Slot >= NextCardPage)
        return ::testing::AssertionFailure() << "slot " << Slot << " is not empty: " << Result.Message;
      // The card is the one the page's title names; its page must be whole.
      const std::u16string Title = ReadHiiString(DriverHiiHandle, "en-US", CardTitleStringId(Slot));
      UINTN Card = 0;
      while (Card < PagedCardCount && Title != PagedCards[Card].Title) ++Card;
      if (Card == PagedCardCount)
        return ::testing::AssertionFailure() << "slot " << Slot << " is built, titled with no card's title";
      std::string Tried;
      bool Matched = false;
      // A card whose location could not be read has prompts ending in "()".
      for (const CHAR16 *Location : {PagedCards[Card].Location, u""}) {
        Origin->Slot = Slot;
        Origin->Location = Location;
        const EXPECTED_PAGE Page = ExpectedPage(PagedCards[Card].Shape, *Origin, Space.get());
        if (CheckCardPage(List.data(), List.size(), Strings(), DriverHiiHandle, Page, &Result)) {
          Matched = true;
          Pages->push_back(Card);
          Advance(Origin, Page);
          break;
        }
        if (Tried.empty()) Tried = Result.Message;
      }
      if (!Matched) return ::testing::AssertionFailure() << "slot " << Slot << " is half built: " << Tried;
    }
    return ::testing::AssertionSuccess();
  }

  static void Advance(PAGE_ORIGIN *Origin, const EXPECTED_PAGE &Page) {
    Origin->FirstQuestion = static_cast<UINT16>(Origin->FirstQuestion + ExpectedRangedQuestions(Page));
    Origin->FirstString = static_cast<UINT16>(Origin->FirstString + ExpectedStrings(Page));
  }

  // The numbering after the three cards' pages of one whole scan.
  PAGE_ORIGIN AfterOneScan() {
    PAGE_ORIGIN Origin = {0, nullptr, 0, 0};
    for (UINTN Card = 0; Card < PagedCardCount; ++Card) {
      Origin.Slot = Card;
      Origin.Location = PagedCards[Card].Location;
      Advance(&Origin, ExpectedPage(PagedCards[Card].Shape, Origin, Space.get()));
    }
    return Origin;
  }

  // The scan builds the three cards' pages from the next slot on, numbered
  // after the pages before them (Origin; a scan from slot 0 starts again).
  ::testing::AssertionResult ScanBuildsThePages(PAGE_ORIGIN Origin) {
    const UINTN First = NextCardPage;
    const UINTN FirstRecord = First == 0 ? 0 : MirroredQuestionCount;
    if (First == 0) Origin = {0, nullptr, 0, 0};
    const MACHINE_STATE Before = Capture();
    Trigger(CARD_FORMS_NOTIFY_GUID);
    if (NextCardPage != First + PagedCardCount)
      return ::testing::AssertionFailure() << "the scan moved the page slot from " << First << " to " << NextCardPage;
    std::vector<UINTN> Pages;
    const ::testing::AssertionResult Whole = PagesAreWholeOrEmpty(DriverList(), First, &Origin, &Pages);
    if (!Whole) return Whole;
    if (Pages != std::vector<UINTN>{0, 1, 2})
      return ::testing::AssertionFailure() << "the scan did not build the three cards' pages";
    const ::testing::AssertionResult Seeded = OobHoldsTheBuildValues(FirstRecord);
    if (!Seeded) return Seeded;
    return NothingLeaked(Before.Held - Before.KeptForLife);
  }

  // ---- one failing run ------------------------------------------------------------------

  // What a failing run is held against.
  struct EXPECTATIONS {
    MACHINE_STATE Before;
    MACHINE_STATE After;
  };

  void CheckFailedRun(StepId Step, EFI_STATUS Status, const EXPECTATIONS &E, const std::string &What) {
    SCOPED_TRACE(What);
    sim::ClearFaults();
    const std::vector<std::string> PoolErrors = sim::TakePoolErrors();
    EXPECT_TRUE(PoolErrors.empty()) << PoolErrors.front();
    EXPECT_EQ(sim::CurrentTpl(), TPL_APPLICATION);
    EXPECT_EQ(VarStoreReadCache.Block, nullptr) << "a read cache is still held";
    const MACHINE_STATE Now = Capture();
    const bool Loaded = Step != StepId::StartUp || Status == EFI_SUCCESS;

    // No leak: the driver keeps nothing but its language list; an image whose
    // entry point failed is unloaded and may keep nothing at all.
    if (Loaded)
      EXPECT_EQ(Now.Held, E.Before.Held - E.Before.KeptForLife + Now.KeptForLife);
    else
      EXPECT_EQ(Now.Held, E.Before.Held) << "blocks left by a failed entry point";

    EXPECT_TRUE(VariablesAreWellFormed(Now, Step != StepId::StartUp));
    EXPECT_TRUE(OldOrNew(E.Before.CardStores, E.After.CardStores, Now.CardStores));
    PAGE_ORIGIN Origin = ThreePages;
    if (Step == StepId::Scan) {
      // A scan builds pages: the list is whole, every slot whole or empty. A
      // list as before the scan or as a clean scan leaves it was checked.
      EXPECT_TRUE(OldOrNew({E.Before.Variables[0]}, {E.After.Variables[0]}, {Now.Variables[0]}));
      std::vector<UINTN> Pages;
      Origin = {0, nullptr, 0, 0};
      if (Now.DriverList == E.After.DriverList)
        Origin = ThreePages;
      else if (Now.DriverList != E.Before.DriverList)
        EXPECT_TRUE(PagesAreWholeOrEmpty(Now.DriverList, 0, &Origin, &Pages));
      EXPECT_TRUE(OobHoldsTheBuildValues());
    } else {
      EXPECT_TRUE(OldOrNew(E.Before.Variables, E.After.Variables, Now.Variables));
      EXPECT_TRUE(Now.DriverList == E.Before.DriverList || Now.DriverList == E.After.DriverList)
          << "the driver's list changed into neither";
    }
    if (!Loaded) {
      // Nothing of the image stays installed or armed.
      EXPECT_EQ(Now.Handles, E.Before.Handles);
      EXPECT_EQ(Now.Events, E.Before.Events);
      EXPECT_EQ(Now.Lists.size(), E.Before.Lists.size());
    }
    ExpectWorksAtTheNextTrigger(Step, Status, Origin);
  }

  // The driver still works: a clean repeat of the step (the image loaded again
  // when its entry point failed) gives the expected result. Apply and removal
  // act once by design, so their next trigger is a scan.
  void ExpectWorksAtTheNextTrigger(StepId Step, EFI_STATUS Status, const PAGE_ORIGIN &Origin) {
    switch (Step) {
      case StepId::StartUp:
        if (EFI_ERROR(Status)) ASSERT_EQ(LoadDriver(), EFI_SUCCESS);
        EXPECT_EQ(GetKeyword(u"CSPACF01"), SecondVendor);
        // A trigger whose event could not be armed is missing (start-up goes on without it).
        if (sim::NotifyRegistrationCount(CARD_FORMS_NOTIFY_GUID) == 1) EXPECT_TRUE(ScanBuildsThePages(Origin));
        return;
      case StepId::Scan:
        EXPECT_TRUE(ScanBuildsThePages(Origin));
        return;
      case StepId::KeywordSet: {
        sim::PlatformScope Platform;
        EXPECT_EQ(SetKeyword(LevelKeyword, u"4b"), EFI_SUCCESS);
        EXPECT_EQ(GetKeyword(LevelKeyword), NewLevel);
        EXPECT_EQ(Oob()[LevelSlot], NewLevel);
        return;
      }
      case StepId::Apply: {
        const Bytes Road = Cards[0]->Store(sim::road_card::BufferStoreName);
        Trigger(OOB_APPLY_NOTIFY_GUID);  // once: nothing more is written
        EXPECT_EQ(Cards[0]->Store(sim::road_card::BufferStoreName), Road);
        EXPECT_TRUE(ScanBuildsThePages(Origin));
        // The new road page is seeded with the card's level as it is now.
        EXPECT_EQ(LastBuildValue(Cards[0]->HiiHandle, sim::road_card::LevelOffset),
                  Road[sim::road_card::LevelOffset]);
        return;
      }
      case StepId::Removal:
        if (DriverList().empty()) {
          const std::size_t Held = sim::HeldBlocks();
          Trigger(CARD_FORMS_NOTIFY_GUID);
          EXPECT_EQ(NextCardPage, PagedCardCount) << "a scan after the removal built a page";
          EXPECT_EQ(sim::HeldBlocks(), Held);
        } else {
          EXPECT_TRUE(ScanBuildsThePages(Origin));
        }
        return;
    }
  }

  // The build value of the card's buffer-store question at Offset on its latest page.
  static std::optional<UINT8> LastBuildValue(EFI_HII_HANDLE Card, UINT16 Offset) {
    std::optional<UINT8> Value;
    for (UINTN Index = 0; Index < MirroredQuestionCount; ++Index) {
      const MIRRORED_QUESTION &Q = MirroredQuestionTable[Index];
      if (Q.CardHiiHandle == Card && Q.CardVarStoreId == sim::road_card::BufferStoreId && Q.CardVarOffset == Offset)
        Value = Q.BuildValue;
    }
    return Value;
  }

  // ---- the sweep of one step ------------------------------------------------------------

  void SweepStep(const STEP &Step) {
    SWEEP_ROW Row;
    Row.Step = Step.Name;
    Space = std::make_unique<EXPECTED_PAGE_SPACE>();
    ThreePages = AfterOneScan();

    // The clean run: what the step leaves, and its service calls.
    ASSERT_TRUE(BringUpTo(Step.Id));
    EXPECTATIONS E;
    E.Before = Capture();
    sim::ResetServiceCallCounts();
    ASSERT_EQ(RunStep(Step.Id), EFI_SUCCESS);
    Row.Calls = sim::ServiceCallCounts();
    const std::vector<std::string> Log = sim::ServiceCallLog();
    E.After = Capture();
    ExpectCleanResult(Step.Id, E);

    // The allocation points: every AllocatePool of the step, the firmware's
    // own on the driver's behalf included, counted by failing them in turn.
    Row.AllocationPoints = CountAllocations(Step.Id);
    for (std::size_t N : Pick(Row.AllocationPoints, AllocationBudget, {}, &Row.AllocationStride)) {
      ASSERT_TRUE(BringUpTo(Step.Id));
      E.Before = Capture();
      sim::FailNthAllocation(N);
      const EFI_STATUS Status = RunStep(Step.Id);
      EXPECT_FALSE(sim::AllocationFailurePending()) << "allocation " << N << " was never made";
      ++Row.AllocationsExercised;
      if (Status != EFI_SUCCESS || Capture().DriverList != E.After.DriverList) ++Row.FailedRuns;
      CheckFailedRun(Step.Id, Status, E, "allocation " + std::to_string(N));
      // The first fault found is reported; the rest would mostly repeat it.
      if (HasFailure() && !KeepGoing()) break;
    }

    // The service-call points: every call of a service that can fail, but
    // AllocatePool, whose calls the allocations above fail already. N counts
    // the calls FailNthServiceCall counts (AllocatePool among them).
    std::vector<std::size_t> Ordinals;  // of each point, among the calls that can fail
    std::map<std::string, std::pair<std::size_t, std::size_t>> FirstAndLast;  // point indices per service
    for (std::size_t Index = 0, Failable = 0; Index < Log.size(); ++Index) {
      if (!sim::ServiceCanFail(Log[Index])) continue;
      ++Failable;
      if (Log[Index] == "BootServices.AllocatePool") continue;
      auto Found = FirstAndLast.try_emplace(Log[Index], Ordinals.size(), Ordinals.size()).first;
      Found->second.second = Ordinals.size();
      Ordinals.push_back(Failable);
    }
    Row.CallPoints = Ordinals.size();
    std::set<std::size_t> Ends;
    for (const auto &[Service, Range] : FirstAndLast) Ends.insert({Range.first + 1, Range.second + 1});
    for (std::size_t Point : Pick(Ordinals.size(), CallBudget, Ends, &Row.CallStride)) {
      const std::size_t K = Ordinals[Point - 1];
      ASSERT_TRUE(BringUpTo(Step.Id));
      E.Before = Capture();
      sim::ResetServiceCallCounts();
      sim::FailNthServiceCall(K);
      const EFI_STATUS Status = RunStep(Step.Id);
      const std::string Service = sim::FailedServiceCall();
      EXPECT_FALSE(sim::ServiceCallFailurePending()) << "call " << K << " was never made";
      EXPECT_EQ(Service, Log[IndexOfFailable(Log, K)]) << "call " << K << " is another service than counted";
      ++Row.CallsExercised;
      if (Status != EFI_SUCCESS || Capture().DriverList != E.After.DriverList) ++Row.FailedRuns;
      CheckFailedRun(Step.Id, Status, E, "call " + std::to_string(K) + " (" + Service + ")");
      if (HasFailure() && !KeepGoing()) break;
    }
    Report().push_back(Row);
  }

  // SWEEP_KEEP_GOING=1 in the environment: every point is run whatever fails.
  static bool KeepGoing() { return std::getenv("SWEEP_KEEP_GOING") != nullptr; }

  // How many allocations the step makes: the first N whose failure stays pending, less one.
  std::size_t CountAllocations(StepId Step) {
    std::size_t Low = 0, High = 1;  // Low allocations are made, High maybe not
    auto Made = [&](std::size_t N) {
      BringUpTo(Step);
      sim::FailNthAllocation(N);
      RunStep(Step);
      const bool Reached = !sim::AllocationFailurePending();
      sim::ClearFaults();
      return Reached;
    };
    while (Made(High)) Low = High, High *= 2;
    while (High - Low > 1) {
      const std::size_t Middle = (Low + High) / 2;
      (Made(Middle) ? Low : High) = Middle;
    }
    return Low;
  }

  // The index in Log of the K-th call of a service that can fail.
  static std::size_t IndexOfFailable(const std::vector<std::string> &Log, std::size_t K) {
    for (std::size_t Index = 0; Index < Log.size(); ++Index)
      if (sim::ServiceCanFail(Log[Index]) && --K == 0) return Index;
    return 0;
  }

  // Points 1..Count to exercise: all of them within Budget; beyond it every
  // Stride-th, and the points of Must (the first and last call of each service).
  static std::vector<std::size_t> Pick(std::size_t Count, std::size_t Budget, const std::set<std::size_t> &Must,
                                       std::size_t *Stride) {
    *Stride = Count <= Budget ? 1 : (Count + Budget - 1) / Budget;
    std::set<std::size_t> Points(Must.begin(), Must.end());
    for (std::size_t Point = 1; Point <= Count; Point += *Stride) Points.insert(Point);
    return std::vector<std::size_t>(Points.begin(), Points.end());
  }

  // The clean step gives the road's result.
  void ExpectCleanResult(StepId Step, const EXPECTATIONS &E) {
    switch (Step) {
      case StepId::StartUp:
        EXPECT_NE(DriverHiiHandle, nullptr);
        EXPECT_EQ(sim::NotifyRegistrationCount(CARD_FORMS_NOTIFY_GUID), 1u);
        break;
      case StepId::Scan: {
        EXPECT_EQ(NextCardPage, PagedCardCount);
        std::vector<UINTN> Pages;
        PAGE_ORIGIN Origin = {0, nullptr, 0, 0};
        EXPECT_TRUE(PagesAreWholeOrEmpty(E.After.DriverList, 0, &Origin, &Pages));
        EXPECT_EQ(Origin.FirstQuestion, ThreePages.FirstQuestion);
        EXPECT_EQ(Pages, (std::vector<UINTN>{0, 1, 2}));
        break;
      }
      case StepId::KeywordSet:
        EXPECT_EQ(Oob()[LevelSlot], NewLevel);
        break;
      case StepId::Apply:
        EXPECT_EQ(Cards[0]->Store(sim::road_card::BufferStoreName)[sim::road_card::LevelOffset], NewLevel);
        break;
      case StepId::Removal:
        EXPECT_TRUE(E.After.DriverList.empty());
        break;
    }
  }

  std::vector<sim::CardDriver *> Cards;
  std::unique_ptr<EXPECTED_PAGE_SPACE> Space;
  PAGE_ORIGIN ThreePages = {};
};

TEST_F(FailureSweep, StartUp) { SweepStep(Steps[0]); }
TEST_F(FailureSweep, ScanWithSeveralCards) { SweepStep(Steps[1]); }
TEST_F(FailureSweep, KeywordSet) { SweepStep(Steps[2]); }
TEST_F(FailureSweep, Apply) { SweepStep(Steps[3]); }
TEST_F(FailureSweep, Removal) { SweepStep(Steps[4]); }

// ---- the report ---------------------------------------------------------------------

void PrintReport() {
  const std::vector<SWEEP_ROW> &Rows = Report();
  std::printf("\nFailure sweep of the road: points of failure per step and how many were exercised\n\n");
  std::printf("| %-42s | %11s | %9s | %13s | %9s | %11s |\n", "step", "allocations", "exercised", "service calls",
              "exercised", "runs failed");
  std::printf("|%s|%s|%s|%s|%s|%s|\n", std::string(44, '-').c_str(), std::string(13, '-').c_str(),
              std::string(11, '-').c_str(), std::string(15, '-').c_str(), std::string(11, '-').c_str(),
              std::string(13, '-').c_str());
  std::size_t Totals[5] = {};
  for (const SWEEP_ROW &Row : Rows) {
    std::printf("| %-42s | %11zu | %9zu | %13zu | %9zu | %11zu |\n", Row.Step.c_str(), Row.AllocationPoints,
                Row.AllocationsExercised, Row.CallPoints, Row.CallsExercised, Row.FailedRuns);
    const std::size_t Values[5] = {Row.AllocationPoints, Row.AllocationsExercised, Row.CallPoints,
                                   Row.CallsExercised, Row.FailedRuns};
    for (std::size_t Index = 0; Index < 5; ++Index) Totals[Index] += Values[Index];
  }
  std::printf("| %-42s | %11zu | %9zu | %13zu | %9zu | %11zu |\n", "all steps", Totals[0], Totals[1], Totals[2],
              Totals[3], Totals[4]);
  std::printf("\nService calls the driver makes in each step (clean run; * = never failed: fails only on "
              "invalid arguments)\n\n");
  for (const SWEEP_ROW &Row : Rows) {
    std::printf("%s:\n", Row.Step.c_str());
    for (const auto &[Service, Count] : Row.Calls)
      std::printf("  %-44s %5zu%s\n", Service.c_str(), Count, sim::ServiceCanFail(Service) ? "" : " *");
  }
  std::printf("\n");
}

}  // namespace

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const int Result = RUN_ALL_TESTS();
  PrintReport();
  return Result;
}
